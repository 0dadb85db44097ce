// Radiometric sequences: writing a page through the sequence writer against
// the same page written with libtiff directly (same fields, same coding), and
// reading pages back. The frames look like the demo scene: a 22 C background
// with warm and hot discs, fixed-pattern and temporal noise of a few counts.
// The "bytes_per_frame" counter gives the size of a minute at 10 fps as
// 600 times it.
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kalvex_sequence.h"
#include "output/sequence_writer.h"
#include "thermal/radiance.h"
#include "thermal/table_bytes.h"
#include "thermal/thermo_table.h"

namespace {

using kalvex::kSequenceHeight;
using kalvex::kSequenceWidth;

std::vector<std::vector<uint16_t>> DemoFrames(int count) {
    std::vector<std::vector<uint16_t>> frames;
    uint32_t seed = 12345;
    auto noise = [&seed](int span) {
        seed = seed * 214013u + 2531011u;
        return static_cast<int>((seed >> 16) % static_cast<uint32_t>(2 * span + 1)) - span;
    };
    std::vector<int> pattern(size_t{kSequenceWidth} * kSequenceHeight);
    for (int &p : pattern) p = noise(6);
    struct Disc {
        int x, y, r, counts;
    } const discs[] = {{320, 240, 110, 7600},
                       {320, 240, 75, 7900},
                       {320, 240, 40, 8300},
                       {150, 130, 40, 11000},
                       {500, 360, 50, 6200}};
    for (int f = 0; f < count; ++f) {
        std::vector<uint16_t> v(pattern.size());
        for (uint32_t y = 0; y < kSequenceHeight; ++y) {
            for (uint32_t x = 0; x < kSequenceWidth; ++x) {
                int value = 7000;
                for (const Disc &d : discs) {
                    const int dx = static_cast<int>(x) - d.x, dy = static_cast<int>(y) - d.y;
                    if (dx * dx + dy * dy <= d.r * d.r) value = d.counts;
                }
                const size_t i = size_t{y} * kSequenceWidth + x;
                v[i] = static_cast<uint16_t>(value + pattern[i] + noise(3));
            }
        }
        frames.push_back(std::move(v));
    }
    return frames;
}

const std::vector<std::vector<uint16_t>> &Frames() {
    static const auto frames = DemoFrames(8);
    return frames;
}

kalvex::SequenceContext Context() {
    kalvex::SequenceContext c;
    std::vector<kalvex::CalibrationPoint> points;
    for (int k = 0; k < 64; ++k)
        points.push_back({1000 + 200 * k, -10.0f + 2.0f * static_cast<float>(k)});
    c.table = kalvex::test::Version4Bytes(30.0f, 0.001f, 0.5f, points);
    c.tableCrc = kalvex::TableFileCrc(c.table.data(), c.table.size());
    c.tableVersion = 4;
    c.tablePoints = 64;
    c.scene = kalvex::DefaultScene();
    c.libraryVersion = KALVEX_DLL_VERSION;
    return c;
}

std::string Path(const char *name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

void BM_SequenceWrite(benchmark::State &state) {
    const bool compress = state.range(0) != 0;
    const std::string path = Path("bench_sequence_write.tiff");
    const std::wstring wide(path.begin(), path.end());
    kalvex::CSequenceWriter writer;
    int64_t pages = 0, bytesAtStart = 0;
    for (auto _ : state) {
        if (!writer.IsOpen() || writer.Pages() >= 200) {
            writer.Close();
            writer.Open(wide.c_str(), Context(), compress);
            bytesAtStart = writer.Bytes();
            pages = 0;
        }
        const auto &frame = Frames()[static_cast<size_t>(pages) % Frames().size()];
        kalvex::SequenceFrame f;
        f.topRow = reinterpret_cast<const uint8_t *>(frame.data());
        f.stride = kSequenceWidth * 2;
        f.info.size = sizeof f.info;
        f.info.sequence = static_cast<uint32_t>(pages + 1);
        f.info.scene = kalvex::DefaultScene();
        if (writer.WriteFrame(f) != 1) state.SkipWithError("write failed");
        ++pages;
    }
    state.counters["bytes_per_frame"] =
        pages > 0 ? static_cast<double>(writer.Bytes() - bytesAtStart) / static_cast<double>(pages)
                  : 0;
    writer.Close();
    std::filesystem::remove(path);
}
BENCHMARK(BM_SequenceWrite)->Arg(1)->Arg(0)->ArgName("deflate")->Unit(benchmark::kMicrosecond);

// The yardstick: the same page with libtiff's own file I/O and no metadata
// work beyond a fixed description.
void BM_LibtiffDirect(benchmark::State &state) {
    const bool compress = state.range(0) != 0;
    const std::string path = Path("bench_libtiff_direct.tiff");
    TIFF *tiff = nullptr;
    int pages = 0;
    std::vector<uint16_t> page(size_t{kSequenceWidth} * kSequenceHeight);
    const std::string description(480, 'x');
    for (auto _ : state) {
        if (tiff == nullptr || pages >= 200) {
            if (tiff != nullptr) TIFFClose(tiff);
            tiff = TIFFOpen(path.c_str(), "w");
            pages = 0;
        }
        page = Frames()[static_cast<size_t>(pages) % Frames().size()];
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kSequenceWidth);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kSequenceHeight);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kalvex::kSequenceRowsPerStrip);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION,
                     compress ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE);
        if (compress) {
            TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 1);
        }
        TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
        for (uint32_t s = 0; s < kSequenceHeight / kalvex::kSequenceRowsPerStrip; ++s)
            TIFFWriteEncodedStrip(
                tiff, s, page.data() + size_t{s} * kalvex::kSequenceRowsPerStrip * kSequenceWidth,
                kalvex::kSequenceRowsPerStrip * kSequenceWidth * 2);
        TIFFWriteDirectory(tiff);
        ++pages;
    }
    if (tiff != nullptr) TIFFClose(tiff);
    std::filesystem::remove(path);
}
BENCHMARK(BM_LibtiffDirect)->Arg(1)->Arg(0)->ArgName("deflate")->Unit(benchmark::kMicrosecond);

void BM_SequenceRead(benchmark::State &state) {
    const bool compress = state.range(0) != 0;
    const std::string path = Path("bench_sequence_read.tiff");
    const std::wstring wide(path.begin(), path.end());
    {
        kalvex::CSequenceWriter writer;
        writer.Open(wide.c_str(), Context(), compress);
        for (uint32_t k = 0; k < 32; ++k) {
            kalvex::SequenceFrame f;
            f.topRow = reinterpret_cast<const uint8_t *>(Frames()[k % Frames().size()].data());
            f.stride = kSequenceWidth * 2;
            f.info.size = sizeof f.info;
            f.info.scene = kalvex::DefaultScene();
            writer.WriteFrame(f);
        }
    }
    const int32_t seq = KalvexSeq_OpenA(path.c_str());
    if (seq <= 0) state.SkipWithError("open failed");
    std::vector<uint16_t> raw(size_t{kSequenceWidth} * kSequenceHeight);
    int32_t k = 0;
    for (auto _ : state) {
        if (KalvexSeq_ReadRaw(seq, k, raw.data(), static_cast<int32_t>(raw.size() * 2)) != 1)
            state.SkipWithError("read failed");
        k = (k + 1) % 32;
    }
    KalvexSeq_Close(seq);
    std::filesystem::remove(path);
}
BENCHMARK(BM_SequenceRead)->Arg(1)->Arg(0)->ArgName("deflate")->Unit(benchmark::kMicrosecond);

}  // namespace
