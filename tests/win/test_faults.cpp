// Simulator failure modes through nbExecAction: each case checks the error text, the host's wait and the history.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

constexpr DWORD kFastMs = 4000;            // a fault that needs no time-out must end well inside the 5 s one
constexpr DWORD kTimeoutFloorMs = 4500;    // ParlySetTimeout "5", less timer slack
constexpr DWORD kTimeoutCeilingMs = 6500;  // the whole exchange ends within the time-out and about a second more

int g_faultCases = 0;

class CaseCount : public ::testing::Environment {
  public:
    void TearDown() override { std::printf("fault cases: %d\n", g_faultCases); }
};
[[maybe_unused]] const auto* const g_caseCount = ::testing::AddGlobalTestEnvironment(new CaseCount);

enum class Shape { Compatible, Claude, Gemini, Ollama };

struct ChatProvider {
    const char* initName;
    const char* says;         // how the simulator's answer names the provider
    const char* redirectVar;  // nullptr: Ollama, reached through its endpoint
    const char* errorPrefix;
    const char* emptyAnswer;
    const char* escapeError;
    Shape shape;  // where the answer sits in a reply, and which member carries a failure's text
};

const std::vector<ChatProvider>& ChatProviders() {
    static const std::vector<ChatProvider> all = {
        {"OpenAI", "OpenAI", "PARLY_OPENAI_URL", "OpenAI API error (", "Failed to parse OpenAI response",
         "Invalid escape sequence in OpenAI response", Shape::Compatible},
        {"Claude", "Claude", "PARLY_CLAUDE_URL", "Claude API error (", "Failed to parse Claude response",
         "Invalid escape sequence in Claude response", Shape::Claude},
        {"Google", "Gemini", "PARLY_GEMINI_URL", "Google API error (", "Failed to parse Google response",
         "Invalid escape sequence in Google response", Shape::Gemini},
        {"Ollama", "Ollama", nullptr, "Ollama error (", "Failed to parse Ollama response",
         "Invalid escape sequence in Ollama response", Shape::Ollama},
        {"OpenRouter", "OpenRouter", "PARLY_OPENROUTER_URL", "OpenRouter error (",
         "Failed to extract response from OpenRouter", "Invalid escape sequence in OpenRouter response",
         Shape::Compatible},
        {"Groq", "Groq", "PARLY_GROQ_URL", "Groq error (", "Failed to extract response from Groq",
         "Invalid escape sequence in Groq response", Shape::Compatible},
        {"Grok", "Grok", "PARLY_GROK_URL", "Grok error (", "Failed to extract response from Grok",
         "Invalid escape sequence in Grok response", Shape::Compatible},
    };
    return all;
}

const ChatProvider& ChatProviderNamed(const std::string& initName) {
    for (const ChatProvider& p : ChatProviders())
        if (initName == p.initName) return p;
    throw std::runtime_error("no provider " + initName);
}

// A 200 reply in the provider's own shape whose answer literal is `literal`, bytes as given (already escaped).
std::string AnswerBody(Shape shape, const std::string& literal) {
    switch (shape) {
        case Shape::Claude:
            return R"({"content":[{"type":"text","text":")" + literal + R"("}],"stop_reason":"end_turn"})";
        case Shape::Gemini:
            return R"({"candidates":[{"content":{"parts":[{"text":")" + literal + R"("}],"role":"model"}}]})";
        case Shape::Ollama: return R"({"message":{"role":"assistant","content":")" + literal + R"("},"done":true})";
        case Shape::Compatible: break;
    }
    return R"({"choices":[{"index":0,"message":{"role":"assistant","content":")" + literal + R"("}}]})";
}

size_t Roles(const std::string& body) { return CountOf(body, "\"role\":\""); }

// True when text is `head` followed by a non-empty decimal number and nothing else.
bool IsTextWithNumber(const std::string& text, const std::string& head) {
    if (!StartsWith(text, head) || text.size() == head.size() || text.size() > head.size() + 10) return false;
    return text.find_first_not_of("0123456789", head.size()) == std::string::npos;
}

