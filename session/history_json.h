// The conversation file of ParlySaveHistory and ParlyLoadHistory: a versioned UTF-8 JSON shape. Pure: no I/O.
//
//   {"format": "parly-conversation", "version": 1,
//    "system": "<system prompt>",
//    "messages": [{"role": "user", "content": "...",
//                  "attachments": [{"type": "image", "media_type": "image/png", "file_name": "photo.png",
//                                   "data": "<Base64>"}]},
//                 {"role": "assistant", "content": "..."}]}
//
// Messages come in exchanges (user, then assistant); "attachments" is optional, on a user message only, and holds
// at most one file ("image" or "document" for a PDF; "file_name" optional) of at most 20 MB (a picture) or 32 MB
// (a PDF) in whole Base64; members not named here are ignored, so a later version 1 writer may add some.
// A change readers of version 1 cannot skip raises the version.
#pragma once
#include <string>
#include <string_view>

#include "session/settings.h"

constexpr char kConversationFormat[] = "parly-conversation";
constexpr int kConversationVersion = 1;
// Largest file ParlyLoadHistory reads: room for a few pictures and PDFs beside the text.
constexpr unsigned long long kMaxConversationFileBytes = 128ull << 20;

struct SavedConversation {
    std::string systemPrompt;  // UTF-8
    ConversationHistory history;
};

// The file's text for a system prompt and history in host text (UTF-8 or the ANSI code page).
std::string WriteConversationJson(const std::string& systemPrompt, const ConversationHistory& history);
// Reads a file's text into *out; false with *error saying why (no path in it), *out then unspecified.
bool ReadConversationJson(std::string_view text, SavedConversation* out, std::string* error);
