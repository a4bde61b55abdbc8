// Provider selection, chat dispatch and model lists over the session record.
#pragma once
#include <chrono>
#include <string>

#include "providers/chat_protocol.h"
#include "session/settings.h"

// Puts the named provider, its key, its default model and (when none is set) its endpoint into *s;
// false with *error set, and *s untouched, when the name is unknown or a needed key is missing.
bool SelectProvider(const std::string& name, const std::string& apiKey, SessionSettings* s, std::string* error);
// Selects and initialises a provider by name and begins a new conversation; on failure only lastError changes.
bool InitProvider(const std::string& name, const std::string& apiKey);
// What a chat on the live session fixes when it starts, read at once under the session lock.
struct ChatStart {
    int provider;
    bool multiline;
    int timeoutSeconds;
    std::string model;      // the model the request names (a healed default in place of the plug-in's own)
    unsigned conversation;  // the conversation its exchange may join
};
ChatStart BeginLiveChat();
// Sends prompt with the live settings and history; answer (flattened) or "" with lastError set.
// *raw, when given, receives the answer as the provider wrote it (empty on failure); `attachment`, when
// given, goes beside the prompt and stays with its turn in the history.
std::string SendChat(const std::string& prompt, std::string* raw = nullptr, const AttachmentRef& attachment = nullptr);
// One exchange with settings copied earlier (the background worker's copy); touches no session state.
ChatOutcome RunChat(const SessionSettings& settings, const ConversationHistory& history, const std::string& prompt);
// Records an exchange in the live session: two history entries on success (only while `conversation` is
// still the current one) and its usage, lastError on failure; returns the flattened answer or "".
std::string CommitChat(const ChatOutcome& outcome, const std::string& prompt, bool multiline, unsigned conversation,
                       const AttachmentRef& attachment = nullptr);
// After a refusal of `model` as unknown or retired, with the provider's listing read before `deadline`: true when the
// plug-in's own default has a listed successor, now remembered (send again); else false with *served naming up to
// five chat models served now (empty when none could be listed).
bool AfterRetiredModel(const SessionSettings& s, const std::string& model,
                       std::chrono::steady_clock::time_point deadline, std::string* served);
// Comma-separated models of the selected provider, or "" with lastError set.
std::string ListModels();
