// Feeds arbitrary bytes to the stream parsers and the four protocol readers, cut into reads where the input says;
// the events and answers must not depend on where the reads were cut.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/stream_parse.h"
#include "providers/chat_stream.h"

namespace {

bool Same(const std::vector<StreamEvent>& a, const std::vector<StreamEvent>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].data != b[i].data) return false;
    return true;
}

template <typename Parser>
void CheckParser(std::string_view bytes, uint8_t seed) {
    Parser whole(4096), cut(4096);
    std::vector<StreamEvent> a, b;
    const bool okWhole = whole.Feed(bytes, &a);
    bool okCut = true;
    for (size_t i = 0, step = 1 + seed % 13; i < bytes.size() && okCut; i += step, step = 1 + (step * 7 + seed) % 17)
        okCut = cut.Feed(bytes.substr(i, step), &b);
    // The cap counts what is held between reads, so only reads that all fit must agree.
    if (okWhole && okCut && !Same(a, b)) __builtin_trap();
}

void CheckProtocol(StreamProtocol protocol, std::string_view bytes, uint8_t seed) {
    ChatStream whole(protocol), cut(protocol);
    const bool okWhole = FeedChatStream(&whole, bytes);
    bool okCut = true;
    for (size_t i = 0, step = 1 + seed % 11; i < bytes.size() && okCut; i += step)
        okCut = FeedChatStream(&cut, bytes.substr(i, step));
    if (okWhole != okCut || whole.ended != cut.ended) __builtin_trap();
    if (okWhole && whole.answer != cut.answer) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t seed = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    CheckParser<SseParser>(bytes, seed);
    CheckParser<NdjsonParser>(bytes, seed);
    CheckProtocol(static_cast<StreamProtocol>(seed % 4), bytes, seed);
    return 0;
}
