// Streamed sends against the simulator's streams: the reveal starts with the first piece, in every protocol.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/json.h"
#include "session/text_rules.h"
#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

// The word-by-word reveal of a whole answer: the writes it makes.
std::vector<std::string> RevealOf(const std::string& answer) {
    std::vector<std::string> writes;
    RevealCursor cursor;
    while (cursor.Next(answer, true)) writes.push_back(cursor.acc);
    return writes;
}

int StatOf(const std::string& stats, const std::string& key) {
    const size_t at = stats.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoi(stats.c_str() + at + key.size() + 3);
}

bool ClientLeft() { return Sim::StreamStats().find("\"client_left\":true") != std::string::npos; }

std::string Words(int n) {
    std::string s;
    for (int i = 1; i <= n; ++i) s += (i > 1 ? " w" : "w") + std::to_string(i);
    return s;
}

HWND g_events = nullptr;
std::vector<std::pair<std::string, std::vector<Param>>> g_eventActions;  // what the next host event runs
int g_streamSentAtFirstWrite = -1;

// A host event that runs script actions when the reveal's pump dispatches it.
LRESULT CALLBACK ScriptEventProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_APP) {
        auto actions = std::move(g_eventActions);
        g_eventActions.clear();
        for (auto& [action, params] : actions) {
            if (action == "message2") PluginRig::current->Message(2);
            else PluginRig::current->Exec(action, params);
        }
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

size_t WriteCount(PluginRig& rig, const std::string& name) {
    return std::count_if(rig.writes.begin(), rig.writes.end(), [&](const VariableWrite& x) { return x.name == name; });
}

// On the first write of [S]: note how far the stream had come, and raise the host event when actions wait.
void OnFirstWrite(PluginRig& rig, const VariableWrite& w) {
    if (w.name != "[S]" || WriteCount(rig, "[S]") != 1) return;
    g_streamSentAtFirstWrite = StatOf(Sim::StreamStats(), "sent");
    if (!g_eventActions.empty()) PostMessageW(g_events, WM_APP, 0, 0);
}

class Stream : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        WNDCLASSW wc = {};
        wc.lpfnWndProc = ScriptEventProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ParlyTestStreamEvents";
        RegisterClassW(&wc);
        g_events = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(g_events, nullptr);
        g_eventActions.clear();
        g_streamSentAtFirstWrite = -1;
        rig.onWrite = OnFirstWrite;
    }
    void TearDown() override {
        rig.onWrite = nullptr;
        DestroyWindow(g_events);
        g_events = nullptr;
        SimFixture::TearDown();
    }
    std::vector<std::string> WritesTo(const std::string& name) const {
        std::vector<std::string> values;
        for (const VariableWrite& w : rig.writes)
            if (w.name == name) values.push_back(w.value);
        return values;
    }
};

TEST_F(Stream, EveryProtocolRevealsWhileTheAnswerStillStreamsWithTheWritesOfTheWholeAnswer) {
    const std::string answer = " Gr\xC3\xBC\xC3\x9F  dich\nWelt w4 w5 w6 w7 ";
    for (const Provider& p : AllProviders()) {
        SCOPED_TRACE(p.initName);
        Select(rig, p.initName);
        rig.writes.clear();
        g_streamSentAtFirstWrite = -1;
        Sim::Next("{\"content\":" + JsonStr(answer) + ",\"event_delay_ms\":120}");
        rig.Exec("ParlySendStream", {"Hi", "[S]"});
        EXPECT_EQ(WritesTo("[S]"), RevealOf(answer));
        const std::string stats = Sim::StreamStats();
        EXPECT_GE(g_streamSentAtFirstWrite, 1) << stats;
        EXPECT_LT(g_streamSentAtFirstWrite, StatOf(stats, "total") - 3) << "the first word came long before the last";
        const std::string body = Sim::Body();
        if (std::string(p.initName) == "Google") EXPECT_NE(Sim::Head().find(":streamGenerateContent?alt=sse&key="), std::string::npos);
        else EXPECT_NE(body.find("\"stream\":true"), std::string::npos) << body;
        EXPECT_EQ(body.find("\"stream\":false"), std::string::npos);
        // The exchange joined the history once, whole.
        rig.Exec("ParlySend", {"next", "[N]"});
        EXPECT_EQ(CountOf(Sim::Body(), JsonStr(answer).substr(1, 12)), 1u) << Sim::Body();
        rig.Exec("ParlyClearHistory");
    }
}

