// The providers' own model listings: one page's request and reading it. Pure: no I/O.
#pragma once
#include <string>
#include <vector>

#include "net/http.h"
#include "providers/chat_protocol.h"
#include "session/settings.h"

// Most pages one listing reads; a server that keeps offering more pages is cut off there.
constexpr int kMaxModelPages = 100;

// The GET for one page of s.provider's listing; `cursor` is empty for the first page, else the
// token or id the previous page gave. Not for Ollama, whose listing is BuildOllamaTagsRequest.
ChatRequest BuildModelListRequest(const SessionSettings& s, const std::string& cursor);

// True when `id` can stand as one entry of the comma-separated list: not empty, no comma, no control character.
bool IsListableModelId(const std::string& id);

struct ModelPage {
    bool ok = false;
    std::string error;                // lastError when !ok
    std::vector<std::string> models;  // the ids the chat can use, in the listing's order
    std::string cursor;               // where the next page starts; empty: this was the last
};

// Reads one page of `provider`'s listing; never throws on what a server sends.
ModelPage ReadModelListPage(int provider, const HttpResult& reply);
