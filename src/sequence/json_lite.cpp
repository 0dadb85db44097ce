#include "sequence/json_lite.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kalvex {

namespace {

constexpr int kMaxDepth = 16;
constexpr size_t kMaxText = size_t{1} << 20;

class Parser {
  public:
    explicit Parser(std::string_view text) : s_(text) {}

    bool Document(JsonValue *out) {
        if (s_.size() > kMaxText) return false;
        Space();
        if (!Value(out, 0)) return false;
        Space();
        return at_ == s_.size();
    }

  private:
    void Space() {
        while (at_ < s_.size() &&
               (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r'))
            ++at_;
    }
    bool Take(char c) {
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }
    bool Value(JsonValue *v, int depth) {
        if (depth > kMaxDepth || at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == '{') return Object(v, depth);
        if (c == '[') return Array(v, depth);
        if (c == '"') {
            v->kind = JsonValue::kString;
            return String(&v->text);
        }
        if (Word("true")) {
            v->kind = JsonValue::kBool;
            v->boolean = true;
            return true;
        }
        if (Word("false")) {
            v->kind = JsonValue::kBool;
            return true;
        }
        if (Word("null")) return true;
        return Number(v);
    }
    bool Object(JsonValue *v, int depth) {
        ++at_;
        v->kind = JsonValue::kObject;
        Space();
        if (Take('}')) return true;
        for (;;) {
            Space();
            std::string key;
            if (!String(&key)) return false;
            Space();
            if (!Take(':')) return false;
            Space();
            JsonValue member;
            if (!Value(&member, depth + 1)) return false;
            v->members.insert_or_assign(std::move(key), std::move(member));
            Space();
            if (Take('}')) return true;
            if (!Take(',')) return false;
        }
    }
    bool Array(JsonValue *v, int depth) {
        ++at_;
        v->kind = JsonValue::kArray;
        Space();
        if (Take(']')) return true;
        for (;;) {
            Space();
            JsonValue item;
            if (!Value(&item, depth + 1)) return false;
            v->items.push_back(std::move(item));
            Space();
            if (Take(']')) return true;
            if (!Take(',')) return false;
        }
    }
    static int Hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool String(std::string *out) {
        if (!Take('"')) return false;
        while (at_ < s_.size()) {
            const char c = s_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at_ >= s_.size()) return false;
            const char e = s_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    *out += e;
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'u': {
                    if (s_.size() - at_ < 4) return false;
                    unsigned code = 0;
                    for (int k = 0; k < 4; ++k) {
                        const int h = Hex(s_[at_++]);
                        if (h < 0) return false;
                        code = code * 16 + static_cast<unsigned>(h);
                    }
                    // Kept as UTF-8 of the code unit; surrogates are not paired
                    // (the metadata holds none).
                    if (code < 0x80) {
                        *out += static_cast<char>(code);
                    } else if (code < 0x800) {
                        *out += static_cast<char>(0xC0 | code >> 6);
                        *out += static_cast<char>(0x80 | (code & 0x3F));
                    } else {
                        *out += static_cast<char>(0xE0 | code >> 12);
                        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
                        *out += static_cast<char>(0x80 | (code & 0x3F));
                    }
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }
    bool Number(JsonValue *v) {
        const size_t start = at_;
        Take('-');
        size_t digits = 0;
        while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_, ++digits;
        if (digits == 0) return false;
        if (Take('.')) {
            size_t fraction = 0;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_, ++fraction;
            if (fraction == 0) return false;
        }
        if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
            ++at_;
            if (!Take('+')) Take('-');
            size_t exponent = 0;
            while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_, ++exponent;
            if (exponent == 0) return false;
        }
        v->kind = JsonValue::kNumber;
        v->text.assign(s_.substr(start, at_ - start));
        v->number = std::strtod(v->text.c_str(), nullptr);
        return true;
    }

    std::string_view s_;
    size_t at_ = 0;
};

}  // namespace

bool ParseJson(std::string_view text, JsonValue *out) {
    if (out == nullptr) return false;
    *out = JsonValue{};
    return Parser(text).Document(out);
}

const JsonValue *JsonValue::Find(std::string_view key) const {
    if (kind != kObject) return nullptr;
    const auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
}

bool JsonValue::GetInt64(std::string_view key, int64_t *out) const {
    const JsonValue *v = Find(key);
    if (v == nullptr || v->kind != kNumber) return false;
    errno = 0;
    char *end = nullptr;
    const long long n = std::strtoll(v->text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != 0) return false;  // a fraction or exponent
    *out = n;
    return true;
}

bool JsonValue::GetUint32(std::string_view key, uint32_t *out) const {
    int64_t n = 0;
    if (!GetInt64(key, &n) || n < 0 || n > int64_t{UINT32_MAX}) return false;
    *out = static_cast<uint32_t>(n);
    return true;
}

bool JsonValue::GetFloat(std::string_view key, float *out) const {
    const JsonValue *v = Find(key);
    if (v == nullptr || v->kind != kNumber || !std::isfinite(v->number)) return false;
    if (std::fabs(v->number) > std::numeric_limits<float>::max()) return false;
    *out = std::strtof(v->text.c_str(), nullptr);  // the float the writer printed, exactly
    return true;
}

bool JsonValue::GetBool(std::string_view key, bool *out) const {
    const JsonValue *v = Find(key);
    if (v == nullptr || v->kind != kBool) return false;
    *out = v->boolean;
    return true;
}

bool JsonValue::GetString(std::string_view key, std::string *out) const {
    const JsonValue *v = Find(key);
    if (v == nullptr || v->kind != kString) return false;
    *out = v->text;
    return true;
}

}  // namespace kalvex
