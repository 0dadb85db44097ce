// The little JSON that the viewer's page sends with its measuring controls
// (colours, regions, alarms): read into a tree, with a reason when it is not
// JSON. Bodies are small (the server caps them), nesting is capped too, so a
// hostile body costs neither stack nor much memory.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kalvex_tool {

struct JsonMember;

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;     // Array
    std::vector<JsonMember> members;  // Object, in the order given

    bool Is(Type t) const { return type == t; }
    // The member of that name (the last one when repeated), or null.
    const JsonValue *Find(const std::string &name) const;
};

// A named struct rather than std::pair: a pair of the still incomplete
// JsonValue cannot be instantiated inside JsonValue with every compiler.
struct JsonMember {
    std::string key;
    JsonValue value;
};

// Parses one JSON value filling the whole text (white space around it aside);
// false with a reason ("expected ':' at byte 12") otherwise.
bool ParseJson(const std::string &text, JsonValue *out, std::string *error);

}  // namespace kalvex_tool
