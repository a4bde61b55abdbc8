// Background requests: busy state, delivery on the host's thread, callbacks, job replacement, and a stress run.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

class Async : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        Select(rig, "OpenAI");
    }
    std::vector<VariableWrite> WritesTo(const std::string& name) const {
        std::vector<VariableWrite> out;
        for (const VariableWrite& w : rig.writes)
            if (w.name == name) out.push_back(w);
        return out;
    }
    std::string Busy() {
        rig.Exec("ParlyIsBusy", {"[Busy]"});
        return rig.Var("[Busy]");
    }
    // Pumps the host's queue until the simulator has received `n` requests.
    bool RequestsArrived(int n) {
        return rig.PumpUntil([&] { return Sim::Count() >= n; }, 5000);
    }
};

TEST_F(Async, BusyFromTheStartUntilTheWorkerHasStoredItsResult) {
    EXPECT_EQ(Busy(), "False");
    Sim::Next(R"({"delay_ms":400})");
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
    EXPECT_EQ(Busy(), "True");
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R]"); }, 5000));
    EXPECT_EQ(Busy(), "False");
}

std::string g_valueAtCallback;
DWORD g_callbackThread = 0;

void RecordCallback(PluginRig& rig, const std::string&) {
    g_valueAtCallback = rig.Var("[R]");
    g_callbackThread = GetCurrentThreadId();
}

TEST_F(Async, ResultIsWrittenBeforeTheGoSubLineBothOnTheHostsThread) {
    g_valueAtCallback.clear();
    g_callbackThread = 0;
    rig.onRunScript = RecordCallback;
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
    EXPECT_FALSE(rig.HasVar("[R]")) << "nothing is written before the host pumps";
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 5000));
    rig.PumpUntil([] { return false; }, 250);  // a later tick must not deliver again
    std::vector<VariableWrite> writes = WritesTo("[R]");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, "OpenAI says: Hi");
    EXPECT_EQ(writes[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnReply\""});
    EXPECT_EQ(g_valueAtCallback, "OpenAI says: Hi");
    EXPECT_EQ(g_callbackThread, GetCurrentThreadId());
}

TEST_F(Async, CallbackNameIsSentVerbatim) {
    rig.Exec("ParlySendAsync", {"Hi", "[R]", " My Sub "});
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 5000));
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \" My Sub \""});
}

TEST_F(Async, NoCallbackNameRunsNoLineButStillWritesTheResult) {
    for (Param callback : {Param(""), Param(kAbsent)}) {
        SCOPED_TRACE(callback ? "empty" : "absent");
        rig.writes.clear();
        rig.Exec("ParlySendAsync", {"Hi", "[R]", callback});
        ASSERT_TRUE(rig.PumpUntil([&] { return !WritesTo("[R]").empty(); }, 5000));
        EXPECT_EQ(rig.Var("[R]"), "OpenAI says: Hi");
    }
    rig.PumpUntil([] { return false; }, 250);
    EXPECT_TRUE(rig.scriptLines.empty());
}

// The host runs the callback's subroutine inside the delivery; that subroutine starts the next job.
void StartNextFromCallback(PluginRig& rig, const std::string& line) {
    if (line == "GoSub \"First\"") rig.Exec("ParlySendAsync", {"two", "[R2]", "Second"});
    if (line == "GoSub \"Second\"") rig.Exec("ParlyImageGenAsync", {"cat", ScratchDir("chain") + "\\c.png", kAbsent, "[S]", "Third"});
}

TEST_F(Async, ACallbackThatStartsTheNextJobGetsThatJobDelivered) {
    rig.onRunScript = StartNextFromCallback;
    rig.Exec("ParlySendAsync", {"one", "[R1]", "First"});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.scriptLines.size() == 3; }, 8000)) << rig.scriptLines.size();
    rig.PumpUntil([] { return false; }, 300);
    EXPECT_EQ(rig.scriptLines, (std::vector<std::string>{"GoSub \"First\"", "GoSub \"Second\"", "GoSub \"Third\""}));
    EXPECT_EQ(rig.Var("[R1]"), "OpenAI says: one");
    EXPECT_EQ(rig.Var("[R2]"), "OpenAI says: two");
    EXPECT_EQ(rig.Var("[S]"), "OK") << rig.LastError();
    EXPECT_EQ(Busy(), "False");
}

