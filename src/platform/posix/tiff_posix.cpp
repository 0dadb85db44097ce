// libtiff opens from wide paths: the UTF-8 form of the path.
#include <tiffio.h>

#include "platform/platform.h"

namespace kalvex::platform {

TIFF *OpenTiff(const wchar_t *path, const char *mode, TIFFOpenOptions *options) {
    if (path == nullptr || mode == nullptr) return nullptr;
    const std::string narrow = NarrowPath(path);
    if (narrow.empty()) return nullptr;
    return TIFFOpenExt(narrow.c_str(), mode, options);
}

}  // namespace kalvex::platform
