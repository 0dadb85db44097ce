#include "thermal/thermo_table_file.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace kalvex {

bool ReadTableBytes(int64_t size, const TableChunkReader &read, std::vector<uint8_t> &out) {
    out.clear();
    if (size <= 0 || size > kMaxTableFileSize || !read) return false;
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc &) {
        return false;
    }
    constexpr size_t kChunk = size_t{1} << 20;
    size_t done = 0;
    while (done < out.size()) {
        auto want = static_cast<uint32_t>(std::min(out.size() - done, kChunk));
        uint32_t got = 0;
        if (!read(out.data() + done, want, &got) || got == 0 || got > want) break;
        done += got;
    }
    if (done == out.size()) return true;
    out.clear();
    return false;
}

bool ReadTableFile(const wchar_t *path, std::vector<uint8_t> &out) {
    out.clear();
    if (path == nullptr || path[0] == L'\0') return false;
    platform::File *file = platform::FileOpenRead(path);
    if (file == nullptr) return false;
    bool ok = ReadTableBytes(
        platform::FileSize(file),
        [file](void *buffer, uint32_t length, uint32_t *got) {
            return platform::FileRead(file, buffer, length, got);
        },
        out);
    platform::FileClose(file);
    return ok;
}

}  // namespace kalvex
