#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "providers/chat_protocol.h"
#include "providers/model_list.h"
#include "providers/model_rules.h"
#include "providers/provider_table.h"

namespace {

class Succession : public ::testing::Test {
protected:
    void SetUp() override { ForgetParamRefusals(); }
    void TearDown() override { ForgetParamRefusals(); }
};

TEST_F(Succession, RetiredModelRefusalsAreReadInEachProvidersOwnWords) {
    const struct {
        int provider;
        int status;
        const char* body;
        bool retired;
    } cases[] = {
        {kProviderOpenAI, 404,
         "{\n  \"error\": {\n    \"message\": \"The model `gpt-5.6-sol` does not exist or you do not have access to "
         "it.\",\n    \"type\": \"invalid_request_error\",\n    \"param\": null,\n    \"code\": \"model_not_found\"\n  }\n}",
         true},
        {kProviderClaude, 404,
         "{\n  \"type\": \"error\",\n  \"error\": {\n    \"type\": \"not_found_error\",\n    \"message\": \"model: "
         "claude-sonnet-5-5\"\n  },\n  \"request_id\": \"req_1\"\n}",
         true},
        {kProviderGemini, 404,
         "{\n  \"error\": {\n    \"code\": 404,\n    \"message\": \"models/gemini-3.5-flash is not found for API version "
         "v1beta, or is not supported for generateContent.\",\n    \"status\": \"NOT_FOUND\"\n  }\n}",
         true},
        {kProviderGroq, 400,
         R"({"error":{"message":"The model `openai/gpt-oss-120b` has been decommissioned and is no longer supported.",)"
         R"("type":"invalid_request_error","code":"model_decommissioned"}})",
         true},
        {kProviderGroq, 404,
         R"({"error":{"message":"The model `x` does not exist or you do not have access to it.","type":"invalid_request_error","code":"model_not_found"}})",
         true},
        {kProviderGrok, 404,
         "{\n  \"code\": \"Some requested entity was not found\",\n  \"error\": \"The model grok-4.7 does not exist or "
         "your team does not have access to it.\"\n}",
         true},
        {kProviderOpenRouter, 400, R"({"error":{"message":"grok-9 is not a valid model ID","code":400},"user_id":"u"})",
         true},
        {kProviderOpenRouter, 404, R"({"error":{"message":"x/y is not a valid model ID","code":404}})", true},
        {kProviderOllama, 404, R"({"error":"model \"llama3\" not found, try pulling it first"})", true},
        // Other refusals and other statuses are no news about the model.
        {kProviderOpenAI, 401, R"({"error":{"message":"Incorrect API key provided","code":"invalid_api_key"}})", false},
        {kProviderOpenAI, 404, R"({"error":{"message":"Unknown path","code":null}})", false},
        {kProviderClaude, 404, R"({"type":"error","error":{"type":"not_found_error","message":"Not found"}})", false},
        {kProviderGroq, 400, R"({"error":{"message":"Unsupported parameter","code":"unsupported_parameter"}})", false},
        {kProviderGrok, 404, R"({"error":"Not found: /v1/chat/complete"})", false},
        {kProviderOllama, 404, "404 page not found", false},
        {kProviderOpenAI, 500, R"({"error":{"message":"x","code":"model_not_found"}})", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsRetiredModelRefusal(c.provider, c.status, c.body), c.retired) << c.provider << " " << c.body;
}

TEST_F(Succession, TheSuccessorIsTheListedModelOfTheSameFamilyWithTheHighestVersion) {
    const struct {
        const char* model;
        std::vector<std::string> listed;
        const char* successor;
    } cases[] = {
        {"claude-sonnet-5", {"claude-opus-9", "claude-sonnet-8-5", "claude-sonnet-9", "claude-haiku-9"}, "claude-sonnet-9"},
        {"claude-sonnet-5-5", {"claude-sonnet-5", "claude-sonnet-5-6"}, "claude-sonnet-5-6"},
        {"gpt-5.6-sol", {"gpt-9-sol-mini", "gpt-9-sol", "gpt-9-terra", "gpt-8.2"}, "gpt-9-sol"},
        {"grok-4.5", {"grok-9-fast", "grok-8.5", "grok-9", "grok-imagine-image-2"}, "grok-9"},
        {"openai/gpt-oss-120b", {"openai/gpt-oss-40b", "openai/gpt-oss-240b", "qwen/qwen9-64b"}, "openai/gpt-oss-240b"},
        // A moving alias is preferred to a dated snapshot of the same version.
        {"claude-sonnet-5", {"claude-sonnet-9-20271001", "claude-sonnet-9"}, "claude-sonnet-9"},
        // Never another family or size, never an older version, never the refused name itself.
        {"gpt-5-mini", {"gpt-9-sol", "gpt-9", "gpt-9-nano"}, ""},
        {"claude-sonnet-9", {"claude-sonnet-8-5", "claude-sonnet-9"}, ""},
        {"openrouter/free", {"openrouter/free", "openrouter/auto"}, ""},
        {"gpt-5.6-sol", {}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PickSuccessor(c.model, c.listed), c.successor) << c.model;
    EXPECT_EQ(ModelFamily("claude-sonnet-5"), ModelFamily("claude-sonnet-9-5"));
    EXPECT_NE(ModelFamily("gpt-5.6-sol"), ModelFamily("gpt-5.6-sol-mini"));
}

TEST_F(Succession, ServedModelsAreNamedNewestFirstUpToTheCount) {
    EXPECT_EQ(NewestModels({"claude-haiku-4-5", "claude-sonnet-9", "claude-opus-4-7", "claude-sonnet-8-5", "claude-opus-9",
                            "claude-sonnet-9-20271001"},
                           5),
              (std::vector<std::string>{"claude-sonnet-9", "claude-opus-9", "claude-sonnet-9-20271001",
                                        "claude-sonnet-8-5", "claude-opus-4-7"}));
    EXPECT_EQ(NewestModels({}, 5), std::vector<std::string>{});
}

TEST_F(Succession, AHealedDefaultIsSentInPlaceOfTheDefaultButNeverInPlaceOfAChosenModel) {
    SessionSettings s;
    s.provider = kProviderClaude;
    s.apiKey = "k";
    s.model = FindProvider(kProviderClaude)->defaultModel;
    EXPECT_EQ(ModelToSend(s), PARLY_CLAUDE_DEFAULT_MODEL);
    RememberHealedDefault(kProviderClaude, "claude-sonnet-9");
    EXPECT_EQ(ModelToSend(s), "claude-sonnet-9");
    EXPECT_NE(BuildChatRequest(s, {}, "Hi").body.find(R"("model":"claude-sonnet-9")"), std::string::npos);
    SessionSettings chosen = s;
    chosen.modelChosen = true;
    EXPECT_EQ(ModelToSend(chosen), PARLY_CLAUDE_DEFAULT_MODEL);
    SessionSettings other = s;
    other.provider = kProviderOpenAI;
    other.model = PARLY_OPENAI_DEFAULT_MODEL;
    EXPECT_EQ(ModelToSend(other), PARLY_OPENAI_DEFAULT_MODEL);
    ForgetParamRefusals();
    EXPECT_EQ(ModelToSend(s), PARLY_CLAUDE_DEFAULT_MODEL);
}

TEST_F(Succession, ListingsNameChatModelsOnlyByTheProvidersNameRules) {
    const struct {
        int provider;
        const char* body;
        std::vector<std::string> models;
    } cases[] = {
        {kProviderOpenAI,
         "{\n  \"object\": \"list\",\n  \"data\": [\n    {\"id\": \"gpt-9-sol\", \"object\": \"model\", \"created\": 1, "
         "\"owned_by\": \"system\"},\n    {\"id\": \"gpt-image-3\", \"object\": \"model\"},\n    {\"id\": "
         "\"gpt-9-realtime\"},\n    {\"id\": \"gpt-9-mini-tts\"},\n    {\"id\": \"gpt-9-transcribe\"},\n    {\"id\": "
         "\"text-embedding-4\"},\n    {\"id\": \"omni-moderation-latest\"},\n    {\"id\": \"sora-3\"},\n    {\"id\": "
         "\"dall-e-3\"},\n    {\"id\": \"whisper-1\"},\n    {\"id\": \"o5-mini\"}\n  ]\n}",
         {"gpt-9-sol", "o5-mini"}},
        {kProviderGrok,
         R"({"data":[{"id":"grok-9","created":1},{"id":"grok-imagine-image-2"},{"id":"grok-imagine-video"},{"id":"grok-9-fast"}],"object":"list"})",
         {"grok-9", "grok-9-fast"}},
        {kProviderGroq, R"({"data":[{"id":"openai/gpt-oss-240b","active":true},{"id":"whisper-large-v5","active":true}]})",
         {"openai/gpt-oss-240b"}},
    };
    for (const auto& c : cases) {
        const ModelPage page = ReadModelListPage(c.provider, HttpResult{200, c.body, ""});
        EXPECT_TRUE(page.ok) << c.body;
        EXPECT_EQ(page.models, c.models) << c.body;
    }
}

TEST_F(Succession, ErrorTextsKeepTheirBeginningAndSayWhatToDo) {
    const HttpTarget ollama{"127.0.0.1", 11434, false, "/api/chat"};
    const HttpTarget openai{"api.openai.com", 0, true, "/v1/chat/completions"};
    HttpResult refused;
    refused.failure = HttpFailure::Send;
    refused.systemError = 12029;
    HttpResult unnamed = refused;
    unnamed.systemError = 12007;
    unnamed.proxy = "127.0.0.1:3128";
    HttpResult late;
    late.failure = HttpFailure::TimedOut;
    HttpResult reset = refused;
    reset.systemError = 12030;
    const struct {
        int provider;
        HttpResult reply;
        HttpTarget target;
        const char* hint;
    } cases[] = {
        {kProviderOllama, refused, ollama, "Nothing answered at 127.0.0.1:11434. Is Ollama running there?"},
        {kProviderOpenAI, refused, openai, "Nothing answered at api.openai.com:443."},
        {kProviderOpenAI, unnamed, openai,
         "The name in api.openai.com:443 could not be resolved (asked through the proxy 127.0.0.1:3128)."},
        {kProviderGroq, late, openai, "No reply came from api.openai.com:443 in time."},
        {kProviderOpenAI, reset, openai, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(TransportHint(c.provider, c.reply, c.target), c.hint) << c.hint;

    const struct {
        int provider;
        int status;
        const char* body;
        const char* error;
    } replies[] = {
        {kProviderGrok, 401,
         "{\n  \"code\": \"The caller does not have permission to execute the specified operation\",\n  \"error\": "
         "\"Incorrect API key provided: xa***x.\"\n}",
         "Grok error (401): Incorrect API key provided: xa***x. Check the API key given to ParlyInit."},
        {kProviderGrok, 400, R"({"error":{"message":"Bad request","type":"invalid_request_error"}})",
         "Grok error (400): Bad request"},
        {kProviderClaude, 429,
         R"({"type":"error","error":{"type":"rate_limit_error","message":"Number of request tokens has exceeded your per-minute rate limit"}})",
         "Claude API error (429): Number of request tokens has exceeded your per-minute rate limit. Claude's limit was "
         "reached: wait a moment and try again, or check your plan."},
        {kProviderOllama, 400,
         R"({"error":"the input length exceeds the context length"})",
         "Ollama error (400): the input length exceeds the context length"},
    };
    for (const auto& r : replies) EXPECT_EQ(InterpretChatReply(r.provider, HttpResult{r.status, r.body, ""}).error, r.error);
}

TEST_F(Succession, OllamaReasoningModelsGetNoLimitOfOursUntilTheScriptSetsOne) {
    const struct {
        const char* model;
        bool limitSet;
        bool limited;
    } cases[] = {
        {"llama3", false, true}, {"qwen3:8b", false, false}, {"deepseek-r1:14b", false, false},
        {"gpt-oss:20b", false, false}, {"qwen3:8b", true, true},
    };
    for (const auto& c : cases) {
        SessionSettings s;
        s.provider = kProviderOllama;
        s.endpoint = "http://127.0.0.1:11434";
        s.model = c.model;
        s.maxTokensSet = c.limitSet;
        const std::string body = BuildChatRequest(s, {}, "Hi").body;
        EXPECT_EQ(body.find("\"num_predict\":2048") != std::string::npos, c.limited) << c.model << body;
    }
}

}  // namespace
