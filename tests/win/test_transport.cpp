// The transport's promises through nbExecAction: no redirect is followed, one deadline bounds each exchange,
// a cut reply is a failure, OpenAI refusals are no answer, and pretty-printed vectors come back compact.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

constexpr DWORD kTimeoutMs = 5000;        // ParlySetTimeout "5", the smallest the plug-in accepts
constexpr DWORD kDeadlineSlackMs = 1500;  // the whole exchange may run this much past the time-out, no more
constexpr DWORD kFastMs = 4000;
const char kTimedOut[] = "Request timed out after 5 seconds";

// True when text is `head` followed by a non-empty decimal number and nothing else.
bool IsTextWithNumber(const std::string& text, const std::string& head) {
    if (!StartsWith(text, head) || text.size() == head.size() || text.size() > head.size() + 10) return false;
    return text.find_first_not_of("0123456789", head.size()) == std::string::npos;
}

size_t Roles(const std::string& body) { return CountOf(body, "\"role\":\""); }

// Queues one reply: status, exact body bytes, and optionally a delivery mode and more override members.
void NextRaw(int status, const std::string& body, const std::string& more = "") {
    Sim::Next("{\"status\":" + std::to_string(status) + ",\"body_b64\":\"" + Base64(body) + "\"" +
              (more.empty() ? "" : "," + more) + "}");
}

class Transport : public SimFixture {
  protected:
    // Selects a provider with a 5 s time-out and holds one good exchange, so a failure's effect on history shows.
    void Start(const std::string& provider) {
        Sim::Reset();
        provider_ = provider;
        Select(rig, provider);
        rig.Exec("ParlySetTimeout", {"5"});
        exchanges_ = 0;
        ExpectHistoryIntact();
    }

    // One good request whose body must carry exactly the good exchanges so far.
    void ExpectHistoryIntact() {
        const std::string prompt = "good-" + std::to_string(++serial_);
        rig.Exec("ParlySend", {prompt, "[A]"});
        EXPECT_EQ(rig.Var("[A]"), ProviderNamed(provider_).says + std::string(" says: ") + prompt) << rig.LastError();
        const std::string body = Sim::Body(-1);
        EXPECT_EQ(Roles(body), 2 * exchanges_ + 1) << "a failed exchange changed the history";
        EXPECT_EQ(body.find("FAILED-"), std::string::npos) << "a failed prompt entered the history";
        ++exchanges_;
    }

    // Milliseconds the host's thread spends in one action, which must return TRUE.
    DWORD Timed(const std::string& action, const std::vector<Param>& params) {
        const DWORD start = GetTickCount();
        EXPECT_EQ(rig.Exec(action, params), TRUE);
        return GetTickCount() - start;
    }

    // Sends a prompt that must fail; returns the error text after checking the empty result.
    std::string FailedSend(const std::string& label, DWORD maxMs = kFastMs, DWORD* spent = nullptr) {
        rig.Exec("ParlySetTemp", {"x"});  // an unrelated error first, so a fault that sets none cannot pass
        const DWORD ms = Timed("ParlySend", {"FAILED-" + label, "[A]"});
        if (spent) *spent = ms;
        EXPECT_LE(ms, maxMs) << label << ": the host waited too long";
        EXPECT_EQ(rig.Var("[A]"), "") << label;
        return rig.LastError();
    }

