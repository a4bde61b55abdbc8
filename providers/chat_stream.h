// A chat answer that arrives as a stream, read in each provider's own protocol. Pure: no I/O.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "net/stream_parse.h"
#include "session/settings.h"

// The stream protocol a provider speaks when asked to stream.
enum class StreamProtocol {
    ChatCompletions,  // SSE chunks with choices[0].delta.content, ending with data: [DONE]
    Claude,           // SSE events content_block_delta ... message_stop, plus ping and error
    Gemini,           // SSE chunks with candidates[0].content.parts[].text; the last carries finishReason
    Ollama,           // NDJSON lines with message.content, the last with "done":true
};

struct ChatStream {
    explicit ChatStream(StreamProtocol p) : protocol(p) {}
    StreamProtocol protocol;
    std::string answer;   // the raw answer so far
    std::string refusal;  // a refusal sent instead of an answer
    bool ended = false;   // the protocol's end marker arrived
    bool broken = false;  // an error event arrived, or an event outgrew its cap
    std::string error;    // the provider's message from the error event
    std::string stopData; // the last event that gave a stop reason (finish_reason, stop_reason, finishReason, ...)
    ChatUsage usage;      // token counts and stop reason, as the events so far reported them
    SseParser sse;
    NdjsonParser ndjson;
    std::vector<StreamEvent> events;  // scratch, reused between feeds
};

// Appends the answer in the Gemini "parts" array at `parts`: each part's "text", parts marked "thought" left out.
void AppendGeminiParts(std::string_view json, size_t parts, std::string* out);
// Appends the "text" of each element of the array at `array` whose "type" is "text" (Claude's content blocks,
// typed content parts); thinking and every other kind of block are left out.
void AppendTextBlocks(std::string_view json, size_t array, std::string* out);
// Appends a message's or delta's "content" at `content`: a string, or an array of typed parts.
void AppendContent(std::string_view json, size_t content, std::string* out);

// Whether a 200 reply with this Content-Type is the protocol's stream (otherwise it is read whole).
bool IsStreamContentType(StreamProtocol protocol, std::string_view contentType);

// Whether a whole 200 body is the protocol's stream whatever its label said: SSE fields for the SSE protocols,
// more than one JSON value, or a first one whose "done" is false, for Ollama's NDJSON.
bool IsStreamBody(StreamProtocol protocol, std::string_view body);

// Feeds the next bytes of a stream reply; false once the stream is broken. Bytes after the end marker are ignored.
bool FeedChatStream(ChatStream* stream, std::string_view bytes);