TEST_F(Stream, ReadsCutInsideUtf8AndInsideDataLinesWithCrlfChangeNothing) {
    const std::string answer = "\xE2\x82\xAC\xE2\x82\xAC caf\xC3\xA9 \xF0\x9F\x98\x80 end";
    for (const char* provider : {"OpenAI", "Claude", "Google", "Ollama"}) {
        SCOPED_TRACE(provider);
        Select(rig, provider);
        rig.writes.clear();
        Sim::Next("{\"content\":" + JsonStr(answer) + ",\"split_bytes\":7,\"crlf\":true}");
        rig.Exec("ParlySendStream", {"Hi", "[S]"});
        EXPECT_EQ(WritesTo("[S]"), RevealOf(answer));
    }
}

TEST_F(Stream, WithMultilineOffLineBreaksCutAcrossReadsAreTypedAsTheWholeAnswerWould) {
    const std::string answer = "one\r\ntwo  three\n\nfour \nfive";
    rig.Exec("ParlySetMultiline", {"false"});
    rig.Exec("ParlySetStreaming", {"true", "[S]"});
    for (const char* provider : {"OpenAI", "Claude", "Google", "Ollama"}) {
        SCOPED_TRACE(provider);
        Select(rig, provider);
        rig.writes.clear();
        Sim::Next("{\"content\":" + JsonStr(answer) + ",\"split_bytes\":3,\"pieces\":[\"one\\r\",\"\\ntwo \",\" three\\n\","
                  "\"\\nfour \",\"\\nfive\"]}");
        rig.Exec("ParlySend", {"Hi", "[R]"});
        EXPECT_EQ(WritesTo("[S]"), RevealOf(FlattenLineBreaks(answer, false)));
        EXPECT_EQ(rig.Var("[R]"), answer) << "the result holds the raw answer";
    }
}

TEST_F(Stream, BrokenStreamsFailWithTheirTextWriteTheEmptyTextAndLeaveNoHistory) {
    struct Fault {
        const char* fault;
        const char* text;  // after the provider's prefix; empty: the transport's text or the missing end
    } faults[] = {{"error", nullptr}, {"no_end", "200): The answer stream ended before it was complete"}, {"cut", ""}};
    for (const Provider& p : AllProviders()) {
        Select(rig, p.initName);
        const std::string prefix = p.errorPrefix;
        const std::string errorText =
            std::string(p.initName) == "Claude" ? "200): Overloaded"
            : std::string(p.initName) == "Google" ? "200): The model is overloaded. Please try again later."
            : std::string(p.initName) == "Ollama" ? "200): model runner has unexpectedly stopped"
                                                  : "200): The server had an error while processing your request.";
        for (const Fault& f : faults) {
            for (const char* action : {"ParlySendStream", "ParlySend"}) {
                SCOPED_TRACE(std::string(p.initName) + " " + f.fault + " " + action);
                rig.Exec("ParlySetStreaming", {"true", "[S]"});
                // The pieces come a little apart, so the reply's headers are in before a cut resets the connection
                // (a reset that comes first loses them, and that is a stale connection the transport tries again).
                Sim::Next(std::string("{\"content\":\"a b c d e f\",\"event_delay_ms\":20,\"stream_fault\":\"") + f.fault +
                          "\",\"fault_after\":4}");
                rig.Exec(action, {"Hi", std::string(action) == "ParlySend" ? "[R]" : "[S]"});
                EXPECT_EQ(rig.Var("[S]"), "");
                if (std::string(action) == "ParlySend") {
                    EXPECT_EQ(rig.Var("[R]"), "");
                }
                const std::string error = rig.LastError();
                ASSERT_TRUE(StartsWith(error, prefix)) << error;
                if (f.text == nullptr) {
                    EXPECT_EQ(error, prefix + errorText);
                } else if (*f.text) {
                    EXPECT_EQ(error, prefix + f.text);
                } else {
                    // Wine reports a reset chunked reply either as the reset or as an end without the last chunk.
                    EXPECT_TRUE(StartsWith(error, prefix + "0): Failed to receive response. Error code: ") ||
                                error == prefix + "200): The answer stream ended before it was complete")
                        << error;
                }
                // The next request carries no trace of the failed stream.
                rig.Exec("ParlySetStreaming", {"false"});
                rig.Exec("ParlySend", {"next", "[N]"});
                EXPECT_EQ(Sim::Body().find("a b c"), std::string::npos) << Sim::Body();
                EXPECT_EQ(rig.Var("[N]"), std::string(p.says) + " says: next");
                rig.Exec("ParlyClearHistory");
            }
        }
    }
}

