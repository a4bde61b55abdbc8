#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "providers/chat_protocol.h"
#include "providers/model_list.h"
#include "providers/model_rules.h"

namespace {

SessionSettings Settings(int provider, const std::string& model) {
    SessionSettings s;
    s.provider = provider;
    s.apiKey = "k";
    s.model = model;
    return s;
}

// What follows the prompt "Hi" in a body.
std::string Tail(const ChatRequest& r) {
    const size_t end = r.body.rfind("Hi\"}");
    return end == std::string::npos ? r.body : r.body.substr(end + 4);
}

// Every test starts and ends with no remembered refusal and no host redirection.
class ModelRules : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        ForgetParamRefusals();
        for (const char* name : {"PARLY_OPENAI_URL", "PARLY_CLAUDE_URL", "PARLY_GEMINI_URL", "PARLY_OPENROUTER_URL",
                                 "PARLY_GROQ_URL", "PARLY_GROK_URL"})
            unsetenv(name);
    }
};

TEST_F(ModelRules, ReasoningModelsLeaveThePluginsOwnLimitHomeButSendAScriptsLimitAsSet) {
    const struct {
        int provider;
        const char* model;
        bool limitSet;
        const char* tail;
    } cases[] = {
        {kProviderOpenAI, "gpt-5.6-sol", false, "]}"},
        {kProviderOpenAI, "gpt-5.6-sol", true, R"(],"max_completion_tokens":2048})"},
        {kProviderOpenAI, "o4-pro", true, R"(],"max_completion_tokens":2048})"},
        {kProviderOpenAI, "GPT-6-luna", false, "]}"},
        {kProviderOpenAI, "gpt-4.1", false, R"(],"temperature":0.70,"max_tokens":2048})"},
        {kProviderGroq, "openai/gpt-oss-120b", false, R"(],"temperature":0.7})"},
        {kProviderGroq, "openai/gpt-oss-120b", true, R"(],"temperature":0.7,"max_tokens":2048})"},
        {kProviderGrok, "grok-4.5", false, R"(],"temperature":0.7,"stream":false})"},
        {kProviderGrok, "grok-4.20-non-reasoning", false, R"(],"temperature":0.7,"max_tokens":2048,"stream":false})"},
        {kProviderGemini, "gemini-flash-latest", false, R"(]}],"generationConfig":{"temperature":0.70}})"},
        {kProviderGemini, "gemini-3.5-flash", true, R"(]}],"generationConfig":{"temperature":0.70,"maxOutputTokens":2048}})"},
        {kProviderClaude, "claude-sonnet-5", false, R"(]})"},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(c.provider, c.model);
        s.maxTokensSet = c.limitSet;
        const ChatRequest r = BuildChatRequest(s, {}, "Hi");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(Tail(r), c.tail) << c.model << " " << r.body;
    }
    // Claude's limit is part of its request; a reasoning rule never drops it.
    EXPECT_NE(BuildChatRequest(Settings(kProviderClaude, "claude-sonnet-5"), {}, "Hi").body.find(R"("max_tokens":2048)"),
              std::string::npos);
}

TEST_F(ModelRules, RefusalsAreReadFromThePublishedErrorShapes) {
    const struct {
        int status;
        const char* body;
        unsigned param;
        const char* replacement;
    } cases[] = {
        {400,
         R"({"error":{"message":"Unsupported parameter: 'max_tokens' is not supported with this model. Use 'max_completion_tokens' instead.","type":"invalid_request_error","param":"max_tokens","code":"unsupported_parameter"}})",
         kParamTokenLimit, "max_completion_tokens"},
        {400,
         "{\n  \"error\": {\n    \"message\": \"Unsupported value: 'temperature' does not support 0.7 with this model. "
         "Only the default (1) value is supported.\",\n    \"type\": \"invalid_request_error\",\n    \"param\": "
         "\"temperature\",\n    \"code\": \"unsupported_value\"\n  }\n}",
         kParamTemperature, ""},
        {400, R"({"error":{"message":"Unknown parameter: 'response_format'.","param":"response_format","code":"unknown_parameter"}})",
         kParamResponseFormat, ""},
        {400,
         R"({"error":{"code":400,"message":"Invalid JSON payload received. Unknown name \"maxOutputTokens\" at 'generation_config': Cannot find field.","status":"INVALID_ARGUMENT"}})",
         kParamTokenLimit, ""},
        {422, R"({"code":"Client specified an invalid argument","error":"Argument not supported on this model: temperature"})",
         kParamTemperature, ""},
        // Claude 5 models call a member they no longer take "deprecated": it is left out like an unsupported one.
        {400,
         "{\n  \"type\": \"error\",\n  \"error\": {\n    \"type\": \"invalid_request_error\",\n    \"message\": "
         "\"`temperature` is deprecated for this model.\"\n  },\n  \"request_id\": \"req_011\"\n}",
         kParamTemperature, ""},
        // A value out of range is the script's to mend, not a member to drop.
        {400,
         R"({"error":{"message":"Invalid 'temperature': decimal above maximum value. Expected a value <= 2, but got 5 instead.","param":"temperature","code":"decimal_above_max_value"}})",
         0, ""},
        {404, R"({"error":{"message":"The model `gpt-4` does not exist or you do not have access to it.","code":"model_not_found"}})",
         0, ""},
        {400, R"({"error":{"message":"'messages' is not supported"}})", 0, ""},
        {400, "not json at all: unsupported temperature", 0, ""},
        {500, R"({"error":{"message":"Unsupported parameter: 'max_tokens'","param":"max_tokens"}})", 0, ""},
    };
    for (const auto& c : cases) {
        const ParamRefusal r = ReadParamRefusal(c.status, c.body);
        EXPECT_EQ(r.param, c.param) << c.body;
        EXPECT_EQ(r.replacement, c.replacement) << c.body;
    }
}

