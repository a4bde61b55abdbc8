// The one process-wide session record: the request settings, the conversation and the last error.
#pragma once
#include <memory>
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

// A picture or PDF that goes with its user turn: encoded once, and shared by every copy of the history.
struct Attachment {
    std::string mediaType;  // image/png, image/jpeg, image/gif, image/webp or application/pdf
    std::string fileName;   // UTF-8, without its folder; the OpenAI-style file part names it
    std::string base64;     // the file's bytes, Base64-encoded
    bool IsPdf() const { return mediaType == "application/pdf"; }
};
using AttachmentRef = std::shared_ptr<const Attachment>;

struct ChatMessage {
    std::string role;
    std::string content;
    AttachmentRef attachment = nullptr;  // only on a user turn that sent a file
};

using ConversationHistory = std::vector<ChatMessage>;

// The token counts (decimal text) and stop reason (as the provider wrote it) of one chat exchange; "" when not given.
struct ChatUsage {
    std::string inputTokens;
    std::string outputTokens;
    std::string stopReason;
    bool operator==(const ChatUsage&) const = default;
};

// The request settings: a plain value, copied whole wherever a request runs off the lock.
struct SessionSettings {
    int provider = kProviderNone;
    std::string apiKey;
    std::string endpoint;
    std::string model;
    bool modelChosen = false;  // the script set the model with ParlySetModel; false: the plug-in's own default
    std::string systemPrompt;
    double temperature = 0.7;
    int maxTokens = 2048;
    bool maxTokensSet = false;
    bool multiline = true;
    int timeoutSeconds = 60;
    bool showProgress = true;
    bool streaming = false;
    std::string streamVariable;
};

// The running conversation. A successful ParlyInit, ParlyReset, ParlyClearHistory and unload each begin
// a new one (a new generation); a request that left in an older one adds nothing to the history.
struct Conversation {
    ConversationHistory history;
    unsigned generation = 0;
};

struct SessionRecord {
    SessionSettings settings;
    Conversation conversation;
    std::string lastError;
    ChatUsage usage;  // of the last successful chat exchange
};

// The live record. The host's thread and the background worker both touch it,
// so every read or write of it (and any read by the worker) happens under SessionLock().
extern SessionRecord g_session;

std::mutex& SessionLock();

// Empties the history and begins a new conversation (takes the lock).
void ClearHistory();
// The same with the lock already held by the caller.
void ClearHistoryLocked();
// The current conversation's generation; the caller holds the lock.
unsigned ConversationLocked();
// Applies the values the record has when the library is loaded.
void ApplyLoadDefaults();
// Replaces lastError (takes the lock).
void ReplaceLastError(const std::string& text);
// Copy of lastError (takes the lock).
std::string ReadLastError();
// Replaces the usage of the last successful exchange (takes the lock).
void StoreUsage(const ChatUsage& usage);
// Copy of that usage (takes the lock).
ChatUsage ReadUsage();
// Appends ("user", prompt) then ("assistant", answer) as one step (takes the lock), only while
// `generation` is still the current conversation; false when a newer one has begun meanwhile.
// `attachment`, when given, stays with the user turn.
bool AppendExchange(unsigned generation, const std::string& prompt, const std::string& answer,
                    const AttachmentRef& attachment = nullptr);
// Copy of the request settings, taken under the lock; *history and *generation, when given,
// receive a copy of the history and the conversation the copy belongs to.
SessionSettings CopySettings(ConversationHistory* history = nullptr, unsigned* generation = nullptr);
