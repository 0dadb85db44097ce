// libtiff's errors and warnings for one file: written to the debug log (never
// to the host's stderr) and counted, so that an error libtiff reports only
// through its handler (a directory that cannot be written at close, say)
// fails the operation instead of passing for success.
#pragma once

#include <cstdarg>

struct tiff;
struct TIFFOpenOptions;

namespace kalvex {

struct TiffMessages {
    int errors = 0;
    // Warnings are logged unless quiet (a reader of untrusted files).
    bool quiet = false;
};

int TiffErrorHandler(::tiff *, void *context, const char *module, const char *format, va_list args);
int TiffWarningHandler(::tiff *, void *context, const char *module, const char *format,
                       va_list args);
// Open options with both handlers bound to messages; free with
// TIFFOpenOptionsFree. Null when out of memory.
::TIFFOpenOptions *TiffOptionsFor(TiffMessages *messages);

}  // namespace kalvex
