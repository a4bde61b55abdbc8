// Chat, model lists, provider selection and settings, end to end through nbExecAction against the simulator.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <memory>

#include "providers/registry.h"
#include "session/settings.h"
#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

size_t Roles(const std::string& body) { return CountOf(body, "\"role\":\""); }

class Chat : public SimFixture {};

// ---------------------------------------------------------------------------------------------
// Every provider: the answer, the request line and the headers the plug-in chose.

struct WireCase {
    const char* initName;
    const char* requestLine;
    std::vector<std::string> headers;  // in sending order
};

TEST_F(Chat, EveryProviderAnswersOverItsOwnPathWithItsHeadersInNameOrder) {
    const WireCase cases[] = {
        {"OpenAI", "POST /v1/chat/completions", {"Authorization: Bearer k1", "Content-Type: application/json"}},
        {"Claude", "POST /v1/messages",
         {"Content-Type: application/json", "anthropic-version: 2023-06-01", "x-api-key: k1"}},
        {"Google", "POST /v1beta/models/gemini-flash-latest:generateContent?key=k1", {"Content-Type: application/json"}},
        {"Ollama", "POST /api/chat", {"Content-Type: application/json"}},
        {"OpenRouter", "POST /api/v1/chat/completions",
         {"Authorization: Bearer k1", "Content-Type: application/json",
          "HTTP-Referer: https://github.com/parlyplugin/parly-nbp", "X-Title: Parly Plugin for Stagewright Win"}},
        {"Groq", "POST /openai/v1/chat/completions", {"Authorization: Bearer k1", "Content-Type: application/json"}},
        {"Grok", "POST /v1/chat/completions", {"Authorization: Bearer k1", "Content-Type: application/json"}},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), std::string(ProviderNamed(c.initName).says) + " says: Hi");
        std::string head = Sim::Head(-1);
        EXPECT_EQ(RequestLine(head), c.requestLine);
        EXPECT_EQ(OwnHeaderLines(head), c.headers);
        EXPECT_EQ(Sim::Header("User-Agent"), "ParlyPlugin/2.0");
    }
    EXPECT_EQ(Sim::Count(), 7);
    EXPECT_EQ(rig.LastError(), "");
}

// ---------------------------------------------------------------------------------------------
// Exact bodies.

TEST_F(Chat, OpenAIBodyWithSystemPromptAndOneEarlierExchange) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"gpt-4o"});  // a model that takes the older request keeps its exact bytes
    rig.Exec("ParlySetSystem", {"Be brief"});
    NextContent("Hello!");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    ASSERT_EQ(rig.Var("[A]"), "Hello!");
    rig.Exec("ParlySend", {"Next", "[A]"});
    EXPECT_EQ(Sim::Body(-1),
              R"({"model":"gpt-4o","messages":[{"role":"system","content":"Be brief"},{"role":"user","content":"Hi"},)"
              R"({"role":"assistant","content":"Hello!"},{"role":"user","content":"Next"}],"temperature":0.70,"max_tokens":2048})");
}