TEST_F(Stream, StopEndsTheRevealAtOnceClosesTheExchangeAndKeepsTheAnswerAsFarAsItCame) {
    Select(rig, "Claude");
    rig.Exec("ParlySetStreaming", {"true", "[S]"});
    const std::string whole = Words(40);
    Sim::Next("{\"content\":\"" + whole + "\",\"event_delay_ms\":100}");
    g_eventActions = {{"ParlyStopStream", {}}};
    const DWORD start = GetTickCount();
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_LT(GetTickCount() - start, 2500u) << "the action did not wait for the rest of the answer";
    EXPECT_EQ(WritesTo("[S]"), std::vector<std::string>{"w1"});
    const std::string r = rig.Var("[R]");
    EXPECT_TRUE(StartsWith(r, "w1 w2") && StartsWith(whole, r) && r.size() < whole.size()) << r;
    ASSERT_TRUE(rig.PumpUntil(ClientLeft, 3000)) << "the connection stayed open: " << Sim::StreamStats();
    EXPECT_LT(StatOf(Sim::StreamStats(), "sent"), 40);
    // The history holds the answer as far as it came; the next reveal runs to its end.
    rig.Exec("ParlySendStream", {"again", "[S2]"});
    EXPECT_NE(Sim::Body().find("\"content\":\"" + r + "\""), std::string::npos) << Sim::Body();
    EXPECT_EQ(rig.Var("[S2]"), "Claude says: again");
}

TEST_F(Stream, RepliesThatAreNotStreamsAreReadWhole) {
    Select(rig, "OpenAI");
    NextReply(429, R"({"error":{"message":"Rate limit reached","type":"requests"}})");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), std::vector<std::string>{""});
    EXPECT_EQ(rig.LastError(), "OpenAI API error (429): Rate limit reached. OpenAI's limit was reached: wait a moment "
                               "and try again, or check your plan.");
    // A gateway that ignores "stream" answers whole: revealed as before.
    rig.writes.clear();
    Sim::Next(R"({"no_stream":true,"content":"plain old reply"})");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), RevealOf("plain old reply"));
}