std::string Repeat(const std::string& piece, size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// Queues one reply with this status, these body bytes and, when given, a delivery mode and extra headers.
void NextRaw(int status, const std::string& body, const std::string& mode = "", const std::string& headersJson = "") {
    std::string json = "{\"status\":" + std::to_string(status) + ",\"body_b64\":\"" + Base64(body) + "\"";
    if (!mode.empty()) json += ",\"mode\":\"" + mode + "\"";
    if (!headersJson.empty()) json += ",\"headers\":" + headersJson;
    Sim::Next(json + "}");
}

// Leaves a known unrelated error behind, so a fault that sets no error of its own cannot pass on an older text.
void ArmSentinelError(PluginRig& rig) { rig.Exec("ParlySetTemp", {"x"}); }

// Milliseconds the host's thread spends inside one action.
DWORD TimedExec(PluginRig& rig, const std::string& action, const std::vector<Param>& params) {
    const DWORD start = GetTickCount();
    EXPECT_EQ(rig.Exec(action, params), TRUE) << action;
    return GetTickCount() - start;
}

// Points one provider's requests at a closed loopback port while it lives.
class ClosedRoute {
  public:
    ClosedRoute(PluginRig& rig, const char* redirectVar) : rig_(rig), viaEndpoint_(redirectVar == nullptr) {
        if (viaEndpoint_)
            rig_.Exec("ParlySetEndpoint", {ClosedUrl()});
        else
            env_ = std::make_unique<ScopedEnv>(redirectVar, ClosedUrl());
    }
    ~ClosedRoute() {
        if (viaEndpoint_) rig_.Exec("ParlySetEndpoint", {Sim::BaseUrl()});
    }

  private:
    PluginRig& rig_;
    bool viaEndpoint_;
    std::unique_ptr<ScopedEnv> env_;
};

// What one request must end in.
struct Expect {
    enum Kind { Answer, Error, ErrorWithNumber } kind;
    std::string text;  // the answer, the exact error, or the error text the number follows
};
Expect AnswerIs(const std::string& a) { return {Expect::Answer, a}; }
Expect ErrorIs(const std::string& e) { return {Expect::Error, e}; }
Expect ErrorWithNumber(const std::string& head) { return {Expect::ErrorWithNumber, head}; }
// A reply that ends early, however it ends, is a receive failure: nothing of it is parsed.
Expect ReceiveFailure(const std::string& prefix) {
    return ErrorWithNumber(prefix + "0): Failed to receive response. Error code: ");
}
Expect TimedOut(const std::string& prefix) { return ErrorIs(prefix + "0): Request timed out after 5 seconds"); }

void CheckError(const std::string& error, const Expect& e) {
    if (e.kind == Expect::Error)
        EXPECT_EQ(BeforeHint(error), e.text);
    else
        EXPECT_TRUE(IsTextWithNumber(BeforeHint(error), e.text)) << "got: " << error << "\nwanted: " << e.text << "<number>";
}

// One provider's conversation: counts good exchanges, so a later request shows whether a failure touched the history.
class Conversation {
  public:
    Conversation(PluginRig& rig, const ChatProvider& p) : rig_(rig), p_(p) {}

    // Selects the provider with a 5 s time-out and holds one good exchange, so a wrongly cleared history shows too.
    void Start() {
        Sim::Reset();
        Select(rig_, p_.initName);
        rig_.Exec("ParlySetTimeout", {"5"});
        exchanges_ = 0;
        ExpectHistoryIntact();
    }

    // One good request whose body must carry exactly the good exchanges so far and no failed prompt.
    void ExpectHistoryIntact() {
        const std::string prompt = "good-" + std::to_string(++serial_);
        rig_.Exec("ParlySend", {prompt, "[A]"});
        EXPECT_EQ(rig_.Var("[A]"), std::string(p_.says) + " says: " + prompt) << rig_.LastError();
        const std::string body = Sim::Body(-1);
        EXPECT_EQ(Roles(body), 2 * exchanges_ + 1) << "history after the fault is not the one before it";
        EXPECT_EQ(body.find("FAILED-"), std::string::npos) << "a failed prompt entered the history";
        ++exchanges_;
    }

    // Sends one prompt under a fault and checks outcome, the host's wait and the history after it.
    void Run(const std::string& label, const Expect& e, DWORD minMs = 0, DWORD maxMs = kFastMs) {
        ++g_faultCases;
        const bool success = e.kind == Expect::Answer;
        const std::string prompt = (success ? "ok-" : "FAILED-") + label;
        if (!success) ArmSentinelError(rig_);
        const DWORD ms = TimedExec(rig_, "ParlySend", {prompt, "[A]"});
        EXPECT_GE(ms, minMs);
        EXPECT_LE(ms, maxMs) << "the host waited too long";
        if (success) {
            EXPECT_TRUE(rig_.Var("[A]") == e.text)
                << "answer differs: " << rig_.Var("[A]").size() << " bytes, wanted " << e.text.size();
            ++exchanges_;
        } else {
            EXPECT_EQ(rig_.Var("[A]"), "");
            CheckError(rig_.LastError(), e);
        }
        ExpectHistoryIntact();
    }

  private:
    PluginRig& rig_;
    const ChatProvider& p_;
    size_t exchanges_ = 0;
    int serial_ = 0;
};

class Faults : public SimFixture {
  protected:
    Conversation Talk(const ChatProvider& p) {
        Conversation c(rig, p);
        c.Start();
        return c;
    }
};

// ---------------------------------------------------------------------------------------------
// Connection faults of every chat provider.

TEST_F(Faults, RefusedConnectionFailsAtSendWithStatusZeroAndTheErrorNumber) {
    for (const ChatProvider& p : ChatProviders()) {
        SCOPED_TRACE(p.initName);
        Conversation c = Talk(p);
        {
            ClosedRoute closed(rig, p.redirectVar);
            ++g_faultCases;
            ArmSentinelError(rig);
            const DWORD ms = TimedExec(rig, "ParlySend", {"FAILED-refused", "[A]"});
            EXPECT_LE(ms, kFastMs);
            EXPECT_EQ(rig.Var("[A]"), "");
            CheckError(rig.LastError(),
                       ErrorWithNumber(std::string(p.errorPrefix) + "0): Failed to send request. Error code: "));
        }
        c.ExpectHistoryIntact();
    }
}

TEST_F(Faults, ReplyFaultsOfEveryProviderEndInOrderOrArriveWhole) {
    const std::string longAnswer = Repeat("long answer text ", 300);  // 5100 bytes: a cut in the middle lands inside it
    const std::string chunked = "chunked answer in many seven-byte pieces, \\u00e9 included";
    const std::string invalidUtf8 = "bad \xC3\x28 \xFF\xFE \xED\xA0\x80 \xF0\x9F end";
    struct Row {
        const char* label;
        std::function<void(const ChatProvider&)> arrange;
        std::function<Expect(const ChatProvider&)> expect;
    };
    const std::vector<Row> rows = {
        // Dropped twice: a request dropped before any reply byte is asked again once, on a new connection.
        {"dropped before the reply", [](const ChatProvider&) { Sim::Next(R"({"mode":"drop","count":2})"); },
         [](const ChatProvider& p) {
             return ErrorWithNumber(std::string(p.errorPrefix) + "0): Failed to receive response. Error code: ");
         }},
        {"reset in the middle of the body",
         [&](const ChatProvider&) {
             Sim::Next("{\"mode\":\"reset_mid_body\",\"content\":" + JsonStr(longAnswer) + "}");
         },
         [](const ChatProvider& p) { return ReceiveFailure(p.errorPrefix); }},
        // Its JSON is whole, but the server announced 100 bytes more than it sent.
        {"truncated body whose JSON is complete",
         [](const ChatProvider&) { Sim::Next(R"({"mode":"truncate","content":"all of it arrived"})"); },
         [](const ChatProvider& p) { return ReceiveFailure(p.errorPrefix); }},
        {"truncated body cut inside the answer",
         [](const ChatProvider& p) {
             const std::string body = AnswerBody(p.shape, "cut off here and never closed");
             NextRaw(200, body.substr(0, body.find("never")), "truncate");
         },
         [](const ChatProvider& p) { return ReceiveFailure(p.errorPrefix); }},
        {"chunked reply", [&](const ChatProvider& p) { NextRaw(200, AnswerBody(p.shape, chunked), "chunked"); },
         [](const ChatProvider&) { return AnswerIs("chunked answer in many seven-byte pieces, \xC3\xA9 included"); }},
        // The platform takes the close for the end of the body; the JSON that never closes says otherwise.
        {"chunked reply cut before its last chunk",
         [&](const ChatProvider& p) { NextRaw(200, AnswerBody(p.shape, chunked), "chunked_cut"); },
         [](const ChatProvider& p) { return ReceiveFailure(p.errorPrefix); }},
        {"malformed backslash-u escape",
         [](const ChatProvider& p) { NextRaw(200, AnswerBody(p.shape, "bad \\uZZZZ end")); },
         [](const ChatProvider& p) { return ErrorIs(p.escapeError); }},
        {"escape cut short by the end of the answer",
         [](const ChatProvider& p) { NextRaw(200, AnswerBody(p.shape, "tail \\u12")); },
         [](const ChatProvider&) { return AnswerIs("tail u12"); }},
        {"invalid UTF-8 in the answer", [&](const ChatProvider& p) { NextRaw(200, AnswerBody(p.shape, invalidUtf8)); },
         [&](const ChatProvider&) { return AnswerIs(invalidUtf8); }},
        {"empty body with status 200", [](const ChatProvider&) { NextRaw(200, ""); },
         [](const ChatProvider& p) { return ErrorIs(p.emptyAnswer); }},
        {"status 200 with an empty answer", [](const ChatProvider& p) { NextRaw(200, AnswerBody(p.shape, "")); },
         [](const ChatProvider& p) { return ErrorIs(p.emptyAnswer); }},
    };
    for (const ChatProvider& p : ChatProviders()) {
        Conversation c = Talk(p);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(p.initName) + ": " + row.label);
            row.arrange(p);
            c.Run(row.label, row.expect(p));
        }
    }
}