TEST_F(Chat, ClaudeBodyForModelMAndPromptHiIsSeventyFiveBytes) {
    Select(rig, "Claude");
    rig.Exec("ParlySetModel", {"m"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    const std::string expected = R"({"model":"m","max_tokens":2048,"messages":[{"role":"user","content":"Hi"}]})";
    EXPECT_EQ(expected.size(), 75u);
    EXPECT_EQ(Sim::Body(-1), expected);
}

TEST_F(Chat, ClaudeSendsSystemEscapedAndFourHistoryElementsOnTheThirdCall) {
    Select(rig, "Claude");
    rig.Exec("ParlySetModel", {"m"});
    rig.Exec("ParlySetSystem", {"Say \"hi\"\nnow"});
    NextContent("r1");
    rig.Exec("ParlySend", {"p1", "[A]"});
    NextContent("r2");
    rig.Exec("ParlySend", {"p2", "[A]"});
    rig.Exec("ParlySend", {"p3", "[A]"});
    EXPECT_EQ(Sim::Body(-1),
              R"({"model":"m","max_tokens":2048,"system":"Say \"hi\"\nnow","messages":[{"role":"user","content":"p1"},)"
              R"({"role":"assistant","content":"r1"},{"role":"user","content":"p2"},{"role":"assistant","content":"r2"},)"
              R"({"role":"user","content":"p3"}]})");
}

TEST_F(Chat, GeminiBodyForPromptHiIsOneHundredSeventeenBytes) {
    Select(rig, "Google");
    rig.Exec("ParlySetMaxTokens", {"2048"});  // a limit the script set goes out even to a reasoning model
    rig.Exec("ParlySend", {"Hi", "[A]"});
    const std::string expected =
        R"({"contents":[{"role":"user","parts":[{"text":"Hi"}]}],"generationConfig":{"temperature":0.70,"maxOutputTokens":2048}})";
    EXPECT_EQ(expected.size(), 117u);
    EXPECT_EQ(Sim::Body(-1), expected);
}

TEST_F(Chat, GeminiMapsAssistantToModelAndPutsSystemInstructionBetweenContentsAndConfig) {
    Select(rig, "Google");
    rig.Exec("ParlySetMaxTokens", {"2048"});
    NextContent("b");
    rig.Exec("ParlySend", {"a", "[A]"});
    rig.Exec("ParlySetSystem", {"sys"});
    rig.Exec("ParlySetTemp", {"1.5"});
    rig.Exec("ParlySend", {"c", "[A]"});
    EXPECT_EQ(Sim::Body(-1),
              R"({"contents":[{"role":"user","parts":[{"text":"a"}]},{"role":"model","parts":[{"text":"b"}]},)"
              R"({"role":"user","parts":[{"text":"c"}]}],"systemInstruction":{"parts":[{"text":"sys"}]},)"
              R"("generationConfig":{"temperature":1.50,"maxOutputTokens":2048}})");
}

TEST_F(Chat, GeminiPercentEncodesUnsafeBytesOfKeyAndModelInThePath) {
    Select(rig, "Google", "a&b c");
    rig.Exec("ParlySetModel", {"gemini-3.5-flash"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /v1beta/models/gemini-3.5-flash:generateContent?key=a%26b%20c");
    EXPECT_EQ(rig.Var("[A]"), "Gemini says: Hi");
}

TEST_F(Chat, OllamaBodyForPromptHiIsOneHundredTwentySevenBytes) {
    Select(rig, "Ollama");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    const std::string expected =
        R"({"model":"llama3","messages":[{"role":"user","content":"Hi"}],"stream":false,"options":{"temperature":0.70,"num_predict":2048}})";
    EXPECT_EQ(expected.size(), 127u);
    EXPECT_EQ(Sim::Body(-1), expected);
}

TEST_F(Chat, OllamaSendsTheSystemPromptFirstAndNeverStoresIt) {
    Select(rig, "Ollama");
    rig.Exec("ParlySetSystem", {"sys"});
    NextContent("r1");
    rig.Exec("ParlySend", {"p1", "[A]"});
    EXPECT_EQ(Sim::Body(-1),
              R"({"model":"llama3","messages":[{"role":"system","content":"sys"},{"role":"user","content":"p1"}],)"
              R"("stream":false,"options":{"temperature":0.70,"num_predict":2048}})");
    rig.Exec("ParlySend", {"p2", "[A]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), R"({"role":"system")"), 1u);
    EXPECT_EQ(Roles(Sim::Body(-1)), 4u);
}

TEST_F(Chat, OpenAICompatibleBodiesEndPerProvider) {
    struct Ending {
        const char* initName;
        const char* ending;
    } cases[] = {
        // The defaults reason before they answer: the plug-in's own limit stays home, OpenAI's temperature too.
        {"OpenAI", R"(","messages":[{"role":"user","content":"Hi"}]})"},
        {"OpenRouter", R"(],"temperature":0.7})"},
        {"Groq", R"(],"temperature":0.7})"},
        {"Grok", R"(],"temperature":0.7,"stream":false})"},
    };
    for (const Ending& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        std::string body = Sim::Body(-1);
        EXPECT_TRUE(body.size() >= strlen(c.ending) && body.compare(body.size() - strlen(c.ending), std::string::npos,
                                                                     c.ending) == 0)
            << body;
        EXPECT_TRUE(StartsWith(body, R"({"model":")")) << body;
    }
}

TEST_F(Chat, OpenRouterSendsTheTokenLimitOnlyOnceAScriptHasSetOne) {
    Select(rig, "OpenRouter");
    rig.Exec("ParlySetMaxTokens", {"not a number"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Body(-1).find("max_tokens"), std::string::npos);
    rig.Exec("ParlySetMaxTokens", {"2048"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(R"("temperature":0.7,"max_tokens":2048})"), std::string::npos) << Sim::Body(-1);
    rig.Exec("ParlySetMaxTokens", {"0"});
    rig.Exec("ParlyInit", {"OpenRouter", "k2", "[S]"});  // the flag outlives a new session
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(R"("max_tokens":1})"), std::string::npos) << Sim::Body(-1);
}

TEST_F(Chat, TemperatureIsTwoDecimalsForOpenAIAndShortestForTheOthers) {
    struct Case {
        const char* text;
        const char* openai;
        const char* groq;
    } cases[] = {{"1.0", "1.00", "1"}, {"0.25", "0.25", "0.25"}, {"0", "0.00", "0"}, {"0.05", "0.05", "0.05"},
                   {"-0", "0.00", "0"}, {"-0.0e5", "0.00", "0"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        rig.Exec("ParlySetTemp", {c.text});
        Select(rig, "OpenAI");
        rig.Exec("ParlySetModel", {"gpt-4o"});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_NE(Sim::Body(-1).find(std::string("\"temperature\":") + c.openai + ","), std::string::npos) << Sim::Body(-1);
        Select(rig, "Groq");
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_NE(Sim::Body(-1).find(std::string("\"temperature\":") + c.groq + "}"), std::string::npos) << Sim::Body(-1);
    }
}

TEST_F(Chat, PromptAndModelAreEscapedAndTheHistoryKeepsThePromptRaw) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"my\"model"});
    NextContent("ok");
    rig.Exec("ParlySend", {"say \"x\" \\ now\nline", "[A]"});
    const std::string escaped = R"("content":"say \"x\" \\ now\nline")";
    EXPECT_NE(Sim::Body(-1).find(escaped), std::string::npos) << Sim::Body(-1);
    EXPECT_TRUE(StartsWith(Sim::Body(-1), R"({"model":"my\"model","messages")")) << Sim::Body(-1);
    rig.Exec("ParlySend", {"again", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(R"({"role":"user",)" + escaped + "}"), std::string::npos) << Sim::Body(-1);
}

TEST_F(Chat, AnsiPromptArrivesAsUtf8) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"caf\xe9", "[A]"});
    std::string body = Sim::Body(-1);
    EXPECT_NE(body.find("\"content\":\"caf\xc3\xa9\"}"), std::string::npos) << body;
    EXPECT_EQ(body.find("caf\xe9\""), std::string::npos);
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: caf\xc3\xa9");
}

// ---------------------------------------------------------------------------------------------
// History: two entries per success, none on failure, for every provider.

TEST_F(Chat, HistoryGrowsByTwoPerSuccessAndNotAtAllOnFailure) {
    for (const Provider& p : AllProviders()) {
        SCOPED_TRACE(p.initName);
        Sim::Reset();
        Select(rig, p.initName);
        rig.Exec("ParlySend", {"first-prompt", "[A]"});
        ASSERT_EQ(rig.Var("[A]"), std::string(p.says) + " says: first-prompt");
        NextReply(500, "boom");
        rig.Exec("ParlySend", {"second-prompt", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        rig.Exec("ParlySend", {"third-prompt", "[A]"});
        ASSERT_EQ(Sim::Count(), 3);
        EXPECT_EQ(Roles(Sim::Body(1)), 3u);
        std::string third = Sim::Body(2);
        EXPECT_EQ(Roles(third), 3u) << third;
        EXPECT_EQ(CountOf(third, "first-prompt"), 2u) << third;  // the prompt and the answer that echoes it
        EXPECT_EQ(third.find("second-prompt"), std::string::npos) << third;
    }
}

TEST_F(Chat, TenExchangesSendTwentyAlternatingEntries) {
    Select(rig, "OpenAI");
    for (int i = 0; i < 10; ++i) rig.Exec("ParlySend", {"q" + std::to_string(i), "[A]"});
    rig.Exec("ParlySend", {"last", "[A]"});
    std::string body = Sim::Body(-1);
    EXPECT_EQ(CountOf(body, R"("role":"user")"), 11u);
    EXPECT_EQ(CountOf(body, R"("role":"assistant")"), 10u);
    EXPECT_NE(body.find(R"({"role":"user","content":"q9"},{"role":"assistant","content":"OpenAI says: q9"},)"
                        R"({"role":"user","content":"last"}])"),
              std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Failures: only 200 counts, error texts, parse failures.

TEST_F(Chat, OnlyStatus200IsSuccessEvenWithANormalBody) {
    struct Case {
        const char* initName;
        const char* body;
    } cases[] = {
        {"OpenAI", R"({"choices":[{"content":"ok"}]})"},
        {"Claude", R"({"content":[{"type":"text","text":"ok"}]})"},
        {"Google", R"({"candidates":[{"content":{"parts":[{"text":"ok"}]}}]})"},
        {"Ollama", R"({"message":{"role":"assistant","content":"ok"}})"},
        {"OpenRouter", R"({"choices":[{"content":"ok"}]})"},
        {"Groq", R"({"choices":[{"content":"ok"}]})"},
        {"Grok", R"({"choices":[{"content":"ok"}]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName);
        NextReply(201, c.body);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        EXPECT_EQ(rig.LastError(), std::string(ProviderNamed(c.initName).errorPrefix) + "201): " + c.body);
        NextReply(200, c.body);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "ok");
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(Roles(Sim::Body(-1)), 3u) << "only the 200 exchange entered the history";
    }
}

TEST_F(Chat, FailureRepliesGiveTheProvidersErrorTextAndLeaveHistoryAlone) {
    struct Case {
        const char* initName;
        int status;
        std::string body;
        std::string error;
    } cases[] = {
        {"OpenAI", 401, R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error"}})",
         "OpenAI API error (401): Incorrect API key provided. Check the API key given to ParlyInit."},
        {"Groq", 500, "Internal error", "Groq error (500): Internal error"},
        {"Claude", 529, R"({"type":"error","error":{"type":"overloaded_error"}})",
         R"(Claude API error (529): {"type":"error","error":{"type":"overloaded_error"}})"},
        {"Claude", 400, R"({"type":"error","error":{"type":"invalid_request_error","message":"bad model"}})",
         "Claude API error (400): bad model"},
        {"Google", 400, R"({"error":{"code":400,"status":"INVALID_ARGUMENT"}})",
         R"(Google API error (400): {"error":{"code":400,"status":"INVALID_ARGUMENT"}})"},
        {"Google", 403, R"({"error":{"code":403,"message":"denied"}})", "Google API error (403): denied. Check the API key given to ParlyInit."},
        // A model refused as unknown: the models served now follow.
        {"Ollama", 404, R"({"error":"model \"x\" not found"})",
         "Ollama error (404): model \"x\" not found. Chat models Ollama lists now: llama3:latest, mistral:7b."},
        {"OpenRouter", 429, R"({"error":{"message":"Rate limited","code":429}})",
         "OpenRouter error (429): Rate limited. OpenRouter's limit was reached: wait a moment and try again, or check "
         "your plan."},
        {"Grok", 503, "", "Grok error (503): "},
        {"OpenAI", 200, R"({"choices":[]})", "Failed to parse OpenAI response"},
        {"OpenAI", 200, R"({"choices":[{"message":{"content":""}}]})", "Failed to parse OpenAI response"},
        {"Grok", 200, R"({"choices":[]})", "Failed to extract response from Grok"},
        {"Groq", 200, R"({"choices":[{"message":{"content":null}}]})", "Failed to extract response from Groq"},
        {"OpenRouter", 200, R"({"choices":[{"message":{"content":null}}]})",
         "Failed to extract response from OpenRouter"},
        {"Grok", 200, R"({"choices":[{"message":{"content":null}}]})", "Failed to extract response from Grok"},
        {"Claude", 200, R"({"content":[{"type":"text","text":""}]})", "Failed to parse Claude response"},
        {"Claude", 200, "{}", "Failed to parse Claude response"},
        {"Google", 200, R"({"candidates":[]})", "Failed to parse Google response"},
        {"Ollama", 200, R"({"message":{"role":"assistant","content":""}})", "Failed to parse Ollama response"},
        {"Ollama", 200, R"({"content":"orphan"})", "Failed to parse Ollama response"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.initName) + " " + std::to_string(c.status) + " " + c.body);
        Select(rig, c.initName);
        NextReply(c.status, c.body);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        EXPECT_EQ(rig.LastError(), c.error);
        rig.Exec("ParlySend", {"after", "[A]"});
        EXPECT_EQ(Roles(Sim::Body(-1)), 1u);
        EXPECT_EQ(rig.LastError(), c.error) << "a success never empties lastError";
    }
}

TEST_F(Chat, RefusedConnectionReportsStatusZeroAndTheSendError) {
    for (const Provider& p : AllProviders()) {
        SCOPED_TRACE(p.initName);
        Select(rig, p.initName);
        std::unique_ptr<ScopedEnv> closed;
        if (p.redirectVar)
            closed = std::make_unique<ScopedEnv>(p.redirectVar, ClosedUrl());
        else
            rig.Exec("ParlySetEndpoint", {ClosedUrl()});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
        std::string error = rig.LastError();
        EXPECT_TRUE(StartsWith(error, std::string(p.errorPrefix) + "0): Failed to send request. Error code: ")) << error;
        EXPECT_GT(error.size(), std::string(p.errorPrefix).size() + 40);  // a number follows
    }
}

TEST_F(Chat, FixedHostRedirectionIsReadAtEachRequest) {
    Select(rig, "OpenAI");
    {
        ScopedEnv closed("PARLY_OPENAI_URL", ClosedUrl());
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "");
    }
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Hi");
}

TEST_F(Chat, InvalidUnicodeEscapeInTheAnswerIsAnOrderlyFailure) {
    const std::string openai = R"({"choices":[{"message":{"content":"bad \uZZZZ end"}}]})";
    struct Case {
        const char* initName;
        std::string body;
    } cases[] = {
        {"OpenAI", openai},
        {"Claude", R"({"content":[{"type":"text","text":"bad \uZZZZ end"}]})"},
        {"Google", R"({"candidates":[{"content":{"parts":[{"text":"bad \uZZZZ end"}]}}]})"},
        {"Ollama", R"({"message":{"role":"assistant","content":"bad \uZZZZ end"}})"},
        {"OpenRouter", openai},
        {"Groq", openai},
        {"Grok", openai},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName);
        NextReply(200, c.body);
        EXPECT_EQ(rig.Exec("ParlySend", {"Hi", "[A]"}), 1);
        EXPECT_EQ(rig.Var("[A]"), "");
        std::string error = rig.LastError();
        EXPECT_NE(error, "");
        EXPECT_EQ(error.find("Exception"), std::string::npos) << error;
        rig.Exec("ParlySend", {"after", "[A]"});
        EXPECT_EQ(Roles(Sim::Body(-1)), 1u);
    }
}

TEST_F(Chat, EmojiAnswersArriveIntactWhetherRawOrAsSurrogateEscapes) {
    const std::string smile = "smile \xF0\x9F\x98\x80";
    struct Case {
        const char* initName;
        std::string body;
    } cases[] = {
        {"OpenAI", "{\"choices\":[{\"message\":{\"content\":\"" + smile + "\"}}]}"},
        {"OpenAI", R"({"choices":[{"message":{"content":"smile \ud83d\ude00"}}]})"},
        {"Claude", R"({"content":[{"type":"text","text":"smile \uD83D\uDE00"}]})"},
        {"Groq", R"({"choices":[{"message":{"content":"smile \ud83d\ude00"}}]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName + std::string(" ") + c.body);
        Select(rig, c.initName);
        NextReply(200, c.body);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), smile);
        rig.Exec("ParlySend", {"again", "[A]"});
        EXPECT_NE(Sim::Body(-1).find("\"content\":\"" + smile + "\""), std::string::npos) << Sim::Body(-1);
    }
}

TEST_F(Chat, MultilineOffTurnsLineBreaksIntoSpacesButTheHistoryKeepsThem) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetMultiline", {"false"});
    NextContent("Line1\nLine2\r\nLine3");
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "Line1 Line2 Line3");
    rig.Exec("ParlySend", {"again", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(R"("content":"Line1\nLine2\r\nLine3")"), std::string::npos) << Sim::Body(-1);
}

TEST_F(Chat, TimeoutClampedToFiveSecondsEndsAStalledRequest) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetTimeout", {"2"});  // stored as 5
    Sim::Next(R"({"mode":"stall"})");
    DWORD start = GetTickCount();
    rig.Exec("ParlySend", {"Hi", "[A]"});
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 4500u);
    EXPECT_LE(elapsed, 6500u);
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), "OpenAI API error (0): Request timed out after 5 seconds");
}

