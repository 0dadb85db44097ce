// POSIX backend of the DIB-surface and resource facilities: neither exists
// here, so every image stays heap-only and every file is read from disk.
#include "platform/platform.h"

namespace kalvex::platform {

GdiObject *DibCreateSection(DibDc *, const void *, void **bits) {
    if (bits != nullptr) *bits = nullptr;
    return nullptr;
}

DibDc *DibCreateMemoryDc() {
    return nullptr;
}

GdiObject *DibSelectObject(DibDc *, GdiObject *) {
    return nullptr;
}

bool DibDeleteObject(GdiObject *) {
    return false;
}

bool DibDeleteDc(DibDc *) {
    return false;
}

int DibBlit(DibDc *, int32_t, int32_t, int32_t, int32_t, DibDc *, int32_t, int32_t) {
    return 0;
}

uint32_t DibGetColorTable(DibDc *, uint32_t, uint32_t, RgbQuad *) {
    return 0;
}

uint32_t DibSetColorTable(DibDc *, uint32_t, uint32_t, const RgbQuad *) {
    return 0;
}

void DibCloseDrawHandle(void *) {}

bool LoadModuleResource(void *, const wchar_t *, const wchar_t *, const uint8_t **data,
                        uint32_t *size) {
    if (data != nullptr) *data = nullptr;
    if (size != nullptr) *size = 0;
    return false;
}

}  // namespace kalvex::platform