TEST_F(Stream, StreamedRequestsFollowTheModelRulesResendOnceAndSayWhyAnAnswerStarved) {
    Select(rig, "OpenAI");
    rig.Exec("ParlySetModel", {"gpt-next-preview"});
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "OpenAI says: Hi") << rig.LastError();
    ASSERT_EQ(Sim::Count(), 3) << "one resend per refused member, before the stream";
    EXPECT_TRUE(StartsWith(Sim::Body(-1).substr(Sim::Body(-1).find("]")), R"(],"max_completion_tokens":2048,"stream":true,"stream_options":{"include_usage":true}})"))
        << Sim::Body(-1);
    EXPECT_EQ(WritesTo("[S]"), RevealOf("OpenAI says: Hi"));
    // A reasoning model whose thinking uses up a small limit says so, in the stream as in a whole reply.
    rig.Exec("ParlySetModel", {"gpt-5.4"});
    rig.Exec("ParlySetMaxTokens", {"100"});
    rig.Exec("ParlySendStream", {"a hard question", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), "");
    EXPECT_EQ(rig.LastError(),
              "OpenAI stopped at the token limit before writing any answer (finish_reason length). "
              "Raise the limit with ParlySetMaxTokens.");
    EXPECT_NE(Sim::Body().find("\"stream\":true"), std::string::npos);
}

TEST_F(Stream, OneDeadlineBoundsTheWholeStreamedExchange) {
    Select(rig, "Ollama");
    rig.Exec("ParlySetTimeout", {"5"});
    Sim::Next("{\"content\":\"" + Words(30) + "\",\"event_delay_ms\":300}");
    const DWORD start = GetTickCount();
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    const DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 7500u);
    EXPECT_GE(took, 4500u);
    EXPECT_EQ(rig.Var("[S]"), "");
    EXPECT_EQ(rig.LastError(), "Ollama error (0): Request timed out after 5 seconds");
}

TEST_F(Stream, AHostEventDuringTheRevealCanSendItsOwnRequestAndStartABackgroundJob) {
    Select(rig, "OpenAI");
    Sim::Next("{\"content\":\"" + Words(12) + "\",\"event_delay_ms\":80}");
    g_eventActions = {{"ParlySend", {"inner", "[I]"}}, {"ParlySendAsync", {"background", "[B]", "OnB"}}};
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), Words(12));
    EXPECT_EQ(rig.Var("[I]"), "OpenAI says: inner");
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[B]"); }, 5000));
    EXPECT_EQ(rig.Var("[B]"), "OpenAI says: background");
    // The background job asked for no stream even with streaming on.
    rig.Exec("ParlySetStreaming", {"true", "[T]"});
    rig.Exec("ParlySendAsync", {"quiet", "[Q]", kAbsent});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[Q]"); }, 5000));
    EXPECT_EQ(Sim::Body().find("\"stream\":true"), std::string::npos);
    EXPECT_FALSE(rig.HasVar("[T]"));
}

TEST_F(Stream, AStreamedSendFromAHostEventDuringTheRevealRunsWholeAndTheOuterRevealGoesOn) {
    Select(rig, "OpenAI");
    Sim::Next("{\"content\":\"" + Words(12) + "\",\"event_delay_ms\":80}");
    Sim::Next("{\"content\":\"" + Words(5) + "\",\"event_delay_ms\":30}");
    g_eventActions = {{"ParlySendStream", {"inner", "[I]"}}, {"ParlyClearHistory", {}}};
    rig.Exec("ParlySendStream", {"outer", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), RevealOf(Words(12)));
    EXPECT_EQ(WritesTo("[I]"), RevealOf(Words(5)));
    EXPECT_EQ(rig.LastError(), "");
    // The history was cleared after both had left: neither exchange joins it.
    rig.Exec("ParlySend", {"next", "[N]"});
    EXPECT_EQ(CountOf(Sim::Body(), "\"role\":\"user\""), 1u) << Sim::Body();
    EXPECT_EQ(CountOf(Sim::Body(), "\"role\":\"assistant\""), 0u) << Sim::Body();
}

TEST_F(Stream, UnloadDuringTheRevealEndsItAndClosesTheExchange) {
    Select(rig, "Groq");
    Sim::Next("{\"content\":\"" + Words(30) + "\",\"event_delay_ms\":100}");
    g_eventActions = {{"message2", {}}};
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), std::vector<std::string>{"w1"});
    ASSERT_TRUE(rig.PumpUntil(ClientLeft, 3000)) << Sim::StreamStats();
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.LastError(), "No provider initialized. Call ParlyInit first.");
}

