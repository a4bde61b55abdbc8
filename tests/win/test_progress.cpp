// The progress window and the word-by-word reveal, seen from the host's side under a real display.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "async/progress.h"
#include "plugin/host.h"
#include "session/settings.h"
#include "tests/win/rig.h"
#include "tests/win/sim_helpers.h"

using namespace simtest;

namespace {

constexpr int kProgressText = 1032;

struct FindState {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindProgressProc(HWND w, LPARAM lp) {
    auto* state = reinterpret_cast<FindState*>(lp);
    wchar_t cls[32] = {};
    GetClassNameW(w, cls, 32);
    if (wcscmp(cls, L"#32770") == 0 && IsWindowVisible(w) && GetWindow(w, GW_OWNER) == state->owner) {
        state->found = w;
        return FALSE;
    }
    return TRUE;
}

// The visible dialog owned by `owner` on `thread`; reads only window data, so it works while that thread is blocked.
HWND FindProgress(DWORD thread, HWND owner) {
    FindState state{owner, nullptr};
    EnumThreadWindows(thread, FindProgressProc, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

std::wstring TextOf(HWND w) {
    wchar_t buf[256] = {};
    InternalGetWindowText(w, buf, 256);
    return buf;
}

struct Snapshot {
    HWND window = nullptr;
    std::wstring caption, text;
    LONG exStyle = 0;
    RECT rect{};
};

// Watches the host's thread from a helper thread while that thread is busy in a synchronous request.
class Watcher {
  public:
    Watcher(DWORD thread, HWND owner) : thread_(thread), owner_(owner), worker_([this] { Run(); }) {}
    ~Watcher() { Stop(); }
    void Stop() {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
    }
    Snapshot first;          // read after Stop()
    std::set<HWND> windows;  // every distinct progress window seen

  private:
    void Run() {
        while (!stop_) {
            if (HWND w = FindProgress(thread_, owner_)) {
                if (!first.window) {
                    first.window = w;
                    first.caption = TextOf(w);
                    first.text = TextOf(GetDlgItem(w, kProgressText));
                    first.exStyle = GetWindowLongW(w, GWL_EXSTYLE);
                    GetWindowRect(w, &first.rect);
                }
                windows.insert(w);
            }
            Sleep(5);
        }
    }
    DWORD thread_;
    HWND owner_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

void ExpectCentredOver(HWND host, const RECT& w) {
    RECT h;
    ASSERT_TRUE(GetWindowRect(host, &h));
    int width = w.right - w.left, height = w.bottom - w.top;
    EXPECT_EQ(w.left, h.left + ((h.right - h.left) - width) / 2);
    EXPECT_EQ(w.top, h.top + ((h.bottom - h.top) - height) / 2);
}

class Progress : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        Select(rig, "OpenAI");
    }
    std::vector<std::string> WritesTo(const std::string& name) const {
        std::vector<std::string> values;
        for (const VariableWrite& w : rig.writes)
            if (w.name == name) values.push_back(w.value);
        return values;
    }
    std::vector<DWORD> TicksOf(const std::string& name) const {
        std::vector<DWORD> ticks;
        for (const VariableWrite& w : rig.writes)
            if (w.name == name) ticks.push_back(w.tick);
        return ticks;
    }
};

// ---------------------------------------------------------------------------------------------
// The window.

TEST_F(Progress, WindowShowsTopmostAndCentredWhileASynchronousRequestRunsAndGoesAfterwards) {
    Sim::Next(R"({"delay_ms":700})");
    Watcher watcher(GetCurrentThreadId(), rig.hostWindow());
    rig.Exec("ParlySend", {"Hi", "[A]"});
    watcher.Stop();
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Hi");
    ASSERT_NE(watcher.first.window, nullptr) << "no progress window while the request ran";
    EXPECT_EQ(watcher.first.caption, L"Parly Plugin");
    EXPECT_EQ(watcher.first.text, L"Thinking...");
    EXPECT_TRUE(watcher.first.exStyle & WS_EX_TOPMOST);
    ExpectCentredOver(rig.hostWindow(), watcher.first.rect);
    EXPECT_EQ(watcher.windows.size(), 1u);
    EXPECT_FALSE(IsWindow(watcher.first.window));
}

TEST_F(Progress, EachRequestActionShowsItsOwnText) {
    std::string dir = ScratchDir("progress-texts");
    std::string doc = dir + "\\doc.txt";
    WriteFileBytes(doc, "document text");
    struct Case {
        const char* action;
        std::vector<Param> params;
        const wchar_t* text;
    } cases[] = {
        {"ParlySend", {"Hi", "[A]"}, L"Thinking..."},
        {"ParlySendStream", {"Hi", "[A]"}, L"Thinking..."},
        {"ParlyImageGen", {"cat", dir + "\\cat.png", "256x256", "[S]"}, L"Generating image..."},
        {"ParlyGetEmbedding", {"hello", "[E]"}, L"Generating embedding..."},
        {"ParlySendWithDoc", {doc, "Summarise", "[D]"}, L"Analyzing document..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        Sim::Next(R"({"delay_ms":400})");
        Watcher watcher(GetCurrentThreadId(), rig.hostWindow());
        rig.Exec(c.action, c.params);
        watcher.Stop();
        ASSERT_NE(watcher.first.window, nullptr);
        EXPECT_EQ(watcher.first.text, c.text);
        EXPECT_FALSE(IsWindow(watcher.first.window));
    }
}

bool g_windowAtFirstWrite = true;

void NoteWindowOnFirstWrite(PluginRig& rig, const VariableWrite& w) {
    if (w.name == "[S]" && rig.writes.size() >= 1 && g_windowAtFirstWrite)
        g_windowAtFirstWrite = FindProgress(GetCurrentThreadId(), rig.hostWindow()) != nullptr;
}

TEST_F(Progress, AStreamedAnswerShowsTheWindowUntilItsFirstWordIsTyped) {
    Sim::Next(R"({"content":"one two three four","event_delay_ms":300})");
    Watcher watcher(GetCurrentThreadId(), rig.hostWindow());
    g_windowAtFirstWrite = true;
    rig.onWrite = NoteWindowOnFirstWrite;
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    rig.onWrite = nullptr;
    watcher.Stop();
    ASSERT_NE(watcher.first.window, nullptr) << "no progress window while the first words were awaited";
    EXPECT_EQ(watcher.first.text, L"Thinking...");
    EXPECT_FALSE(g_windowAtFirstWrite) << "the window was still up when the first word was typed";
    EXPECT_EQ(rig.Var("[S]"), "one two three four");
}

TEST_F(Progress, ShowProgressFalseShowsNoWindowForAnyRequest) {
    rig.Exec("ParlySetProgress", {"false"});
    Sim::Next(R"({"delay_ms":400,"count":2})");
    Watcher watcher(GetCurrentThreadId(), rig.hostWindow());
    rig.Exec("ParlySend", {"Hi", "[A]"});
    rig.Exec("ParlySendAsync", {"Hi", "[B]", kAbsent});
    EXPECT_TRUE(rig.PumpUntil([&] { return rig.HasVar("[B]"); }, 5000));
    watcher.Stop();
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: Hi");
    EXPECT_EQ(rig.Var("[B]"), "OpenAI says: Hi");
    EXPECT_TRUE(watcher.windows.empty());
}

// Presses the progress window's Cancel from a helper thread once the host's thread shows it and the simulator has
// received the request's `requests`-th request.
class CancelClicker {
  public:
    CancelClicker(DWORD thread, HWND owner, int requests)
        : worker_([this, thread, owner, requests] {
              for (DWORD start = GetTickCount(); !stop_ && GetTickCount() - start < 5000; Sleep(5)) {
                  HWND w = FindProgress(thread, owner);
                  if (w && Sim::Count() >= requests) {
                      PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(w, IDCANCEL));
                      return;
                  }
              }
          }) {}
    ~CancelClicker() {
        stop_ = true;
        worker_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

// The window's Cancel ends the request it shows at once, blocking or in the background, even after it was sent.
TEST_F(Progress, CancelInTheWindowEndsTheRequestItShows) {
    const std::string path = ScratchDir("progress-cancel") + "\\late.png";
    struct Case {
        const char* action;
        std::vector<Param> params;
        const char* variable;
        const char* cancelled;
    } cases[] = {
        {"ParlySend", {"Hi", "[A]"}, "[A]", ""},
        {"ParlySendStream", {"Hi", "[A]"}, "[A]", ""},
        {"ParlyImageGen", {"cat", path, kAbsent, "[A]"}, "[A]", "ERROR"},
        {"ParlyGetEmbedding", {"Hi", "[A]"}, "[A]", ""},
        {"ParlySendAsync", {"Hi", "[A]", "Done"}, "[A]", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        DeleteFileA(path.c_str());
        rig.scriptLines.clear();
        rig.writes.clear();
        const int before = Sim::Count();
        Sim::Next(R"({"delay_ms":1500})");
        const DWORD start = GetTickCount();
        {
            CancelClicker clicker(GetCurrentThreadId(), rig.hostWindow(), before + 1);
            rig.Exec(c.action, c.params);
            if (std::string(c.action) == "ParlySendAsync")
                ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 1000));
        }
        EXPECT_LT(GetTickCount() - start, 1000u) << "the request was not ended at once";
        EXPECT_EQ(Sim::Count(), before + 1) << "the request had gone out";
        EXPECT_EQ(rig.Var(c.variable), c.cancelled);
        EXPECT_EQ(rig.LastError(), "Request cancelled");
        EXPECT_EQ(FindProgress(GetCurrentThreadId(), rig.hostWindow()), nullptr);
        rig.Exec("ParlyIsBusy", {"[Busy]"});
        EXPECT_EQ(rig.Var("[Busy]"), "False");
        // The server answers later: nothing of it reaches a variable, a file or the history.
        rig.PumpUntil([&] { return GetTickCount() - start > 1900; }, 2500);
        EXPECT_EQ(WritesTo(c.variable).size(), 1u);
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
        rig.Exec("ParlySetProgress", {"False"});
        rig.Exec("ParlySend", {"next", "[N]"});
        rig.Exec("ParlySetProgress", {"True"});
        EXPECT_EQ(CountOf(Sim::Body(-1), "\"role\":\""), 1u) << Sim::Body(-1);
        rig.Exec("ParlyClearHistory");
    }
}

// A Cancel taken while a retired default's listing is read ends the send as a cancel, streamed or not.
TEST_F(Progress, CancelDuringTheRetiredDefaultsListingIsACancel) {
    for (const char* action : {"ParlySend", "ParlySendStream", "ParlySendAsync"}) {
        SCOPED_TRACE(action);
        const bool async = std::string(action) == "ParlySendAsync";
        rig.scriptLines.clear();
        Sim::Reset();
        int status = 0;
        Sim::LoopbackCall(Sim::Port(), L"POST", "/__sim/year/next", &status);
        Select(rig, "Claude");
        rig.Exec("ParlySetProgress", {"True"});
        Sim::Next(R"({"for_path":"/v1/models","delay_ms":1500})");
        const DWORD start = GetTickCount();
        {
            CancelClicker clicker(GetCurrentThreadId(), rig.hostWindow(), 2);
            if (async) {
                rig.Exec(action, {"Hi", "[A]", "Done"});
                ASSERT_TRUE(rig.PumpUntil([&] { return !rig.scriptLines.empty(); }, 1000));
            } else {
                rig.Exec(action, {"Hi", "[A]"});
            }
        }
        EXPECT_LT(GetTickCount() - start, 1000u);
        EXPECT_EQ(Sim::Count(), 2) << "the refusal and the listing";
        EXPECT_EQ(rig.Var("[A]"), "");
        EXPECT_EQ(rig.LastError(), "Request cancelled");
        // The listing's late answer heals nothing behind the cancel's back.
        rig.PumpUntil([&] { return GetTickCount() - start > 1900; }, 2500);
        EXPECT_EQ(Sim::Count(), 2);
        EXPECT_EQ(rig.LastError(), "Request cancelled");
    }
}

// A Cancel taken while the answer arrives (the window's messages keep the host's thread busy past the reply) is
// still a cancel: nothing of that answer reaches the history or a file.
TEST_F(Progress, CancelTakenWhileTheAnswerArrivesLeavesNothingBehind) {
    const std::string path = ScratchDir("progress-cancel-race") + "\\raced.png";
    struct Case {
        const char* action;
        std::vector<Param> params;
        const char* cancelled;
    } cases[] = {
        {"ParlySend", {"my raced question", "[A]"}, ""},
        {"ParlyImageGen", {"cat", path, kAbsent, "[A]"}, "ERROR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        DeleteFileA(path.c_str());
        const int before = Sim::Count();
        Sim::Next(R"({"delay_ms":300})");
        std::atomic<bool> done{false};
        const DWORD host = GetCurrentThreadId();
        std::thread clicker([&] {
            HWND w = nullptr;
            for (DWORD start = GetTickCount(); !done && GetTickCount() - start < 5000; Sleep(2))
                if ((w = FindProgress(host, rig.hostWindow())) &&
                    Sim::Count() > before)
                    break;
            if (!w) return;
            PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(w, IDCANCEL));
            // The window's own messages keep coming until well after the server has answered.
            for (DWORD start = GetTickCount(); GetTickCount() - start < 700;)
                for (int i = 0; i < 4; ++i) PostMessageW(w, WM_NULL, 0, 0);
        });
        rig.Exec(c.action, c.params);
        done = true;
        clicker.join();
        EXPECT_EQ(rig.Var("[A]"), c.cancelled);
        EXPECT_EQ(rig.LastError(), "Request cancelled");
        EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "a cancelled image was written";
        rig.Exec("ParlySetProgress", {"False"});
        rig.Exec("ParlySend", {"next", "[N]"});
        rig.Exec("ParlySetProgress", {"True"});
        EXPECT_EQ(Sim::Body(-1).find("raced"), std::string::npos) << Sim::Body(-1);
        rig.Exec("ParlyClearHistory");
    }
}

TEST_F(Progress, UnloadDuringABackgroundJobClosesItsWindow) {
    Sim::Next(R"({"delay_ms":150})");
    rig.Exec("ParlySendAsync", {"Hi", "[R]", "Done"});
    HWND window = nullptr;
    ASSERT_TRUE(rig.PumpUntil([&] { return (window = FindProgress(GetCurrentThreadId(), rig.hostWindow())) != nullptr; },
                              3000));
    rig.Message(2);
    EXPECT_FALSE(IsWindow(window));
    rig.PumpOnce(300);
    EXPECT_FALSE(rig.HasVar("[R]"));
    EXPECT_TRUE(rig.scriptLines.empty());
}

// The in-process copy of the window code, fed the plug-in's own dialog resource.
class ProgressInProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        moduleInstance = rig.module();
        hostWindow = rig.hostWindow();
        g_session.settings.showProgress = true;
    }
    void TearDown() override {
        CloseProgress();
        moduleInstance = nullptr;
        hostWindow = nullptr;
        g_session.settings.showProgress = true;
    }
    PluginRig rig;
};

TEST_F(ProgressInProcess, ASecondShowKeepsTheFirstWindowAndText) {
    ShowProgress("First");
    HWND first = FindProgress(GetCurrentThreadId(), rig.hostWindow());
    ASSERT_NE(first, nullptr);
    ShowProgress("Second");
    EXPECT_EQ(FindProgress(GetCurrentThreadId(), rig.hostWindow()), first);
    EXPECT_EQ(TextOf(GetDlgItem(first, kProgressText)), L"First");
    CloseProgress();
    EXPECT_FALSE(IsWindow(first));
    CloseProgress();  // closing twice is harmless
    ShowProgress("Again");
    HWND again = FindProgress(GetCurrentThreadId(), rig.hostWindow());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(TextOf(GetDlgItem(again, kProgressText)), L"Again");
}

TEST_F(ProgressInProcess, CancelButtonEscapeAndCloseLeaveTheWindowUp) {
    ShowProgress("Working");
    HWND window = FindProgress(GetCurrentThreadId(), rig.hostWindow());
    ASSERT_NE(window, nullptr);
    HWND button = GetDlgItem(window, IDCANCEL);
    ASSERT_NE(button, nullptr);
    SendMessageW(button, BM_CLICK, 0, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)button);
    MSG escape = {};
    escape.hwnd = window;
    escape.message = WM_KEYDOWN;
    escape.wParam = VK_ESCAPE;
    IsDialogMessageW(window, &escape);
    SendMessageW(window, WM_CLOSE, 0, 0);
    rig.PumpOnce(0);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(TextOf(GetDlgItem(window, kProgressText)), L"Working");
}

TEST_F(ProgressInProcess, NothingShowsWhenTheSessionSaysNo) {
    g_session.settings.showProgress = false;
    ShowProgress("Hidden");
    EXPECT_EQ(FindProgress(GetCurrentThreadId(), rig.hostWindow()), nullptr);
}

// ---------------------------------------------------------------------------------------------
// The reveal.

TEST_F(Progress, RevealWritesOnePiecePerSpaceFortyMillisecondsApart) {
    struct Case {
        const char* reply;
        std::vector<std::string> writes;
    } cases[] = {
        {"one two three", {"one", "one two", "one two three"}},
        {"one  two", {"one", "one ", "one  two"}},
        {" word", {"", "word"}},
        {"word ", {"word"}},
        {"word", {"word"}},
        {"x  ", {"x", "x "}},
        {"a\nb\tc d", {"a\nb\tc", "a\nb\tc d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.reply + "\"");
        rig.writes.clear();
        NextContent(c.reply);
        rig.Exec("ParlySendStream", {"Hi", "[S]"});
        EXPECT_EQ(WritesTo("[S]"), c.writes);
        std::vector<DWORD> ticks = TicksOf("[S]");
        for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(ticks[i] - ticks[i - 1], 35u) << "between writes " << i;
    }
}

HWND g_events = nullptr;

// A host event that runs ParlyStopStream when the reveal's pump dispatches it.
LRESULT CALLBACK ScriptEventProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_APP) {
        PluginRig::current->Exec("ParlyStopStream");
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

void PostStopOnFirstWrite(PluginRig& rig, const VariableWrite& w) {
    if (w.name == "[S]" && std::count_if(rig.writes.begin(), rig.writes.end(),
                                         [](const VariableWrite& x) { return x.name == "[S]"; }) == 1)
        PostMessageW(g_events, WM_APP, 0, 0);
}

class Reveal : public Progress {
  protected:
    void SetUp() override {
        Progress::SetUp();
        WNDCLASSW wc = {};
        wc.lpfnWndProc = ScriptEventProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ParlyTestScriptEvents";
        RegisterClassW(&wc);
        g_events = CreateWindowW(L"ParlyTestScriptEvents", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                 nullptr);
        ASSERT_NE(g_events, nullptr);
    }
    void TearDown() override {
        DestroyWindow(g_events);
        g_events = nullptr;
        Progress::TearDown();
    }
};

TEST_F(Reveal, StopHandledInsideThePumpAfterTheFirstPieceLeavesTheFirstWord) {
    rig.onWrite = PostStopOnFirstWrite;
    NextContent("one two three");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), std::vector<std::string>{"one"});
    EXPECT_EQ(rig.Var("[S]"), "one");
    rig.onWrite = nullptr;
    rig.writes.clear();
    NextContent("four five");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), (std::vector<std::string>{"four", "four five"})) << "the flag was lowered";
}

