// Win32 backend of the DIB-surface and resource facilities: GDI memory DCs
// with DIB sections, and resources of a loaded module.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace kalvex::platform {

namespace {

// The seam's opaque handles are GDI handles as they come.
HDC AsDc(DibDc *dc) {
    return reinterpret_cast<HDC>(dc);
}
HGDIOBJ AsObject(GdiObject *object) {
    return reinterpret_cast<HGDIOBJ>(object);
}
GdiObject *FromObject(HGDIOBJ object) {
    return reinterpret_cast<GdiObject *>(object);
}

// BITMAPINFO with room for a full colour table behind the header.
struct BitmapInfo256 {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
};

}  // namespace

bool DibSurfacesAvailable() {
    return true;
}

GdiObject *DibCreateSection(DibDc *source, const void *info, void **bits) {
    if (bits != nullptr) *bits = nullptr;
    if (info == nullptr || bits == nullptr) return nullptr;
    BitmapInfo256 full{};  // the colour table starts zeroed; the caller fills it
    std::memcpy(&full.header, info, sizeof full.header);
    if (full.header.biSize != sizeof(BITMAPINFOHEADER)) return nullptr;
    HBITMAP bitmap = ::CreateDIBSection(AsDc(source), reinterpret_cast<BITMAPINFO *>(&full),
                                        DIB_RGB_COLORS, bits, nullptr, 0);
    if (bitmap == nullptr) *bits = nullptr;
    return FromObject(bitmap);
}

DibDc *DibCreateMemoryDc() {
    return reinterpret_cast<DibDc *>(::CreateCompatibleDC(nullptr));
}

GdiObject *DibSelectObject(DibDc *dc, GdiObject *object) {
    if (dc == nullptr || object == nullptr) return nullptr;
    HGDIOBJ previous = ::SelectObject(AsDc(dc), AsObject(object));
    return previous == HGDI_ERROR ? nullptr : FromObject(previous);
}

bool DibDeleteObject(GdiObject *object) {
    return object != nullptr && ::DeleteObject(AsObject(object)) != FALSE;
}

bool DibDeleteDc(DibDc *dc) {
    return dc != nullptr && ::DeleteDC(AsDc(dc)) != FALSE;
}

int DibBlit(DibDc *destination, int32_t x, int32_t y, int32_t width, int32_t height, DibDc *source,
            int32_t sourceX, int32_t sourceY) {
    if (destination == nullptr || source == nullptr) return 0;
    const BOOL copied =
        ::BitBlt(AsDc(destination), x, y, width, height, AsDc(source), sourceX, sourceY, SRCCOPY);
    // GDI may batch the copy; the caller reads the DIB section's bits with the
    // CPU next, so the batch is flushed first.
    ::GdiFlush();
    return copied != FALSE ? 1 : 0;
}

static_assert(sizeof(RgbQuad) == sizeof(RGBQUAD));

uint32_t DibGetColorTable(DibDc *dc, uint32_t start, uint32_t count, RgbQuad *table) {
    if (dc == nullptr || table == nullptr || count == 0) return 0;
    // RgbQuad and RGBQUAD share their layout: blue, green, red, reserved.
    return ::GetDIBColorTable(AsDc(dc), start, count, reinterpret_cast<RGBQUAD *>(table));
}

uint32_t DibSetColorTable(DibDc *dc, uint32_t start, uint32_t count, const RgbQuad *table) {
    if (dc == nullptr || table == nullptr || count == 0) return 0;
    return ::SetDIBColorTable(AsDc(dc), start, count, reinterpret_cast<const RGBQUAD *>(table));
}

// The library never opens a video-for-windows draw handle (images are drawn by
// BitBlt only), so there is none to close and vfw32 is not linked.
void DibCloseDrawHandle(void *) {}

bool LoadModuleResource(void *module, const wchar_t *name, const wchar_t *type,
                        const uint8_t **data, uint32_t *size) {
    if (data != nullptr) *data = nullptr;
    if (size != nullptr) *size = 0;
    if (name == nullptr || type == nullptr || data == nullptr || size == nullptr) return false;
    auto *instance = static_cast<HMODULE>(module);
    HRSRC found = ::FindResourceW(instance, name, type);
    if (found == nullptr) return false;
    HGLOBAL loaded = ::LoadResource(instance, found);
    if (loaded == nullptr) return false;
    const void *bytes = ::LockResource(loaded);
    if (bytes == nullptr) return false;
    *data = static_cast<const uint8_t *>(bytes);
    *size = ::SizeofResource(instance, found);
    return true;
}

}  // namespace kalvex::platform