TEST_F(Async, TwoJobsInARowDeliverOnlyTheSecond) {
    Sim::Next(R"({"delay_ms":500})");
    rig.Exec("ParlySendAsync", {"one", "[R1]", "First"});
    ASSERT_TRUE(RequestsArrived(1));
    DWORD start = GetTickCount();
    rig.Exec("ParlySendAsync", {"two", "[R2]", "Second"});
    EXPECT_GE(GetTickCount() - start, 300u) << "the second start waits for the running request";
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R2]"); }, 5000));
    rig.PumpUntil([] { return false; }, 300);
    EXPECT_EQ(rig.Var("[R2]"), "OpenAI says: two");
    EXPECT_FALSE(rig.HasVar("[R1]"));
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"Second\""});
    rig.Exec("ParlySend", {"three", "[R3]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 5u) << "both finished exchanges are in the history";
}

TEST_F(Async, AFinishedButUndeliveredJobIsReplacedByTheNextStart) {
    rig.Exec("ParlySendAsync", {"one", "[R1]", "First"});
    // Wait for the worker without pumping, so its result stays undelivered.
    DWORD start = GetTickCount();
    while (Busy() == "True" && GetTickCount() - start < 5000) Sleep(5);
    rig.Exec("ParlySendAsync", {"two", "[R2]", "Second"});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R2]"); }, 5000));
    rig.PumpUntil([] { return false; }, 250);
    EXPECT_FALSE(rig.HasVar("[R1]"));
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"Second\""});
}

TEST_F(Async, FailedChatDeliversEmptyTextKeepsTheClientErrorAndCallsBack) {
    NextReply(500, R"({"error":{"message":"down"}})");
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 5000));
    EXPECT_EQ(rig.Var("[R]"), "");
    EXPECT_EQ(rig.LastError(), "OpenAI API error (500): down");
    rig.Exec("ParlySend", {"next", "[N]"});
    EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 1u);
}

TEST_F(Async, SuccessfulJobsGrowTheHistory) {
    rig.Exec("ParlySendAsync", {"one", "[R]", kAbsent});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R]"); }, 5000));
    rig.Exec("ParlySend", {"two", "[A]"});
    EXPECT_NE(Sim::Body(-1).find(R"({"role":"user","content":"one"},{"role":"assistant","content":"OpenAI says: one"})"),
              std::string::npos)
        << Sim::Body(-1);
}

TEST_F(Async, TheRequestUsesTheSettingsOfTheMomentItStarted) {
    rig.Exec("ParlySetModel", {"model-at-start"});
    rig.Exec("ParlySendAsync", {"Hi", "[R]", kAbsent});
    rig.Exec("ParlySetModel", {"model-changed"});
    rig.Exec("ParlySetTemp", {"1.5"});
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[R]"); }, 5000));
    EXPECT_TRUE(StartsWith(Sim::Body(-1), R"({"model":"model-at-start",)")) << Sim::Body(-1);
    EXPECT_NE(Sim::Body(-1).find("\"temperature\":0.70,"), std::string::npos);
}