// A stop ends the reveal that was running when it was asked, not the send a host event starts right after it.
TEST_F(Stream, AStopFollowedAtOnceByANewStreamedSendEndsOnlyTheRevealThatWasRunning) {
    for (const char* provider : {"OpenAI", "Claude", "Google", "Ollama"}) {
        SCOPED_TRACE(provider);
        Select(rig, provider);
        rig.writes.clear();
        Sim::Next("{\"content\":\"" + Words(30) + "\",\"event_delay_ms\":60}");
        Sim::Next("{\"content\":\"" + Words(4) + "\",\"event_delay_ms\":20}");
        g_eventActions = {{"ParlyStopStream", {}}, {"ParlySendStream", {"instead", "[B]"}}};
        const DWORD start = GetTickCount();
        rig.Exec("ParlySendStream", {"first", "[S]"});
        EXPECT_LT(GetTickCount() - start, 1500u) << "the stopped answer went on typing";
        EXPECT_EQ(rig.Var("[B]"), Words(4));
        const std::string s = rig.Var("[S]");
        EXPECT_TRUE(StartsWith(Words(30), s) && s.size() < Words(30).size()) << s;
        // Each exchange once, in the order the answers ended: the new one, then the stopped one.
        rig.Exec("ParlySend", {"next", "[N]"});
        const std::string body = Sim::Body();
        EXPECT_EQ(CountOf(body, "instead"), 1u) << body;
        EXPECT_EQ(CountOf(body, "first"), 1u) << body;
        EXPECT_LT(body.find("instead"), body.find("first")) << body;
        rig.Exec("ParlyClearHistory");
    }
    // A stop asked while nothing is revealed stops nothing later.
    rig.Exec("ParlyStopStream");
    Sim::Next("{\"content\":\"" + Words(6) + "\",\"event_delay_ms\":20}");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), Words(6));
}

// A background answer that comes in during a streamed reveal is delivered then, not after the reveal.
TEST_F(Stream, ABackgroundAnswerIsDeliveredWhileAStreamIsRevealed) {
    Select(rig, "OpenAI");
    Sim::Next("{\"content\":\"" + Words(20) + "\",\"event_delay_ms\":100}");
    g_eventActions = {{"ParlySendAsync", {"background", "[B]", "OnB"}}};
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.Var("[S]"), Words(20));
    ASSERT_TRUE(rig.HasVar("[B]")) << "not delivered during the reveal";
    EXPECT_EQ(rig.Var("[B]"), "OpenAI says: background");
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnB\""});
    // Delivered within a few pieces of the reveal (it takes 2 s), not at its end.
    size_t piecesBefore = 0;
    for (const VariableWrite& w : rig.writes) {
        if (w.name == "[B]") break;
        if (w.name == "[S]") ++piecesBefore;
    }
    EXPECT_LE(piecesBefore, 6u);
}

// A server that sends a whole stream, end marker included, then holds the connection without its last chunk.
class HoldingServer {
  public:
    HoldingServer(std::string events, std::string type) : events_(std::move(events)), type_(std::move(type)) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at);
        listen(listener_, 16);
        int size = sizeof at;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
        port_ = ntohs(at.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HoldingServer() {
        closesocket(listener_);
        thread_.join();
        for (SOCKET c : held_) closesocket(c);
        WSACleanup();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int served() const { return served_; }

  private:
    void Serve() {
        for (;;) {
            SOCKET c = accept(listener_, nullptr, nullptr);
            if (c == INVALID_SOCKET) return;
            held_.push_back(c);
            // The request: its head, then as many bytes as it announced.
            std::string in;
            char buf[4096];
            size_t headEnd;
            while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
                int n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                in.append(buf, n);
            }
            if (headEnd == std::string::npos) continue;
            const size_t lengthAt = in.find("Content-Length: ");
            const size_t length = lengthAt == std::string::npos ? 0 : std::atoi(in.c_str() + lengthAt + 16);
            while (in.size() < headEnd + 4 + length) {
                int n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                in.append(buf, n);
            }
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", events_.size());
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: " + type_ + "\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                      std::string(size) + events_ + "\r\n";
            send(c, reply.data(), static_cast<int>(reply.size()), 0);
            ++served_;
        }
    }
    std::string events_, type_;
    SOCKET listener_;
    int port_ = 0;
    std::vector<SOCKET> held_;
    std::atomic<int> served_{0};
    std::thread thread_;
};

