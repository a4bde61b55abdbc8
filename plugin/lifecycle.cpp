#include "plugin/lifecycle.h"

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
    g_stopStreamRequested = false;
}