TEST_F(Async, ImageJobsReportOkOrErrorAndAlwaysCallBack) {
    std::string path = ScratchDir("async-image") + "\\out.png";
    DeleteFileA(path.c_str());
    rig.Exec("ParlyImageGenAsync", {"cat", path, "256x256", "[S]", "ImageDone"});
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 5000));
    EXPECT_EQ(rig.Var("[S]"), "OK");
    EXPECT_EQ(ReadFileBytes(path), Sim::Png());
    EXPECT_NE(Sim::Body(-1).find(R"("model":"gpt-image-2")"), std::string::npos);
    EXPECT_NE(Sim::Body(-1).find(R"("size":"1024x1024")"), std::string::npos) << Sim::Body(-1);

    rig.scriptLines.clear();
    Select(rig, "Claude");
    int requests = Sim::Count();
    rig.Exec("ParlyImageGenAsync", {"cat", path, kAbsent, "[S]", "ImageDone"});
    ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 5000));
    EXPECT_EQ(rig.Var("[S]"), "ERROR");
    EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"ImageDone\""});
    EXPECT_EQ(rig.LastError(),
              "Image generation requires OpenAI or OpenRouter provider. Current provider does not support DALL-E.");
    EXPECT_EQ(Sim::Count(), requests);
    EXPECT_EQ(ReadFileBytes(path), Sim::Png()) << "a failed job leaves the file alone";
}

// A cancel ends the job at once, even after its request went out; what the server sends later reaches nothing.
TEST_F(Async, CancelEndsARunningJobAtOnceAndItsLateAnswerReachesNothing) {
    const std::string path = ScratchDir("async-cancel") + "\\late.png";
    struct Case {
        const char* action;
        const char* cancelled;  // what the variable gets
    } cases[] = {{"ParlySendAsync", ""}, {"ParlyImageGenAsync", "ERROR"}};
    rig.Exec("ParlyCancel");  // while idle: changes nothing
    EXPECT_EQ(rig.LastError(), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        const bool image = std::string(c.action) == "ParlyImageGenAsync";
        DeleteFileA(path.c_str());
        rig.scriptLines.clear();
        rig.writes.clear();
        const int before = Sim::Count();
        Sim::Next(R"({"delay_ms":1200})");
        if (image) rig.Exec(c.action, {"cat", path, kAbsent, "[R]", "OnReply"});
        else rig.Exec(c.action, {"my late question", "[R]", "OnReply"});
        ASSERT_TRUE(RequestsArrived(before + 1));
        const DWORD start = GetTickCount();
        rig.Exec("ParlyCancel");
        EXPECT_EQ(Busy(), "False");
        ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 1000)) << "no callback after the cancel";
        EXPECT_LT(GetTickCount() - start, 500u);
        EXPECT_EQ(rig.Var("[R]"), c.cancelled);
        EXPECT_EQ(rig.LastError(), "Request cancelled");
        // The server answers at 1.2 s: nothing of it reaches a variable, a file or the history.
        rig.PumpUntil([&] { return GetTickCount() - start > 1600; }, 2000);
        EXPECT_EQ(WritesTo("[R]").size(), 1u);
        EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnReply\""});
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(rig.LastError(), "Request cancelled");
        rig.Exec("ParlySend", {"next", "[N]"});
        EXPECT_EQ(rig.Var("[N]"), "OpenAI says: next");
        EXPECT_EQ(Sim::Body(-1).find("late"), std::string::npos) << Sim::Body(-1);
        rig.Exec("ParlyClearHistory");
    }
    // A cancelled exchange counts against the bound of abandoned ones until its server lets go, as a time-out does.
    rig.Exec("ParlySetTimeout", {"5"});
    rig.scriptLines.clear();
    for (size_t i = 0; i < 4; ++i) {
        const int before = Sim::Count();
        Sim::Next(R"({"mode":"stall"})");
        rig.Exec("ParlySendAsync", {"held", "[R]", "OnHeld"});
        ASSERT_TRUE(RequestsArrived(before + 1));
        rig.Exec("ParlyCancel");
        // Delivered once its worker has let go of the exchange.
        ASSERT_TRUE(rig.PumpUntil([&] { return rig.scriptLines.size() == i + 1; }, 1000));
    }
    rig.Exec("ParlySend", {"refused", "[N]"});
    EXPECT_EQ(rig.LastError(),
              "OpenAI API error (0): Failed to start request: 4 earlier requests are still waiting for their servers");
    // Their deadline lets them go; then requests go out again.
    EXPECT_TRUE(rig.PumpUntil([&] {
        rig.Exec("ParlySend", {"later", "[N]"});
        return rig.Var("[N]") == "OpenAI says: later";
    }, 10000));
}

