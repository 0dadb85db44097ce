// Every file the kalvex program writes shows the scene upright: a hot spot near
// the top of the simulated frame is near the top of each decoded file, and
// pictures are colour-mapped with their own range (not blank).
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

constexpr int kW = 640, kH = 480;
constexpr int kSpotX = 320, kSpotY = 60;  // 80 degrees, radius 30, in a 22-degree scene

// A decoded file: a brightness or value at (x, y), y = 0 the top as a viewer shows it.
using Sampler = std::function<double(int x, int y)>;

Sampler Rgb8(std::vector<uint8_t> pixels, int channels) {
    return [pixels = std::move(pixels), channels](int x, int y) {
        double sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += pixels[(static_cast<size_t>(y) * kW + static_cast<size_t>(x)) *
                              static_cast<size_t>(channels) +
                          static_cast<size_t>(c)];
        return sum;
    };
}

Sampler DecodePngFile(const std::string &path, bool grey) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return nullptr;
    image.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    if (!ok || image.width != kW || image.height != kH) return nullptr;
    return Rgb8(std::move(pixels), grey ? 1 : 3);
}

Sampler DecodeTiffFile(const std::string &path) {
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr) return nullptr;
    std::vector<uint32_t> raster(static_cast<size_t>(kW) * kH);
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    bool ok = w == kW && h == kH &&
              TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0) == 1;
    TIFFClose(tif);
    if (!ok) return nullptr;
    return [raster](int x, int y) {
        uint32_t p = raster[static_cast<size_t>(y) * kW + static_cast<size_t>(x)];
        return static_cast<double>(TIFFGetR(p) + TIFFGetG(p) + TIFFGetB(p));
    };
}

Sampler DecodeJpegFile(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return nullptr;
    jpeg_decompress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, f);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    std::vector<uint8_t> pixels(static_cast<size_t>(kW) * kH * 3);
    while (info.output_scanline < info.output_height && info.output_width == kW) {
        JSAMPROW row = pixels.data() + static_cast<size_t>(info.output_scanline) * kW * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(f);
    return Rgb8(std::move(pixels), 3);
}

// A headerless array of kH rows, top row first; or, bottomUp, a bottom-up DIB's rows.
template <typename T>
Sampler Array(const std::string &bytes, size_t offset, int channels, bool bottomUp = false) {
    if (bytes.size() < offset + sizeof(T) * kW * kH * static_cast<size_t>(channels)) return nullptr;
    return [bytes, offset, channels, bottomUp](int x, int y) {
        int row = bottomUp ? kH - 1 - y : y;
        double sum = 0;
        for (int c = 0; c < channels; ++c) {
            T v;
            std::memcpy(&v,
                        bytes.data() + offset +
                            ((static_cast<size_t>(row) * kW + static_cast<size_t>(x)) *
                                 static_cast<size_t>(channels) +
                             static_cast<size_t>(c)) *
                                sizeof(T),
                        sizeof(T));
            sum += static_cast<double>(v);
        }
        return sum;
    };
}

Sampler DecodeBmp(const std::string &bytes) {
    if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0) return nullptr;
    auto height = static_cast<int32_t>(Le32(bytes, 22));
    return Array<uint8_t>(bytes, Le32(bytes, 10), 3, height > 0);
}

// The spot is at the top: hot where it is, background at the mirrored place.
void ExpectUpright(const Sampler &at, const std::string &what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(at) << "cannot decode";
    double spot = at(kSpotX, kSpotY), mirror = at(kSpotX, kH - 1 - kSpotY),
           background = at(20, kH / 2);
    // Different, not hotter: 16-bit pictures may scale raw values beyond 16 bits.
    EXPECT_GT(std::abs(spot - background), 6.0) << "no spot at the top (blank or upside down)";
    EXPECT_NEAR(mirror, background, 6.0) << "a spot at the bottom";
}

std::vector<std::string> TopSpotScene(std::vector<std::string> args) {
    for (const char *a : {"--sim", "--nuc-hold", "0", "--spot", "320,60,30,80"}) args.push_back(a);
    return args;
}

