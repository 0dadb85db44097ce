#include "output/still_image.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "base/log.h"
#include "output/file_object.h"
#include "output/tiff_messages.h"
#include "platform/platform.h"
#include "thermal/thermo_table.h"

namespace kalvex {

// ---- Conversion scratch ------------------------------------------------------------

namespace {

// Conversion temporaries are kept between saves: allocating and clearing a
// fresh megabyte for every save cost more than the conversion itself. Two are
// kept (a flipped save of a raw image converts twice); heap-only, so nothing
// of GDI outlives a save.
class ScratchPool {
  public:
    std::unique_ptr<CDibImage> Take(int32_t width, int32_t height, uint16_t bitCount) {
        {
            std::lock_guard guard(lock_);
            for (auto &kept : kept_)
                if (kept && Fits(*kept, width, height, bitCount)) return std::move(kept);
        }
        auto image = std::unique_ptr<CDibImage>(new (std::nothrow) CDibImage);
        if (!image || image->CreateInMemory(width, height, bitCount) == 0) return nullptr;
        return image;
    }
    // Keeps the image, the most recent first; the oldest of a full pool goes.
    void Give(std::unique_ptr<CDibImage> image) {
        if (!image) return;
        std::lock_guard guard(lock_);
        if (kept_[0]) std::swap(kept_[0], kept_[1]);
        kept_[0] = std::move(image);
    }

  private:
    static bool Fits(const CDibImage &image, int32_t width, int32_t height, uint16_t bitCount) {
        return image.Width() == width && image.Height() == height && image.BitCount() == bitCount;
    }
    std::mutex lock_;
    std::unique_ptr<CDibImage> kept_[2];
};

ScratchPool &Scratch() {
    static ScratchPool pool;
    return pool;
}

// A temporary of the layout of an image (or of a given size and depth) for one
// save, handed back to the pool afterwards. Its pixels hold whatever the last
// save left: every use overwrites the pixels it hands on.
class ScratchImage {
  public:
    explicit ScratchImage(const CDibImage &format)
        : ScratchImage(format.Width(), format.Height(), format.BitCount()) {}
    ScratchImage(int32_t width, int32_t height, uint16_t bitCount)
        : image_(Scratch().Take(width, height, bitCount)) {}
    ~ScratchImage() { Scratch().Give(std::move(image_)); }
    ScratchImage(const ScratchImage &) = delete;
    ScratchImage &operator=(const ScratchImage &) = delete;

    explicit operator bool() const { return image_ != nullptr; }
    CDibImage *operator->() const { return image_.get(); }
    CDibImage &operator*() const { return *image_; }