// A failure reply in the provider's shape, with its error member or without one.
struct ErrorReply {
    const char* label;
    std::string body;
    std::string detail;  // what the error text carries after the status
};

std::vector<ErrorReply> ErrorReplies(const ChatProvider& p, int status) {
    const std::string code = std::to_string(status);
    if (status == 204) return {{"no body", "", ""}};  // a 204 reply cannot carry one
    const std::string message = "Simulated " + code + " \\\"failure\\\"";
    const bool plainErrorMember = p.shape == Shape::Ollama;
    const std::string withMember = plainErrorMember ? R"({"error":")" + message + R"("})"
                                                    : R"({"error":{"message":")" + message + R"(","type":"sim"}})";
    const std::string without = plainErrorMember ? R"({"status":"failed","code":)" + code + "}"
                                                 : R"({"error":{"type":"sim","code":)" + code + "}}";
    return {{"with member", withMember, "Simulated " + code + " \"failure\""}, {"without member", without, without}};
}

TEST_F(Faults, ErrorStatusesReportTheProvidersMessageElseTheWholeBody) {
    const int statuses[] = {201, 204, 400, 401, 404, 429, 500, 503, 529};
    for (const ChatProvider& p : ChatProviders()) {
        Conversation c = Talk(p);
        for (int status : statuses) {
            const std::string code = std::to_string(status);
            for (const ErrorReply& r : ErrorReplies(p, status)) {
                SCOPED_TRACE(std::string(p.initName) + " " + code + " " + r.label);
                NextRaw(status, r.body);
                // A refused key and a reached limit get a sentence after the unchanged text.
                const std::string hint =
                    status == 401 ? ". Check the API key given to ParlyInit."
                    : status == 429 ? std::string(". ") + p.initName +
                                          "'s limit was reached: wait a moment and try again, or check your plan."
                                    : "";
                c.Run(code + "-" + r.label, ErrorIs(std::string(p.errorPrefix) + code + "): " + r.detail + hint));
            }
        }
    }
}