// Streams that ended normally (or that the script stopped) never count as abandoned: later requests still go out.
TEST_F(Stream, FinishedStreamsWhoseServerHoldsTheConnectionNeverBlockLaterRequests) {
    struct Case {
        const char* provider;
        const char* events;
    } cases[] = {
        {"OpenAI", "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"Hello there\"}}]}\n\n"
                   "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}\n\n"
                   "data: [DONE]\n\n"},
        {"Claude", "event: message_start\ndata: {\"type\":\"message_start\",\"message\":{\"id\":\"m\",\"content\":[]}}\n\n"
                   "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,"
                   "\"delta\":{\"type\":\"text_delta\",\"text\":\"Hello there\"}}\n\n"
                   "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n"},
        {"Google", "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"Hello there\"}],\"role\": \"model\"},"
                   "\"finishReason\": \"STOP\",\"index\": 0}]}\r\n\r\n"},
        {"Ollama", "{\"model\":\"m\",\"message\":{\"role\":\"assistant\",\"content\":\"Hello there\"},\"done\":false}\n"
                   "{\"model\":\"m\",\"message\":{\"role\":\"assistant\",\"content\":\"\"},\"done\":true}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.provider);
        HoldingServer server(c.events, std::string(c.provider) == "Ollama" ? "application/x-ndjson" : "text/event-stream");
        const Provider& p = ProviderNamed(c.provider);
        ScopedEnv redirect(p.redirectVar ? p.redirectVar : "PARLY_UNUSED_URL", server.Url());
        if (!p.redirectVar) rig.Exec("ParlySetEndpoint", {server.Url()});
        rig.Exec("ParlyInit", {c.provider, "k1", "[InitStatus]"});
        rig.Exec("ParlySetTimeout", {"30"});
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(i);
            const DWORD start = GetTickCount();
            rig.Exec("ParlySendStream", {"Hi", "[S]"});
            EXPECT_LT(GetTickCount() - start, 3000u);
            EXPECT_EQ(rig.Var("[S]"), "Hello there");
            EXPECT_EQ(rig.LastError(), "");
        }
        EXPECT_EQ(server.served(), 6);
        rig.Message(2);  // lets go of the held exchanges before their server goes
    }
    // Stopped by the script while the server still holds the rest back.
    HoldingServer server("data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"Hello there\"}}]}\n\n",
                         "text/event-stream");
    ScopedEnv redirect("PARLY_OPENAI_URL", server.Url());
    Select(rig, "OpenAI");
    rig.Exec("ParlySetTimeout", {"30"});
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        rig.writes.clear();
        g_eventActions = {{"ParlyStopStream", {}}};
        rig.Exec("ParlySendStream", {"Hi", "[S]"});
        EXPECT_EQ(rig.Var("[S]"), "Hello");
        EXPECT_EQ(rig.LastError(), "");
    }
    EXPECT_EQ(server.served(), 6);
    // Each held stream keeps a thread and a connection: past 32 of them the next ones count as abandoned, and
    // past those the server gets no more.
    for (int i = 6; i < 36; ++i) {
        rig.writes.clear();
        g_eventActions = {{"ParlyStopStream", {}}};
        rig.Exec("ParlySendStream", {"Hi", "[S]"});
        ASSERT_EQ(rig.LastError(), "") << i;
    }
    rig.writes.clear();
    g_eventActions = {{"ParlyStopStream", {}}};
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    g_eventActions.clear();
    EXPECT_EQ(rig.LastError(),
              "OpenAI API error (0): Failed to start request: 4 earlier requests are still waiting for their servers");
    EXPECT_EQ(server.served(), 36);
    rig.Message(2);
}

}  // namespace

