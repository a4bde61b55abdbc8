#include "plugin/lifecycle.h"

#include "async/runner.h"
#include "session/settings.h"

void HandleHostMessage(int code) {
    if (code != 2) return;
    ShutdownAsync();
    ClearHistory();
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.provider = kProviderNone;
}