// A 301 is an ordinary status: with or without a Location, nothing is followed and the reply's text is reported.
TEST_F(Faults, MovedPermanentlyIsReportedAsItsStatusAndNeverFollowed) {
    for (const ChatProvider& p : ChatProviders()) {
        Conversation c = Talk(p);
        for (const ErrorReply& r : ErrorReplies(p, 301)) {
            for (const bool withLocation : {false, true}) {
                SCOPED_TRACE(std::string(p.initName) + " 301 " + r.label + (withLocation ? " with Location" : ""));
                const int before = Sim::Count();
                NextRaw(301, r.body, "", withLocation ? R"({"Location":")" + Sim::BaseUrl() + R"(/moved"})" : "");
                c.Run(std::string("301-") + r.label, ErrorIs(std::string(p.errorPrefix) + "301): " + r.detail));
                ASSERT_EQ(Sim::Count(), before + 2) << "only the fault and the history check may arrive";
                EXPECT_EQ(Sim::Head(-1).find("/moved"), std::string::npos);
            }
        }
    }
}

TEST_F(Faults, TwentyMegabyteAnswerArrivesWholeForEachReplyShape) {
    const std::string piece = "0123456789abcdef";
    const size_t repeat = 20u * 1024u * 1024u / piece.size();
    const std::string whole = Repeat(piece, repeat);
    for (const char* name : {"OpenAI", "Claude", "Google", "Ollama", "Groq"}) {
        SCOPED_TRACE(name);
        Conversation c = Talk(ChatProviderNamed(name));
        Sim::Next("{\"content\":" + JsonStr(piece) + ",\"repeat_content\":" + std::to_string(repeat) + "}");
        c.Run("twenty-megabytes", AnswerIs(whole), 0, 30000);
    }
}