  private:
    std::unique_ptr<CDibImage> image_;
};

// ---- Dispatch ----------------------------------------------------------------

// Saves a temporary of bitCount made from image by converter.
int SaveConverted(const wchar_t *fileName, const CDibImage &image, uint16_t bitCount,
                  PixelConverter converter, int format) {
    ScratchImage temporary(image.Width(), image.Height(), bitCount);
    if (!temporary) return 0;
    temporary->Convert(converter, &image, nullptr, nullptr, nullptr, 0, 0);
    return SaveImageFile(fileName, &*temporary, format);
}

int SaveJpegFormat(const wchar_t *fileName, const CDibImage &image, int quality, int format) {
    switch (image.BitCount()) {
        case 8:
        case 24:
            return SaveJpegFile(fileName, image, quality, 1);
        case 16:
            return SaveConverted(fileName, image, 8, ConvReduceDepth, format);
        case 32:
        case 48:
        case 64:
            return SaveConverted(fileName, image, 24, ConvReduceDepth, format);
        default:
            return 0;
    }
}

int SavePngFormat(const wchar_t *fileName, const CDibImage &image) {
    switch (image.BitCount()) {
        case 8:
        case 24:
        case 32:
            return SavePngFile(fileName, image);
        case 16:
        case 48:
        case 64: {
            ScratchImage temporary(image);
            if (!temporary) return 0;
            temporary->Convert(ConvScaleSamples, &image, nullptr, nullptr, nullptr, 0, 0);
            return SavePngFile(fileName, *temporary);
        }
        default:
            return 0;
    }
}

}  // namespace

int SaveImageFile(const wchar_t *fileName, const CDibImage *image, int format) {
    if (image == nullptr || image->Empty()) return 0;
    switch (format) {
        case kStillBmp:
            return image->WriteBmp(fileName);
        case kStillRaw:
            return SaveRawFile(fileName, *image);
        case kStillJpeg100:
            return SaveJpegFormat(fileName, *image, 100, format);
        case kStillJpeg70:
            return SaveJpegFormat(fileName, *image, 70, format);
        case kStillJpeg20:
            return SaveJpegFormat(fileName, *image, 20, format);
        case kStillPng:
            return SavePngFormat(fileName, *image);
        case kStillTiff:
            return SaveTiffFile(fileName, *image);
        default:
            return 0;
    }
}

int SaveFlipped(const wchar_t *fileName, const CDibImage *image, int format) {
    if (image == nullptr || image->Empty()) return 0;
    if (image->BitCount() == 8) {
        // An 8-bit BMP takes its colour table from the image's DC: a full copy.
        CDibImage temporary;
        if (temporary.CopyFormat(*image) == 0) return 0;
        if (!image->CopyRowsReversed(temporary.Pixels(), temporary.ByteSize())) return 0;
        return SaveImageFile(fileName, &temporary, format);
    }
    ScratchImage temporary(*image);
    if (!temporary) return 0;
    if (!image->CopyRowsReversed(temporary->Pixels(), temporary->ByteSize())) return 0;
    return SaveImageFile(fileName, &*temporary, format);
}

int SaveRawFile(const wchar_t *fileName, const CDibImage &image) {
    if (image.Empty()) return 0;
    CFileObject file;
    if (file.OpenWrite(fileName) == nullptr) return 0;
    return file.Write(image.Pixels(), static_cast<uint32_t>(image.ByteSize()));
}

// ---- JPEG ------------------------------------------------------------------------

namespace {

struct JpegErrorManager {
    jpeg_error_mgr standard;
    std::jmp_buf recovery;
};

[[noreturn]] void JpegErrorExit(j_common_ptr info) {
    auto *manager = reinterpret_cast<JpegErrorManager *>(info->err);
    std::longjmp(manager->recovery, 1);
}

// Only plain data lives between setjmp and longjmp here: no destructor is skipped.
int CompressJpeg(FILE *stream, const CDibImage &image, int quality, int progressive, JSAMPLE *row) {
    jpeg_compress_struct info;
    JpegErrorManager errors;
    info.err = jpeg_std_error(&errors.standard);
    errors.standard.error_exit = JpegErrorExit;
    if (setjmp(errors.recovery) != 0) {
        jpeg_destroy_compress(&info);
        return 0;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, stream);
    const int components = image.BitCount() == 8 ? 1 : 3;
    info.image_width = static_cast<JDIMENSION>(image.Width());
    info.image_height = static_cast<JDIMENSION>(image.Height());
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (progressive != 0) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    const size_t width = static_cast<size_t>(image.Width());
    int32_t source = image.Height() - 1;
    while (info.next_scanline < info.image_height && source >= 0) {
        const uint8_t *in = image.Row(source--);
        if (components == 1) {
            std::memcpy(row, in, width);
        } else {
            for (size_t x = 0; x < width; ++x) {
                row[3 * x] = in[3 * x + 2];
                row[3 * x + 1] = in[3 * x + 1];
                row[3 * x + 2] = in[3 * x];
            }
        }
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return 1;
}

}  // namespace

int SaveJpegFile(const wchar_t *fileName, const CDibImage &image, int quality, int progressive) {
    if (image.Empty() || (image.BitCount() != 8 && image.BitCount() != 24)) return 0;
    const int components = image.BitCount() == 8 ? 1 : 3;
    std::vector<JSAMPLE> row;
    try {
        row.resize(static_cast<size_t>(image.Width()) * static_cast<size_t>(components));
    } catch (const std::bad_alloc &) {
        return 0;
    }
    FILE *stream = platform::OpenCStream(fileName, "wb");
    if (stream == nullptr) return 0;
    const int result = CompressJpeg(stream, image, quality, progressive, row.data());
    const bool closed = std::fclose(stream) == 0;
    return result == 1 && closed ? 1 : 0;
}

// ---- PNG -------------------------------------------------------------------------

namespace {

// "SavePngFile : " and, in the Shift-JIS code page, "memory allocation failed".
constexpr char kPngNoMemory[] =
    "SavePngFile : \x83\x81\x83\x82\x83\x8a\x8a\x6d\x95\xdb\x82\xc9\x8e\xb8\x94\x73";

void PngError(png_structp png, png_const_charp message) {
    if (png != nullptr) std::fprintf(stderr, "libpng error: %s\n", message);
    // The recovery point is the write structure's own, set by this call's setjmp.
    png_longjmp(png, 1);
}

// The bits of a 16-bit sample that carry the camera's value.
constexpr png_byte kSignificantBits = 14;

struct PngLayout {
    int bitDepth, colourType;
};

bool PngLayoutFor(uint16_t bitCount, PngLayout *layout) {
    switch (bitCount) {
        case 8:
            *layout = {8, PNG_COLOR_TYPE_GRAY};
            return true;
        case 16:
            *layout = {16, PNG_COLOR_TYPE_GRAY};
            return true;
        case 24:
            *layout = {8, PNG_COLOR_TYPE_RGB};
            return true;
        case 32:
            *layout = {8, PNG_COLOR_TYPE_RGB_ALPHA};
            return true;
        case 48:
            *layout = {16, PNG_COLOR_TYPE_RGB};
            return true;
        case 64:
            *layout = {16, PNG_COLOR_TYPE_RGB_ALPHA};
            return true;
        default:
            return false;
    }
}

// Plain data only between setjmp and longjmp; rows is freed by the caller.
int WritePng(png_structp png, png_infop info, FILE *stream, const CDibImage &image,
             png_bytep *volatile *rowsOut) {
    if (setjmp(png_jmpbuf(png)) != 0) return 0;
    png_init_io(png, stream);
    PngLayout layout{};
    if (PngLayoutFor(image.BitCount(), &layout)) {
        png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width()),
                     static_cast<png_uint_32>(image.Height()), layout.bitDepth, layout.colourType,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    }
    if (layout.bitDepth == 16) {
        // 16-bit samples are 14-bit camera values widened by two bits: sBIT
        // tells readers which bits carry them.
        png_color_8 significant{};
        significant.red = significant.green = significant.blue = kSignificantBits;
        significant.gray = significant.alpha = kSignificantBits;
        png_set_sBIT(png, info, &significant);
    }
    png_write_info(png, info);
    png_set_bgr(png);
    if (layout.bitDepth == 16) png_set_swap(png);
    const auto height = static_cast<size_t>(image.Height());
    auto *rows = static_cast<png_bytep *>(std::malloc(height * sizeof(png_bytep)));
    *rowsOut = rows;
    if (rows == nullptr) png_error(png, kPngNoMemory);
    const size_t stride =
        (static_cast<size_t>(image.BitCount() / 8) * static_cast<size_t>(image.Width()) + 3) &
        ~size_t{3};
    for (size_t i = 0; i < height; ++i)
        rows[i] = const_cast<png_bytep>(image.Pixels()) + (height - 1 - i) * stride;
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return 1;
}

}  // namespace

int SavePngFile(const wchar_t *fileName, const CDibImage &image) {
    if (fileName == nullptr || image.Empty()) return 0;
    FILE *stream = platform::OpenCStream(fileName, "wb");
    if (stream == nullptr) return 0;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, nullptr);
    if (png == nullptr) {
        std::fclose(stream);
        return 0;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        std::fclose(stream);
        png_destroy_write_struct(&png, nullptr);
        return 0;
    }
    png_bytep *volatile rows = nullptr;
    const int result = WritePng(png, info, stream, image, &rows);
    png_destroy_write_struct(&png, &info);
    std::free(rows);
    const bool closed = std::fclose(stream) == 0;
    return result == 1 && closed ? 1 : 0;
}