TEST_F(Chat, AReplyBeyondTheSizeLimitEndsAsAnExceptionWithStatusZero) {
    Select(rig, "OpenAI");
    Sim::Next("{\"content\":\"" + std::string(1024, 'x') + "\",\"repeat_content\":262200}");  // about 268 MB
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_TRUE(StartsWith(rig.LastError(), "OpenAI API error (0): Exception: ")) << rig.LastError().substr(0, 200);
    rig.Exec("ParlySend", {"after", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: after");
    EXPECT_EQ(Roles(Sim::Body(-1)), 1u);
}

// ---------------------------------------------------------------------------------------------
// Ollama endpoint and model listing.

TEST_F(Chat, OllamaListingReturnsTheServersNames) {
    Select(rig, "Ollama");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "llama3:latest,mistral:7b");
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "GET /api/tags");
}

TEST_F(Chat, OllamaListingFailures) {
    Select(rig, "Ollama");
    NextReply(404, R"({"error":"not found"})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "Failed to get Ollama models: ");

    rig.Exec("ParlySetEndpoint", {ClosedUrl()});
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), "Failed to get Ollama models: Failed to send request");
}

TEST_F(Chat, OllamaListingWithoutNamesIsEmptyAndKeepsLastError) {
    Select(rig, "Ollama");
    rig.Exec("ParlySetTemp", {"x"});
    NextReply(200, R"({"models":[]})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "Invalid temperature value");
}

TEST_F(Chat, OllamaEndpointForms) {
    const std::string port = std::to_string(Sim::Port());
    for (const std::string& endpoint :
         {"http://127.0.0.1:" + port, "http://127.0.0.1:" + port + "/", "127.0.0.1:" + port,
          "http://127.0.0.1:" + port + "/api"}) {
        SCOPED_TRACE(endpoint);
        rig.Exec("ParlySetEndpoint", {endpoint});
        rig.Exec("ParlyInit", {"ollama", kAbsent, kAbsent});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "Ollama says: Hi");
        rig.Exec("ParlyGetModels", {"[M]"});
        EXPECT_EQ(rig.Var("[M]"), "llama3:latest,mistral:7b");
    }
}