TEST(ToolUpright, EverySaveTypeShowsTheTopOfTheSceneFirst) {
    std::string dir = Folder("upright_snap");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "table.bin"}).status, 0);
    std::vector<std::string> args = TopSpotScene({"snap", "--table", "table.bin"});
    for (int type = 0; type <= 13; ++type) {
        args.push_back("--snapshot");
        args.push_back(std::to_string(type));
    }
    Result run = Kalvex(dir, args);
    ASSERT_EQ(run.status, 0) << run.err;
    auto file = [&](const char *name) { return ReadFile(dir + "/" + name); };
    ExpectUpright(DecodeBmp(file("snap.bmp")), "bmp");
    ExpectUpright(Array<uint8_t>(file("snap.bgr"), 0, 3), "raw BGR");
    for (const char *jpeg : {"snap-q100.jpg", "snap-q70.jpg", "snap-q20.jpg"})
        ExpectUpright(DecodeJpegFile(dir + "/" + jpeg), jpeg);
    ExpectUpright(DecodePngFile(dir + "/snap.png", false), "png");
    ExpectUpright(DecodeTiffFile(dir + "/snap.tiff"), "tiff");
    ExpectUpright(Array<uint16_t>(file("snap.raw16"), 0, 1), "raw16");
    ExpectUpright(DecodePngFile(dir + "/snap-raw16.png", true), "png16");
    ExpectUpright(DecodeTiffFile(dir + "/snap-raw16.tiff"), "tiff16");
    ExpectUpright(Array<int8_t>(file("snap.temp-s8"), 0, 1), "temp-s8");
    ExpectUpright(Array<uint8_t>(file("snap.temp-u8"), 0, 1), "temp-u8");
    ExpectUpright(Array<int32_t>(file("snap.temp-i32"), 0, 1), "temp-i32");
    ExpectUpright(Array<float>(file("snap.temp-f32"), 0, 1), "temp-f32");
    EXPECT_FLOAT_EQ(TemperatureAt(file("snap.temp-f32"), kSpotY, kSpotX), 80.0f);
    // The picture is mapped with the frame's own range: black scene, white spot.
    Sampler png = DecodePngFile(dir + "/snap.png", false);
    ASSERT_TRUE(png);
    EXPECT_GT(png(kSpotX, kSpotY), 3 * 200.0);
    EXPECT_LT(png(20, kH / 2), 3 * 128.0);
}

TEST(ToolUpright, LibraryRowOrderKeepsTheLibrarysLayout) {
    std::string dir = Folder("upright_library");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "table.bin"}).status, 0);
    Result run = Kalvex(dir, TopSpotScene({"snap", "--library-row-order", "--table", "table.bin",
                                           "--snapshot", "temp-f32", "--snapshot", "png"}));
    ASSERT_EQ(run.status, 0) << run.err;
    // With parameter 18 at 0 the float array runs bottom-up; colour pictures are upright.
    ExpectUpright(Array<float>(ReadFile(dir + "/snap.temp-f32"), 0, 1, true), "temp-f32");
    ExpectUpright(DecodePngFile(dir + "/snap.png", false), "png");
}

TEST(ToolUpright, RecordingsAndSnapshotsDuringThemAreUpright) {
    std::string dir = Folder("upright_record");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "table.bin"}).status, 0);
    for (const char *kind : {"avi", "raw", "temp"}) {
        SCOPED_TRACE(kind);
        // temp-f32 needs the opposite flag to the recording: the tool reorders it.
        Result run = Kalvex(
            dir, TopSpotScene({"capture", "--frames", "2", "--table", "table.bin", "--record", kind,
                               "--snapshot", "temp-f32", "--snapshot-every", "1"}));
        ASSERT_EQ(run.status, 0) << run.err;
        ExpectUpright(Array<float>(ReadFile(dir + "/frame-000001.temp-f32"), 0, 1),
                      "snapshot while recording");
    }
    std::string avi = ReadFile(dir + "/capture.avi");
    ASSERT_GT(avi.size(), 240u);
    // The first frame: a bottom-up DIB (positive height), colour-mapped with
    // its own range, so not blank.
    EXPECT_GT(static_cast<int32_t>(Le32(avi, 180 + 8)), 0);
    ExpectUpright(Array<uint8_t>(avi, 240, 3, true), "avi frame 1");
    ExpectUpright(Array<uint16_t>(ReadFile(dir + "/capture.raw16"), 0, 1), "raw stream");
    ExpectUpright(Array<float>(ReadFile(dir + "/capture.temp-f32"), 0, 1), "temperature stream");
    // Pictures that need the other flag cannot be saved during a recording.
    Result refused = Kalvex(dir, TopSpotScene({"capture", "--frames", "2", "--record", "avi",
                                               "--snapshot", "png16", "--snapshot-every", "1"}));
    EXPECT_EQ(refused.status, 2) << refused.err;
}

}  // namespace
}  // namespace kalvex::tooltest
