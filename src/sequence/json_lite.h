// A small JSON reader for the sequence pages' metadata: objects, arrays,
// numbers, strings, true, false and null, with limits on depth and size so
// that a hostile description cannot exhaust the stack or memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kalvex {

struct JsonValue {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0.0;
    // The number's text, for integers wider than a double holds exactly.
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue, std::less<>> members;

    // The member of an object, or null when absent or not an object.
    const JsonValue *Find(std::string_view key) const;
    // Typed members: false when absent, of another kind or out of range.
    bool GetInt64(std::string_view key, int64_t *out) const;
    bool GetUint32(std::string_view key, uint32_t *out) const;
    bool GetFloat(std::string_view key, float *out) const;
    bool GetBool(std::string_view key, bool *out) const;
    bool GetString(std::string_view key, std::string *out) const;
};

// Parses one JSON value taking the whole of text (white space around it
// allowed). False on any syntax error, nesting deeper than 16 or text longer
// than 1 MiB.
bool ParseJson(std::string_view text, JsonValue *out);

}  // namespace kalvex