TEST_F(Chat, OllamaHttpsEndpointSpeaksTls) {
    Select(rig, "Ollama");
    rig.Exec("ParlySetEndpoint", {"https://127.0.0.1:" + std::to_string(Sim::Port())});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");  // the plain-HTTP simulator cannot complete a TLS handshake
    EXPECT_TRUE(StartsWith(rig.LastError(), "Ollama error (0): Failed to ")) << rig.LastError();
}

TEST_F(Chat, OllamaEndpointWithABadPortFailsInOrderAndSendsNothing) {
    for (const char* endpoint : {"http://127.0.0.1:abc", "http://127.0.0.1:99999999999", "http://127.0.0.1:"}) {
        SCOPED_TRACE(endpoint);
        Sim::Reset();
        Select(rig, "Ollama");
        NextContent("r1");
        rig.Exec("ParlySend", {"p1", "[A]"});
        ASSERT_EQ(rig.Var("[A]"), "r1");
        rig.Exec("ParlySetEndpoint", {endpoint});
        EXPECT_EQ(rig.Exec("ParlySend", {"Hi", "[A]"}), 1);
        EXPECT_EQ(rig.Var("[A]"), "");
        std::string chatError = rig.LastError();
        EXPECT_NE(chatError, "");
        EXPECT_EQ(chatError.find("Exception"), std::string::npos) << chatError;
        rig.Exec("ParlyGetModels", {"[M]"});
        EXPECT_EQ(rig.Var("[M]"), "");
        std::string listError = rig.LastError();
        EXPECT_TRUE(StartsWith(listError, "Failed to get Ollama models: ")) << listError;
        EXPECT_GT(listError.size(), strlen("Failed to get Ollama models: "));
        EXPECT_EQ(Sim::Count(), 1);
        rig.Exec("ParlySetEndpoint", {Sim::BaseUrl()});
        rig.Exec("ParlySend", {"p2", "[A]"});
        EXPECT_EQ(Roles(Sim::Body(-1)), 3u) << "history kept the one good exchange";
    }
}

