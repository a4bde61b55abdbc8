// Whatever a conversation file holds, reading it never throws and either fails with a reason or gives a
// conversation of whole exchanges that reads back the same once written again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "session/history_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SavedConversation read;
    std::string error;
    const bool ok = ReadConversationJson(text, &read, &error);
    if (ok != error.empty()) __builtin_trap();
    if (!ok) return 0;
    if (read.history.size() % 2 != 0) __builtin_trap();
    SavedConversation again;
    if (!ReadConversationJson(WriteConversationJson(read.systemPrompt, read.history), &again, &error)) __builtin_trap();
    if (again.systemPrompt != read.systemPrompt || again.history.size() != read.history.size()) __builtin_trap();
    for (size_t i = 0; i < read.history.size(); ++i)
        if (again.history[i].content != read.history[i].content ||
            !again.history[i].attachment != !read.history[i].attachment ||
            (read.history[i].attachment && (again.history[i].attachment->base64 != read.history[i].attachment->base64 ||
                                             again.history[i].attachment->fileName != read.history[i].attachment->fileName)))
            __builtin_trap();
    return 0;
}