// ---- TIFF ------------------------------------------------------------------------

namespace {

// Opens for writing with this call's own message handlers.
TIFF *OpenTiff(const wchar_t *fileName, TiffMessages *messages) {
    TIFFOpenOptions *options = TiffOptionsFor(messages);
    if (options == nullptr) return nullptr;
    TIFF *tiff = platform::OpenTiff(fileName, "w", options);
    TIFFOpenOptionsFree(options);  // the handle keeps its own copy of the handlers
    return tiff;
}

}  // namespace

int SaveTiffFile(const wchar_t *fileName, const CDibImage &image) {
    if (fileName == nullptr || image.Empty()) return 0;
    TiffMessages messages;
    TIFF *tiff = OpenTiff(fileName, &messages);
    if (tiff == nullptr) return 0;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.Width()));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.Height()));
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    ScratchImage temporary(image);
    if (!temporary) {
        TIFFClose(tiff);
        return 0;
    }
    int bits = 0, photometric = 0, samples = 0;
    switch (image.BitCount() / 8) {
        case 1:
            bits = 8, photometric = PHOTOMETRIC_MINISBLACK, samples = 1;
            break;
        case 2:
            bits = 16, photometric = PHOTOMETRIC_MINISBLACK, samples = 1;
            break;
        case 3:
            bits = 8, photometric = PHOTOMETRIC_RGB, samples = 3;
            break;
        case 4:
            bits = 8, photometric = PHOTOMETRIC_RGB, samples = 4;
            break;
        case 6:
            bits = 16, photometric = PHOTOMETRIC_RGB, samples = 3;
            break;
        case 8:
            bits = 16, photometric = PHOTOMETRIC_RGB, samples = 4;
            break;
        default:
            break;
    }
    if (bits != 0) {
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    }
    temporary->Convert(ConvFlipRgb, &image, nullptr, nullptr, nullptr, 0, 0);
    // TIFF rows are packed: rows padded to 4 bytes (never the camera's 640
    // pixels) are closed up first, or every row after the first would skew.
    const auto rowBytes = static_cast<size_t>(image.Width()) * (image.BitCount() / 8u);
    const auto stride = static_cast<size_t>(temporary->Stride());
    uint8_t *pixels = temporary->Pixels();
    const auto rows = static_cast<size_t>(image.Height());
    for (size_t k = 1; rowBytes < stride && k < rows; ++k)
        std::memmove(pixels + k * rowBytes, pixels + k * stride, rowBytes);
    const tmsize_t written =
        TIFFWriteEncodedStrip(tiff, 0, pixels, static_cast<tmsize_t>(rowBytes * rows));
    // The directory is written here; its failure is seen only now.
    const bool flushed = TIFFFlush(tiff) == 1;
    TIFFClose(tiff);
    return written >= 0 && flushed && messages.errors == 0 ? 1 : 0;
}

