// Textual JSON helpers: escaping, unescaping and first-match extraction. Pure, no platform calls.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t kNotFound = static_cast<size_t>(-1);

// JSON's own white space: between tokens, around colons and commas.
constexpr bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
// Index of the first byte at or after `from` that is not JSON white space (text.size() when none).
constexpr size_t SkipJsonBlank(std::string_view text, size_t from) {
    while (from < text.size() && IsJsonBlank(text[from])) ++from;
    return from;
}

// Escapes text for a JSON string literal (no surrounding quotes).
std::string JsonEscape(std::string_view text);
// Appends the escaped text to out, without a temporary.
void AppendJsonEscaped(std::string& out, std::string_view text);
// Length of the leading run of bytes a JSON string holds as they are (no control byte, quote or backslash).
size_t JsonPlainRun(std::string_view text);
// Decodes the escapes of a JSON string body; throws std::invalid_argument on a \u with no hex digit.
std::string JsonUnescape(std::string_view text);
// Index of the quote closing a string that starts at `start`, or kNotFound.
size_t FindClosingQuote(std::string_view json, size_t start);
// Index of the first occurrence of needle at or after `from`, or kNotFound; skips ahead like Horspool.
size_t FindText(std::string_view haystack, std::string_view needle, size_t from = 0);
// Index of the first non-blank byte after the colon that follows the first "key", or kNotFound.
size_t JsonValueStart(std::string_view json, std::string_view key);
// Value after the first "key": a decoded string, or the raw token text; empty when absent.
std::string ExtractJsonValue(std::string_view json, std::string_view key);
// First string literal after the first quotedKey at or after start, decoded; empty when absent.
std::string ExtractStringAfterKey(std::string_view json, std::string_view quotedKey, size_t start = 0);
// Index where the text's JSON begins: past a UTF-8 byte order mark and white space.
size_t JsonStart(std::string_view text);
// False when text opens an object or array (after white space) that never closes: a reply cut short.
// Any other text, and whatever follows the closing bracket, is not judged.
bool JsonTopLevelCloses(std::string_view text);
// Replaces CR-dropped/LF-as-space when multiline is false.
std::string FlattenLineBreaks(std::string_view text, bool multiline);

// Temperature in fixed notation with two decimals, "C" locale (0.7 -> "0.70"); a non-finite value is written as 0.
std::string FormatFixed2(double value);
// Temperature in the stream default notation, "C" locale (0.7 -> "0.7", 1e-05 -> "1e-05"); a non-finite value is written as 0.
std::string FormatStreamDefault(double value);
// Length of text without a UTF-8 sequence cut off at its end; text that is not UTF-8 keeps its length.
size_t WholeUtf8Length(std::string_view text);
// Where to cut text to at most `limit` bytes without splitting a UTF-8 sequence.
size_t Utf8CutLength(std::string_view text, size_t limit);
// True when text is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool IsValidUtf8(std::string_view text);
