#include "session/settings.h"

// GCC proves the record constant-initialised; clang 14 cannot see through libstdc++'s string for that check.
#if defined(__GNUC__) && !defined(__clang__)
#define PARLY_CONSTINIT constinit
#else
#define PARLY_CONSTINIT
#endif

PARLY_CONSTINIT SessionRecord g_session;

std::mutex& SessionLock() {
    static std::mutex lock;
    return lock;
}

void ClearHistoryLocked() {
    ConversationHistory().swap(g_session.conversation.history);
    ++g_session.conversation.generation;
}

void ClearHistory() {
    std::lock_guard<std::mutex> hold(SessionLock());
    ClearHistoryLocked();
}

unsigned ConversationLocked() { return g_session.conversation.generation; }

void ApplyLoadDefaults() {
    // At attach this runs under the loader lock on the constant-initialised record, where the assignment
    // only moves empty texts: nothing is allocated or freed.
    g_session.settings = SessionSettings();
}

void ReplaceLastError(const std::string& text) {
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.lastError = text;
}

std::string ReadLastError() {
    std::lock_guard<std::mutex> hold(SessionLock());
    return g_session.lastError;
}

void StoreUsage(const ChatUsage& usage) {
    std::lock_guard<std::mutex> hold(SessionLock());
    g_session.usage = usage;
}

ChatUsage ReadUsage() {
    std::lock_guard<std::mutex> hold(SessionLock());
    return g_session.usage;
}

bool AppendExchange(unsigned generation, const std::string& prompt, const std::string& answer,
                    const AttachmentRef& attachment) {
    std::lock_guard<std::mutex> hold(SessionLock());
    Conversation& c = g_session.conversation;
    if (generation != c.generation) return false;
    c.history.push_back(ChatMessage{"user", prompt, attachment});
    c.history.push_back(ChatMessage{"assistant", answer});
    return true;
}

SessionSettings CopySettings(ConversationHistory* history, unsigned* generation) {
    std::lock_guard<std::mutex> hold(SessionLock());
    if (history) *history = g_session.conversation.history;
    if (generation) *generation = g_session.conversation.generation;
    return g_session.settings;
}
