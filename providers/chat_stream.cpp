#include "providers/chat_stream.h"

#include <stdexcept>

#include "net/ascii.h"
#include "net/json.h"
#include "providers/usage.h"

namespace {

// Index just past the colon of the first `quotedKey` member at or after `from`; kNotFound when there is none.
// A match not followed by a colon is a string value that happens to read like the key, and is passed over.
size_t MemberValue(std::string_view data, std::string_view quotedKey, size_t from) {
    for (;;) {
        const size_t key = FindText(data, quotedKey, from);
        if (key == kNotFound) return kNotFound;
        const size_t colon = SkipJsonBlank(data, key + quotedKey.size());
        if (colon < data.size() && data[colon] == ':') return SkipJsonBlank(data, colon + 1);
        from = key + 1;
    }
}

// Appends the decoded string value of the first `quotedKey` at or after `from` to *out; the index after it,
// or kNotFound when there is no such member or its value is not a string (null, a number, an object).
size_t AppendStringMember(std::string_view data, std::string_view quotedKey, size_t from, std::string* out) {
    const size_t value = MemberValue(data, quotedKey, from);
    if (value == kNotFound || value >= data.size() || data[value] != '"') return kNotFound;
    const size_t close = FindClosingQuote(data, value + 1);
    if (close == kNotFound) return kNotFound;
    out->append(JsonUnescape(data.substr(value + 1, close - value - 1)));
    return close + 1;
}

bool HasMember(std::string_view data, std::string_view quotedKey) {
    return MemberValue(data, quotedKey, 0) != kNotFound;
}

// An "error" member with a value other than null: the chunk reports a failure (OpenRouter sends choices beside it).
bool CarriesError(std::string_view data) {
    const size_t value = MemberValue(data, "\"error\"", 0);
    return value != kNotFound && value < data.size() && data.substr(value, 4) != "null";
}

// The error a chunk carries in place of its usual content: its "message", else the whole chunk.
std::string ErrorMessageOf(std::string_view data) {
    std::string message;
    if (AppendStringMember(data, "\"message\"", 0, &message) == kNotFound || message.empty()) {
        message.clear();
        if (AppendStringMember(data, "\"error\"", 0, &message) == kNotFound || message.empty())
            message.assign(data);
    }
    return message;
}

void Break(ChatStream* s, std::string message) {
    s->broken = true;
    s->error = std::move(message);
}

// data: {"choices":[{"delta":{"content":"..."}}]} ... data: [DONE]; an "error" chunk breaks the stream.
void ChatCompletionsEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    const size_t start = SkipJsonBlank(data, 0);
    if (data.substr(start, 6) == "[DONE]") {
        s->ended = true;
        return;
    }
    if (CarriesError(data)) return Break(s, ErrorMessageOf(data));
    const size_t delta = MemberValue(data, "\"delta\"", 0);
    if (delta == kNotFound) return;
    AppendStringMember(data, "\"content\"", delta, &s->answer);
    AppendStringMember(data, "\"refusal\"", delta, &s->refusal);
}

// event: content_block_delta with a text_delta adds text; message_stop ends; error breaks; ping and the rest pass.
void ClaudeEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    std::string type = e.name;
    if (type.empty()) AppendStringMember(data, "\"type\"", 0, &type);
    if (type == "content_block_delta") {
        const size_t delta = MemberValue(data, "\"delta\"", 0);
        std::string kind;
        if (delta == kNotFound || AppendStringMember(data, "\"type\"", delta, &kind) == kNotFound ||
            kind != "text_delta")
            return;
        AppendStringMember(data, "\"text\"", delta, &s->answer);
    } else if (type == "message_stop") {
        s->ended = true;
    } else if (type == "error") {
        Break(s, ErrorMessageOf(data));
    }
}

// data: {"candidates":[{"content":{"parts":[{"text":"..."}]},"finishReason":"STOP"}]}; the finishReason ends it.
void GeminiEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    if (CarriesError(data)) return Break(s, ErrorMessageOf(data));
    const size_t parts = MemberValue(data, "\"parts\"", 0);
    for (size_t at = parts; at != kNotFound;) at = AppendStringMember(data, "\"text\"", at, &s->answer);
    // A blocked prompt gets one chunk without candidates: its promptFeedback's blockReason is the end.
    if (HasMember(data, "\"finishReason\"") || HasMember(data, "\"blockReason\"")) s->ended = true;
}

// {"message":{"content":"..."},"done":false} lines, the last with "done":true; an "error" line breaks it.
void OllamaEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    if (CarriesError(data)) return Break(s, ErrorMessageOf(data));
    const size_t message = MemberValue(data, "\"message\"", 0);
    if (message != kNotFound) AppendStringMember(data, "\"content\"", message, &s->answer);
    const size_t done = MemberValue(data, "\"done\"", 0);
    if (done != kNotFound && data.substr(done, 4) == "true") s->ended = true;
}

// Keeps an event that says why the answer stopped, for the text of an answer-less end.
void NoteStopReason(ChatStream* s, const StreamEvent& e) {
    for (const char* key : {"\"finish_reason\"", "\"stop_reason\"", "\"finishReason\"", "\"done_reason\"",
                            "\"blockReason\""}) {
        const size_t value = MemberValue(e.data, key, 0);
        if (value != kNotFound && value < e.data.size() && e.data[value] == '"') {
            s->stopData = e.data;
            return;
        }
    }
}

void Interpret(ChatStream* s, const StreamEvent& e) {
    NoteStopReason(s, e);
    FoldUsage(s->protocol, e.data, &s->usage);
    switch (s->protocol) {
        case StreamProtocol::ChatCompletions: return ChatCompletionsEvent(s, e);
        case StreamProtocol::Claude: return ClaudeEvent(s, e);
        case StreamProtocol::Gemini: return GeminiEvent(s, e);
        case StreamProtocol::Ollama: return OllamaEvent(s, e);
    }
}

}  // namespace

bool IsStreamContentType(StreamProtocol protocol, std::string_view contentType) {
    const std::string type = AsciiLower(std::string(contentType));
    if (protocol == StreamProtocol::Ollama) return type.find("ndjson") != std::string::npos;
    return type.find("text/event-stream") != std::string::npos;
}

bool FeedChatStream(ChatStream* s, std::string_view bytes) {
    if (s->broken) return false;
    if (s->ended) return true;
    s->events.clear();
    const bool fits = s->protocol == StreamProtocol::Ollama ? s->ndjson.Feed(bytes, &s->events)
                                                             : s->sse.Feed(bytes, &s->events);
    for (const StreamEvent& e : s->events) {
        try {
            Interpret(s, e);
        } catch (const std::invalid_argument&) {
            Break(s, "Invalid escape sequence in the answer stream");
        } catch (const std::out_of_range&) {
            Break(s, "Invalid escape sequence in the answer stream");
        }
        if (s->broken || s->ended) break;
    }
    if (!fits && !s->broken && !s->ended) Break(s, "An event of the answer stream is too long");
    return !s->broken;
}
