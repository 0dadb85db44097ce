#include "output/dib_image.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "output/file_object.h"

namespace kalvex {
namespace {

// No image may exceed what a 32-bit process could address, which also keeps
// the BMP file size within its 32-bit field.
constexpr int64_t kMaxImageBytes = 0x7FFFFFFF;

void PutLe16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void GreyRamp(platform::RgbQuad *table) {
    for (uint32_t i = 0; i < kColorTableEntries; ++i) {
        const auto level = static_cast<uint8_t>(i);
        table[i] = platform::RgbQuad{level, level, level, 0};
    }
}

BitmapInfoHeader EmptyHeader() {
    BitmapInfoHeader header{};
    header.biSize = kBitmapInfoHeaderSize;
    return header;
}

}  // namespace

BitmapInfoHeader DibHeader(int32_t width, int32_t height, uint16_t bitCount) {
    BitmapInfoHeader header = EmptyHeader();
    header.biPlanes = 1;
    header.biWidth = width;
    header.biHeight = height;
    header.biBitCount = bitCount;
    return header;
}

int64_t DibStride(int32_t width, uint16_t bitCount) {
    const int64_t stride = (static_cast<int64_t>(width) * (bitCount / 8) + 3) & ~int64_t{3};
    return stride > kMaxImageBytes ? -1 : stride;
}

void AppendInfoHeader(const BitmapInfoHeader &h, uint8_t out[40]) {
    PutLe32(out, h.biSize);
    PutLe32(out + 4, static_cast<uint32_t>(h.biWidth));
    PutLe32(out + 8, static_cast<uint32_t>(h.biHeight));
    PutLe16(out + 12, h.biPlanes);
    PutLe16(out + 14, h.biBitCount);
    PutLe32(out + 16, h.biCompression);
    PutLe32(out + 20, h.biSizeImage);
    PutLe32(out + 24, static_cast<uint32_t>(h.biXPelsPerMeter));
    PutLe32(out + 28, static_cast<uint32_t>(h.biYPelsPerMeter));
    PutLe32(out + 32, h.biClrUsed);
    PutLe32(out + 36, h.biClrImportant);
}

CDibImage::CDibImage() : header_(EmptyHeader()) {}

CDibImage::CDibImage(const CDibImage &other) : CDibImage() {
    Assign(other);
}

CDibImage::CDibImage(CDibImage &&other) noexcept : CDibImage() {
    TakeFrom(other);
}

CDibImage &CDibImage::operator=(const CDibImage &other) {
    // Releasing first would leave nothing to copy from.
    if (this == &other) return *this;
    Release();
    Assign(other);
    return *this;
}

CDibImage &CDibImage::operator=(CDibImage &&other) noexcept {
    if (this == &other) return *this;
    Release();
    TakeFrom(other);
    return *this;
}

CDibImage::~CDibImage() {
    Release();
}

void CDibImage::TakeFrom(CDibImage &other) {
    header_ = other.header_;
    dc_ = std::exchange(other.dc_, nullptr);
    bitmap_ = std::exchange(other.bitmap_, nullptr);
    pixels_ = std::exchange(other.pixels_, nullptr);
    drawDib_ = std::exchange(other.drawDib_, nullptr);
    oldBitmap_ = std::exchange(other.oldBitmap_, nullptr);
    for (int i = 0; i < 3; ++i) {
        extraObject_[i] = std::exchange(other.extraObject_[i], nullptr);
        oldExtra_[i] = std::exchange(other.oldExtra_[i], nullptr);
    }
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    stride_ = std::exchange(other.stride_, 0);
    bitCount_ = std::exchange(other.bitCount_, uint16_t{0});
    other.header_ = EmptyHeader();
}

bool CDibImage::ValidSize(int32_t width, int32_t height, uint16_t bitCount) {
    // Below 8 bits a row would hold no bytes at all.
    if (width <= 0 || height <= 0 || bitCount < 8) return false;
    const int64_t stride = DibStride(width, bitCount);
    return stride > 0 && stride * height <= kMaxImageBytes;
}

void CDibImage::SetFormat(int32_t width, int32_t height, uint16_t bitCount) {
    header_ = DibHeader(width, height, bitCount);
    width_ = width;
    height_ = height;
    bitCount_ = bitCount;
    stride_ = static_cast<int32_t>(DibStride(width, bitCount));
}

int CDibImage::Create(int32_t width, int32_t height, uint16_t bitCount) {
    if (!ValidSize(width, height, bitCount)) return 0;
    Release();
    SetFormat(width, height, bitCount);
    return AllocateBits(nullptr);
}

int CDibImage::CreateInMemory(int32_t width, int32_t height, uint16_t bitCount) {
    if (!ValidSize(width, height, bitCount)) return 0;
    Release();
    SetFormat(width, height, bitCount);
    pixels_ = static_cast<uint8_t *>(std::calloc(ByteSize(), 1));
    if (pixels_ == nullptr) {
        Release();
        return 0;
    }
    return 1;
}

int CDibImage::CopyFormat(const CDibImage &other) {
    if (!ValidSize(other.width_, other.height_, other.bitCount_)) return 0;
    // other may be this image: keep what Release would clear.
    const BitmapInfoHeader header = other.header_;
    const int32_t width = other.width_, height = other.height_, stride = other.stride_;
    const uint16_t bitCount = other.bitCount_;
    platform::DibDc *source = this == &other ? nullptr : other.dc_;
    Release();
    header_ = header;
    width_ = width;
    height_ = height;
    stride_ = stride;
    bitCount_ = bitCount;
    return AllocateBits(source);
}

int CDibImage::Assign(const CDibImage &other) {
    if (this == &other) return Empty() ? 0 : 1;
    if (other.dc_ != nullptr || other.pixels_ == nullptr) {
        if (CopyFormat(other) == 0) return 0;
        return Draw(other, nullptr, 0, 0);
    }
    if (CreateInMemory(other.width_, other.height_, other.bitCount_) == 0) return 0;
    std::memcpy(pixels_, other.pixels_, ByteSize());
    return 1;
}

int CDibImage::Release() {
    for (int i = 0; i < 3; ++i) {
        if (extraObject_[i] == nullptr) continue;
        if (oldExtra_[i] != nullptr && dc_ != nullptr) platform::DibSelectObject(dc_, oldExtra_[i]);
        platform::DibDeleteObject(extraObject_[i]);
        extraObject_[i] = oldExtra_[i] = nullptr;
    }
    if (bitmap_ != nullptr) {
        if (oldBitmap_ != nullptr && dc_ != nullptr) platform::DibSelectObject(dc_, oldBitmap_);
        platform::DibDeleteObject(bitmap_);
        bitmap_ = oldBitmap_ = nullptr;
        pixels_ = nullptr;  // the section's own memory
    }
    if (dc_ != nullptr) {
        platform::DibDeleteDc(dc_);
        dc_ = nullptr;
    }
    if (drawDib_ != nullptr) {
        platform::DibCloseDrawHandle(drawDib_);
        drawDib_ = nullptr;
    }
    if (pixels_ != nullptr) {
        std::free(pixels_);
        pixels_ = nullptr;
    }
    width_ = height_ = stride_ = 0;
    bitCount_ = 0;
    header_ = EmptyHeader();
    return 0;
}

int CDibImage::AllocateBits(platform::DibDc *sourceDc) {
    void *bits = nullptr;
    bitmap_ = platform::DibCreateSection(sourceDc, &header_, &bits);
    if (bitmap_ == nullptr || bits == nullptr) {
        if (bitmap_ != nullptr) platform::DibDeleteObject(bitmap_);
        bitmap_ = nullptr;
        // The platform refused the section: a heap-only image, no DC, no colour table.
        pixels_ = static_cast<uint8_t *>(std::calloc(ByteSize(), 1));
        if (pixels_ == nullptr) {
            Release();
            return 0;
        }
        return 1;
    }
    pixels_ = static_cast<uint8_t *>(bits);
    dc_ = platform::DibCreateMemoryDc();
    if (dc_ == nullptr) {
        Release();
        return 0;
    }
    oldBitmap_ = platform::DibSelectObject(dc_, bitmap_);
    if (oldBitmap_ == nullptr) {
        Release();
        return 0;
    }
    if (header_.biBitCount == 8) {
        if (sourceDc != nullptr) {
            platform::RgbQuad table[kColorTableEntries] = {};
            platform::DibGetColorTable(sourceDc, 0, kColorTableEntries, table);
            SetColorTable(2, table, 0, kColorTableEntries);
        } else {
            SetColorTable(0, nullptr, 0, 0);
        }
    }
    return 1;
}

int CDibImage::SetColorTable(int mode, const platform::RgbQuad *table, uint32_t start,
                             uint32_t count) {
    if (mode == 0) {
        platform::RgbQuad ramp[kColorTableEntries];
        GreyRamp(ramp);
        platform::DibSetColorTable(dc_, 0, kColorTableEntries, ramp);
    } else if (mode == 2 && table != nullptr) {
        platform::DibSetColorTable(dc_, start, count, table);
    }
    return 1;
}

int CDibImage::Draw(const CDibImage &src, const ImageRect *srcRect, int32_t x, int32_t y) {
    int32_t left = 0, top = 0, w = src.width_, h = src.height_;
    if (srcRect != nullptr) {
        left = srcRect->left;
        top = srcRect->top;
        w = srcRect->right - srcRect->left;
        h = srcRect->bottom - srcRect->top;
    }
    return platform::DibBlit(dc_, x, y, w, h, src.dc_, left, top);
}

IMAGEVIEW CDibImage::View(const ImageRect *region) const {
    IMAGEVIEW view{};
    view.size = kImageViewSize;
    view.width = width_;
    view.height = height_;
    view.stride = static_cast<uint32_t>(stride_);
    view.bitCount = bitCount_;
    view.pixels = pixels_;
    const ImageRect r = region != nullptr ? *region : ImageRect{0, 0, width_, height_};
    view.left = r.left;
    view.top = r.top;
    view.right = r.right;
    view.bottom = r.bottom;
    return view;
}

int CDibImage::Convert(PixelConverter converter, const CDibImage *src, const CONVOPTIONS *options,
                       const ImageRect *dstRect, const ImageRect *srcRect, int a, int b) {
    if (converter == nullptr) return 1;
    const IMAGEVIEW destination = View(dstRect);
    IMAGEVIEW source{};
    if (src != nullptr) source = src->View(srcRect);
    const CONVOPTIONS defaults{kConvOptionsSize, kConvModeDefaults, 0};
    return converter(&destination, src != nullptr ? &source : nullptr,
                     options != nullptr ? options : &defaults, a, b);
}

int CDibImage::WriteBmp(const wchar_t *fileName) const {
    // An empty image has nothing a BMP reader could show.
    if (Empty() || fileName == nullptr) return 0;
    const bool palette = bitCount_ <= 8;
    const uint32_t tableBytes = palette ? kColorTableEntries * 4 : 0;
    const uint32_t offset = kBmpFileHeaderSize + kBitmapInfoHeaderSize + tableBytes;
    const auto pixelBytes = static_cast<uint32_t>(ByteSize());

    uint8_t head[kBmpFileHeaderSize + kBitmapInfoHeaderSize + kColorTableEntries * 4] = {};
    PutLe16(head, 0x4D42);  // "BM"
    PutLe32(head + 2, offset + pixelBytes);
    PutLe32(head + 10, offset);
    AppendInfoHeader(header_, head + kBmpFileHeaderSize);
    if (palette) {
        // The DC's table when there is one; a heap-only image gets the grey ramp.
        platform::RgbQuad table[kColorTableEntries];
        GreyRamp(table);
        if (dc_ != nullptr) platform::DibGetColorTable(dc_, 0, kColorTableEntries, table);
        uint8_t *out = head + kBmpFileHeaderSize + kBitmapInfoHeaderSize;
        for (uint32_t i = 0; i < kColorTableEntries; ++i) {
            out[4 * i] = table[i].blue;
            out[4 * i + 1] = table[i].green;
            out[4 * i + 2] = table[i].red;
            out[4 * i + 3] = table[i].reserved;
        }
    }

    CFileObject file;
    if (file.OpenWrite(fileName) == nullptr) return 0;
    const int wroteHead = file.Write(head, offset);
    const int wrotePixels = file.Write(pixels_, pixelBytes);
    file.Close();
    return wroteHead != 0 && wrotePixels != 0 ? 1 : 0;
}

bool CDibImage::CopyRowsReversed(uint8_t *out, size_t capacity) const {
    if (Empty() || out == nullptr || capacity < ByteSize()) return false;
    const auto rowBytes = static_cast<size_t>(stride_);
    for (int32_t k = 0; k < height_; ++k)
        std::memcpy(out + static_cast<size_t>(k) * rowBytes, Row(height_ - 1 - k), rowBytes);
    return true;
}

std::unique_ptr<uint8_t[]> CDibImage::CopyRowsReversed() const {
    if (Empty()) return nullptr;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[ByteSize()]);
    if (block == nullptr || !CopyRowsReversed(block.get(), ByteSize())) return nullptr;
    return block;
}

}  // namespace kalvex
