// The providers as they answer today: current defaults, reasoning models' request rules, the refusal-driven
// resend and its memory, starved replies, retired models. End to end against the simulator.
#include <gtest/gtest.h>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

class Today : public SimFixture {};

bool Has(const std::string& body, const std::string& part) { return body.find(part) != std::string::npos; }

TEST_F(Today, EveryProvidersDefaultAnswersAndTheConnectionTestsPromptGetsAnAnswer) {
    for (const Provider& p : AllProviders()) {
        SCOPED_TRACE(p.initName);
        Sim::Reset();
        Select(rig, p.initName, std::string(p.initName) == "Grok" ? "xai-k1" : "k1");
        rig.Exec("ParlySend", {"Say hello in exactly 5 words.", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), std::string(p.says) + " says: Say hello in exactly 5 words.") << rig.LastError();
        EXPECT_EQ(Sim::Count(), 1) << "a default is right the first time";
    }
    EXPECT_EQ(rig.LastError(), "");
}

TEST_F(Today, CurrentOpenAIModelsAnswerWithAndWithoutATemperature) {
    Select(rig, "OpenAI");
    for (const char* model : {"gpt-5.6-sol", "gpt-5.4", "gpt-5.6-terra"}) {
        SCOPED_TRACE(model);
        Sim::Reset();
        rig.Exec("ParlySetModel", {model});
        rig.Exec("ParlySetTemp", {"0.2"});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Hi") << rig.LastError();
        EXPECT_EQ(Sim::Count(), 1);
        EXPECT_FALSE(Has(Sim::Body(-1), "temperature")) << Sim::Body(-1);
        rig.Exec("ParlySetMaxTokens", {"9000"});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Hi") << rig.LastError();
        EXPECT_TRUE(Has(Sim::Body(-1), R"(,"max_completion_tokens":9000})")) << Sim::Body(-1);
        rig.Exec("ParlyReset");
    }
}

TEST_F(Today, AnUnknownModelIsResentOncePerRefusedMemberAndTheNextRequestIsRightFirstTime) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"gpt-next-preview"});
    rig.Exec("ParlySetSystem", {"Be brief"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Hi") << rig.LastError();
    ASSERT_EQ(Sim::Count(), 3);
    const std::string start = R"({"model":"gpt-next-preview","messages":[{"role":"system","content":"Be brief"},)"
                              R"({"role":"user","content":"Hi"}])";
    EXPECT_EQ(Sim::Body(0), start + R"(,"temperature":0.70,"max_tokens":2048})");
    EXPECT_EQ(Sim::Body(1), start + R"(,"temperature":0.70,"max_completion_tokens":2048})");
    EXPECT_EQ(Sim::Body(2), start + R"(,"max_completion_tokens":2048})");
    // The history holds the exchange once.
    rig.Exec("ParlySend", {"Next", "[A]"});
    EXPECT_EQ(Sim::Count(), 4) << "the model's refusals are remembered";
    EXPECT_EQ(CountOf(Sim::Body(-1), R"("content":"Hi")"), 1u);
    EXPECT_TRUE(Has(Sim::Body(-1), R"(],"max_completion_tokens":2048})")) << Sim::Body(-1);
    // A background request uses the same memory.
    rig.Exec("ParlySendAsync", {"Later", "[R]", "Done"});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R]"); }, 10000));
    EXPECT_EQ(rig.Var("[R]"), "OpenAI says: Later");
    EXPECT_EQ(Sim::Count(), 5);
    // Unload forgets; the memory is per model.
    rig.Message(2);
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"gpt-next-preview"});
    rig.Exec("ParlySend", {"Again", "[A]"});
    EXPECT_EQ(Sim::Count(), 8);
}

TEST_F(Today, ARefusalIsResentAtMostOnceAndNeverWithoutTheModelOrTheMessages) {
    Select(rig, "Groq");
    rig.Exec("ParlySetModel", {"qwen/qwen-next"});
    const std::string refusal =
        R"({"error":{"message":"'temperature' is not supported with this model","type":"invalid_request_error","param":"temperature"}})";
    NextReply(400, refusal);
    NextReply(400, refusal);
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(rig.LastError(), "Groq error (400): 'temperature' is not supported with this model");
    ASSERT_EQ(Sim::Count(), 2);
    EXPECT_TRUE(Has(Sim::Body(1), R"({"model":"qwen/qwen-next","messages":[{"role":"user","content":"Hi"}])"))
        << Sim::Body(1);
    EXPECT_FALSE(Has(Sim::Body(1), "temperature"));
    // A refusal of something the plug-in did not add on its own is reported as it is.
    NextReply(400, R"({"error":{"message":"'messages' is not supported","param":"messages"}})");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Count(), 3);
    EXPECT_EQ(rig.LastError(), "Groq error (400): 'messages' is not supported");
}

TEST_F(Today, ARefusalAndItsResendShareTheOneTimeOut) {
    Select(rig, "Groq");
    rig.Exec("ParlySetModel", {"qwen/qwen-next"});
    rig.Exec("ParlySetTimeout", {"5"});
    const std::string refusal =
        R"({"error":{"message":"'temperature' is not supported with this model","type":"invalid_request_error","param":"temperature"}})";
    // Each reply alone is within the time-out; the two together are not.
    Sim::Next(R"({"status":400,"delay_ms":3500,"body_b64":")" + Base64(refusal) + "\"}");
    Sim::Next(R"({"delay_ms":3500})");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Count(), 2);
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), "Groq error (0): Request timed out after 5 seconds");
}