// ---------------------------------------------------------------------------------------------
// Servers that never answer, against the 5 s time-out.

TEST_F(Faults, StalledOrSilentServerEndsWithTheTimeoutTextWithinTheTimeout) {
    const struct {
        const char* initName;
        const char* mode;  // stall: reads the request, then waits; silent: never reads it
    } rows[] = {{"OpenAI", "stall"}, {"Claude", "stall"}, {"Google", "silent"}, {"Ollama", "silent"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.initName) + " " + row.mode);
        const ChatProvider& p = ChatProviderNamed(row.initName);
        Conversation c = Talk(p);
        Sim::Next(std::string("{\"mode\":\"") + row.mode + "\"}");
        c.Run(row.mode, TimedOut(p.errorPrefix), kTimeoutFloorMs, kTimeoutCeilingMs);
    }
}

// A refusal that comes late leaves its resend only what is left of the time-out, not a whole new one.
TEST_F(Faults, AResendAfterASlowRefusalEndsWithinTheTimeout) {
    const ChatProvider& p = ChatProviderNamed("Groq");
    Conversation c = Talk(p);
    rig.Exec("ParlySetModel", {"qwen/qwen-next"});
    const std::string refusal =
        R"({"error":{"message":"'temperature' is not supported with this model","param":"temperature"}})";
    Sim::Next(R"({"delay_ms":4000,"status":400,"body_b64":")" + Base64(refusal) + R"("})");
    Sim::Next(R"({"delay_ms":4000})");
    const int before = Sim::Count();
    const DWORD ms = TimedExec(rig, "ParlySend", {"Hi", "[A]"});
    EXPECT_LE(ms, kTimeoutCeilingMs);
    EXPECT_EQ(rig.Var("[A]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), "Groq error (0): Request timed out after 5 seconds");
    EXPECT_EQ(Sim::Count(), before + 2);
    c.ExpectHistoryIntact();
}

TEST_F(Faults, StalledOllamaModelListEndsWithinTheTimeout) {
    Conversation c = Talk(ChatProviderNamed("Ollama"));
    ++g_faultCases;
    Sim::Next(R"({"mode":"stall"})");
    ArmSentinelError(rig);
    const DWORD ms = TimedExec(rig, "ParlyGetModels", {"[M]"});
    EXPECT_GE(ms, kTimeoutFloorMs);
    EXPECT_LE(ms, kTimeoutCeilingMs);
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), "Failed to get Ollama models: Request timed out after 5 seconds");
    c.ExpectHistoryIntact();
}

TEST_F(Faults, AChunkedModelListCutBeforeItsLastChunkIsAReceiveFailure) {
    Conversation c = Talk(ChatProviderNamed("Ollama"));
    const std::string three = R"({"models":[{"name":"one:latest"},{"name":"two:latest"},{"name":"three:latest"}]})";
    NextRaw(200, three, "chunked");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "one:latest,two:latest,three:latest") << rig.LastError();
    // Cut after the second model: two names would otherwise pass for the whole list.
    NextRaw(200, three.substr(0, three.find("three") + 14), "chunked_cut");
    ArmSentinelError(rig);
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "Failed to get Ollama models: Failed to receive response");
    c.ExpectHistoryIntact();
}

// ---------------------------------------------------------------------------------------------
// A malformed Ollama endpoint port: chat, model list and embeddings fail in order and send nothing.