TEST_F(Reveal, AStopRaisedWhileIdleDoesNotCutTheNextRevealShort) {
    rig.Exec("ParlyStopStream");
    NextContent("a b c");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), (std::vector<std::string>{"a", "a b", "a b c"}));

    rig.Exec("ParlySetStreaming", {"true", "[S2]"});
    rig.Exec("ParlyStopStream");
    NextContent("d e");
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_EQ(WritesTo("[S2]"), (std::vector<std::string>{"d", "d e"}));
    EXPECT_EQ(rig.Var("[R]"), "d e");
}

TEST_F(Reveal, StreamedSendRevealsTheFlattenedReplyThenWritesTheRawAnswer) {
    rig.Exec("ParlySetStreaming", {"true", "[Stream]"});
    rig.Exec("ParlySetMultiline", {"false"});
    NextContent("Line1\nLine2 end");
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_EQ(WritesTo("[Stream]"), (std::vector<std::string>{"Line1", "Line1 Line2", "Line1 Line2 end"}));
    EXPECT_EQ(WritesTo("[R]"), std::vector<std::string>{"Line1\nLine2 end"});
    ASSERT_FALSE(rig.writes.empty());
    EXPECT_EQ(rig.writes.back().name, "[R]") << "the result comes after the reveal";
}

