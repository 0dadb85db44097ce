// The debug log: one time-stamped line per call to the debugger output.
#pragma once

namespace kalvex {

// Formats like swprintf (floating-point arguments as double) and writes
// "hh:mm:ss.mmm message\r\n". Over-long messages are truncated, never overrun.
void LogDebug(const wchar_t *format, ...);

}  // namespace kalvex
