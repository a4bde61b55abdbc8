// Runs both extractors on arbitrary replies; the text before the first NUL byte is the key.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "net/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string_view key = split == std::string_view::npos ? std::string_view("content") : input.substr(0, split);
    const std::string_view json = split == std::string_view::npos ? input : input.substr(split + 1);
    const std::string quotedKey = "\"" + std::string(key) + "\"";

    // The skipping search must agree with the plain one at every start.
    for (size_t from = 0; from <= json.size() + 1; from += 1 + json.size() / 8) {
        const size_t expected = from > json.size() ? kNotFound : json.find(quotedKey, from);
        const size_t got = FindText(json, quotedKey, from);
        if (got != (expected == std::string_view::npos ? kNotFound : expected)) __builtin_trap();
    }
    const size_t value = JsonValueStart(json, key);
    if (value != kNotFound && value >= json.size()) __builtin_trap();
    try {
        ExtractJsonValue(json, key);
    } catch (const std::invalid_argument&) {
    }
    try {
        ExtractStringAfterKey(json, quotedKey);
        ExtractStringAfterKey(json, quotedKey, json.size() / 2);
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