// A callback name is pasted inside the quotes of the GoSub line: anything but a plain label is refused unsent.
TEST_F(Async, ACallbackNameThatIsNotAPlainLabelIsRefusedBeforeAnythingIsSent) {
    const std::string refused = "Invalid callback subroutine name: it must be a plain label, without quotes or line breaks";
    for (const char* name : {"On\"Reply", "OnReply\"\r\nGoSub \"Other", "On\nReply", "On\tReply", "On\x7FReply"}) {
        SCOPED_TRACE(name);
        rig.Exec("ParlySendAsync", {"Hi", "[R]", name});
        EXPECT_EQ(rig.LastError(), refused);
        rig.Exec("ParlyImageGenAsync", {"cat", ScratchDir("async-label") + "\\x.png", kAbsent, "[S]", name});
        EXPECT_EQ(rig.LastError(), refused);
        EXPECT_EQ(Busy(), "False");
    }
    rig.PumpUntil([] { return false; }, 250);
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_TRUE(rig.scriptLines.empty());
    EXPECT_FALSE(rig.HasVar("[R]"));
    EXPECT_FALSE(rig.HasVar("[S]"));
}

TEST_F(Async, RefusedStartsWriteNothingAndCallNothing) {
    rig.Exec("ParlySendAsync", {"", "[R]", "OnReply"});
    EXPECT_EQ(rig.LastError(), "Prompt cannot be empty");
    rig.Exec("ParlyImageGenAsync", {"", "x.png", kAbsent, "[S]", "OnImage"});
    EXPECT_EQ(rig.LastError(), "Image prompt cannot be empty");
    rig.Exec("ParlyImageGenAsync", {"cat", "", kAbsent, "[S]", "OnImage"});
    EXPECT_EQ(rig.LastError(), "Output file path cannot be empty");
    rig.Message(2);  // no provider from here on
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "OnReply"});
    EXPECT_EQ(rig.LastError(), "No provider initialized. Call ParlyInit first.");
    rig.PumpUntil([] { return false; }, 250);
    EXPECT_FALSE(rig.HasVar("[R]"));
    EXPECT_FALSE(rig.HasVar("[S]"));
    EXPECT_TRUE(rig.scriptLines.empty());
    EXPECT_EQ(Sim::Count(), 0);
    EXPECT_EQ(Busy(), "False");
}

// ---------------------------------------------------------------------------------------------
// Stress: many jobs while the host's thread keeps changing the session.

struct Message {
    std::string role, content;
};

