// Host text conversion for builds without the platform's code-page calls: the ANSI page is Windows-1252.
#ifndef _WIN32

#include <cstdint>

#include "net/encoding.h"
#include "net/json.h"

namespace {

// Code points of Windows-1252 bytes 0x80-0x9F; the five unassigned bytes keep their C1 value, as Windows does.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

std::string HostTextToUtf8(const std::string& text) {
    if (IsValidUtf8(text)) return text;
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (const char ch : text) {
        const unsigned char b = static_cast<unsigned char>(ch);
        const uint32_t cp = (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : b;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

#endif