// ---------------------------------------------------------------------------------------------
// Provider selection and model lists.

TEST_F(Chat, EveryProviderListsTheModelsItsOwnListingServes) {
    struct Case {
        const char* initName;
        const char* key;
        const char* requestLine;
        const char* list;
    } cases[] = {
        {"OpenAI", "k1", "GET /v1/models",
         // Image and embedding models stay out by OpenAI's own name rules.
         "gpt-5.6-sol,gpt-5.6-terra,gpt-5.6-luna,gpt-5.4,gpt-5.4-mini,gpt-4.1,gpt-4o,gpt-4o-mini"},
        {"Claude", "k1", "GET /v1/models",
         "claude-sonnet-5-5,claude-sonnet-5,claude-opus-4-7,claude-sonnet-4-6,claude-opus-4-6,claude-haiku-4-5,"
         "claude-sonnet-4-5,claude-opus-4-5,claude-opus-4-1"},
        // Only what generateContent serves; embedding, image and video models stay out.
        {"Google", "k1", "GET /v1beta/models?key=k1",
         "gemini-3.5-flash,gemini-3.5-flash-lite,gemini-3.1-pro,gemini-flash-latest,gemini-flash-lite-latest,"
         "gemini-pro-latest,gemma-3-1b-it,gemma-3-4b-it,gemma-3-12b-it,gemma-3-27b-it"},
        // Image-only models stay out.
        {"OpenRouter", "k1", "GET /api/v1/models",
         "openrouter/auto,openrouter/free,openai/gpt-5.6-sol,anthropic/claude-sonnet-5,google/gemini-3.5-flash,"
         "openai/gpt-oss-120b:free"},
        // A model switched off ("active": false) stays out, and so does speech recognition.
        {"Groq", "k1", "GET /openai/v1/models",
         "openai/gpt-oss-120b,openai/gpt-oss-20b,qwen/qwen3-32b,meta-llama/llama-4-scout-17b-16e-instruct"},
        {"Grok", "xai-k1", "GET /v1/models", "grok-4.7,grok-4.6,grok-4.5,grok-4.3,grok-4.20-non-reasoning"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Sim::Reset();
        Select(rig, c.initName, c.key);
        rig.Exec("ParlyGetModels", {"[M]"});
        EXPECT_EQ(rig.Var("[M]"), c.list);
        EXPECT_EQ(RequestLine(Sim::Head(-1)), c.requestLine);
        EXPECT_EQ(Sim::Count(), 1);
        EXPECT_EQ(rig.LastError(), "");
    }
}

TEST_F(Chat, ListingsReadEveryPageWithTheProvidersOwnCursor) {
    Sim::Next(R"({"page_size":3,"count":10})");
    Select(rig, "Claude");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"),
              "claude-sonnet-5-5,claude-sonnet-5,claude-opus-4-7,claude-sonnet-4-6,claude-opus-4-6,claude-haiku-4-5,"
              "claude-sonnet-4-5,claude-opus-4-5,claude-opus-4-1");
    EXPECT_EQ(Sim::Count(), 3);
    EXPECT_EQ(RequestLine(Sim::Head(1)), "GET /v1/models?after_id=claude-opus-4-7");
    EXPECT_EQ(OwnHeaderLines(Sim::Head(1)), (std::vector<std::string>{"anthropic-version: 2023-06-01", "x-api-key: k1"}));

    Sim::Reset();
    Sim::Next(R"({"page_size":4,"count":10})");
    Select(rig, "Google", "k&1");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(Sim::Count(), 4);
    EXPECT_EQ(RequestLine(Sim::Head(1)), "GET /v1beta/models?key=k%261&pageToken=page4");
    EXPECT_EQ(CountOf(rig.Var("[M]"), ","), 9u) << rig.Var("[M]");
    EXPECT_EQ(rig.LastError(), "");
}

