#include "net/json_walk.h"

#include <stdexcept>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// True when every escape inside the strings of a structurally sound text is one JSON knows.
bool EscapesAreValid(std::string_view json) {
    bool inString = false;
    for (size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (!inString) {
            inString = c == '"';
        } else if (c == '"') {
            inString = false;
        } else if (c == '\\') {
            const char e = ++i < json.size() ? json[i] : '\0';
            if (e == 'u') {
                if (i + 4 >= json.size()) return false;
                for (size_t k = 1; k <= 4; ++k)
                    if (!IsHex(json[i + k])) return false;
                i += 4;
            } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' && e != 't') {
                return false;
            }
        }
    }
    return true;
}

// Index past the number at `at` in JSON's own grammar, or kNotFound.
size_t SkipNumber(std::string_view json, size_t i) {
    if (i < json.size() && json[i] == '-') ++i;
    if (i >= json.size() || !IsDigit(json[i])) return kNotFound;
    if (json[i] == '0') ++i;
    else while (i < json.size() && IsDigit(json[i])) ++i;
    if (i < json.size() && json[i] == '.') {
        if (++i >= json.size() || !IsDigit(json[i])) return kNotFound;
        while (i < json.size() && IsDigit(json[i])) ++i;
    }
    if (i < json.size() && (json[i] == 'e' || json[i] == 'E')) {
        ++i;
        if (i < json.size() && (json[i] == '+' || json[i] == '-')) ++i;
        if (i >= json.size() || !IsDigit(json[i])) return kNotFound;
        while (i < json.size() && IsDigit(json[i])) ++i;
    }
    return i;
}

size_t SkipAt(std::string_view json, size_t at, int depth);

// Index past the container at `at` ('{' or '['), checking every value inside, or kNotFound.
size_t SkipContainer(std::string_view json, size_t at, int depth) {
    if (depth >= kMaxJsonDepth) return kNotFound;
    const bool object = json[at] == '{';
    const char close = object ? '}' : ']';
    size_t i = SkipJsonBlank(json, at + 1);
    if (i < json.size() && json[i] == close) return i + 1;
    for (;;) {
        if (object) {
            if (i >= json.size() || json[i] != '"') return kNotFound;
            i = json_walk_detail::SkipString(json, i);
            if (i == kNotFound) return kNotFound;
            i = SkipJsonBlank(json, i);
            if (i >= json.size() || json[i] != ':') return kNotFound;
            ++i;
        }
        i = SkipAt(json, i, depth + 1);
        if (i == kNotFound) return kNotFound;
        i = SkipJsonBlank(json, i);
        if (i < json.size() && json[i] == close) return i + 1;
        if (i >= json.size() || json[i] != ',') return kNotFound;
        i = SkipJsonBlank(json, i + 1);
    }
}

size_t SkipAt(std::string_view json, size_t at, int depth) {
    const size_t i = SkipJsonBlank(json, at);
    if (i >= json.size()) return kNotFound;
    switch (json[i]) {
        case '{':
        case '[': return SkipContainer(json, i, depth);
        case '"': return json_walk_detail::SkipString(json, i);
        case 't': return json.substr(i, 4) == "true" ? i + 4 : kNotFound;
        case 'f': return json.substr(i, 5) == "false" ? i + 5 : kNotFound;
        case 'n': return json.substr(i, 4) == "null" ? i + 4 : kNotFound;
        default: return SkipNumber(json, i);
    }
}

bool AllDigits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

}  // namespace

namespace json_walk_detail {

size_t SkipString(std::string_view json, size_t at) {
    if (at >= json.size() || json[at] != '"') return kNotFound;
    for (size_t i = at + 1; i < json.size(); ++i) {
        i += JsonPlainRun(json.substr(i));  // long answers and Base64 data are mostly plain bytes
        if (i >= json.size()) break;
        const unsigned char c = static_cast<unsigned char>(json[i]);
        if (c == '"') return i + 1;
        if (c < 0x20) return kNotFound;
        if (c != '\\') continue;
        if (++i >= json.size()) return kNotFound;
        // A bad escape still ends where it ends: decoding it is what fails, so the reader can name it.
    }
    return kNotFound;
}

}  // namespace json_walk_detail

size_t JsonSkipValue(std::string_view json, size_t at) { return SkipAt(json, at, 0); }

bool IsWellFormedJson(std::string_view json) {
    const size_t end = JsonSkipValue(json, 0);
    return end != kNotFound && SkipJsonBlank(json, end) == json.size() && EscapesAreValid(json);
}

size_t JsonMember(std::string_view json, size_t object, std::string_view key) {
    size_t found = kNotFound;
    JsonEachMember(json, object, [&](const std::string& k, size_t value) {
        if (k != key) return true;
        found = value;
        return false;
    });
    return found;
}

size_t JsonElement(std::string_view json, size_t array, size_t index) {
    size_t found = kNotFound, n = 0;
    JsonEachElement(json, array, [&](size_t value) {
        if (n++ != index) return true;
        found = value;
        return false;
    });
    return found;
}

size_t JsonPath(std::string_view json, std::string_view path, size_t at) {
    at = SkipJsonBlank(json, at);
    while (!path.empty() && at != kNotFound) {
        const size_t dot = path.find('.');
        const std::string_view part = path.substr(0, dot);
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
        if (AllDigits(part) && part.size() < 9 && at < json.size() && json[at] == '[')
            at = JsonElement(json, at, std::stoul(std::string(part)));
        else
            at = JsonMember(json, at, part);
    }
    return at;
}

size_t JsonFirstElement(std::string_view json, size_t array) {
    array = SkipJsonBlank(json, array);
    if (array >= json.size() || json[array] != '[') return kNotFound;
    const size_t i = SkipJsonBlank(json, array + 1);
    return i < json.size() && json[i] != ']' ? i : kNotFound;
}

size_t JsonNextElement(std::string_view json, size_t element) {
    const size_t after = JsonSkipValue(json, element);
    if (after == kNotFound) return kNotFound;
    size_t i = SkipJsonBlank(json, after);
    if (i >= json.size() || json[i] != ',') return kNotFound;
    i = SkipJsonBlank(json, i + 1);
    return i < json.size() ? i : kNotFound;
}

bool JsonTrueAt(std::string_view json, size_t at) {
    return at < json.size() && json.substr(at, 4) == "true";
}

bool JsonStringAt(std::string_view json, size_t at, std::string* out) {
    if (at == kNotFound) return false;
    const size_t end = json_walk_detail::SkipString(json, at);
    if (end == kNotFound) return false;
    *out = JsonUnescape(json.substr(at + 1, end - at - 2));
    return true;
}

std::string JsonCountAt(std::string_view json, size_t at) {
    if (at == kNotFound || at >= json.size()) return std::string();
    size_t end = at;
    while (end < json.size() && IsDigit(json[end])) ++end;
    const std::string_view digits = json.substr(at, end - at);
    // A fraction or exponent makes it no count; "0" stands alone, as JSON wants.
    if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0')) return std::string();
    if (end < json.size() && (json[end] == '.' || json[end] == 'e' || json[end] == 'E')) return std::string();
    return std::string(digits);
}