TEST_F(ModelRules, ARemembredRefusalShapesTheNextRequestForThatModelOfThatProviderUntilForgotten) {
    SessionSettings s = Settings(kProviderOpenAI, "future-model");
    const std::string before = BuildChatRequest(s, {}, "Hi").body;
    EXPECT_EQ(Tail(BuildChatRequest(s, {}, "Hi")), R"(],"temperature":0.70,"max_tokens":2048})");
    ParamRefusal limit{kParamTokenLimit, "max_completion_tokens"};
    ASSERT_TRUE(RefusalApplies(BuildChatRequest(s, {}, "Hi").shape, limit));
    RememberParamRefusal(kProviderOpenAI, "future-model", limit);
    RememberParamRefusal(kProviderOpenAI, "future-model", ParamRefusal{kParamTemperature, ""});
    const ChatRequest after = BuildChatRequest(s, {}, "Hi");
    EXPECT_EQ(Tail(after), R"(],"max_completion_tokens":2048})");
    EXPECT_FALSE(RefusalApplies(after.shape, ParamRefusal{kParamTemperature, ""})) << "nothing left to drop";
    EXPECT_FALSE(RefusalApplies(after.shape, limit)) << "the same rename again would resend the same bytes";
    EXPECT_TRUE(RefusalApplies(after.shape, ParamRefusal{kParamTokenLimit, ""}));
    // The same name at another provider, and another model, keep their request.
    EXPECT_EQ(Tail(BuildChatRequest(Settings(kProviderGroq, "future-model"), {}, "Hi")),
              R"(],"temperature":0.7,"max_tokens":2048})");
    EXPECT_EQ(Tail(BuildChatRequest(Settings(kProviderOpenAI, "future-model-2"), {}, "Hi")),
              R"(],"temperature":0.70,"max_tokens":2048})");
    ForgetParamRefusals();
    EXPECT_EQ(BuildChatRequest(s, {}, "Hi").body, before);
}

TEST_F(ModelRules, ARefusalOfAMemberTheRequestDidNotCarryIsNoReasonToResend) {
    const ParamRefusal limit{kParamTokenLimit, ""}, temperature{kParamTemperature, ""},
        format{kParamResponseFormat, ""};
    const struct {
        int provider;
        const char* model;
        ParamRefusal refusal;
    } cases[] = {
        {kProviderOpenRouter, "openrouter/free", limit},  // its limit goes out only once a script set one
        {kProviderClaude, "claude-sonnet-5", temperature},
        {kProviderOllama, "llama3", temperature},  // its options are sent as they are
        {kProviderOllama, "llama3", limit},
        {kProviderOpenAI, "gpt-4o", format},  // no chat request asks for an image format
        {kProviderGroq, "qwen/qwen3-32b", limit},
    };
    for (const auto& c : cases) {
        SessionSettings s = Settings(c.provider, c.model);
        if (c.provider == kProviderOllama) s.endpoint = "http://localhost:11434";
        const ChatRequest r = BuildChatRequest(s, {}, "Hi");
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_FALSE(RefusalApplies(r.shape, c.refusal)) << c.model << " " << c.refusal.param << " " << r.body;
    }
    SessionSettings set = Settings(kProviderOpenRouter, "openrouter/free");
    set.maxTokensSet = true;
    EXPECT_TRUE(RefusalApplies(BuildChatRequest(set, {}, "Hi").shape, limit)) << "a limit it carries can be dropped";
}

