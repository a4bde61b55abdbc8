#include "net/json.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "net/ascii.h"

namespace {

// First c in [p, end), or nullptr; the C runtime's memchr under some platforms walks byte by byte.
const char* FindByte(const char* p, const char* end, char c) {
#ifdef __SSE2__
    const __m128i pattern = _mm_set1_epi8(c);
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(block, pattern));
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#else
    const uintptr_t ones = ~static_cast<uintptr_t>(0) / 255;
    const uintptr_t pattern = ones * static_cast<unsigned char>(c);
    while (end - p >= static_cast<ptrdiff_t>(sizeof(uintptr_t))) {
        uintptr_t w;
        std::memcpy(&w, p, sizeof w);
        w ^= pattern;
        if ((w - ones) & ~w & (ones << 7)) break;
        p += sizeof w;
    }
#endif
    for (; p < end; ++p)
        if (*p == c) return p;
    return nullptr;
}

// Length of the leading run of bytes JsonEscape copies unchanged (no control byte, quote or backslash).
size_t CleanPrefix(const char* p, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), slash = _mm_set1_epi8('\\'), limit = _mm_set1_epi8(0x1F);
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, limit), limit);  // unsigned x <= 0x1F
        const __m128i hits = _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, slash)));
        const int mask = _mm_movemask_epi8(hits);
        if (mask) return i + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(p[i]);
        if (b < 0x20 || b == '"' || b == '\\') break;
    }
    return i;
}

// Length of the leading run of ASCII bytes.
size_t AsciiPrefix(const unsigned char* p, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (mask) return i + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

constexpr char kHexLower[] = "0123456789abcdef";




// Value of a hexadecimal digit, or -1.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads four characters the way std::stoi(text, nullptr, 16) would; false when no digit is readable.
bool ParseHex4(const char* p, long* value) {
    size_t len = 0;
    while (len < 4 && p[len] != '\0') ++len;  // stoi sees a C string, so a NUL ends it
    size_t k = 0;
    while (k < len && IsAsciiSpace(p[k])) ++k;
    bool negative = false;
    if (k < len && (p[k] == '+' || p[k] == '-')) {
        negative = p[k] == '-';
        ++k;
    }
    // strtol takes a 0x prefix in base 16 only when a hex digit follows it.
    if (k + 2 < len && p[k] == '0' && (p[k + 1] == 'x' || p[k + 1] == 'X') && HexDigit(p[k + 2]) >= 0) k += 2;
    long v = 0;
    size_t digits = 0;
    for (; k < len; ++k, ++digits) {
        int d = HexDigit(p[k]);
        if (d < 0) break;
        v = v * 16 + d;
    }
    if (digits == 0) return false;
    *value = negative ? -v : v;
    return true;
}

// Appends code point v as UTF-8 (1 to 4 bytes).
void AppendUtf8(std::string& out, long v) {
    if (v < 0x80) {
        out.push_back(static_cast<char>(v));  // negative results keep their low byte, as the single-byte rule says
    } else if (v < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (v >> 6)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    } else if (v < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (v >> 12)));
        out.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (v >> 18)));
        out.push_back(static_cast<char>(0x80 | ((v >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    }
}

constexpr long kReplacementChar = 0xFFFD;
bool IsHighSurrogate(long v) { return v >= 0xD800 && v <= 0xDBFF; }
bool IsLowSurrogate(long v) { return v >= 0xDC00 && v <= 0xDFFF; }

}  // namespace

void AppendJsonEscaped(std::string& out, std::string_view text) {
    const char* in = text.data();
    const size_t n = text.size();
    out.reserve(out.size() + n + 16);
    size_t i = 0;
    while (i < n) {
        const size_t clean = CleanPrefix(in + i, n - i);
        out.append(in + i, clean);
        i += clean;
        if (i >= n) break;
        const unsigned char b = static_cast<unsigned char>(in[i++]);
        char escape[6] = {'\\', 0, 0, 0, 0, 0};
        size_t width = 2;
        switch (b) {
            case '"': escape[1] = '"'; break;
            case '\\': escape[1] = '\\'; break;
            case '\b': escape[1] = 'b'; break;
            case '\f': escape[1] = 'f'; break;
            case '\n': escape[1] = 'n'; break;
            case '\r': escape[1] = 'r'; break;
            case '\t': escape[1] = 't'; break;
            default:
                escape[1] = 'u';
                escape[2] = '0';
                escape[3] = '0';
                escape[4] = kHexLower[b >> 4];
                escape[5] = kHexLower[b & 0x0F];
                width = 6;
        }
        out.append(escape, width);
    }
}

size_t JsonPlainRun(std::string_view text) { return CleanPrefix(text.data(), text.size()); }

std::string JsonEscape(std::string_view text) {
    std::string out;
    AppendJsonEscaped(out, text);
    return out;
}

std::string JsonUnescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const char* data = text.data();
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const char* hit = FindByte(data + i, data + n, '\\');
        const size_t slash = hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : n;
        out.append(data + i, slash - i);
        if (slash >= n) break;
        i = slash;
        if (i + 1 >= n) {  // a trailing backslash is an ordinary byte
            out.push_back('\\');
            break;
        }
        const char c = data[i + 1];
        switch (c) {
            case '"':
            case '/':
            case '\\': out.push_back(c); i += 2; break;
            case 'b': out.push_back('\b'); i += 2; break;
            case 'f': out.push_back('\f'); i += 2; break;
            case 'n': out.push_back('\n'); i += 2; break;
            case 'r': out.push_back('\r'); i += 2; break;
            case 't': out.push_back('\t'); i += 2; break;
            case 'u': {
                if (i + 5 >= n) {  // too short for \uXXXX: drop the backslash, keep the rest
                    i += 1;
                    break;
                }
                long v = 0;
                if (!ParseHex4(data + i + 2, &v)) throw std::invalid_argument("invalid stoi argument");
                i += 6;
                if (IsHighSurrogate(v)) {
                    long low = 0;
                    if (i + 5 < n && data[i] == '\\' && data[i + 1] == 'u' && ParseHex4(data + i + 2, &low) &&
                        IsLowSurrogate(low)) {
                        AppendUtf8(out, 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00));
                        i += 6;
                    } else {
                        AppendUtf8(out, kReplacementChar);
                    }
                } else if (IsLowSurrogate(v)) {
                    AppendUtf8(out, kReplacementChar);
                } else {
                    AppendUtf8(out, v);
                }
                break;
            }
            default:  // unknown escape: keep the backslash, the next byte is read normally
                out.push_back('\\');
                i += 1;
        }
    }
    return out;
}

