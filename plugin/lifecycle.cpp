#include "plugin/lifecycle.h"

#include "async/runner.h"
#include "net/http.h"
#include "plugin/host_abi.h"
#include "session/settings.h"

void HandleHostMessage(int code) {
    if (code != kHostMessageUnload) return;
    ShutdownAsync();
    DismissIdleCourier();
    ClearHistory();
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.settings.provider = kProviderNone;
}
