#include "session/text_rules.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/ascii.h"

bool ParseTruthWord(const std::string& text) {
    const std::string lower = AsciiLower(text);
    return lower == "true" || lower == "1" || lower == "yes";
}

bool ParseLeadingDouble(const std::string& text, double* out) {
    const char* p = text.c_str() + SkipAsciiSpace(text);
    const char* end = text.c_str() + text.size();
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
        if (*p == '+' || *p == '-') return false;  // a second sign is never a number
    }
    double value = 0;
    // from_chars never consults the locale, so "0.5" reads the same under a German host.
    auto [ptr, ec] = std::from_chars(p, end, value, std::chars_format::general);
    if (ptr == p) return false;
    if (ec == std::errc::result_out_of_range) return false;
    if (ec != std::errc()) return false;
    *out = negative ? -value : value;
    return true;
}

bool ParseLeadingInt(const std::string& text, int* out) {
    const char* p = text.c_str() + SkipAsciiSpace(text);
    errno = 0;
    char* stop = nullptr;
    long long value = std::strtoll(p, &stop, 10);
    if (stop == p) return false;
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

bool RevealCursor::Next(const std::string& text, bool complete) {
    if (pos >= text.size()) return false;
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) {
        if (!complete) return false;
        end = text.size();
    }
    // Consecutive spaces give empty pieces; each still costs one write and one pause.
    if (pos > 0 && !acc.empty()) acc += ' ';
    acc.append(text, pos, end - pos);
    pos = end + 1;
    return true;
}
