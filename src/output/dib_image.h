// CDibImage: the library's one image type. A device-independent bitmap whose
// pixels live in a DIB section selected into a memory DC of its own when the
// platform grants one, else in a heap block. Rows are padded to 4 bytes; buffer
// row 0 comes first in memory and is shown by GDI as the bottom row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "output/pixel_converters.h"
#include "platform/platform.h"

namespace kalvex {

// The layout of a Win32 BITMAPINFOHEADER (40 bytes). Files get its fields
// little-endian whatever the host (see AppendInfoHeader).
struct BitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

inline constexpr uint32_t kBitmapInfoHeaderSize = 40;
inline constexpr uint32_t kBmpFileHeaderSize = 14;
inline constexpr uint32_t kColorTableEntries = 256;

// Bytes per row: width x (bitCount / 8), padded to a multiple of 4. -1 when the
// row would not fit in 31 bits.
int64_t DibStride(int32_t width, uint16_t bitCount);

// The header of an uncompressed image: one plane, the rest zero.
BitmapInfoHeader DibHeader(int32_t width, int32_t height, uint16_t bitCount);

// Writes the header's 40 bytes little-endian into out.
void AppendInfoHeader(const BitmapInfoHeader &header, uint8_t out[40]);

class CDibImage {
  public:
    CDibImage();
    CDibImage(const CDibImage &other);  // empty, then Assign
    CDibImage(CDibImage &&other) noexcept;
    CDibImage &operator=(const CDibImage &other);  // Release, then Assign
    CDibImage &operator=(CDibImage &&other) noexcept;
    ~CDibImage();

    // A DIB-section image, or heap-only when the platform refuses the section.
    // 0 (image untouched) when width or height <= 0, bitCount < 8 or the size
    // does not fit; 0 (image released) when the pixels cannot be had.
    int Create(int32_t width, int32_t height, uint16_t bitCount);
    // Always heap-only, zero-filled.
    int CreateInMemory(int32_t width, int32_t height, uint16_t bitCount);
    // Same size and depth as other (and its colour table for 8 bits); pixels not copied.
    int CopyFormat(const CDibImage &other);
    // Format and pixels of other; 0 and untouched when other is empty.
    int Assign(const CDibImage &other);
    // Back to empty; always 0.
    int Release();

    // Mode 0: grey ramp into all 256 entries; mode 2: count entries of table
    // from start; any other mode does nothing. Always 1.
    int SetColorTable(int mode, const platform::RgbQuad *table, uint32_t start, uint32_t count);
    // Blits srcRect of src (the whole of src when null) to x, y. The blit's result.
    int Draw(const CDibImage &src, const ImageRect *srcRect, int32_t x, int32_t y);
    // Runs converter with this image as destination (region dstRect or the whole
    // image) and src as source (region srcRect or the whole of src). 1 when
    // converter is null, else the converter's status. Null options pass {12, 1, 0}.
    int Convert(PixelConverter converter, const CDibImage *src, const CONVOPTIONS *options,
                const ImageRect *dstRect, const ImageRect *srcRect, int a, int b);
    // The image as a BMP file, replacing any file of that name. 1 if every write succeeded.
    int WriteBmp(const wchar_t *fileName) const;
    // A new block of stride x height bytes with the rows in reverse order (block
    // row k = buffer row height - 1 - k); null when empty or out of memory.
    std::unique_ptr<uint8_t[]> CopyRowsReversed() const;
    // The same into out, which holds capacity bytes; false when empty or too small.
    bool CopyRowsReversed(uint8_t *out, size_t capacity) const;

    bool Empty() const { return pixels_ == nullptr; }
    uint8_t *Pixels() { return pixels_; }
    const uint8_t *Pixels() const { return pixels_; }
    uint8_t *Row(int32_t row) { return pixels_ + static_cast<size_t>(row) * stride_; }
    const uint8_t *Row(int32_t row) const { return pixels_ + static_cast<size_t>(row) * stride_; }
    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t Stride() const { return stride_; }
    uint16_t BitCount() const { return bitCount_; }
    size_t ByteSize() const { return static_cast<size_t>(stride_) * static_cast<size_t>(height_); }
    const BitmapInfoHeader &Header() const { return header_; }
    platform::DibDc *Dc() const { return dc_; }

    // The view Convert builds: the whole image, or region when given.
    IMAGEVIEW View(const ImageRect *region) const;

  private:
    // Shared checks and header fill of Create, CreateInMemory and CopyFormat;
    // false when the size is refused.
    static bool ValidSize(int32_t width, int32_t height, uint16_t bitCount);
    void SetFormat(int32_t width, int32_t height, uint16_t bitCount);
    int AllocateBits(platform::DibDc *sourceDc);
    void TakeFrom(CDibImage &other);

    BitmapInfoHeader header_{};
    platform::DibDc *dc_ = nullptr;
    platform::GdiObject *bitmap_ = nullptr;
    platform::GdiObject *extraObject_[3] = {};
    uint8_t *pixels_ = nullptr;
    void *drawDib_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t stride_ = 0;
    uint16_t bitCount_ = 0;
    platform::GdiObject *oldBitmap_ = nullptr;
    platform::GdiObject *oldExtra_[3] = {};
};

}  // namespace kalvex