TEST_F(Faults, BadOllamaEndpointPortFailsEveryRequestKindWithoutSending) {
    for (const char* port : {"abc", "99999", ""}) {
        const std::string bad = std::string("Invalid endpoint port: ") + port;
        const struct {
            const char* action;
            const char* variable;
            std::string error;
        } rows[] = {
            {"ParlySend", "[A]", bad},
            {"ParlyGetModels", "[M]", "Failed to get Ollama models: " + bad},
            {"ParlyGetEmbedding", "[E]", bad},
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.action) + " port '" + port + "'");
            ++g_faultCases;
            Conversation c = Talk(ChatProviderNamed("Ollama"));
            rig.Exec("ParlySetEndpoint", {std::string("http://127.0.0.1:") + port});
            const int before = Sim::Count();
            ArmSentinelError(rig);
            const std::vector<Param> params = row.action == std::string("ParlyGetModels")
                                                  ? std::vector<Param>{row.variable}
                                                  : std::vector<Param>{"FAILED-bad-port", row.variable};
            EXPECT_LE(TimedExec(rig, row.action, params), kFastMs);
            EXPECT_EQ(rig.Var(row.variable), "");
            EXPECT_EQ(rig.LastError(), row.error);
            EXPECT_EQ(Sim::Count(), before) << "nothing may be sent";
            rig.Exec("ParlySetEndpoint", {Sim::BaseUrl()});
            c.ExpectHistoryIntact();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Images, embeddings and documents.

enum class Route { Simulator, Closed };

TEST_F(Faults, ImageGenerationFailuresReportErrorAndLeaveTheFileAlone) {
    const std::string dir = ScratchDir("faults-images");
    const std::string prefix = "Image generation error (";
    const std::string png = Sim::Png();
    const std::string goodReply = R"({"created":1,"data":[{"b64_json":")" + Base64(png) + R"("}]})";
    struct Row {
        const char* label;
        Route route;
        std::function<void()> arrange;
        Expect expect;  // Answer: the file holds these bytes
    };
    const std::vector<Row> rows = {
        {"500 with message", Route::Simulator, [] { NextRaw(500, R"({"error":{"message":"Image backend down"}})"); },
         ErrorIs(prefix + "500): Image backend down")},
        {"400 without message", Route::Simulator, [] { NextRaw(400, R"({"error":{"code":"bad_size"}})"); },
         ErrorIs(prefix + R"(400): {"error":{"code":"bad_size"}})")},
        {"429 plain text", Route::Simulator, [] { NextRaw(429, "slow down"); }, ErrorIs(prefix + "429): slow down")},
        {"refused", Route::Closed, [] {}, ErrorWithNumber(prefix + "0): Failed to send request. Error code: ")},
        {"dropped", Route::Simulator, [] { Sim::Next(R"({"mode":"drop","count":2})"); },
         ErrorWithNumber(prefix + "0): Failed to receive response. Error code: ")},
        {"reset in the middle", Route::Simulator, [] { Sim::Next(R"({"mode":"reset_mid_body"})"); },
         ReceiveFailure(prefix)},
        {"empty body with 200", Route::Simulator, [] { NextRaw(200, ""); },
         ErrorIs("Failed to parse image data from response")},
        {"malformed escape in the data", Route::Simulator, [] { NextRaw(200, R"({"data":[{"b64_json":"\uZZZZ"}]})"); },
         ErrorIs("Failed to parse image data from response")},
        {"data of padding only", Route::Simulator, [] { NextRaw(200, R"({"data":[{"b64_json":"===="}]})"); },
         ErrorIs("Failed to decode image data")},
        {"chunked", Route::Simulator, [&] { NextRaw(200, goodReply, "chunked"); }, AnswerIs(png)},
    };
    Conversation c = Talk(ChatProviderNamed("OpenAI"));
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ++g_faultCases;
        const std::string path = dir + "\\image-" + std::to_string(++n) + ".png";
        WriteFileBytes(path, "earlier content");
        std::unique_ptr<ClosedRoute> closed;
        if (row.route == Route::Closed) closed = std::make_unique<ClosedRoute>(rig, "PARLY_OPENAI_URL");
        row.arrange();
        ArmSentinelError(rig);
        const DWORD ms = TimedExec(rig, "ParlyImageGen", {"FAILED-image", path, "512x512", "[S]"});
        closed.reset();
        EXPECT_LE(ms, kFastMs);
        if (row.expect.kind == Expect::Answer) {
            EXPECT_EQ(rig.Var("[S]"), "OK");
            EXPECT_TRUE(ReadFileBytes(path) == row.expect.text);
        } else {
            EXPECT_EQ(rig.Var("[S]"), "ERROR");
            CheckError(rig.LastError(), row.expect);
            EXPECT_EQ(ReadFileBytes(path), "earlier content") << "a failed generation must not touch the file";
        }
        c.ExpectHistoryIntact();
    }
}

