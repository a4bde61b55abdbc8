// Compares FindClosingQuote with a direct reading of its rule; the first byte picks the start index.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/json.h"

namespace {

// The closing quote found by walking forward and counting the backslashes in front of each quote.
size_t Reference(std::string_view json, size_t start) {
    for (size_t i = start; i < json.size(); ++i) {
        if (json[i] != '"') continue;
        if (i == start) return i;
        size_t run = 0;
        for (size_t k = i; k > start && json[k - 1] == '\\'; --k) ++run;
        if (run % 2 == 0) return i;
    }
    return kNotFound;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view json(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t start = data[0] % (json.size() + 2);
    if (FindClosingQuote(json, start) != Reference(json, start)) __builtin_trap();
    return 0;
}
