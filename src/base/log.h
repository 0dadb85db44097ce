// The debug log: one time-stamped line per call to the debugger output.
#pragma once

namespace kalvex {

// Formats like swprintf (floating-point arguments as double) and writes
// "hh:mm:ss.mmm message\r\n". Over-long messages are truncated, never overrun.
void LogDebug(const wchar_t *format, ...);

// The clock and the debug channel belong to the OS layer, which sits above
// this one, so that layer hands them in when it loads. Until then (or with a
// null sink) lines are dropped, like a debug channel nobody watches.
struct LogStamp {
    int hour, minute, second, millisecond;
};
struct LogSink {
    LogStamp (*now)();
    void (*write)(const wchar_t *line);
};
void SetLogSink(const LogSink *sink);

}  // namespace kalvex
