#include "plugin/lifecycle.h"

#include <windows.h>

#include "async/runner.h"
#include "net/http.h"
#include "net/proxy_win.h"
#include "plugin/host_abi.h"
#include "providers/model_rules.h"
#include "session/settings.h"

namespace {
unsigned g_unloads = 0;
}  // namespace

unsigned HostUnloadCount() { return g_unloads; }

void HandleHostMessage(int code) {
    if (code != kHostMessageUnload) return;
    ++g_unloads;
    ShutdownAsync();
    DismissIdleCourier();
    ForgetProxySettings();
    ClearHistory();
    ForgetParamRefusals();
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.settings.provider = kProviderNone;
}

void BeginHostSession() {
    static bool begun = false;  // lives as long as this mapping of the library
    if (!begun) {
        begun = true;
        return;
    }
    ShutdownAsync();
    ForgetProxySettings();
    ForgetParamRefusals();
    std::lock_guard<std::mutex> hold(SessionLock());
    ClearHistoryLocked();
    ApplyLoadDefaults();
    g_session.lastError.clear();
    g_session.usage = ChatUsage();
}

LibraryHeldForHostCalls::LibraryHeldForHostCalls() {
    HMODULE self = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&HostUnloadCount), &self))
        held_ = self;
}

LibraryHeldForHostCalls::~LibraryHeldForHostCalls() {
    if (!held_) return;
    // FreeLibrary has a thread routine's shape; without a thread the reference stays, which is safe.
    HANDLE release = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(&FreeLibrary), held_, 0, nullptr);
    if (release) CloseHandle(release);
}