TEST_F(ModelRules, StoppedRepliesNameTheirReasonInsteadOfAParseFailure) {
    const struct {
        int provider;
        const char* body;
        const char* error;
    } cases[] = {
        {kProviderOpenAI,
         R"({"choices":[{"index":0,"message":{"role":"assistant","content":"","refusal":null},"finish_reason":"length"}]})",
         "OpenAI stopped at the token limit before writing any answer (finish_reason length). Raise the limit with "
         "ParlySetMaxTokens."},
        {kProviderGrok, "{\n  \"choices\": [ { \"message\": { \"content\": null }, \"finish_reason\": \"length\" } ]\n}",
         "Grok stopped at the token limit before writing any answer (finish_reason length). Raise the limit with "
         "ParlySetMaxTokens."},
        {kProviderGroq, R"({"choices":[{"message":{"content":""},"finish_reason":"content_filter"}]})",
         "Groq withheld the answer (finish_reason content_filter)."},
        {kProviderGemini, R"({"candidates":[{"content":{"role":"model"},"finishReason":"MAX_TOKENS","index":0}]})",
         "Google stopped at the token limit before writing any answer (MAX_TOKENS). Raise the limit with "
         "ParlySetMaxTokens."},
        {kProviderGemini, R"({"candidates":[{"finishReason":"SAFETY","safetyRatings":[]}]})",
         "Google withheld the answer (SAFETY)."},
        {kProviderGemini, R"({"candidates":[{"content":{},"finishReason":"RECITATION"}]})",
         "Google withheld the answer (RECITATION)."},
        {kProviderGemini, R"({"promptFeedback":{"blockReason":"PROHIBITED_CONTENT"}})",
         "Google blocked the prompt (PROHIBITED_CONTENT)."},
        {kProviderGemini, R"({"candidates":[{"content":{"parts":[]},"finishReason":"STOP"}]})",
         "Failed to parse Google response"},
        {kProviderClaude,
         R"({"type":"message","content":[{"type":"text","text":"I will not"}],"stop_reason":"refusal"})",
         "Claude refused to answer (stop_reason refusal)."},
        {kProviderClaude, R"({"type":"message","content":[],"stop_reason":"max_tokens"})",
         "Claude stopped at the token limit before writing any answer (stop_reason max_tokens). Raise the limit with "
         "ParlySetMaxTokens."},
    };
    for (const auto& c : cases) {
        const ChatOutcome o = InterpretChatReply(c.provider, HttpResult{200, c.body, ""});
        EXPECT_FALSE(o.ok) << c.body;
        EXPECT_EQ(o.answer, "") << c.body;
        EXPECT_EQ(o.error, c.error) << c.body;
    }
    // A reply cut at the limit after some text still gives that text.
    const ChatOutcome partial = InterpretChatReply(
        kProviderGemini, HttpResult{200, R"({"candidates":[{"content":{"parts":[{"text":"Half"}]},"finishReason":"MAX_TOKENS"}]})", ""});
    EXPECT_TRUE(partial.ok);
    EXPECT_EQ(partial.answer, "Half");
}

std::vector<std::string> Models(int provider, const std::string& body, std::string* cursor = nullptr) {
    const ModelPage page = ReadModelListPage(provider, HttpResult{200, body, ""});
    EXPECT_TRUE(page.ok) << page.error;
    if (cursor) *cursor = page.cursor;
    return page.models;
}

