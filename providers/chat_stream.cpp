#include "providers/chat_stream.h"

#include <stdexcept>

#include "net/ascii.h"
#include "net/json.h"
#include "net/json_walk.h"
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

// Appends text without its NUL characters: a host variable would end at the first.
void AppendWithoutNul(std::string* out, std::string_view text) {
    for (size_t nul = text.find('\0'); nul != std::string_view::npos; nul = text.find('\0')) {
        out->append(text.substr(0, nul));
        text.remove_prefix(nul + 1);
    }
    out->append(text);
}

// The first element of the array member `key` of the object at `object`; kNotFound when there is none.
size_t FirstOf(std::string_view json, size_t object, std::string_view key) {
    return JsonFirstElement(json, JsonMember(json, object, key));
}

// Appends the string member `key` of the object at `object`; false when it is absent or no string.
bool AppendMember(std::string_view json, size_t object, std::string_view key, std::string* out) {
    std::string text;
    if (!JsonStringAt(json, JsonMember(json, object, key), &text)) return false;
    AppendWithoutNul(out, text);
    return true;
}

// data: {"choices":[{"delta":{"content":"..."}}]} ... data: [DONE]; an "error" chunk breaks the stream.
// Reasoning deltas ("reasoning_content", "reasoning") are members of their own and never read.
void ChatCompletionsEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    const size_t start = SkipJsonBlank(data, 0);
    if (data.substr(start, 6) == "[DONE]") {
        s->ended = true;
        return;
    }
    if (CarriesError(data)) return Break(s, ErrorMessageOf(data));
    const size_t delta = JsonMember(data, FirstOf(data, start, "choices"), "delta");
    if (delta == kNotFound) return;
    AppendContent(data, JsonMember(data, delta, "content"), &s->answer);
    AppendMember(data, delta, "refusal", &s->refusal);
}

// event: content_block_delta with a text_delta adds text; message_stop ends; error breaks; ping and the rest pass.
// thinking_delta and signature_delta belong to thinking blocks and are passed over.
void ClaudeEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    const size_t top = SkipJsonBlank(data, 0);
    std::string type = e.name;
    if (type.empty()) AppendMember(data, top, "type", &type);
    if (type == "content_block_delta") {
        const size_t delta = JsonMember(data, top, "delta");
        std::string kind;
        if (!AppendMember(data, delta, "type", &kind) || kind != "text_delta") return;
        AppendMember(data, delta, "text", &s->answer);
    } else if (type == "message_stop") {
        s->ended = true;
    } else if (type == "error") {
        Break(s, ErrorMessageOf(data));
    }
}

// data: {"candidates":[{"content":{"parts":[{"text":"..."}]},"finishReason":"STOP"}]}; the finishReason ends it.
// Only the first candidate's parts are answer text; thoughts, grounding and other metadata are not.
void GeminiEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    if (CarriesError(data)) return Break(s, ErrorMessageOf(data));
    const size_t content = JsonMember(data, FirstOf(data, SkipJsonBlank(data, 0), "candidates"), "content");
    AppendGeminiParts(data, JsonMember(data, content, "parts"), &s->answer);
    // A blocked prompt gets one chunk without candidates: its promptFeedback's blockReason is the end.
    if (HasMember(data, "\"finishReason\"") || HasMember(data, "\"blockReason\"")) s->ended = true;
}

// {"message":{"content":"..."},"done":false} lines, the last with "done":true; an "error" line breaks it.
// A thinking model's "thinking" is a member of its own and never read.
void OllamaEvent(ChatStream* s, const StreamEvent& e) {
    const std::string_view data(e.data);
    if (CarriesError(data)) return Break(s, ErrorMessageOf(data));
    const size_t top = SkipJsonBlank(data, 0);
    AppendMember(data, JsonMember(data, top, "message"), "content", &s->answer);
    if (JsonTrueAt(data, JsonMember(data, top, "done"))) s->ended = true;
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

void AppendGeminiParts(std::string_view json, size_t parts, std::string* out) {
    for (size_t part = JsonFirstElement(json, parts); part != kNotFound; part = JsonNextElement(json, part)) {
        if (JsonTrueAt(json, JsonMember(json, part, "thought"))) continue;
        AppendMember(json, part, "text", out);
    }
}

void AppendTextBlocks(std::string_view json, size_t array, std::string* out) {
    for (size_t block = JsonFirstElement(json, array); block != kNotFound; block = JsonNextElement(json, block)) {
        std::string type;
        if (AppendMember(json, block, "type", &type) && type == "text") AppendMember(json, block, "text", out);
    }
}

void AppendContent(std::string_view json, size_t content, std::string* out) {
    std::string text;
    if (JsonStringAt(json, content, &text)) AppendWithoutNul(out, text);
    else AppendTextBlocks(json, content, out);
}

bool IsStreamContentType(StreamProtocol protocol, std::string_view contentType) {
    const std::string type = AsciiLower(std::string(contentType));
    if (protocol == StreamProtocol::Ollama) return type.find("ndjson") != std::string::npos;
    return type.find("text/event-stream") != std::string::npos;
}

bool IsStreamBody(StreamProtocol protocol, std::string_view body) {
    const size_t start = JsonStart(body);
    if (protocol == StreamProtocol::Ollama) {
        if (start >= body.size() || body[start] != '{') return false;
        const size_t end = JsonSkipValue(body, start);
        if (end == kNotFound) return false;
        // A whole reply says "done": true; a first chunk that says false was cut from a stream.
        const size_t done = JsonMember(body, start, "done");
        if (done < body.size() && body.compare(done, 5, "false") == 0) return true;
        return SkipJsonBlank(body, end) < body.size();
    }
    const std::string_view rest = body.substr(start);
    for (const std::string_view field : {"data:", "event:", ":", "id:", "retry:"})
        if (rest.substr(0, field.size()) == field) return true;
    return false;
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
