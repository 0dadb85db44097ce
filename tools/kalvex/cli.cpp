#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "kalvex.h"

namespace kalvex_tool {

namespace {
bool jsonOutput = false;
}  // namespace

void SetJsonOutput(bool on) {
    jsonOutput = on;
}
bool JsonOutput() {
    return jsonOutput;
}

void Say(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(jsonOutput ? stderr : stdout, format, args);
    va_end(args);
}

void SayJson(const std::string &object) {
    std::printf("%s\n", object.c_str());
    std::fflush(stdout);
}

const char *EventMeaning(int code) {
    switch (code) {
        case KALVEX_EV_NO_FRAME:
            return "no frame to save";
        case KALVEX_EV_NO_CAMERA:
            return "camera not available";
        case KALVEX_EV_ACQUISITION:
            return "frame acquisition failed";
        case KALVEX_EV_CAPTURE_ENDED:
            return "capture ended by the camera";
        case KALVEX_EV_INVALID_ARGUMENT:
            return "invalid argument";
        case KALVEX_EV_NO_MEMORY:
            return "out of memory or buffer too small";
        case KALVEX_EV_THREAD:
            return "capture thread not started";
        case KALVEX_EV_COMMUNICATION:
            return "camera communication failed";
        case KALVEX_EV_FILE:
            return "file error";
        case KALVEX_EV_NOT_SUPPORTED:
            return "not supported";
        default:
            return "unknown event";
    }
}

std::string EventText(int code) {
    if (code == 0) return "no event code";
    return "event " + std::to_string(code) + " (" + EventMeaning(code) + ")";
}

bool ParseOptions(const std::vector<std::string> &args, const std::vector<Option> &options,
                  std::vector<std::string> *positional) {
    bool onlyPositional = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (onlyPositional || arg.size() < 2 || arg[0] != '-') {
            if (positional == nullptr) throw UsageError("unexpected argument '" + arg + "'");
            positional->push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") return false;
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const Option *match = nullptr;
        for (const Option &o : options)
            if (o.name == name) match = &o;
        if (match == nullptr) throw UsageError("unknown option '" + name + "'");
        if (match->value.empty()) {
            if (inlineValue) throw UsageError("option '" + name + "' takes no value");
        } else if (!inlineValue) {
            if (i + 1 >= args.size())
                throw UsageError("option '" + name + "' needs a value (" + match->value + ")");
            value = args[++i];
        }
        match->apply(value);
    }
    return true;
}

void PrintHelp(const CommandHelp &help, const std::vector<Option> &options) {
    std::printf("usage: %s\n\n%s\n", help.usage.c_str(), help.summary.c_str());
    if (!options.empty()) std::printf("\noptions:\n");
    for (const Option &o : options) {
        std::string left = o.name + (o.value.empty() ? "" : " " + o.value);
        if (left.size() < 26)
            std::printf("  %-26s %s\n", left.c_str(), o.help.c_str());
        else
            std::printf("  %s\n  %-26s %s\n", left.c_str(), "", o.help.c_str());
    }
    std::printf("  %-26s %s\n", "-h, --help", "show this help and exit");
    if (!help.notes.empty()) std::printf("\n%s\n", help.notes.c_str());
}

std::string FitToWidth(const std::string &text, int columns) {
    int count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // A character starts at every byte that is not a UTF-8 continuation.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && count++ == columns)
            return text.substr(0, i);
    }
    return text;
}

namespace {

// Numbers on the command line are decimal: "010" is ten, not eight, and "0x10"
// or "1e3" where a whole number is due is refused rather than guessed at.
bool PlainDecimal(const std::string &text, bool fraction) {
    size_t i = text.size() > 1 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i >= text.size()) return false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        bool ok = (c >= '0' && c <= '9') ||
                  (fraction && (c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+'));
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool ParseUsbIdPair(const std::string &text, int *vendor, int *product) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    auto hex = [](const std::string &part, int *out) {
        if (part.empty() || part.size() > 4 ||
            part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        *out = static_cast<int>(std::strtoul(part.c_str(), nullptr, 16));
        return true;
    };
    int v = 0, p = 0;
    if (!hex(text.substr(0, colon), &v) || !hex(text.substr(colon + 1), &p)) return false;
    *vendor = v;
    *product = p;
    return true;
}

int ParseInt(const std::string &text, const std::string &what, long min, long max) {
    errno = 0;
    char *end = nullptr;
    long v = PlainDecimal(text, false) ? std::strtol(text.c_str(), &end, 10) : 0;
    if (!PlainDecimal(text, false) || end == nullptr || *end != '\0' || errno != 0 || v < min ||
        v > max)
        throw UsageError(what + " must be a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    return static_cast<int>(v);
}

double ParseDouble(const std::string &text, const std::string &what) {
    errno = 0;
    char *end = nullptr;
    double v = PlainDecimal(text, true) ? std::strtod(text.c_str(), &end) : 0.0;
    if (!PlainDecimal(text, true) || end == nullptr || *end != '\0' || errno != 0 ||
        !std::isfinite(v))
        throw UsageError(what + " must be a decimal number, not '" + text + "'");
    return v;
}

double ParseDouble(const std::string &text, const std::string &what, double min, double max) {
    double v = ParseDouble(text, what);
    if (v < min || v > max) {
        char range[96];
        std::snprintf(range, sizeof range, " must be from %g to %g, not '", min, max);
        throw UsageError(what + range + text + "'");
    }
    return v;
}

std::vector<double> ParseList(const std::string &text, const std::string &what, size_t count) {
    std::vector<double> out;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        out.push_back(ParseDouble(text.substr(start, comma - start), what));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (out.size() != count)
        throw UsageError(what + " needs " + std::to_string(count) +
                         " comma-separated numbers, not '" + text + "'");
    return out;
}

}  // namespace kalvex_tool