size_t FindClosingQuote(std::string_view json, size_t start) {
    const char* data = json.data();
    const size_t n = json.size();
    size_t i = start;
    while (i < n) {
        const char* hit = FindByte(data + i, data + n, '"');
        if (!hit) return kNotFound;
        const size_t q = static_cast<size_t>(static_cast<const char*>(hit) - data);
        if (q == start) return q;
        size_t k = q;
        while (k > start && data[k - 1] == '\\') --k;
        if ((q - k) % 2 == 0) return q;
        i = q + 1;
    }
    return kNotFound;
}

size_t FindText(std::string_view haystack, std::string_view needle, size_t from) {
    const size_t n = haystack.size();
    const size_t m = needle.size();
    if (from > n) return kNotFound;
    if (m == 0) return from;
    if (m > n - from) return kNotFound;
    const unsigned char* h = reinterpret_cast<const unsigned char*>(haystack.data());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(needle.data());
    if (m == 1) {
        const char* base = haystack.data();
        const char* hit = FindByte(base + from, base + n, static_cast<char>(p[0]));
        return hit ? static_cast<size_t>(hit - base) : kNotFound;
    }
    size_t skip[256];
    for (size_t& s : skip) s = m;
    for (size_t k = 0; k + 1 < m; ++k) skip[p[k]] = m - 1 - k;
    const unsigned char last = p[m - 1];
    for (size_t pos = from; pos + m <= n;) {
        const unsigned char c = h[pos + m - 1];
        if (c == last && std::memcmp(h + pos, p, m - 1) == 0) return pos;
        pos += skip[c];
    }
    return kNotFound;
}

