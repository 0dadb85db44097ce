// The KalvexTable_ exports: checking a table file without an instance. No
// exception crosses this boundary.
#include <algorithm>
#include <cstring>
#include <string>

#include "base/text_conversion.h"
#include "kalvex_table.h"
#include "platform/platform.h"
#include "thermal/table_check.h"

namespace {

int Answer(const std::string &why, char *reason, int reasonSize) {
    if (reason != nullptr && reasonSize > 0) {
        size_t n = std::min(why.size(), static_cast<size_t>(reasonSize - 1));
        // Never cut a UTF-8 sequence in two.
        while (n > 0 && n < why.size() && (static_cast<unsigned char>(why[n]) & 0xC0) == 0x80) --n;
        std::memcpy(reason, why.data(), n);
        reason[n] = '\0';
    }
    return why.empty() ? 1 : 0;
}

template <class Work>
int Guarded(KalvexTableInfo *info, char *reason, int reasonSize, Work work) noexcept {
    try {
        return Answer(work(), reason, reasonSize);
    } catch (...) {
        if (info != nullptr) *info = KalvexTableInfo{};
        return Answer("out of memory", reason, reasonSize);
    }
}

}  // namespace

extern "C" {

KALVEX_API int KALVEX_CALL KalvexTable_CheckW(const wchar_t *path, KalvexTableInfo *info,
                                              char *reason, int reasonSize) {
    return Guarded(info, reason, reasonSize, [&] { return kalvex::CheckTableFile(path, info); });
}

KALVEX_API int KALVEX_CALL KalvexTable_CheckA(const char *path, KalvexTableInfo *info, char *reason,
                                              int reasonSize) {
    return Guarded(info, reason, reasonSize, [&] {
        return kalvex::WithWideText(
            path, std::string("out of memory"), kalvex::platform::NarrowToWide,
            [&](const wchar_t *wide) { return kalvex::CheckTableFile(wide, info); });
    });
}

KALVEX_API int KALVEX_CALL KalvexTable_CheckBytes(const void *data, int size, KalvexTableInfo *info,
                                                  char *reason, int reasonSize) {
    return Guarded(info, reason, reasonSize, [&] {
        if (size < 0) {
            if (info != nullptr) *info = KalvexTableInfo{};
            return std::string("negative size");
        }
        return kalvex::CheckTableBytes(static_cast<const uint8_t *>(data),
                                       static_cast<size_t>(size), info);
    });
}

}  // extern "C"