TEST_F(Today, AGoogleListingPageThatOmitsItsEmptyModelListIsAnEmptyPage) {
    // Google leaves an empty list out of its JSON, so a page may carry only the token, or nothing at all.
    Select(rig, "Google");
    NextReply(200, "{\n  \"models\": [\n    {\n      \"name\": \"models/gemini-3.5-flash\",\n"
                   "      \"supportedGenerationMethods\": [\"generateContent\"]\n    }\n  ],\n"
                   "  \"nextPageToken\": \"p2\"\n}\n");
    NextReply(200, "{\n  \"nextPageToken\": \"p3\"\n}\n");
    NextReply(200, "{}\n");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "gemini-3.5-flash");
    EXPECT_EQ(rig.LastError(), "");
    EXPECT_EQ(Sim::Count(), 3);
}

TEST_F(Today, AListingPageThatRunsPastTheOneTimeOutNamesTheScriptsTimeOut) {
    Select(rig, "Claude");
    rig.Exec("ParlySetTimeout", {"5"});
    Sim::Next(R"({"page_size":3,"delay_ms":3000})");
    Sim::Next(R"({"mode":"stall"})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), "Failed to get Claude models (0): Request timed out after 5 seconds");
    EXPECT_EQ(Sim::Count(), 2);
}

TEST_F(Today, AListingWhoseCursorsGoRoundStopsAndNamesEachModelOnce) {
    Select(rig, "Claude");
    const std::string a = R"({"data":[{"id":"m1"}],"has_more":true,"last_id":"a"})";
    const std::string b = R"({"data":[{"id":"m2"},{"id":"m1"}],"has_more":true,"last_id":"b"})";
    for (int i = 0; i < 5; ++i) {
        NextReply(200, a);
        NextReply(200, b);
    }
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "m1,m2");
    EXPECT_EQ(rig.LastError(), "");
    EXPECT_EQ(Sim::Count(), 3) << "the third page hands back a cursor already followed";
}

TEST_F(Today, AHardQuestionWithTheDefaultLimitGetsAnAnswerFromReasoningModels) {
    struct Case {
        const char* initName;
        const char* key;
        const char* model;
    } cases[] = {{"OpenAI", "k1", "gpt-5.4"},
                 {"Google", "k1", "gemini-flash-latest"},
                 {"Groq", "k1", "openai/gpt-oss-120b"},
                 {"Grok", "xai-k1", "grok-4.5"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName, c.key);
        rig.Exec("ParlySetModel", {c.model});
        rig.Exec("ParlySend", {"A hard question", "[A]"});
        EXPECT_NE(rig.Var("[A]"), "") << rig.LastError();
    }
}

TEST_F(Today, AScriptsSmallLimitThatStarvesTheAnswerSaysSo) {
    rig.Exec("ParlySetMaxTokens", {"2048"});
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"A hard question", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(rig.LastError(),
              "OpenAI stopped at the token limit before writing any answer (finish_reason length). "
              "Raise the limit with ParlySetMaxTokens.");
    Select(rig, "Google");
    rig.Exec("ParlySend", {"A hard question", "[A]"});
    EXPECT_EQ(rig.LastError(),
              "Google stopped at the token limit before writing any answer (MAX_TOKENS). "
              "Raise the limit with ParlySetMaxTokens.");
    rig.Exec("ParlySetMaxTokens", {"4000"});
    rig.Exec("ParlySend", {"A hard question", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "Gemini says: A hard question");
}

TEST_F(Today, RetiredModelsGiveTheProvidersOwnWords) {
    struct Case {
        const char* initName;
        const char* model;
        const char* error;
    } cases[] = {
        {"OpenAI", "gpt-4-turbo",
         "OpenAI API error (404): The model `gpt-4-turbo` does not exist or you do not have access to it. Chat models "
         "OpenAI lists now: gpt-5.6-sol, gpt-5.6-terra, gpt-5.6-luna, gpt-5.4, gpt-5.4-mini."},
        {"Claude", "claude-3-5-sonnet-20241022",
         "Claude API error (404): model: claude-3-5-sonnet-20241022. Chat models Claude lists now: claude-sonnet-5-5, "
         "claude-sonnet-5, claude-opus-4-7, claude-sonnet-4-6, claude-opus-4-6."},
        {"Google", "gemini-1.5-pro",
         "Google API error (404): models/gemini-1.5-pro is not found for API version v1beta, or is not supported for "
         "generateContent. Call ListModels to see the list of available models and their supported methods. Chat "
         "models Google lists now: gemini-3.5-flash, gemini-3.5-flash-lite, gemini-3.1-pro, gemma-3-1b-it, "
         "gemma-3-4b-it."},
        {"Groq", "llama-3.3-70b-versatile",
         "Groq error (400): The model `llama-3.3-70b-versatile` has been decommissioned and is no longer supported. "
         "Please refer to https://console.groq.com/docs/deprecations for a recommendation on which model to use instead. "
         "Chat models Groq lists now: meta-llama/llama-4-scout-17b-16e-instruct, qwen/qwen3-32b, "
         "openai/gpt-oss-120b, openai/gpt-oss-20b."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName);
        rig.Exec("ParlySetModel", {c.model});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        EXPECT_EQ(rig.LastError(), c.error);
    }
}

}  // namespace
