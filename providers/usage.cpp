#include "providers/usage.h"

#include <stdexcept>
#include <string>

#include "net/json_walk.h"

namespace {

// Sets *out to the count at `path` under `from` when there is one.
void TakeCount(std::string_view json, size_t from, std::string_view path, std::string* out) {
    if (from == kNotFound) return;
    const std::string count = JsonCountAt(json, JsonPath(json, path, from));
    if (!count.empty()) *out = count;
}

// Sets *out to the string at `path` when there is one (a null stop reason keeps the earlier one).
void TakeString(std::string_view json, std::string_view path, std::string* out) {
    std::string value;
    try {
        if (JsonStringAt(json, JsonPath(json, path), &value)) *out = value;
    } catch (const std::exception&) {  // a stop reason with a bad escape is no stop reason
    }
}

// Adds two counts of at most 18 digits each; "" when both are "".
std::string AddCounts(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return a.empty() ? b : a;
    return std::to_string(std::stoull(a) + std::stoull(b));
}

void FoldCompatible(std::string_view json, ChatUsage* u) {
    // Groq has also reported a stream's usage under its own "x_groq" member.
    size_t usage = JsonPath(json, "usage");
    if (usage == kNotFound || json[usage] != '{') usage = JsonPath(json, "x_groq.usage");
    TakeCount(json, usage, "prompt_tokens", &u->inputTokens);
    TakeCount(json, usage, "completion_tokens", &u->outputTokens);
    TakeString(json, "choices.0.finish_reason", &u->stopReason);
}

void FoldClaude(std::string_view json, ChatUsage* u) {
    // message_start carries the message with its usage; message_delta the stop reason and the output so far.
    for (const char* path : {"message.usage", "usage"}) {
        const size_t usage = JsonPath(json, path);
        TakeCount(json, usage, "input_tokens", &u->inputTokens);
        TakeCount(json, usage, "output_tokens", &u->outputTokens);
    }
    TakeString(json, "stop_reason", &u->stopReason);
    TakeString(json, "delta.stop_reason", &u->stopReason);
}

void FoldGemini(std::string_view json, ChatUsage* u) {
    const size_t meta = JsonPath(json, "usageMetadata");
    if (meta != kNotFound) {
        TakeCount(json, meta, "promptTokenCount", &u->inputTokens);
        // Thinking is billed as output, so it counts with the answer's own tokens.
        std::string answer, thoughts;
        TakeCount(json, meta, "candidatesTokenCount", &answer);
        TakeCount(json, meta, "thoughtsTokenCount", &thoughts);
        const std::string output = AddCounts(answer, thoughts);
        if (!output.empty()) u->outputTokens = output;
    }
    TakeString(json, "candidates.0.finishReason", &u->stopReason);
}

void FoldOllama(std::string_view json, ChatUsage* u) {
    TakeCount(json, 0, "prompt_eval_count", &u->inputTokens);
    TakeCount(json, 0, "eval_count", &u->outputTokens);
    TakeString(json, "done_reason", &u->stopReason);
}

}  // namespace

void FoldUsage(StreamProtocol protocol, std::string_view json, ChatUsage* usage) {
    // Most events are answer text alone: those name neither usage nor a reason, and are passed over unread.
    if (FindText(json, "usage") == kNotFound && FindText(json, "eason") == kNotFound &&
        FindText(json, "eval_count") == kNotFound && FindText(json, "TokenCount") == kNotFound)
        return;
    switch (protocol) {
        case StreamProtocol::ChatCompletions: return FoldCompatible(json, usage);
        case StreamProtocol::Claude: return FoldClaude(json, usage);
        case StreamProtocol::Gemini: return FoldGemini(json, usage);
        case StreamProtocol::Ollama: return FoldOllama(json, usage);
    }
}

ChatUsage ReadReplyUsage(StreamProtocol protocol, std::string_view body) {
    ChatUsage usage;
    FoldUsage(protocol, body, &usage);
    return usage;
}