TEST_F(Reveal, StreamedSendStoppedAfterTheFirstPieceGivesTheRawAnswerAsFarAsItArrived) {
    rig.Exec("ParlySetStreaming", {"true", "[S]"});
    rig.onWrite = PostStopOnFirstWrite;
    NextContent("one two three");
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_EQ(rig.Var("[S]"), "one");
    const std::string r = rig.Var("[R]");
    EXPECT_TRUE(StartsWith(r, "one") && StartsWith("one two three", r)) << r;
}

// A background answer delivered inside the reveal is the newest history entry, but not this call's answer.
TEST_F(Reveal, StreamedSendWritesItsOwnAnswerWhenABackgroundAnswerArrivesDuringTheReveal) {
    rig.Exec("ParlySetStreaming", {"true", "[S]"});
    Sim::Next(R"({"delay_ms":150})");
    rig.Exec("ParlySendAsync", {"background", "[B]", "OnB"});
    ASSERT_TRUE(rig.PumpUntil([] { return Sim::Count() == 1; }, 5000));
    const std::string words = "w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12 w13 w14 w15 w16 w17 w18 w19 w20";
    NextContent(words);
    rig.Exec("ParlySend", {"foreground", "[R]"});
    EXPECT_EQ(rig.Var("[B]"), "OpenAI says: background") << "the background answer came back during the reveal";
    EXPECT_EQ(rig.Var("[S]"), words);
    EXPECT_EQ(rig.Var("[R]"), words);
}

