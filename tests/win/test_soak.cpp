// Soak: thousands of exchanges with settings changing in between must not grow handles, GUI objects or memory.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

#include "tests/win/rig.h"

namespace {

struct Usage {
    DWORD handles = 0;       // kernel handles (Windows' count; Wine may report 0)
    DWORD gdi = 0;           // GDI objects (Windows' count; Wine may report 0)
    DWORD user = 0;          // USER objects (Windows' count; Wine may report 0)
    SIZE_T privateBytes = 0; // private bytes (Windows' count; Wine may report 0)
    long fds = -1;           // under Wine: the process's open file descriptors (sockets, files)
    long windows = 0;        // top-level and message-only windows of this thread
    long anonKb = -1;        // under Wine: anonymous resident memory, the closest to private bytes
};

BOOL CALLBACK CountWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<long*>(count);
    return TRUE;
}

long CountThreadWindows() {
    long n = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountWindow, reinterpret_cast<LPARAM>(&n));
    for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w;
         w = FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr))
        if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) ++n;
    return n;
}

// Under Wine the process is a Linux process; its /proc entries are reachable through drive Z:.
long CountFds() {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA("Z:\\proc\\self\\fd\\*", &found);
    if (h == INVALID_HANDLE_VALUE) return -1;
    long n = 0;
    do {
        if (found.cFileName[0] != '.') ++n;
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return n;
}

long AnonKb() {
    std::string status = ReadFileBytes("Z:\\proc\\self\\status");
    size_t at = status.find("RssAnon:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 8);
}

Usage Measure() {
    Usage u;
    GetProcessHandleCount(GetCurrentProcess(), &u.handles);
    u.gdi = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    u.user = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
    u.privateBytes = m.PrivateUsage;
    u.fds = CountFds();
    u.windows = CountThreadWindows();
    u.anonKb = AnonKb();
    return u;
}

void Print(const char* when, const Usage& u) {
    std::printf("[soak] %-6s handles=%lu gdi=%lu user=%lu private=%.1f MB | fds=%ld windows=%ld anon=%.1f MB\n", when,
                u.handles, u.gdi, u.user, u.privateBytes / 1048576.0, u.fds, u.windows, u.anonKb / 1024.0);
    std::fflush(stdout);
}

// One round of work: a few settings changes and a chat exchange.
void Round(PluginRig& rig, int i) {
    rig.Exec("ParlySetTemp", {std::to_string(i % 20 / 10.0)});
    rig.Exec("ParlySetMaxTokens", {std::to_string(100 + i % 900)});
    rig.Exec("ParlySetProgress", {i % 4 == 0 ? "True" : "False"});
    rig.Exec("ParlySetSystem", {i % 3 ? "Be brief." : ""});
    rig.Exec("ParlySend", {"soak " + std::to_string(i), "[A]"});
    if (i % 10 == 0) rig.Exec("ParlyClearHistory");
}

TEST(Soak, TwoThousandSyncAndFiveHundredBackgroundExchangesLeakNothing) {
    Sim::Reset();
    Sim::RedirectAll();
    PluginRig rig;
    rig.Exec("ParlyInit", {"OpenAI", "sk-soak", "[S]"});
    ASSERT_EQ(rig.Var("[S]"), "OK");
    rig.Exec("ParlySetModel", {"gpt-4o"});  // takes the small limits of the rounds without reasoning them away
    // Warm-up: first-use allocations (fonts, window classes, WinHTTP's own caches) are not leaks.
    for (int i = 0; i < 100; ++i) Round(rig, i);
    for (int i = 0; i < 20; ++i) {
        rig.Exec("ParlySendAsync", {"warm", "[B]", ""});
        rig.PumpUntil([&] { return rig.Var("[B]") != "<unset>"; }, 5000);
    }
    Usage start = Measure();
    Print("start", start);

    for (int i = 0; i < 2000; ++i) Round(rig, i);
    EXPECT_EQ(rig.Var("[A]"), "OpenAI says: soak 1999");
    int delivered = 0;
    rig.onRunScript = [](PluginRig& r, const std::string&) { r.scriptLines.clear(); };
    for (int i = 0; i < 500; ++i) {
        rig.Exec("ParlySetTemp", {std::to_string(i % 20 / 10.0)});
        rig.Exec("ParlySendAsync", {"bg " + std::to_string(i), "[B]", "Done"});
        // Every tenth job is awaited; the others are overtaken by the next start, which waits for their worker.
        if (i % 10 == 9) {
            std::string expected = "OpenAI says: bg " + std::to_string(i);
            ASSERT_TRUE(rig.PumpUntil([&] { return rig.Var("[B]") == expected; }, 10000)) << i;
            ++delivered;
        }
    }
    rig.PumpUntil([&] { rig.Exec("ParlyIsBusy", {"[Busy]"}); return rig.Var("[Busy]") == "False"; }, 10000);
    rig.PumpOnce(250);
    Usage end = Measure();
    Print("end", end);
    EXPECT_EQ(delivered, 50);

    EXPECT_LE(end.handles, start.handles + 8);
    EXPECT_LE(end.gdi, start.gdi + 4);
    EXPECT_LE(end.user, start.user + 4);
    // Allocator noise is a few MB at most; a leak of one body per exchange would be far more.
    EXPECT_LE(end.privateBytes, start.privateBytes + 8u * 1048576u);
    EXPECT_LE(end.fds, start.fds + 4);
    EXPECT_LE(end.windows, start.windows);
    EXPECT_LE(end.anonKb, start.anonKb + 8 * 1024);
    Sim::ClearRedirects();
}

}  // namespace