    std::string provider_;
    size_t exchanges_ = 0;
    int serial_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Redirects: a 3xx is an ordinary status, and the host it names never hears from the plug-in.

TEST_F(Transport, RedirectStatusesAreReportedAndTheNamedHostReceivesNothing) {
    ASSERT_NE(Sim::DecoyPort(), 0);
    for (const char* provider : {"OpenAI", "Claude"}) {
        Start(provider);
        const std::string prefix = ProviderNamed(provider).errorPrefix;
        for (int code : {300, 301, 302, 303, 305, 306, 307, 308}) {
            SCOPED_TRACE(std::string(provider) + " " + std::to_string(code));
            Sim::Next("{\"redirect\":\"decoy\",\"status\":" + std::to_string(code) + ",\"body\":\"Moved elsewhere\"}");
            EXPECT_EQ(FailedSend("redirect"), prefix + std::to_string(code) + "): Moved elsewhere");
            EXPECT_EQ(Sim::DecoyCount(), 0) << "the request, and its key, went to the redirect's host";
            ExpectHistoryIntact();
        }
    }
}

TEST_F(Transport, NoBodyStatusAnnouncingALengthIsAnOrdinaryStatus) {
    Start("OpenAI");
    for (int code : {204, 304}) {
        SCOPED_TRACE(code);
        // The length header describes a body these statuses never carry, so none is waited for.
        Sim::Next("{\"redirect\":\"decoy\",\"status\":" + std::to_string(code) + ",\"body\":\"" +
                  std::string(50, 'x') + "\"}");
        EXPECT_EQ(FailedSend("no body"), "OpenAI API error (" + std::to_string(code) + "): ");
        EXPECT_EQ(Sim::DecoyCount(), 0);
        ExpectHistoryIntact();
    }
}

TEST_F(Transport, RedirectedEmbeddingImageAndModelListStayWithTheChosenHost) {
    Start("OpenAI");
    Sim::Next(R"({"redirect":"decoy","status":307,"body":"{\"error\":{\"message\":\"Temporary Redirect\"}}"})");
    rig.Exec("ParlyGetEmbedding", {"text", "[E]"});
    EXPECT_EQ(rig.Var("[E]"), "");
    EXPECT_EQ(rig.LastError(), "Embedding error (307): Temporary Redirect");

    const std::string path = ScratchDir("transport-redirect") + "\\image.png";
    WriteFileBytes(path, "earlier content");
    Sim::Next(R"({"redirect":"decoy","status":308,"body":""})");
    rig.Exec("ParlyImageGen", {"a lighthouse", path, "512x512", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.LastError(), "Image generation error (308): ");
    EXPECT_EQ(ReadFileBytes(path), "earlier content");

    Start("Ollama");
    Sim::Next(R"({"redirect":"decoy","status":302,"body":""})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(rig.LastError(), "Failed to get Ollama models: ");
    EXPECT_EQ(Sim::DecoyCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// The time-out bounds the whole exchange, whatever pace the server keeps.

TEST_F(Transport, DrippingOrSilentServerEndsAtTheTimeoutWithTheTimeoutText) {
    const struct {
        const char* provider;
        const char* override;
    } rows[] = {
        {"OpenAI", R"({"mode":"drip_body","drip_ms":400})"},  // headers at once, then a byte every 0.4 s
        {"Claude", R"({"mode":"drip","drip_ms":400})"},       // even the status line comes a byte at a time
        {"Ollama", R"({"mode":"drip_body","drip_ms":400,"repeat_content":20})"},
        {"Google", R"({"mode":"stall"})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.provider) + " " + row.override);
        Start(row.provider);
        Sim::Next(row.override);
        DWORD ms = 0;
        const std::string error = FailedSend("drip", kTimeoutMs + kDeadlineSlackMs, &ms);
        EXPECT_GE(ms, kTimeoutMs - 300);
        EXPECT_EQ(BeforeHint(error), ProviderNamed(row.provider).errorPrefix + std::string("0): ") + kTimedOut);
        ExpectHistoryIntact();
    }
}

TEST_F(Transport, DrippedModelListAndBackgroundChatObeyTheSameDeadline) {
    Start("Ollama");
    Sim::Next(R"({"mode":"drip_body","drip_ms":400})");
    DWORD ms = Timed("ParlyGetModels", {"[M]"});
    EXPECT_LE(ms, kTimeoutMs + kDeadlineSlackMs);
    EXPECT_EQ(rig.Var("[M]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), std::string("Failed to get Ollama models: ") + kTimedOut);

    Start("Groq");
    rig.scriptLines.clear();
    Sim::Next(R"({"mode":"drip","drip_ms":400})");
    const DWORD start = GetTickCount();
    rig.Exec("ParlySendAsync", {"FAILED-async", "[R]", "OnDone"});
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, kTimeoutMs + 4000));
    ms = GetTickCount() - start;
    EXPECT_LE(ms, kTimeoutMs + kDeadlineSlackMs);
    EXPECT_EQ(rig.Var("[R]"), "");
    EXPECT_EQ(BeforeHint(rig.LastError()), std::string("Groq error (0): ") + kTimedOut);
    ExpectHistoryIntact();
}

// ---------------------------------------------------------------------------------------------
// A reply that ends early is a transport failure; nothing of it is parsed.

TEST_F(Transport, ReplyCutShortOfItsLengthIsAReceiveFailure) {
    for (const char* provider : {"OpenAI", "Claude", "Ollama"}) {
        SCOPED_TRACE(provider);
        Start(provider);
        const std::string receive = ProviderNamed(provider).errorPrefix + std::string("0): Failed to receive response. Error code: ");
        Sim::Next(R"({"mode":"truncate","content":"all of the JSON arrived"})");  // 100 bytes fewer than announced
        std::string error = FailedSend("truncated");
        EXPECT_TRUE(IsTextWithNumber(error, receive)) << error;
        ExpectHistoryIntact();
        Sim::Next(R"({"mode":"reset_mid_body"})");
        error = FailedSend("reset");
        EXPECT_TRUE(IsTextWithNumber(error, receive)) << error;
        ExpectHistoryIntact();
    }
}

TEST_F(Transport, CutModelListEmbeddingAndImageReportTheTransportError) {
    Start("Ollama");
    Sim::Next(R"({"mode":"truncate"})");
    rig.Exec("ParlyGetModels", {"[M]"});
    EXPECT_EQ(rig.Var("[M]"), "") << "a cut listing was taken as the model list";
    EXPECT_EQ(rig.LastError(), "Failed to get Ollama models: Failed to receive response");
    Sim::Next(R"({"mode":"truncate"})");
    rig.Exec("ParlyGetEmbedding", {"text", "[E]"});
    EXPECT_EQ(rig.Var("[E]"), "");
    EXPECT_TRUE(IsTextWithNumber(rig.LastError(), "Embedding error (0): Failed to receive response. Error code: "))
        << rig.LastError();

    Start("OpenAI");
    const std::string path = ScratchDir("transport-cut") + "\\image.png";
    WriteFileBytes(path, "earlier content");
    Sim::Next(R"({"mode":"truncate"})");
    rig.Exec("ParlyImageGen", {"a lighthouse", path, "512x512", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_TRUE(IsTextWithNumber(rig.LastError(), "Image generation error (0): Failed to receive response. Error code: "))
        << rig.LastError();
    EXPECT_EQ(ReadFileBytes(path), "earlier content");
}

TEST_F(Transport, ChunkedReplyThatAlsoNamesALengthIsReadWhole) {
    // The chunked framing decides where the body ends; the length header beside it says nothing.
    for (const char* length : {"99999", "3"}) {
        SCOPED_TRACE(length);
        Start("OpenAI");
        Sim::Next(std::string(R"({"mode":"chunked","content":"framed by its chunks","headers":{"Content-Length":")") +
                  length + "\"}}");
        rig.Exec("ParlySend", {"chunked", "[A]"});
        EXPECT_EQ(rig.Var("[A]"), "framed by its chunks") << rig.LastError();
        ++exchanges_;
        ExpectHistoryIntact();
    }
}

// ---------------------------------------------------------------------------------------------
// OpenAI refusals: "content" null is no answer, and the next key's name is never taken for one.

TEST_F(Transport, OpenAIRefusalIsNoAnswerAndNamesTheRefusal) {
    Start("OpenAI");
    Sim::Next(R"({"refusal":"I'm sorry, I can't help with that."})");
    EXPECT_EQ(FailedSend("refused"), "OpenAI refused the request: I'm sorry, I can't help with that.");
    ExpectHistoryIntact();
    Sim::Next(R"({"content":null})");
    EXPECT_EQ(FailedSend("null content"), "Failed to parse OpenAI response");
    ExpectHistoryIntact();
    // The provider's own pretty-printed shape, white space around every colon.
    Sim::Next(R"({"refusal":"No.","pretty":true})");
    EXPECT_EQ(FailedSend("pretty refusal"), "OpenAI refused the request: No.");
    ExpectHistoryIntact();
    Sim::Next(R"({"pretty":true,"content":"Pretty \"answer\""})");
    rig.Exec("ParlySend", {"pretty", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "Pretty \"answer\"") << rig.LastError();
    ++exchanges_;
    ExpectHistoryIntact();
}

TEST_F(Transport, OtherChatCompletionProvidersKeepTheirTextsForNullContent) {
    const struct {
        const char* provider;
        const char* emptyAnswer;
    } rows[] = {{"OpenRouter", "Failed to extract response from OpenRouter"},
                {"Groq", "Failed to extract response from Groq"},
                {"Grok", "Failed to extract response from Grok"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.provider);
        Start(row.provider);
        Sim::Next(R"({"refusal":"I'm sorry."})");
        EXPECT_EQ(FailedSend("refused"), row.emptyAnswer);
        ExpectHistoryIntact();
    }
}

// ---------------------------------------------------------------------------------------------
// Embedding vectors come back as the numbers, in order, joined by single commas.

TEST_F(Transport, PrettyPrintedEmbeddingReplyGivesTheNumbersWithoutWhiteSpace) {
    // Shaped like the published embeddings reply, as the provider pretty-prints it.
    const std::string pretty =
        "{\n  \"object\": \"list\",\n  \"data\": [\n    {\n      \"object\": \"embedding\",\n      \"index\": 0,\n"
        "      \"embedding\": [\n        -0.006929283495992422,\n        -0.005336422007530928,\n"
        "\t\t0.0045,\r\n        1e-05 ,  -2.5E+3\n      ]\n    }\n  ],\n"
        "  \"model\": \"text-embedding-3-small\",\n  \"usage\": {\n    \"prompt_tokens\": 5,\n"
        "    \"total_tokens\": 5\n  }\n}\n";
    for (const char* provider : {"OpenAI", "OpenRouter"}) {
        SCOPED_TRACE(provider);
        Start(provider);
        NextRaw(200, pretty);
        rig.Exec("ParlyGetEmbedding", {"hello", "[E]"});
        EXPECT_EQ(rig.Var("[E]"), "-0.006929283495992422,-0.005336422007530928,0.0045,1e-05,-2.5E+3")
            << rig.LastError();
        Sim::Next(R"({"pretty":true,"embedding":[0.125,-0.5,3e-05]})");
        rig.Exec("ParlyGetEmbedding", {"hello", "[E]"});
        EXPECT_EQ(rig.Var("[E]"), "0.125,-0.5,3e-05") << rig.LastError();
    }
}


}  // namespace

namespace {

// Threads of this process, as the system lists them.
int ProcessThreads() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 t = {};
    t.dwSize = sizeof t;
    int n = 0;
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        if (t.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

// A conversation must not leave a thread behind per exchange, and unload must let the waiting one go.
TEST_F(Transport, ExchangesInARowShareOneThreadThatLeavesAtUnload) {
    Start("OpenAI");
    const int before = ProcessThreads();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 30; ++i) rig.Exec("ParlySend", {"again " + std::to_string(i), "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: again 29");
    EXPECT_LE(ProcessThreads(), before + 1);
    rig.Message(2);
    EXPECT_TRUE(rig.PumpUntil([&] { return ProcessThreads() < before; }, 1500)) << "the idle exchange thread stayed";
    Select(rig, "OpenAI");
    rig.Exec("ParlySend", {"after unload", "[A]"});
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: after unload");
}

}  // namespace