size_t JsonValueStart(std::string_view json, std::string_view key) {
    std::string pattern;
    pattern.reserve(key.size() + 2);
    pattern.push_back('"');
    pattern.append(key);
    pattern.push_back('"');
    const size_t match = FindText(json, pattern);
    if (match == kNotFound) return kNotFound;
    const size_t behind = match + pattern.size();
    if (behind >= json.size()) return kNotFound;
    const size_t colon = json.find(':', behind);
    if (colon == std::string_view::npos) return kNotFound;
    const size_t i = SkipJsonBlank(json, colon + 1);
    return i < json.size() ? i : kNotFound;
}

std::string ExtractJsonValue(std::string_view json, std::string_view key) {
    const size_t v = JsonValueStart(json, key);
    if (v == kNotFound) return std::string();
    if (json[v] == '"') {
        const size_t close = FindClosingQuote(json, v + 1);
        if (close == kNotFound) return std::string();
        return JsonUnescape(json.substr(v + 1, close - v - 1));
    }
    size_t end = v;
    while (end < json.size() && json[end] != ',' && json[end] != '}' && json[end] != ']') ++end;
    while (end > v && IsJsonBlank(json[end - 1])) --end;
    return std::string(json.substr(v, end - v));
}

std::string ExtractStringAfterKey(std::string_view json, std::string_view quotedKey, size_t start) {
    const size_t match = FindText(json, quotedKey, start);
    if (match == kNotFound) return std::string();
    const size_t colon = json.find(':', match);
    if (colon == std::string_view::npos) return std::string();
    const size_t open = json.find('"', colon + 1);
    if (open == std::string_view::npos) return std::string();
    const size_t close = FindClosingQuote(json, open + 1);
    if (close == kNotFound) return std::string();
    return JsonUnescape(json.substr(open + 1, close - open - 1));
}

std::string FlattenLineBreaks(std::string_view text, bool multiline) {
    if (multiline) return std::string(text);
    std::string out;
    out.reserve(text.size());
    size_t runStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') continue;
        out.append(text.data() + runStart, i - runStart);
        if (c == '\n') out.push_back(' ');
        runStart = i + 1;
    }
    out.append(text.data() + runStart, text.size() - runStart);
    return out;
}

std::string FormatFixed2(double value) {
    // JSON has no NaN or infinity; a body never carries one.
    if (!std::isfinite(value)) value = 0;
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    stream << std::fixed << std::setprecision(2) << value;
    return stream.str();
}

std::string FormatStreamDefault(double value) {
    if (!std::isfinite(value)) value = 0;
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    stream << value;
    return stream.str();
}

bool IsValidUtf8(std::string_view text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        i += AsciiPrefix(p + i, n - i);
        if (i >= n) break;
        const unsigned char b = p[i];
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;  // overlong
            if (b == 0xED) hi = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;  // overlong
            if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

size_t WholeUtf8Length(std::string_view text) {
    // Step back over at most three continuation bytes to the lead byte of the last sequence.
    size_t lead = text.size();
    for (int back = 0; back < 3 && lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80; ++back) --lead;
    if (lead == 0) return text.size();
    const unsigned char first = static_cast<unsigned char>(text[lead - 1]);
    const size_t need = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    const size_t have = text.size() - (lead - 1);
    if (need <= have) return text.size();
    const size_t whole = lead - 1;
    return IsValidUtf8(text.substr(0, whole)) ? whole : text.size();
}

size_t Utf8CutLength(std::string_view text, size_t limit) {
    return limit >= text.size() ? text.size() : WholeUtf8Length(text.substr(0, limit));
}

bool JsonTopLevelCloses(std::string_view text) {
    size_t i = JsonStart(text);
    if (i >= text.size() || (text[i] != '{' && text[i] != '[')) return true;
    size_t depth = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            i = FindClosingQuote(text, i + 1);
            if (i == kNotFound) return false;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            return true;
        }
    }
    return false;
}

size_t JsonStart(std::string_view text) {
    return SkipJsonBlank(text, text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
}

