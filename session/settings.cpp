#include "session/settings.h"

// GCC proves the record constant-initialised; clang 14 cannot see through libstdc++'s string for that check.
#if defined(__GNUC__) && !defined(__clang__)
#define PARLY_CONSTINIT constinit
#else
#define PARLY_CONSTINIT
#endif

PARLY_CONSTINIT SessionSettings g_session;
PARLY_CONSTINIT bool g_stopStreamRequested = false;

namespace {

// Guarded by SessionLock(); a request that left in an older conversation adds nothing to the history.
unsigned g_conversation = 0;

}  // namespace

std::mutex& SessionLock() {
    static std::mutex lock;
    return lock;
}

void ClearHistoryLocked() {
    ConversationHistory().swap(g_session.history);
    ++g_conversation;
}

void ClearHistory() {
    std::lock_guard<std::mutex> hold(SessionLock());
    ClearHistoryLocked();
}

unsigned ConversationLocked() { return g_conversation; }

void ApplyLoadDefaults() {
    // Plain stores only: this runs under the loader lock.
    g_session.provider = kProviderNone;
    g_session.temperature = 0.7;
    g_session.maxTokens = 2048;
    g_session.maxTokensSet = false;
    g_session.multiline = true;
    g_session.timeoutSeconds = 60;
}

void ReplaceLastError(const std::string& text) {
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.lastError = text;
}

std::string ReadLastError() {
    std::lock_guard<std::mutex> hold(SessionLock());
    return g_session.lastError;
}

bool AppendExchange(unsigned conversation, const std::string& prompt, const std::string& answer) {
    std::lock_guard<std::mutex> hold(SessionLock());
    if (conversation != g_conversation) return false;
    g_session.history.push_back(ChatMessage{"user", prompt});
    g_session.history.push_back(ChatMessage{"assistant", answer});
    return true;
}

SessionSettings SnapshotSettings(bool withHistory, unsigned* conversation) {
    std::lock_guard<std::mutex> hold(SessionLock());
    if (conversation) *conversation = g_conversation;
    if (withHistory) return g_session;
    SessionSettings copy;
    copy.provider = g_session.provider;
    copy.apiKey = g_session.apiKey;
    copy.endpoint = g_session.endpoint;
    copy.model = g_session.model;
    copy.systemPrompt = g_session.systemPrompt;
    copy.temperature = g_session.temperature;
    copy.maxTokens = g_session.maxTokens;
    copy.maxTokensSet = g_session.maxTokensSet;
    copy.multiline = g_session.multiline;
    copy.timeoutSeconds = g_session.timeoutSeconds;
    copy.lastError = g_session.lastError;
    copy.showProgress = g_session.showProgress;
    copy.streaming = g_session.streaming;
    copy.streamVariable = g_session.streamVariable;
    return copy;
}
