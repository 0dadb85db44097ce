// The little JSON that `kalvex view` writes: objects of numbers and strings.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace kalvex_tool {

inline std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Two decimals are finer than the camera resolves; not-a-number becomes null.
inline std::string JsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

class JsonObject {
  public:
    // value is JSON already.
    void Add(const char *name, const std::string &value) {
        text_ += text_.empty() ? "{" : ",";
        text_ += JsonString(name) + ":" + value;
    }
    std::string Text() const { return text_.empty() ? "{}" : text_ + "}"; }

  private:
    std::string text_;
};

}  // namespace kalvex_tool