TEST_F(Faults, EmbeddingFailuresReportEmbeddingErrorAndLeaveTheHistoryAlone) {
    const std::string prefix = "Embedding error (";
    struct Row {
        const char* label;
        Route route;
        std::function<void()> arrange;
        Expect expect;  // Answer: the vector text; an empty one stands for the provider's own vector
    };
    const std::vector<Row> rows = {
        {"500 with message", Route::Simulator, [] { NextRaw(500, R"({"error":{"message":"Embedding model gone"}})"); },
         ErrorIs(prefix + "500): Embedding model gone")},
        {"404 without message", Route::Simulator, [] { NextRaw(404, R"({"detail":"no route"})"); },
         ErrorIs(prefix + R"(404): {"detail":"no route"})")},
        {"refused", Route::Closed, [] {}, ErrorWithNumber(prefix + "0): Failed to send request. Error code: ")},
        {"dropped", Route::Simulator, [] { Sim::Next(R"({"mode":"drop","count":2})"); },
         ErrorWithNumber(prefix + "0): Failed to receive response. Error code: ")},
        {"empty body with 200", Route::Simulator, [] { NextRaw(200, ""); },
         ErrorIs("Failed to extract embedding from response")},
        {"array never closed", Route::Simulator, [] { NextRaw(200, R"({"embedding":[0.5,0.25)"); },
         ErrorIs("Malformed embedding response")},
        {"cut short of its length", Route::Simulator, [] { NextRaw(200, R"({"embedding":[0.5,0.25]})", "truncate"); },
         ReceiveFailure(prefix)},
        {"chunked", Route::Simulator, [] { Sim::Next(R"({"mode":"chunked","embedding":[0.125,-0.5,3e-05]})"); }, AnswerIs("")},
    };
    const struct {
        const char* initName;
        const char* redirectVar;
        const char* vector;
    } providers[] = {{"OpenAI", "PARLY_OPENAI_URL", "0.125,-0.5,3e-05"},
                     {"OpenRouter", "PARLY_OPENROUTER_URL", "0.125,-0.5,3e-05"},
                     {"Ollama", nullptr, "0.125,-0.5,3e-05"}};
    for (const auto& p : providers) {
        Conversation c = Talk(ChatProviderNamed(p.initName));
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(p.initName) + ": " + row.label);
            ++g_faultCases;
            std::unique_ptr<ClosedRoute> closed;
            if (row.route == Route::Closed) closed = std::make_unique<ClosedRoute>(rig, p.redirectVar);
            row.arrange();
            ArmSentinelError(rig);
            const DWORD ms = TimedExec(rig, "ParlyGetEmbedding", {"FAILED-embedding", "[E]"});
            closed.reset();
            EXPECT_LE(ms, kFastMs);
            if (row.expect.kind == Expect::Answer) {
                EXPECT_EQ(rig.Var("[E]"), p.vector);
            } else {
                EXPECT_EQ(rig.Var("[E]"), "");
                CheckError(rig.LastError(), row.expect);
            }
            c.ExpectHistoryIntact();
        }
    }
}

TEST_F(Faults, DocumentFailuresSendNothingOrReportTheChatErrorAndKeepTheHistory) {
    const std::string dir = ScratchDir("faults-documents");
    const std::string good = dir + "\\notes.txt";
    WriteFileBytes(good, "quarterly numbers");
    const std::string empty = dir + "\\empty.txt";
    WriteFileBytes(empty, "");
    const std::string pdf = dir + "\\report.pdf";
    WriteFileBytes(pdf, "PDF-1.4 without its percent sign");
    const std::string tsv = dir + "\\table.tsv";
    WriteFileBytes(tsv, "a\tb");
    const std::string locked = dir + "\\locked.txt";
    WriteFileBytes(locked, "held by a writer");
    const std::string missing = dir + "\\missing.txt";
    DeleteFileA(missing.c_str());

    struct Row {
        const char* label;
        std::string path;
        std::function<void()> arrange;
        int sends;  // requests the server receives: a dropped one is asked again once
        Expect expect;
    };
    const std::vector<Row> rows = {
        {"missing file", missing, [] {}, false, ErrorIs("Cannot open file: " + missing)},
        {"unsupported format", tsv, [] {}, false,
         ErrorIs("Unsupported file format: .tsv. Use txt, csv, html, xml, json, md, log, ini, cfg, yaml, or pdf.")},
        {"a .pdf that is no PDF", pdf, [] {}, false, ErrorIs("Not a PDF file (it does not begin with %PDF-): " + pdf)},
        {"empty file", empty, [] {}, false, ErrorIs("File is empty or cannot determine size: " + empty)},
        {"file held open for writing", locked, [] {}, false, ErrorIs("Cannot open file: " + locked)},
        {"server answers 500", good, [] { NextRaw(500, R"({"error":{"message":"Document too long"}})"); }, true,
         ErrorIs("OpenAI API error (500): Document too long")},
        {"server drops the connection", good, [] { Sim::Next(R"({"mode":"drop","count":2})"); }, 2,
         ErrorWithNumber("OpenAI API error (0): Failed to receive response. Error code: ")},
    };
    Conversation c = Talk(ChatProviderNamed("OpenAI"));
    // Another program writing the file: the plug-in's shared-read open must be refused.
    HANDLE writer =
        CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ++g_faultCases;
        row.arrange();
        const int before = Sim::Count();
        ArmSentinelError(rig);
        const DWORD ms = TimedExec(rig, "ParlySendWithDoc", {row.path, "FAILED-document", "[D]"});
        EXPECT_LE(ms, kFastMs);
        EXPECT_EQ(rig.Var("[D]"), "");
        CheckError(rig.LastError(), row.expect);
        EXPECT_EQ(Sim::Count(), before + row.sends);
        c.ExpectHistoryIntact();
    }
    CloseHandle(writer);
}