// ---- Temperature arrays -------------------------------------------------------------

int8_t TemperatureToInt8(float celsius) {
    if (!(celsius > -128.0f)) return -128;  // NaN included
    if (celsius >= 127.0f) return 127;
    return static_cast<int8_t>(celsius);
}

uint8_t TemperatureToUint8(float celsius) {
    if (!(celsius > 0.0f)) return 0;
    if (celsius >= 255.0f) return 255;
    return static_cast<uint8_t>(celsius);
}

int32_t TemperatureToInt32(float celsius) {
    // Values past int32 (and NaN) have no truncation; they saturate.
    if (!(celsius > -2147483648.0f)) return INT32_MIN;
    if (celsius >= 2147483648.0f) return INT32_MAX;
    return static_cast<int32_t>(celsius);
}

namespace {
template <class T, class Convert>
void FillTemperatures(const CDibImage &raw, bool fromLastRow, T *out, Convert convert) {
    const int32_t width = raw.Width(), height = raw.Height();
    for (int32_t k = 0; k < height; ++k) {
        const int32_t row = fromLastRow ? height - 1 - k : k;
        const auto *in = reinterpret_cast<const uint16_t *>(raw.Row(row));
        T *dst = out + static_cast<size_t>(k) * static_cast<size_t>(width);
        for (int32_t x = 0; x < width; ++x) dst[x] = convert(in[x], row, x);
    }
}
}  // namespace

namespace {
// Fills an array of T and writes it whole; the hosts built for are little-endian.
template <class T, class Convert>
int WriteTemperatureArray(const wchar_t *fileName, const CDibImage &raw, bool fromLastRow,
                          Convert convert) {
    const size_t pixels = static_cast<size_t>(raw.Width()) * static_cast<size_t>(raw.Height());
    if (pixels > UINT32_MAX / sizeof(T)) return 0;
    std::vector<T> values;
    try {
        values.resize(pixels);
    } catch (const std::bad_alloc &) {
        return 0;
    }
    FillTemperatures(raw, fromLastRow, values.data(), convert);
    CFileObject file;
    if (file.OpenWrite(fileName) == nullptr) return 0;
    return file.Write(values.data(), static_cast<uint32_t>(pixels * sizeof(T)));
}
}  // namespace

int SaveTemperatureFile(const wchar_t *fileName, const CDibImage &raw, int type,
                        const CThermoTableState &table, bool fromLastRow) {
    if (raw.Empty() || raw.BitCount() != 16) return 0;
    switch (type) {
        case 10:
            return WriteTemperatureArray<int8_t>(
                fileName, raw, fromLastRow, [&](uint16_t v, int32_t row, int32_t x) {
                    return TemperatureToInt8(table.InterpolateTemperatureAt(v, row, x));
                });
        case 11:
            return WriteTemperatureArray<uint8_t>(
                fileName, raw, fromLastRow, [&](uint16_t v, int32_t row, int32_t x) {
                    return TemperatureToUint8(table.InterpolateTemperatureAt(v, row, x));
                });
        case 12:
            return WriteTemperatureArray<int32_t>(
                fileName, raw, fromLastRow, [&](uint16_t v, int32_t row, int32_t x) {
                    return TemperatureToInt32(table.InterpolateTemperatureAt(v, row, x));
                });
        case 13:
            return WriteTemperatureArray<float>(fileName, raw, fromLastRow,
                                                [&](uint16_t v, int32_t row, int32_t x) {
                                                    return table.LookupTemperatureAt(v, row, x);
                                                });
        default:
            return 0;
    }
}

}  // namespace kalvex