int g_quitPosts = 0;

void QuitOnFirstWrite(PluginRig&, const VariableWrite& w) {
    if (w.name == "[S]" && g_quitPosts++ == 0) PostQuitMessage(7);
}

// The host asked to close during a reveal: the reveal ends and the host's own loop still sees the quit.
TEST_F(Reveal, AQuitPostedDuringTheRevealEndsItAndReachesTheHostsLoop) {
    for (const char* action : {"ParlySendStream", "ParlySend"}) {
        SCOPED_TRACE(action);
        g_quitPosts = 0;
        rig.writes.clear();
        rig.Exec("ParlySetStreaming", {"true", "[S]"});
        rig.onWrite = QuitOnFirstWrite;
        NextContent("one two three");
        rig.Exec(action, {"Hi", std::string(action) == "ParlySend" ? "[R]" : "[S]"});
        rig.onWrite = nullptr;
        EXPECT_EQ(WritesTo("[S]"), std::vector<std::string>{"one"});
        MSG msg;
        ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit was swallowed";
        EXPECT_EQ(msg.wParam, 7u);
        if (std::string(action) == "ParlySend") {
            // A quit ends the reveal like a stop: the result holds the answer as far as it had arrived.
            const std::string r = rig.Var("[R]");
            EXPECT_TRUE(StartsWith(r, "one") && StartsWith("one two three", r)) << r;
        }
    }
}

