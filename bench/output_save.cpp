// Still images at 640 x 480: each save type through the writers, against the
// encoder called directly with the same settings on prepared rows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "output/dib_image.h"
#include "output/still_image.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

const std::string &Dir() {
    static const std::string dir = [] {
        auto d = std::filesystem::temp_directory_path() / "kalvex_bench_save";
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir;
}
std::wstring WidePath(const std::string &name) {
    const std::string p = Dir() + "/" + name;
    return {p.begin(), p.end()};
}

const CDibImage &Raw() {
    static const CDibImage image = [] {
        CDibImage i;
        i.Create(640, 480, 16);
        for (int32_t r = 0; r < 480; ++r)
            for (int32_t c = 0; c < 640; ++c)
                reinterpret_cast<uint16_t *>(i.Row(r))[c] =
                    static_cast<uint16_t>(8000 + ((r * 7 + c * 3) % 600));
        return i;
    }();
    return image;
}
const CDibImage &Colour() {
    static const CDibImage image = [] {
        CDibImage i;
        i.Create(640, 480, 24);
        for (int32_t r = 0; r < 480; ++r)
            for (int32_t c = 0; c < 640; ++c) {
                uint8_t *p = i.Row(r) + 3 * c;
                p[0] = static_cast<uint8_t>(c), p[1] = static_cast<uint8_t>(r),
                p[2] = static_cast<uint8_t>(c + r);
            }
        return i;
    }();
    return image;
}

void BM_SaveImageFile(benchmark::State &state) {
    const int format = static_cast<int>(state.range(0));
    const bool raw = state.range(1) != 0;
    const std::wstring path = WidePath("save.out");
    for (auto _ : state)
        benchmark::DoNotOptimize(SaveImageFile(path.c_str(), raw ? &Raw() : &Colour(), format));
}
BENCHMARK(BM_SaveImageFile)
    ->ArgNames({"format", "raw"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({3, 0})
    ->Args({4, 0})
    ->Args({5, 0})
    ->Args({6, 0})
    ->Args({1, 1})
    ->Args({5, 1})
    ->Args({6, 1})
    ->Unit(benchmark::kMillisecond);

void BM_SaveTemperatures(benchmark::State &state) {
    CThermoTableState table;
    table.loaded.clear();
    for (int i = 0; i < 16384; ++i)
        table.loaded.push_back({i, static_cast<float>(i) * 0.025f - 178.0f});
    table.count = 16384;
    InterpolateAllRawValues(table.ActivePoints(), table.interpolated);
    for (int i = 0; i < kLookupEntries; ++i)
        table.lookup[static_cast<size_t>(i)] = table.interpolated[static_cast<size_t>(i)];
    const std::wstring path = WidePath("temps.out");
    for (auto _ : state)
        benchmark::DoNotOptimize(SaveTemperatureFile(
            path.c_str(), Raw(), static_cast<int>(state.range(0)), table, true));
}
BENCHMARK(BM_SaveTemperatures)->DenseRange(10, 13)->Unit(benchmark::kMillisecond);

// ---- The encoders alone, rows prepared beforehand ----

std::vector<uint8_t> RgbTopDown() {
    std::vector<uint8_t> out(640 * 480 * 3);
    for (int32_t k = 0; k < 480; ++k)
        for (int32_t c = 0; c < 640; ++c) {
            const uint8_t *p = Colour().Row(479 - k) + 3 * c;
            uint8_t *q = &out[static_cast<size_t>(k * 640 + c) * 3];
            q[0] = p[2], q[1] = p[1], q[2] = p[0];
        }
    return out;
}

void BM_DirectJpeg(benchmark::State &state) {
    const std::vector<uint8_t> rgb = RgbTopDown();
    const std::string path = Dir() + "/direct.jpg";
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        jpeg_compress_struct info;
        jpeg_error_mgr err;
        info.err = jpeg_std_error(&err);
        jpeg_create_compress(&info);
        jpeg_stdio_dest(&info, f);
        info.image_width = 640, info.image_height = 480, info.input_components = 3,
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, static_cast<int>(state.range(0)), TRUE);
        jpeg_simple_progression(&info);
        jpeg_start_compress(&info, TRUE);
        while (info.next_scanline < 480) {
            JSAMPROW row[1] = {const_cast<JSAMPLE *>(&rgb[info.next_scanline * 1920u])};
            jpeg_write_scanlines(&info, row, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        std::fclose(f);
    }
}
BENCHMARK(BM_DirectJpeg)->Arg(100)->Arg(70)->Arg(20)->Unit(benchmark::kMillisecond);

void BM_DirectPng(benchmark::State &state) {
    const bool sixteen = state.range(0) != 0;
    std::vector<uint8_t> pixels(sixteen ? 640 * 480 * 2 : 640 * 480 * 3);
    if (sixteen) {
        for (size_t i = 0; i < 640 * 480; ++i) {
            const auto v =
                static_cast<uint16_t>(reinterpret_cast<const uint16_t *>(Raw().Pixels())[i] << 2);
            pixels[2 * i] = static_cast<uint8_t>(v >> 8),
                       pixels[2 * i + 1] = static_cast<uint8_t>(v);
        }
    } else {
        pixels = RgbTopDown();
    }
    const size_t stride = sixteen ? 1280 : 1920;
    std::vector<png_bytep> rows(480);
    for (size_t i = 0; i < 480; ++i) rows[i] = pixels.data() + i * stride;
    const std::string path = Dir() + "/direct.png";
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_init_io(png, f);
        png_set_IHDR(png, info, 640, 480, sixteen ? 16 : 8,
                     sixteen ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (sixteen) {
            png_color_8 significant{};
            significant.gray = 14;
            png_set_sBIT(png, info, &significant);
        }
        png_write_info(png, info);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
    }
}
BENCHMARK(BM_DirectPng)->ArgName("raw")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DirectTiff(benchmark::State &state) {
    const bool sixteen = state.range(0) != 0;
    std::vector<uint8_t> pixels =
        sixteen ? std::vector<uint8_t>(Raw().Pixels(), Raw().Pixels() + Raw().ByteSize())
                : RgbTopDown();
    const std::string path = Dir() + "/direct.tif";
    for (auto _ : state) {
        TIFF *t = TIFFOpen(path.c_str(), "w");
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 640u);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 480u);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, sixteen ? 16 : 8);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, sixteen ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, sixteen ? 1 : 3);
        TIFFWriteEncodedStrip(t, 0, pixels.data(), static_cast<tmsize_t>(pixels.size()));
        TIFFClose(t);
    }
}
BENCHMARK(BM_DirectTiff)->ArgName("raw")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DirectRawWrite(benchmark::State &state) {
    const std::string path = Dir() + "/direct.raw";
    const size_t bytes = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(Colour().Pixels(), 1, bytes, f);
        std::fclose(f);
    }
}
BENCHMARK(BM_DirectRawWrite)->Arg(921600)->Arg(921654)->Arg(614400)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kalvex