TEST_F(Chat, ListingFailuresNameTheProviderTheStatusAndTheMessage) {
    Select(rig, "OpenAI");
    rig.Exec("ParlyGetModels", {"[M]"});
    ASSERT_NE(rig.Var("[M]"), "");
    NextReply(401, R"({"error":{"message":"Incorrect API key provided","type":"invalid_request_error"}})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(),
              "Failed to get OpenAI models (401): Incorrect API key provided. Check the API key given to ParlyInit.");
    // A failing second page loses the whole list rather than giving half of it.
    Select(rig, "Claude");
    Sim::Next(R"({"page_size":5})");
    NextReply(529, R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "Failed to get Claude models (529): Overloaded");
    NextReply(200, "{\n  \"data\": [ {\"id\": \"a\"} ,");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.LastError(), "Failed to read the Claude model list");
    // A server that keeps handing back the same cursor is not followed round and round.
    Sim::Next(R"({"status":200,"count":5,"body":"{\"data\":[{\"id\":\"x\"}],\"has_more\":true,\"last_id\":\"x\"}"})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "x");
}

TEST_F(Chat, NoProviderMeansNoRequestAndTheNoProviderTexts) {
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(rig.LastError(), "No provider initialized. Call ParlyInit first.");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "No provider initialized");
    rig.Exec("ParlySend", {"", "[A]"});
    EXPECT_EQ(rig.LastError(), "Prompt cannot be empty");
    EXPECT_EQ(Sim::Count(), 0);
}

