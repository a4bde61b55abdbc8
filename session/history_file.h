// Usage of the last exchange, and the conversation saved to and loaded from a file.
#pragma once
#include <string>

// Writes the last successful exchange's input tokens, output tokens and stop reason into *input, *output, *stop.
void RunGetUsage(std::string* input, std::string* output, std::string* stop);
// Saves the system prompt and the conversation to `path`; "OK", or "ERROR" with lastError set.
std::string RunSaveHistory(const std::string& path);
// Replaces the system prompt and the conversation with the file's; "OK", or "ERROR" with lastError set and nothing changed.
std::string RunLoadHistory(const std::string& path);