TEST_F(Reveal, FailedStreamedSendWritesEmptyTextNotTheEarlierAnswer) {
    rig.Exec("ParlySetStreaming", {"true", "[Stream]"});
    NextContent("earlier answer");
    rig.Exec("ParlySend", {"first", "[R]"});
    ASSERT_EQ(rig.Var("[R]"), "earlier answer");
    size_t streamWrites = WritesTo("[Stream]").size();
    NextReply(500, R"({"error":{"message":"down"}})");
    rig.Exec("ParlySend", {"second", "[R]"});
    EXPECT_EQ(rig.Var("[R]"), "");
    EXPECT_EQ(WritesTo("[Stream]").size(), streamWrites);
    EXPECT_EQ(rig.LastError(), "OpenAI API error (500): down");
}

TEST_F(Reveal, StreamingSwitchAndTargetAreIndependent) {
    rig.Exec("ParlySetStreaming", {"true", "[S1]"});
    rig.Exec("ParlySetStreaming", {kAbsent, "[S2]"});
    NextContent("p q");
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_FALSE(rig.HasVar("[S1]"));
    EXPECT_EQ(WritesTo("[S2]"), (std::vector<std::string>{"p", "p q"}));

    rig.Exec("ParlySetStreaming", {kAbsent, ""});  // an empty target switches the reveal off
    NextContent("r s");
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_EQ(WritesTo("[S2]").size(), 2u);
    EXPECT_EQ(WritesTo("[R]").back(), "r s");

    rig.Exec("ParlySetStreaming", {"no", "[S3]"});
    NextContent("t u");
    rig.Exec("ParlySend", {"Hi", "[R]"});
    EXPECT_FALSE(rig.HasVar("[S3]"));
    EXPECT_EQ(rig.Var("[R]"), "t u");
}

