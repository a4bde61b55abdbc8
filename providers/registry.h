// Provider selection, chat dispatch and model lists over the session record.
#pragma once
#include <string>

#include "session/settings.h"

// Selects and initialises a provider by name; on failure only lastError changes.
bool InitProvider(const std::string& name, const std::string& apiKey);
// Sends prompt with the live settings and history; answer (flattened) or "" with lastError set.
std::string SendChat(const std::string& prompt);
// The same with settings copied earlier (the background worker's copy); history/lastError still go to the live record.
std::string SendChatWith(const SessionSettings& settings, const std::string& prompt);
// Comma-separated models of the selected provider, or "" with lastError set.
std::string ListModels();
