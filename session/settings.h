// The one process-wide session record: provider, request settings, history, last error.
#pragma once
#include <mutex>
#include <string>
#include <vector>

enum ProviderKind : int {
    kProviderNone = 0,
    kProviderOpenAI = 1,
    kProviderClaude = 2,
    kProviderGemini = 3,
    kProviderOllama = 4,
    kProviderOpenRouter = 5,
    kProviderGroq = 6,
    kProviderGrok = 7,
};

struct ChatMessage {
    std::string role;
    std::string content;
};

using ConversationHistory = std::vector<ChatMessage>;

struct SessionSettings {
    int provider = kProviderNone;
    std::string apiKey;
    std::string endpoint;
    std::string model;
    std::string systemPrompt;
    double temperature = 0.7;
    int maxTokens = 2048;
    bool maxTokensSet = false;
    bool multiline = true;
    int timeoutSeconds = 60;
    ConversationHistory history;
    std::string lastError;
    bool showProgress = true;
    bool streaming = false;
    std::string streamVariable;
};

// The live record. The host's thread and the background worker both touch it,
// so every read or write of history/lastError (and any read by the worker)
// happens under SessionLock().
extern SessionSettings g_session;
extern bool g_stopStreamRequested;  // host's thread only

std::mutex& SessionLock();

// Empties the history and begins a new conversation (takes the lock).
void ClearHistory();
// The same with the lock already held by the caller.
void ClearHistoryLocked();
// The current conversation: a successful ParlyInit, ParlyReset, ParlyClearHistory and unload each begin a new one.
unsigned ConversationLocked();
// Applies the values the record has when the library is loaded.
void ApplyLoadDefaults();
// Replaces lastError (takes the lock).
void ReplaceLastError(const std::string& text);
// Copy of lastError (takes the lock).
std::string ReadLastError();
// Appends ("user", prompt) then ("assistant", answer) as one step (takes the lock), only while
// `conversation` is still the current one; false when a newer conversation has begun meanwhile.
bool AppendExchange(unsigned conversation, const std::string& prompt, const std::string& answer);
// Copy of the settings (with or without the history), for a request built off the lock;
// *conversation, when given, receives the conversation the copy belongs to.
SessionSettings SnapshotSettings(bool withHistory, unsigned* conversation = nullptr);
