#include "view_json_read.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kalvex_tool {

namespace {

// Deeper than any body the page sends; keeps the recursion bounded.
constexpr int kMaxDepth = 16;

class Reader {
  public:
    explicit Reader(const std::string &text) : s_(text) {}

    bool Document(JsonValue *out) {
        if (!Value(out, 0)) return false;
        Space();
        return at_ == s_.size() || Fail("unexpected text after the value");
    }
    const std::string &error() const { return error_; }

  private:
    bool Fail(const std::string &why) {
        if (error_.empty()) error_ = why + " at byte " + std::to_string(at_);
        return false;
    }
    void Space() {
        while (at_ < s_.size() &&
               (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    bool Take(char c) {
        Space();
        if (at_ < s_.size() && s_[at_] == c) return ++at_, true;
        return false;
    }
    bool Word(const char *word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(at_, n, word) != 0) return false;
        at_ += n;
        return true;
    }

    bool Value(JsonValue *out, int depth) {
        if (depth > kMaxDepth) return Fail("nested too deeply");
        Space();
        if (at_ >= s_.size()) return Fail("expected a value");
        const char c = s_[at_];
        if (c == '{') return Object(out, depth);
        if (c == '[') return Array(out, depth);
        if (c == '"') return out->type = JsonValue::Type::String, String(&out->text);
        if (Word("true")) return out->type = JsonValue::Type::Bool, out->boolean = true, true;
        if (Word("false")) return out->type = JsonValue::Type::Bool, out->boolean = false, true;
        if (Word("null")) return out->type = JsonValue::Type::Null, true;
        return Number(out);
    }

    bool Number(JsonValue *out) {
        // JSON's grammar: -?digits[.digits][(e|E)[+-]digits]
        const size_t start = at_;
        auto digits = [&] {
            size_t from = at_;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
            return at_ > from;
        };
        if (at_ < s_.size() && s_[at_] == '-') ++at_;
        if (!digits()) return Fail("expected a value");
        if (at_ < s_.size() && s_[at_] == '.' && (++at_, !digits())) return Fail("bad number");
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
            if (!digits()) return Fail("bad number");
        }
        errno = 0;
        const double v = std::strtod(s_.substr(start, at_ - start).c_str(), nullptr);
        if (errno == ERANGE || !std::isfinite(v)) return Fail("number out of range");
        out->type = JsonValue::Type::Number;
        out->number = v;
        return true;
    }

    bool String(std::string *out) {
        ++at_;  // the opening quote
        while (at_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[at_++]);
            if (c == '"') return true;
            if (c < 0x20) return Fail("control character in a string");
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (at_ >= s_.size()) break;
            const char e = s_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out->push_back(e);
                    break;
                case 'b':
                    out->push_back('\b');
                    break;
                case 'f':
                    out->push_back('\f');
                    break;
                case 'n':
                    out->push_back('\n');
                    break;
                case 'r':
                    out->push_back('\r');
                    break;
                case 't':
                    out->push_back('\t');
                    break;
                case 'u': {
                    if (at_ + 4 > s_.size()) return Fail("bad \\u escape");
                    unsigned code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const char h = s_[at_++];
                        code <<= 4;
                        if (h >= '0' && h <= '9')
                            code |= static_cast<unsigned>(h - '0');
                        else if (h >= 'a' && h <= 'f')
                            code |= static_cast<unsigned>(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F')
                            code |= static_cast<unsigned>(h - 'A' + 10);
                        else
                            return Fail("bad \\u escape");
                    }
                    // Names and kinds are plain ASCII; anything else only has to
                    // survive as text, so surrogates are kept as they come.
                    if (code < 0x80) {
                        out->push_back(static_cast<char>(code));
                    } else if (code < 0x800) {
                        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
                        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
                    } else {
                        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
                        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
                        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
                    }
                    break;
                }
                default:
                    return Fail("bad escape in a string");
            }
        }
        return Fail("unterminated string");
    }

    bool Array(JsonValue *out, int depth) {
        ++at_;
        out->type = JsonValue::Type::Array;
        if (Take(']')) return true;
        do {
            out->items.emplace_back();
            if (!Value(&out->items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take(']') || Fail("expected ',' or ']'");
    }

    bool Object(JsonValue *out, int depth) {
        ++at_;
        out->type = JsonValue::Type::Object;
        if (Take('}')) return true;
        do {
            Space();
            if (at_ >= s_.size() || s_[at_] != '"') return Fail("expected a name in quotes");
            std::string name;
            if (!String(&name)) return false;
            if (!Take(':')) return Fail("expected ':'");
            out->members.push_back({std::move(name), JsonValue{}});
            if (!Value(&out->members.back().value, depth + 1)) return false;
        } while (Take(','));
        return Take('}') || Fail("expected ',' or '}'");
    }

    const std::string &s_;
    size_t at_ = 0;
    std::string error_;
};

}  // namespace

const JsonValue *JsonValue::Find(const std::string &name) const {
    const JsonValue *found = nullptr;
    for (const auto &[key, value] : members)
        if (key == name) found = &value;
    return found;
}

bool ParseJson(const std::string &text, JsonValue *out, std::string *error) {
    *out = JsonValue{};
    Reader reader(text);
    if (reader.Document(out)) return true;
    if (error) *error = reader.error();
    *out = JsonValue{};
    return false;
}

}  // namespace kalvex_tool