TEST_F(ModelRules, ListingPagesGiveOnlyChatModelsAndTheirCursor) {
    std::string cursor;
    EXPECT_EQ(Models(kProviderGemini,
                     "{\n  \"models\": [\n    {\n      \"name\": \"models/gemini-3.5-flash\",\n      "
                     "\"supportedGenerationMethods\": [\"generateContent\", \"countTokens\"]\n    },\n    {\n      "
                     "\"name\": \"models/gemini-embedding-001\",\n      \"supportedGenerationMethods\": "
                     "[\"embedContent\"]\n    }\n  ],\n  \"nextPageToken\": \"Cg5t/b2Rl=\"\n}",
                     &cursor),
              (std::vector<std::string>{"gemini-3.5-flash"}));
    EXPECT_EQ(cursor, "Cg5t/b2Rl=");
    EXPECT_EQ(Models(kProviderClaude,
                     R"({"data":[{"type":"model","id":"claude-sonnet-5"},{"type":"model","id":"claude-opus-4-7"}],)"
                     R"("has_more":true,"first_id":"claude-sonnet-5","last_id":"claude-opus-4-7"})",
                     &cursor),
              (std::vector<std::string>{"claude-sonnet-5", "claude-opus-4-7"}));
    EXPECT_EQ(cursor, "claude-opus-4-7");
    Models(kProviderClaude, R"({"data":[],"has_more":false,"last_id":null})", &cursor);
    EXPECT_EQ(cursor, "");
    // Nested objects carry ids of their own; only the entry's own id counts.
    EXPECT_EQ(Models(kProviderOpenRouter,
                     R"({"data":[{"top_provider":{"id":"nested"},"id":"openrouter/free","architecture":)"
                     R"({"output_modalities":["text"]}},{"id":"flux","architecture":{"output_modalities":["image"]}},)"
                     R"({"id":"x/plain"}]})"),
              (std::vector<std::string>{"openrouter/free", "x/plain"}));
    EXPECT_EQ(Models(kProviderGroq, R"({"object":"list","data":[{"id":"a","active":true},{"id":"b","active":false}]})"),
              (std::vector<std::string>{"a"}));
    EXPECT_EQ(Models(kProviderOpenAI, R"({"object":"list","data":[{"id":"gpt-5.4","extra":[1,{"x":"]"}]}]})", &cursor),
              (std::vector<std::string>{"gpt-5.4"}));
    EXPECT_EQ(cursor, "");
    for (const char* broken : {"", "[]", R"({"data":[{"id":"a"})", R"({"object":"list"})"}) {
        const ModelPage page = ReadModelListPage(kProviderOpenAI, HttpResult{200, broken, ""});
        EXPECT_FALSE(page.ok) << broken;
        EXPECT_EQ(page.error, "Failed to read the OpenAI model list") << broken;
    }
    // Google leaves an empty list out of its JSON: a page with only a token, or nothing, is an empty page.
    EXPECT_EQ(Models(kProviderGemini, "{\n  \"nextPageToken\": \"p3\"\n}", &cursor), std::vector<std::string>{});
    EXPECT_EQ(cursor, "p3");
    EXPECT_EQ(Models(kProviderGemini, "{}", &cursor), std::vector<std::string>{});
    EXPECT_EQ(cursor, "");
    for (const char* broken : {"", R"({"models":[{"name":"models/a"})", R"({"models":{}})"})
        EXPECT_FALSE(ReadModelListPage(kProviderGemini, HttpResult{200, broken, ""}).ok) << broken;
    const ModelPage refused = ReadModelListPage(
        kProviderGemini, HttpResult{400, R"({"error":{"code":400,"message":"API key not valid."}})", ""});
    EXPECT_EQ(refused.error, "Failed to get Google models (400): API key not valid. Check the API key given to ParlyInit.");
}

// The list is joined by commas, so an id holding a comma or a control character could not be read back.
TEST_F(ModelRules, EveryListedEntryIsOneWholeModelId) {
    const struct {
        int provider;
        const char* body;
        std::vector<std::string> models;
    } cases[] = {
        {kProviderOpenAI,
         "{\n  \"object\": \"list\",\n  \"data\": [\n    {\"id\": \"a,b\"},\n    {\"id\": \"line\\nbreak\"},\n"
         "    {\"id\": \"cr\\r\"},\n    {\"id\": \"del\\u007f\"},\n    {\"id\": \"ok-1\"},\n    {\"id\": \"q\\\"uote\"}\n  ]\n}",
         {"ok-1", "q\"uote"}},
        {kProviderGemini, R"({"models":[{"name":"models/x,y"},{"name":"models/tab\tz"},{"name":"models/g-1"}]})", {"g-1"}},
        {kProviderClaude, R"({"data":[{"id":"c\u0000"},{"id":""},{"id":"claude-x"}],"has_more":false})", {"claude-x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(Models(c.provider, c.body), c.models) << c.body;
}

TEST_F(ModelRules, ListingRequestsCarryTheKeyTheProviderWantsAndTheCursorEncoded) {
    SessionSettings s = Settings(kProviderGemini, "m");
    s.apiKey = "a&b";
    ChatRequest r = BuildModelListRequest(s, "Cg5/b=");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.target.path, "/v1beta/models?key=a%26b&pageToken=Cg5%2Fb%3D");
    EXPECT_TRUE(r.headers.empty());
    r = BuildModelListRequest(Settings(kProviderClaude, "m"), "claude-x");
    EXPECT_EQ(r.target.path, "/v1/models?after_id=claude-x");
    EXPECT_EQ(r.headers.at("x-api-key"), "k");
    EXPECT_EQ(r.headers.count("Authorization"), 0u);
    r = BuildModelListRequest(Settings(kProviderOpenRouter, "m"), "");
    EXPECT_EQ(r.target.path, "/api/v1/models");
    EXPECT_TRUE(r.headers.empty()) << "the listing is public, so the key stays home";
    r = BuildModelListRequest(Settings(kProviderGroq, "m"), "");
    EXPECT_EQ(r.target.host, "api.groq.com");
    EXPECT_EQ(r.target.path, "/openai/v1/models");
    EXPECT_EQ(r.headers.at("Authorization"), "Bearer k");
}

}  // namespace
