// Feeds arbitrary string bodies to JsonUnescape and checks that escaping round-trips.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "net/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const std::string decoded = JsonUnescape(text);
        if (text.find('\\') == std::string_view::npos && decoded != text) __builtin_trap();
    } catch (const std::invalid_argument&) {
        // A \u escape without a hex digit is the one reported failure.
    }
    if (JsonUnescape(JsonEscape(text)) != text) __builtin_trap();
    return 0;
}