std::vector<Message> MessagesOf(const std::string& body) {
    static const std::regex element(R"re(\{"role":"([a-z]+)","content":"([^"]*)"\})re");
    std::vector<Message> out;
    for (auto it = std::sregex_iterator(body.begin(), body.end(), element); it != std::sregex_iterator(); ++it)
        out.push_back({(*it)[1], (*it)[2]});
    return out;
}

// The history part of a body is whole exchanges, each answer echoing its own prompt.
void ExpectWholeExchanges(const std::string& body, int index) {
    std::vector<Message> m = MessagesOf(body);
    size_t i = (!m.empty() && m[0].role == "system") ? 1 : 0;
    ASSERT_GE(m.size(), i + 1) << "request " << index << ": " << body;
    for (; i + 1 < m.size(); i += 2) {
        ASSERT_EQ(m[i].role, "user") << "request " << index << ": " << body;
        ASSERT_EQ(m[i + 1].role, "assistant") << "request " << index << ": " << body;
        ASSERT_EQ(m[i + 1].content, "OpenAI says: " + m[i].content) << "request " << index << ": " << body;
    }
    ASSERT_EQ(m.back().role, "user") << "request " << index << ": " << body;
}

TEST_F(Async, FiveHundredJobsWhileTheHostChangesSettingsAndClearsHistory) {
    constexpr int kJobs = 500;
    rig.Exec("ParlySetProgress", {"false"});
    for (int i = 0; i < kJobs; ++i) {
        rig.Exec("ParlySendAsync", {"p" + std::to_string(i), "[R]", "Cb"});
        rig.Exec("ParlySetModel", {i % 2 ? "model-odd" : "model-even"});
        rig.Exec("ParlySetTemp", {i % 3 ? "0.5" : "1.5"});
        rig.Exec("ParlySetSystem", {i % 5 ? "" : "sys"});
        if (i % 7 == 0) rig.Exec("ParlyClearHistory");
        rig.PumpOnce(0);
    }
    const std::string last = "OpenAI says: p" + std::to_string(kJobs - 1);
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.Var("[R]") == last; }, 20000));
    EXPECT_EQ(Busy(), "False");
    ASSERT_EQ(Sim::Count(), kJobs);

    // Deliveries: in order, complete answers, one GoSub each, all on the host's thread.
    std::vector<VariableWrite> writes = WritesTo("[R]");
    EXPECT_EQ(writes.size(), rig.scriptLines.size());
    int previous = -1;
    for (const VariableWrite& w : writes) {
        ASSERT_TRUE(StartsWith(w.value, "OpenAI says: p")) << w.value;
        int k = std::stoi(w.value.substr(strlen("OpenAI says: p")));
        EXPECT_GT(k, previous);
        previous = k;
        EXPECT_EQ(w.threadId, GetCurrentThreadId());
    }

    for (int i = 0; i < kJobs; i += 5) {
        std::string body = Sim::Body(i);
        ASSERT_TRUE(StartsWith(body, R"({"model":"model-odd",)") || StartsWith(body, R"({"model":"model-even",)") ||
                    StartsWith(body, R"({"model":"gpt-5.6-sol",)"))
            << body;
        ExpectWholeExchanges(body, i);
    }
    rig.Exec("ParlySend", {"final", "[F]"});
    ExpectWholeExchanges(Sim::Body(-1), kJobs);
    EXPECT_EQ(rig.Var("[F]"), "OpenAI says: final");
}

// A background answer that comes back after a new conversation began is still delivered, but joins nothing.
TEST_F(Async, ALateAnswerIsDeliveredButNeverJoinsTheConversationBegunMeanwhile) {
    struct Case {
        const char* name;
        void (*begin)(PluginRig& rig);
        const char* nextSays;
    } cases[] = {
        {"ParlyInit", [](PluginRig& r) { Select(r, "Groq"); }, "Groq"},
        {"ParlyClearHistory", [](PluginRig& r) { r.Exec("ParlyClearHistory"); }, "OpenAI"},
        {"ParlyReset", [](PluginRig& r) { r.Exec("ParlyReset"); }, "OpenAI"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Select(rig, "OpenAI");
        rig.scriptLines.clear();
        rig.writes.clear();
        rig.vars.clear();
        int before = Sim::Count();
        Sim::Next(R"({"delay_ms":400})");
        rig.Exec("ParlySendAsync", {"my private question", "[R]", "OnReply"});
        ASSERT_TRUE(RequestsArrived(before + 1));
        c.begin(rig);
        ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 5000));
        EXPECT_EQ(rig.Var("[R]"), "OpenAI says: my private question");
        EXPECT_EQ(rig.scriptLines, std::vector<std::string>{"GoSub \"OnReply\""});
        rig.Exec("ParlySend", {"next", "[N]"});
        EXPECT_EQ(rig.Var("[N]"), std::string(c.nextSays) + " says: next");
        EXPECT_EQ(Sim::Body(-1).find("private"), std::string::npos) << Sim::Body(-1);
        EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 1u) << Sim::Body(-1);
    }
}

}  // namespace