TEST_F(Chat, ProviderNamesAreMatchedWithoutCase) {
    struct Case {
        const char* name;
        const char* listStart;
    } cases[] = {{"OpenAI", "gpt-5.6-sol,"},       {"OPENAI", "gpt-5.6-sol,"},   {"openai", "gpt-5.6-sol,"},
                 {"Anthropic", "claude-sonnet-5"},  {"claude", "claude-sonnet-5"}, {"Gemini", "gemini-3.5-flash,"},
                 {"GOOGLE", "gemini-3.5-flash,"},   {"xAI", "grok-4.7,"},         {"GROK", "grok-4.7,"},
                 {"openRouter", "openrouter/auto,"}, {"Groq", "openai/gpt-oss"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The simulator tells xAI's listing from OpenAI's, on one path, by xAI's key prefix.
        rig.Exec("ParlyInit", {c.name, StartsWith(c.listStart, "grok") ? "xai-k" : "k", "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "OK");
        rig.Exec("ParlyGetModels", {"[M]"});
        EXPECT_TRUE(StartsWith(rig.Var("[M]"), c.listStart)) << rig.Var("[M]");
    }
}

TEST_F(Chat, UnknownProviderNameChangesNothingButLastError) {
    Select(rig, "Groq");
    rig.Exec("ParlySend", {"p1", "[A]"});
    for (const char* name : {" openai", "open ai", "", "gpt"}) {
        SCOPED_TRACE(name);
        rig.Exec("ParlyInit", {name, "k2", "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "ERROR");
        EXPECT_EQ(rig.LastError(), std::string("Unknown provider: ") + name +
                                       ". Use: OpenAI, Claude, Google, Ollama, OpenRouter, Groq, or Grok");
        rig.Exec("ParlyGetModels", {"[M]"});
        EXPECT_TRUE(StartsWith(rig.Var("[M]"), "openai/gpt-oss")) << rig.Var("[M]");
    }
    rig.Exec("ParlySend", {"p2", "[A]"});
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /openai/v1/chat/completions");
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer k1");
    EXPECT_EQ(Roles(Sim::Body(-1)), 3u);
}

TEST_F(Chat, MissingKeyKeepsTheEarlierProviderKeyAndHistory) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"p1", "[A]"});
    rig.Exec("ParlyInit", {"Groq", "", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "API key is required for Groq (pass it to ParlyInit, or set GROQ_API_KEY)");
    rig.Exec("ParlyInit", {"Claude", kAbsent, "[S]"});
    EXPECT_EQ(rig.LastError(), "API key is required for Claude (pass it to ParlyInit, or set ANTHROPIC_API_KEY)");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_TRUE(StartsWith(rig.Var("[M]"), "gpt-5.6-sol,")) << rig.Var("[M]");
    rig.Exec("ParlySend", {"p2", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: p2");
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer k1");
    EXPECT_EQ(Roles(Sim::Body(-1)), 3u);
}

TEST_F(Chat, SuccessfulInitResetsModelHistoryAndLastError) {
    rig.Exec("ParlySetModel", {"gpt-4o-mini"});
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"p1", "[A]"});
    EXPECT_TRUE(StartsWith(Sim::Body(-1), R"({"model":"gpt-5.6-sol",)")) << Sim::Body(-1);
    rig.Exec("ParlySetModel", {"gpt-4o-mini"});
    rig.Exec("ParlySetTemp", {"bad"});
    rig.Exec("ParlySend", {"p2", "[A]"});
    EXPECT_TRUE(StartsWith(Sim::Body(-1), R"({"model":"gpt-4o-mini",)")) << Sim::Body(-1);
    EXPECT_EQ(Roles(Sim::Body(-1)), 3u);
    rig.Exec("ParlyInit", {"openai", "k2", kAbsent});
    EXPECT_EQ(rig.LastError(), "");
    rig.Exec("ParlySend", {"p3", "[A]"});
    EXPECT_TRUE(StartsWith(Sim::Body(-1), R"({"model":"gpt-5.6-sol",)")) << Sim::Body(-1);
    EXPECT_EQ(Roles(Sim::Body(-1)), 1u);
    EXPECT_EQ(Sim::Header("Authorization"), "Bearer k2");
}

TEST_F(Chat, ResetEmptiesHistoryAndErrorWhileClearHistoryKeepsTheError) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"p1", "[A]"});
    NextReply(500, "down");
    rig.Exec("ParlySend", {"p2", "[A]"});
    rig.Exec("ParlyClearHistory");
    EXPECT_EQ(rig.LastError(), "OpenAI API error (500): down");
    rig.Exec("ParlySend", {"p3", "[A]"});
    EXPECT_EQ(Roles(Sim::Body(-1)), 1u);
    rig.Exec("ParlyReset");
    EXPECT_EQ(rig.LastError(), "");
    rig.Exec("ParlySend", {"p4", "[A]"});
    EXPECT_EQ(Roles(Sim::Body(-1)), 1u);
    EXPECT_EQ(RequestLine(Sim::Head(-1)), "POST /v1/chat/completions") << "the provider survives a reset";
}

TEST(ChatReload, AReloadedPluginStartsFromTheLoadDefaultsAfterASynchronousChat) {
    Sim::Reset();
    Sim::RedirectAll();
    {
        PluginRig first;
        Select(first, "OpenAI");
        first.Exec("ParlySetTemp", {"1.5"});
        first.Exec("ParlySend", {"Hi", "[A]"});
        ASSERT_EQ(first.Var("[A]"), "OpenAI says: Hi");
    }
    EXPECT_EQ(GetModuleHandleA("ParlyPlugin.nbp"), nullptr) << "the host could not unload the plug-in";
    {
        PluginRig second;
        Select(second, "OpenAI");
        second.Exec("ParlySetModel", {"gpt-4o"});
        second.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_NE(Sim::Body(-1).find("\"temperature\":0.70,"), std::string::npos) << Sim::Body(-1);
    }
    Sim::ClearRedirects();
}

TEST(ChatInProcess, OllamaInitFillsOnlyAnEmptyEndpoint) {
    {
        std::lock_guard<std::mutex> hold(SessionLock());
        g_session.settings.endpoint.clear();
        g_session.settings.apiKey = "old";
        g_session.settings.model = "old";
    }
    EXPECT_TRUE(InitProvider("ollama", ""));
    EXPECT_EQ(g_session.settings.provider, kProviderOllama);
    EXPECT_EQ(g_session.settings.endpoint, "http://localhost:11434");
    EXPECT_EQ(g_session.settings.apiKey, "");
    EXPECT_EQ(g_session.settings.model, "llama3");
    EXPECT_TRUE(InitProvider("OpenAI", "k"));
    EXPECT_EQ(g_session.settings.endpoint, "http://localhost:11434") << "switching away keeps the endpoint";
    g_session.settings.endpoint = "http://gpu-box:1234";
    EXPECT_TRUE(InitProvider("Ollama", ""));
    EXPECT_EQ(g_session.settings.endpoint, "http://gpu-box:1234");
}

// ---------------------------------------------------------------------------------------------
// Settings actions, observed through the bodies they produce.