TEST_F(Reveal, SendStreamChecksItsParametersInOrder) {
    size_t before = rig.writes.size();
    rig.Exec("ParlySendStream", {"", "[S]"});
    EXPECT_EQ(rig.LastError(), "Prompt cannot be empty");
    rig.Exec("ParlySendStream", {"Hi", kAbsent});
    EXPECT_EQ(rig.LastError(), "Result variable cannot be empty");
    rig.Exec("ParlySendStream", {"Hi", ""});
    EXPECT_EQ(rig.LastError(), "Result variable cannot be empty");
    EXPECT_EQ(Sim::Count(), 0);
    size_t errorReads = 3;
    EXPECT_EQ(rig.writes.size(), before + errorReads) << "only the ParlyGetError reads wrote anything";

    NextReply(500, "down");
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(WritesTo("[S]"), std::vector<std::string>{""});
}

TEST(RevealNoProvider, SendStreamWithoutAProviderSendsNothing) {
    PluginRig rig;
    Sim::Reset();
    rig.Exec("ParlySendStream", {"Hi", "[S]"});
    EXPECT_EQ(rig.LastError(), "No provider initialized. Call ParlyInit first.");
    EXPECT_FALSE(rig.HasVar("[S]"));
    EXPECT_EQ(Sim::Count(), 0);
}

}  // namespace
