#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>

namespace kalvex {

namespace {
constexpr int kMessageChars = 2048;
constexpr int kLineChars = 512;
// Constant-initialised, so a sink set while other modules load is never lost.
std::atomic<const LogSink *> gSink{nullptr};
}  // namespace

void SetLogSink(const LogSink *sink) {
    gSink.store(sink);
}

void LogDebug(const wchar_t *format, ...) {
    const LogSink *sink = gSink.load();
    if (format == nullptr || sink == nullptr) return;
    wchar_t message[kMessageChars] = {};
    va_list args;
    va_start(args, format);
    // On overflow the C library may leave a partial message or none; either
    // way the buffer stays terminated.
    std::vswprintf(message, kMessageChars, format, args);
    va_end(args);
    message[kMessageChars - 1] = 0;

    LogStamp now = sink->now();
    wchar_t line[kLineChars] = {};
    int stamp = std::swprintf(line, kLineChars, L"%02d:%02d:%02d.%03d ", now.hour, now.minute,
                              now.second, now.millisecond);
    if (stamp < 0) return;
    // The message is appended by hand so that its width never depends on how
    // a platform's wide printf reads %s; room is kept for the line end.
    size_t used = static_cast<size_t>(stamp);
    const size_t room = kLineChars - 3;
    for (const wchar_t *p = message; *p != 0 && used < room; ++p) line[used++] = *p;
    line[used++] = L'\r';
    line[used++] = L'\n';
    line[used] = 0;
    sink->write(line);
}

}  // namespace kalvex
