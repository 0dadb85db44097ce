#include "output/tiff_messages.h"

#include <cstdio>
#include <string>

#include <tiffio.h>

#include "base/log.h"
#include "platform/platform.h"

namespace kalvex {

namespace {
void LogTiffMessage(const char *kind, const char *module, const char *format, va_list args) {
    char text[512] = {};
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = std::string(kind) + ": ";
    if (module != nullptr && *module != 0) line += std::string(module) + ": ";
    line += text;
    std::wstring wide(line.size() + 1, L'\0');
    if (platform::NarrowToWide(line.c_str(), wide.data(), static_cast<int>(wide.size())) == 0) {
        // Not text in the narrow encoding: keep the bytes readable as they are.
        for (size_t i = 0; i < line.size(); ++i)
            wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(line[i]));
    }
    LogDebug(L"%ls", wide.c_str());
}
}  // namespace

int TiffErrorHandler(TIFF *, void *context, const char *module, const char *format, va_list args) {
    auto *messages = static_cast<TiffMessages *>(context);
    if (messages != nullptr) ++messages->errors;
    if (messages == nullptr || !messages->quiet)
        LogTiffMessage("libtiff error", module, format, args);
    return 1;  // handled: libtiff's process-wide handler (stderr) is not called
}

int TiffWarningHandler(TIFF *, void *context, const char *module, const char *format,
                       va_list args) {
    auto *messages = static_cast<TiffMessages *>(context);
    if (messages == nullptr || !messages->quiet)
        LogTiffMessage("libtiff warning", module, format, args);
    return 1;
}

TIFFOpenOptions *TiffOptionsFor(TiffMessages *messages) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffErrorHandler, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffWarningHandler, messages);
    return options;
}

}  // namespace kalvex