// Thinking travels beside the answer in every protocol and is never typed; a stream whose label says otherwise is
// still known by its body and gives the whole answer; a NUL, which would end the host's variable, is dropped.
TEST_F(Stream, ThinkingIsNeverTypedAndAStreamUnderAnotherLabelGivesTheWholeAnswer) {
    const struct {
        const char* provider;
        const char* type;
        std::string body;
    } cases[] = {
        {"Google", "text/event-stream",
         "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"THOUGHT\", \"thought\": true}], \"role\": \"model\"}}]}\r\n\r\n"
         "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"First \", \"thoughtSignature\": \"c2ln\"}], \"role\": \"model\"}}]}\r\n\r\n"
         "data: {\"candidates\": [{\"content\": {\"parts\": [{\"text\": \"second\"}], \"role\": \"model\"}, \"finishReason\": \"STOP\","
         " \"groundingMetadata\": {\"groundingSupports\": [{\"segment\": {\"text\": \"THOUGHT\"}}]}}]}\r\n\r\n"},
        {"Claude", "text/event-stream",
         "event: content_block_start\ndata: {\"type\":\"content_block_start\",\"index\":0,\"content_block\":{\"type\":\"thinking\",\"thinking\":\"\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"thinking_delta\",\"thinking\":\"THOUGHT\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":\"signature_delta\",\"signature\":\"EqQB\"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":1,\"delta\":{\"type\":\"text_delta\",\"text\":\"First \"}}\n\n"
         "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":1,\"delta\":{\"type\":\"text_delta\",\"text\":\"second\"}}\n\n"
         "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n"},
        {"Groq", "text/event-stream",
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"role\":\"assistant\",\"reasoning\":\"THOUGHT\"}}]}\n\n"
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"reasoning_content\":\"THOUGHT\",\"content\":\"Fi\\u0000rst \"}}]}\n\n"
         "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"second\"},\"finish_reason\":\"stop\"}]}\n\ndata: [DONE]\n\n"},
        {"Ollama", "application/x-ndjson",
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"content\":\"\",\"thinking\":\"THOUGHT\"},\"done\":false}\n"
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"content\":\"First \"},\"done\":false}\n"
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"content\":\"second\"},\"done\":false}\n"
         "{\"model\":\"qwen3\",\"message\":{\"role\":\"assistant\",\"content\":\"\"},\"done_reason\":\"stop\",\"done\":true}\n"},
    };
    for (const auto& c : cases) {
        for (const char* label : {c.type, "text/plain; charset=utf-8"}) {
            SCOPED_TRACE(std::string(c.provider) + " as " + label);
            Select(rig, c.provider);
            rig.writes.clear();
            Sim::Next("{\"status\":200,\"body_b64\":\"" + Base64(c.body) + "\",\"headers\":{\"Content-Type\":\"" + label + "\"}}");
            rig.Exec("ParlySendStream", {"Hi", "[S]"});
            EXPECT_EQ(rig.Var("[S]"), "First second");
            EXPECT_EQ(rig.LastError(), "");
            for (const std::string& typed : WritesTo("[S]")) EXPECT_EQ(typed.find("THOUGHT"), std::string::npos) << typed;
            // Nor does the thinking join the history.
            rig.Exec("ParlySend", {"next", "[N]"});
            EXPECT_NE(Sim::Body().find("First second"), std::string::npos) << Sim::Body();
            EXPECT_EQ(Sim::Body().find("THOUGHT"), std::string::npos) << Sim::Body();
            rig.Exec("ParlyClearHistory");
        }
    }
}
