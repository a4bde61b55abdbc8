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

// Whether a 200 reply with this Content-Type is the protocol's stream (otherwise it is read whole).
bool IsStreamContentType(StreamProtocol protocol, std::string_view contentType);

// Feeds the next bytes of a stream reply; false once the stream is broken. Bytes after the end marker are ignored.
bool FeedChatStream(ChatStream* stream, std::string_view bytes);
