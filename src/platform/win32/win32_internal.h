// Win32-only pieces of the backend that test support reaches.
#pragma once

#include "kalvex.h"

namespace kalvex::platform::win32 {

// Debug lines go to OutputDebugStringW, which only a debugger sees; a test can
// tap them as well (null removes the tap).
using DebugTap = void(KALVEX_CALL *)(const wchar_t *line, void *context);
void SetDebugTap(DebugTap tap, void *context);

}  // namespace kalvex::platform::win32