// ---------------------------------------------------------------------------------------------
// Background jobs against failing servers: the callback still runs and the provider's error stays.

TEST_F(Faults, FailedBackgroundJobsStillCallBackWithTheProvidersError) {
    const std::string dir = ScratchDir("faults-async");
    struct Row {
        const char* label;
        const char* initName;
        bool image;
        Route route;
        std::function<void()> arrange;
        Expect expect;
        DWORD minMs, maxMs;  // from the start until the callback ran
    };
    const std::vector<Row> rows = {
        {"chat 503", "Claude", false, Route::Simulator,
         [] { NextRaw(503, R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})"); },
         ErrorIs("Claude API error (503): Overloaded"), 0, kFastMs},
        {"chat refused", "Groq", false, Route::Closed, [] {},
         ErrorWithNumber("Groq error (0): Failed to send request. Error code: "), 0, kFastMs},
        {"chat dropped", "Ollama", false, Route::Simulator, [] { Sim::Next(R"({"mode":"drop","count":2})"); },
         ErrorWithNumber("Ollama error (0): Failed to receive response. Error code: "), 0, kFastMs},
        {"chat malformed escape", "Google", false, Route::Simulator,
         [] { NextRaw(200, AnswerBody(Shape::Gemini, "\\uQQQQ")); },
         ErrorIs("Invalid escape sequence in Google response"), 0, kFastMs},
        {"chat stalled", "OpenRouter", false, Route::Simulator, [] { Sim::Next(R"({"mode":"stall"})"); },
         TimedOut("OpenRouter error ("), kTimeoutFloorMs, kTimeoutCeilingMs},
        {"image 500", "OpenAI", true, Route::Simulator,
         [] { NextRaw(500, R"({"error":{"message":"Image backend down"}})"); },
         ErrorIs("Image generation error (500): Image backend down"), 0, kFastMs},
        {"image refused", "OpenAI", true, Route::Closed, [] {},
         ErrorWithNumber("Image generation error (0): Failed to send request. Error code: "), 0, kFastMs},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ++g_faultCases;
        const ChatProvider& p = ChatProviderNamed(row.initName);
        Conversation c = Talk(p);
        rig.scriptLines.clear();
        const std::string path = dir + "\\async-" + std::to_string(++n) + ".png";
        WriteFileBytes(path, "earlier content");
        std::unique_ptr<ClosedRoute> closed;
        if (row.route == Route::Closed) closed = std::make_unique<ClosedRoute>(rig, p.redirectVar);
        row.arrange();
        ArmSentinelError(rig);
        const DWORD start = GetTickCount();
        if (row.image)
            rig.Exec("ParlyImageGenAsync", {"FAILED-async", path, "256x256", "[S]", "OnDone"});
        else
            rig.Exec("ParlySendAsync", {"FAILED-async", "[R]", "OnDone"});
        EXPECT_LE(GetTickCount() - start, 1000u) << "a background start must not block the host";
        ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, kTimeoutCeilingMs + 2000));
        const DWORD ms = GetTickCount() - start;
        closed.reset();
        EXPECT_GE(ms, row.minMs);
        EXPECT_LE(ms, row.maxMs);
        EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnDone\""});
        if (row.image) {
            EXPECT_EQ(rig.Var("[S]"), "ERROR");
            EXPECT_EQ(ReadFileBytes(path), "earlier content");
        } else {
            EXPECT_EQ(rig.Var("[R]"), "");
        }
        CheckError(rig.LastError(), row.expect);
        c.ExpectHistoryIntact();
    }
}

}  // namespace
