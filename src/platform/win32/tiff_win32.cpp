// libtiff opens from wide paths: libtiff's own wide open, so that a name
// outside the ANSI code page reaches the file as it does for the other formats.
#include <tiffio.h>

#include "platform/platform.h"

namespace kalvex::platform {

TIFF *OpenTiff(const wchar_t *path, const char *mode, TIFFOpenOptions *options) {
    if (path == nullptr || *path == 0 || mode == nullptr) return nullptr;
    return TIFFOpenWExt(path, mode, options);
}

}  // namespace kalvex::platform