struct NumberCase {
    const char* action;
    Param text;
    const char* fragment;  // expected in the OpenAI body afterwards
    const char* error;     // expected lastError ("" when the value is accepted)
};

TEST_F(Chat, NumberSettingsFollowTheNumberRuleWithClamping) {
    const NumberCase cases[] = {
        {"ParlySetTemp", "1.5", "\"temperature\":1.50,", ""},
        {"ParlySetTemp", "-0.3", "\"temperature\":0.00,", ""},
        {"ParlySetTemp", "2.0001", "\"temperature\":2.00,", ""},
        {"ParlySetTemp", "3.5", "\"temperature\":2.00,", ""},
        {"ParlySetTemp", "0.5abc", "\"temperature\":0.50,", ""},
        {"ParlySetTemp", "1e-1", "\"temperature\":0.10,", ""},
        {"ParlySetTemp", "  1.25", "\"temperature\":1.25,", ""},
        {"ParlySetTemp", "abc", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "1e999", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "nan", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "NaN", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "inf", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "-inf", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "Infinity", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", " -INFINITY", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", "nan(1)", "\"temperature\":1.25,", "Invalid temperature value"},
        {"ParlySetTemp", kAbsent, "\"temperature\":1.25,", ""},
        {"ParlySetMaxTokens", "0", "\"max_tokens\":1}", ""},
        {"ParlySetMaxTokens", "-7", "\"max_tokens\":1}", ""},
        {"ParlySetMaxTokens", "999999", "\"max_tokens\":128000}", ""},
        {"ParlySetMaxTokens", "3000abc", "\"max_tokens\":3000}", ""},
        {"ParlySetMaxTokens", "2.9", "\"max_tokens\":2}", ""},
        {"ParlySetMaxTokens", " 4096", "\"max_tokens\":4096}", ""},
        {"ParlySetMaxTokens", "99999999999", "\"max_tokens\":4096}", "Invalid max tokens value"},
        {"ParlySetMaxTokens", "x", "\"max_tokens\":4096}", "Invalid max tokens value"},
        {"ParlySetMaxTokens", kAbsent, "\"max_tokens\":4096}", ""},
        {"ParlySetTimeout", "x", "\"max_tokens\":4096}", "Invalid timeout value"},
        {"ParlySetTimeout", "99999999999", "\"max_tokens\":4096}", "Invalid timeout value"},
    };
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"gpt-4o"});
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.text.value_or("<absent>"));
        rig.Exec("ParlyReset");
        rig.Exec(c.action, {c.text});
        EXPECT_EQ(rig.LastError(), c.error);
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_NE(Sim::Body(-1).find(c.fragment), std::string::npos) << Sim::Body(-1);
    }
}

TEST_F(Chat, TruthWordsSwitchMultiline) {
    struct Case {
        Param word;
        bool multiline;
    } cases[] = {{"TRUE", true}, {"Yes", true},    {"1", true},   {"false", false}, {"no", false},
                 {"0", false},   {"", false},      {" true", false}, {"on", false},  {"y", false},
                 {"yes ", false}, {"True", true},  {kAbsent, true}};
    Select(rig, "OpenAI");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word.value_or("<absent>"));
        rig.Exec("ParlySetMultiline", {c.word});
        NextContent("L1\nL2");
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), c.multiline ? "L1\nL2" : "L1 L2");
    }
}

TEST_F(Chat, SystemPromptAndModelAreTakenVerbatim) {
    Select(rig, "Groq");
    rig.Exec("ParlySetSystem", {" two\r\nlines "});
    rig.Exec("ParlySetModel", {" spaced "});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_TRUE(StartsWith(Sim::Body(-1),
                           R"({"model":" spaced ","messages":[{"role":"system","content":" two\r\nlines "},)"))
        << Sim::Body(-1);
    rig.Exec("ParlySetSystem", {""});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_EQ(Sim::Body(-1).find("system"), std::string::npos);
}

// Restores the C locale however the test ends.
struct LocaleGuard {
    ~LocaleGuard() { setlocale(LC_ALL, "C"); }
};

TEST_F(Chat, GermanLocaleStillWritesAPointInTemperatures) {
    LocaleGuard guard;
    const char* set = setlocale(LC_ALL, "German");
    if (!set) set = setlocale(LC_ALL, "de_DE");
    ASSERT_NE(set, nullptr) << "no German locale";
    char probe[16];
    snprintf(probe, sizeof probe, "%.2f", 0.7);
    ASSERT_STREQ(probe, "0,70") << "the locale is not in effect";
    rig.Exec("ParlySetTemp", {"0.7"});
    struct Case {
        const char* initName;
        const char* fragment;
    } cases[] = {{"OpenAI", "\"temperature\":0.70,"},
                 {"Google", "\"temperature\":0.70}"},
                 {"Ollama", "\"temperature\":0.70,"},
                 {"Groq", "\"temperature\":0.7}"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.initName);
        Select(rig, c.initName);
        if (std::string(c.initName) == "OpenAI") rig.Exec("ParlySetModel", {"gpt-4o"});
        rig.Exec("ParlySend", {"Hi", "[A]"});
        EXPECT_NE(Sim::Body(-1).find(c.fragment), std::string::npos) << Sim::Body(-1);
    }
    rig.Exec("ParlySetTemp", {"1.25"});
    rig.Exec("ParlySend", {"Hi", "[A]"});
    EXPECT_NE(Sim::Body(-1).find("\"temperature\":1.25"), std::string::npos) << Sim::Body(-1);
}

}  // namespace
