// Walks a JSON text by structure (members of an object, elements of an array) without building a tree.
// Pure, no platform calls; every function takes the index of a value's first byte and never throws.
#pragma once
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "net/json.h"

// Deepest nesting a walk follows; a deeper text counts as malformed.
constexpr int kMaxJsonDepth = 64;

// Index just past the well-formed value starting at `at` (blanks before it skipped), or kNotFound.
size_t JsonSkipValue(std::string_view json, size_t at);
// True when `json` is one well-formed value with only blanks around it (every escape checked too;
// the other walks let a bad escape end its string so that decoding it is what fails).
bool IsWellFormedJson(std::string_view json);
// Index of the value of the first member `key` of the object starting at `object`, or kNotFound
// (no such member, not an object, or malformed before it).
size_t JsonMember(std::string_view json, size_t object, std::string_view key);
// Index of element `index` of the array starting at `array`, or kNotFound.
size_t JsonElement(std::string_view json, size_t array, size_t index);
// The value at a dotted path from the value at `at`; a part made of digits indexes an array ("choices.0.x").
size_t JsonPath(std::string_view json, std::string_view path, size_t at = 0);
// Start of the first element of the array at `array`, or kNotFound (empty, malformed, or not an array).
size_t JsonFirstElement(std::string_view json, size_t array);
// Start of the element after the one that starts at `element`, or kNotFound at the array's end.
size_t JsonNextElement(std::string_view json, size_t element);
// True when the value at `at` is the literal true.
bool JsonTrueAt(std::string_view json, size_t at);
// Decodes the string value at `at` into *out; false when it is no string. Throws std::invalid_argument
// (like JsonUnescape) on a bad escape, so a reader can tell a broken answer from a missing one.
bool JsonStringAt(std::string_view json, size_t at, std::string* out);
// The digits of a non-negative integer value at `at` (at most 18 of them, so sums fit in 64 bits), else "".
std::string JsonCountAt(std::string_view json, size_t at);

// Calls visit(key, valueIndex) for each member of the object at `object` in order, until it returns false;
// false when the text is no object or is malformed.
template <typename Visit>
bool JsonEachMember(std::string_view json, size_t object, Visit visit);
// Calls visit(valueIndex) for each element of the array at `array`; false when no array or malformed.
template <typename Visit>
bool JsonEachElement(std::string_view json, size_t array, Visit visit);

// ---- template bodies

namespace json_walk_detail {
// Index past the string starting at `at` (its opening quote), or kNotFound.
size_t SkipString(std::string_view json, size_t at);
}  // namespace json_walk_detail

template <typename Visit>
bool JsonEachMember(std::string_view json, size_t object, Visit visit) {
    size_t i = SkipJsonBlank(json, object);
    if (i >= json.size() || json[i] != '{') return false;
    i = SkipJsonBlank(json, i + 1);
    if (i < json.size() && json[i] == '}') return true;
    for (;;) {
        if (i >= json.size() || json[i] != '"') return false;
        const size_t keyEnd = json_walk_detail::SkipString(json, i);
        if (keyEnd == kNotFound) return false;
        std::string key;
        bool named = true;
        try {
            named = JsonStringAt(json, i, &key);
        } catch (const std::exception&) {  // a name with a bad escape matches nothing
            named = false;
        }
        i = SkipJsonBlank(json, keyEnd);
        if (i >= json.size() || json[i] != ':') return false;
        const size_t value = SkipJsonBlank(json, i + 1);
        const size_t end = JsonSkipValue(json, value);
        if (end == kNotFound) return false;
        if (named && !visit(key, value)) return true;
        i = SkipJsonBlank(json, end);
        if (i < json.size() && json[i] == '}') return true;
        if (i >= json.size() || json[i] != ',') return false;
        i = SkipJsonBlank(json, i + 1);
    }
}

template <typename Visit>
bool JsonEachElement(std::string_view json, size_t array, Visit visit) {
    size_t i = SkipJsonBlank(json, array);
    if (i >= json.size() || json[i] != '[') return false;
    i = SkipJsonBlank(json, i + 1);
    if (i < json.size() && json[i] == ']') return true;
    for (;;) {
        const size_t end = JsonSkipValue(json, i);
        if (end == kNotFound) return false;
        if (!visit(i)) return true;
        i = SkipJsonBlank(json, end);
        if (i < json.size() && json[i] == ']') return true;
        if (i >= json.size() || json[i] != ',') return false;
        i = SkipJsonBlank(json, i + 1);
    }
}
