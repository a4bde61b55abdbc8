// ASCII-only character rules shared by the parsers: no locale, so a host's code page never changes a result.
#pragma once
#include <string>
#include <string_view>

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Copy of text with A-Z lowered; every other byte, UTF-8 included, stays as it is.
inline std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

// White space as the "C" locale's isspace sees it: space and \t \n \v \f \r.
constexpr bool IsAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Index of the first byte at or after `from` that is not white space (text.size() when none).
constexpr size_t SkipAsciiSpace(std::string_view text, size_t from = 0) {
    while (from < text.size() && IsAsciiSpace(text[from])) ++from;
    return from;
}
