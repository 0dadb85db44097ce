// The kalvex program against the simulated camera: capture, snap and demo, and
// the files they leave.
#include <gtest/gtest.h>
#include <png.h>

#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

// Decodes a PNG; empty on failure.
struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

Picture DecodePng(const std::string &path) {
    Picture p;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return p;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return p;
    }
    p.width = image.width;
    p.height = image.height;
    p.rgb = std::move(pixels);
    return p;
}

// Frames of an AVI, checked against its own RIFF structure; -1 if malformed.
long AviFrames(const std::string &path) {
    std::string avi = ReadFile(path);
    if (avi.size() < 240 || avi.compare(0, 4, "RIFF") != 0 || avi.compare(8, 4, "AVI ") != 0)
        return -1;
    if (Le32(avi, 4) + 8 != avi.size()) return -1;
    if (avi.compare(228, 4, "movi") != 0) return -1;
    uint32_t frames = Le32(avi, 48);
    if (Le32(avi, 140) != frames || Le32(avi, 64) != 640 || Le32(avi, 68) != 480) return -1;
    const uint32_t frameBytes = 640 * 480 * 3;
    size_t idx = 232 + static_cast<size_t>(frames) * (frameBytes + 8);
    if (idx + 8 > avi.size() || avi.compare(idx, 4, "idx1") != 0) return -1;
    if (Le32(avi, idx + 4) != frames * 16) return -1;
    for (uint32_t k = 0; k < frames; ++k) {
        size_t chunk = 232 + static_cast<size_t>(k) * (frameBytes + 8);
        if (avi.compare(chunk, 4, "00db") != 0 || Le32(avi, chunk + 4) != frameBytes) return -1;
        if (Le32(avi, idx + 8 + 16 * k + 8) != 4 + k * (frameBytes + 8)) return -1;
    }
    if (avi.size() != 240 + static_cast<size_t>(frames) * (frameBytes + 24)) return -1;
    return static_cast<long>(frames);
}

std::string Table(const std::string &dir) {
    Result run = Kalvex(dir, {"table", "write", "table.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    return "table.bin";
}

// The common scene: 22 degrees, a 37-degree disc in the centre, an 80-degree
// one in the upper left.
std::vector<std::string> Scene(std::vector<std::string> args) {
    for (const char *a :
         {"--sim", "--nuc-hold", "0", "--spot", "320,240,50,37", "--spot", "100,100,20,80"})
        args.push_back(a);
    return args;
}

TEST(ToolCapture, CountsFramesAndReadsTheSceneTemperatures) {
    std::string dir = Folder("capture");
    Result run = Kalvex(dir, Scene({"capture", "--frames", "12", "--table", Table(dir)}));
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("capturing from camera 0 (simulated)"), std::string::npos);
    EXPECT_NE(run.out.find("captured 12 frames"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("last frame: min 22.00  max 80.00  centre 37.00"), std::string::npos)
        << run.out;
    // How many frames a loaded machine lets the library skip is not fixed;
    // that the count is reported is.
    EXPECT_NE(run.out.find("), lost "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(", held "), std::string::npos) << run.out;
    // Not a terminal: the status comes as plain lines, never redrawn.
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    EXPECT_EQ(run.err, "");
}

TEST(ToolCapture, WithoutATableShowsRawValues) {
    std::string dir = Folder("capture_raw");
    Result run = Kalvex(dir, Scene({"capture", "--frames", "3", "--row-order", "1"}));
    ASSERT_EQ(run.status, 0) << run.err;
    // 37 degrees on the simulated sensor is raw 8600, the background 8000.
    EXPECT_NE(run.out.find("raw min 8000  max 10320  centre 8600"), std::string::npos) << run.out;
}

TEST(ToolCapture, SnapshotsAndATemperatureArrayHoldTheSpot) {
    std::string dir = Folder("capture_snapshots");
    std::string table = Table(dir);
    Result run = Kalvex(dir, Scene({"capture", "--frames", "5", "--table", table, "--out", "shots",
                                    "--snapshot", "png", "--snapshot", "13", "--snapshot", "bmp",
                                    "--snapshot", "raw16:sensor.bin", "--snapshot", "temp-u8"}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::string shots = dir + "/shots/";
    EXPECT_EQ(Size(shots + "frame.bmp"), 921654);
    EXPECT_EQ(Size(shots + "sensor.bin"), 614400);
    EXPECT_EQ(Size(shots + "frame.temp-u8"), 307200);
    ASSERT_EQ(Size(shots + "frame.temp-f32"), 1228800);
    EXPECT_NE(run.out.find("saved    " + std::string("shots/frame.png")), std::string::npos)
        << run.out;

    std::string temps = ReadFile(shots + "frame.temp-f32");
    EXPECT_FLOAT_EQ(TemperatureAt(temps, 240, 320), 37.0f);
    EXPECT_FLOAT_EQ(TemperatureAt(temps, 5, 600), 22.0f);
    std::string bytes = ReadFile(shots + "frame.temp-u8");
    EXPECT_EQ(static_cast<uint8_t>(bytes[240 * 640 + 320]), 37);

    Picture png = DecodePng(shots + "frame.png");
    ASSERT_EQ(png.width, 640u);
    ASSERT_EQ(png.height, 480u);
    // The spot and the background map to different colours.
    auto pixel = [&](int row, int column) {
        size_t at = (static_cast<size_t>(row) * 640 + static_cast<size_t>(column)) * 3;
        return std::vector<uint8_t>(png.rgb.begin() + static_cast<long>(at),
                                    png.rgb.begin() + static_cast<long>(at) + 3);
    };
    EXPECT_NE(pixel(240, 320), pixel(5, 600));
    EXPECT_EQ(pixel(5, 600), pixel(470, 10));
}

TEST(ToolCapture, SnapshotsEveryNFramesAreNumbered) {
    std::string dir = Folder("capture_every");
    Result run = Kalvex(dir, Scene({"capture", "--frames", "6", "--snapshot", "raw16", "--snapshot",
                                    "jpeg70:j.jpg", "--snapshot-every", "3"}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Size(dir + "/frame-000003.raw16"), 614400);
    EXPECT_EQ(Size(dir + "/frame-000006.raw16"), 614400);
    EXPECT_EQ(ReadFile(dir + "/j-000006.jpg").compare(0, 2, "\xFF\xD8"), 0);
    EXPECT_EQ(Size(dir + "/frame-000009.raw16"), -1);
}

TEST(ToolCapture, AviRecordingHoldsTheFramesItCounts) {
    std::string dir = Folder("capture_avi");
    Result run = Kalvex(dir, Scene({"capture", "--frames", "4", "--record", "avi:clip.avi"}));
    ASSERT_EQ(run.status, 0) << run.err;
    long frames = AviFrames(dir + "/clip.avi");
    ASSERT_GE(frames, 1) << "malformed AVI";
    EXPECT_NE(run.out.find("recorded clip.avi (" + std::to_string(frames) + " frames"),
              std::string::npos)
        << run.out;
}

TEST(ToolCapture, RawAndTemperatureStreamsAreWholeFrames) {
    std::string dir = Folder("capture_streams");
    std::string table = Table(dir);
    Result run = Kalvex(dir, Scene({"capture", "--frames", "3", "--record", "raw"}));
    ASSERT_EQ(run.status, 0) << run.err;
    int64_t raw = Size(dir + "/capture.raw16");
    EXPECT_GT(raw, 0);
    EXPECT_EQ(raw % 614400, 0);
    run = Kalvex(dir,
                 Scene({"capture", "--frames", "3", "--table", table, "--record", "temp:t.f32"}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::string temps = ReadFile(dir + "/t.f32");
    ASSERT_GT(temps.size(), 0u);
    EXPECT_EQ(temps.size() % 1228800, 0u);
    // Streams carry the camera's line order: line 240 is in the spot.
    EXPECT_FLOAT_EQ(TemperatureAt(temps, 240, 320), 37.0f);
}

TEST(ToolCapture, UnwritableRecordingFailsWithItsEventCode) {
    std::string dir = Folder("capture_unwritable");
    // Missing folders are created; a file where a folder should be cannot be.
    std::ofstream(dir + "/plain") << "x";
    Result run = Kalvex(dir, Scene({"capture", "--frames", "3", "--record", "avi:plain/x.avi"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("event 9 (file error)"), std::string::npos) << run.err;
}

TEST(ToolSnap, OneShotAndTriggerTakeAFrame) {
    std::string dir = Folder("snap");
    std::string table = Table(dir);
    for (bool trigger : {false, true}) {
        SCOPED_TRACE(trigger);
        std::vector<std::string> args = Scene({"snap", "--table", table, "--snapshot", "temp-f32"});
        if (trigger) args.push_back("--trigger");
        Result run = Kalvex(dir, args);
        EXPECT_NE(run.out.find("(simulated): min 22.00  max 80.00  centre 37.00"),
                  std::string::npos)
            << run.out << run.err;
        EXPECT_EQ(run.status, 0) << run.err;
        std::string temps = ReadFile(dir + "/snap.temp-f32");
        ASSERT_EQ(temps.size(), 1228800u);
        EXPECT_FLOAT_EQ(TemperatureAt(temps, 240, 320), 37.0f);
    }
}

TEST(ToolSnap, EverySaveType) {
    std::string dir = Folder("snap_all");
    std::vector<std::string> args = Scene({"snap"});
    for (int type = 0; type <= 13; ++type) {
        args.push_back("--snapshot");
        args.push_back(std::to_string(type));
    }
    Result run = Kalvex(dir, args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Size(dir + "/snap.bmp"), 921654);
    EXPECT_EQ(Size(dir + "/snap.bgr"), 921600);
    EXPECT_EQ(Size(dir + "/snap.raw16"), 614400);
    EXPECT_EQ(Size(dir + "/snap.temp-s8"), 307200);
    EXPECT_EQ(Size(dir + "/snap.temp-u8"), 307200);
    EXPECT_EQ(Size(dir + "/snap.temp-i32"), 1228800);
    EXPECT_EQ(Size(dir + "/snap.temp-f32"), 1228800);
    for (const char *jpeg : {"snap-q100.jpg", "snap-q70.jpg", "snap-q20.jpg"})
        EXPECT_EQ(ReadFile(dir + "/" + jpeg).compare(0, 2, "\xFF\xD8"), 0) << jpeg;
    for (const char *tiff : {"snap.tiff", "snap-raw16.tiff"})
        EXPECT_EQ(ReadFile(dir + "/" + tiff).compare(0, 4, std::string("II*\0", 4)), 0) << tiff;
    EXPECT_EQ(DecodePng(dir + "/snap.png").width, 640u);
    EXPECT_EQ(DecodePng(dir + "/snap-raw16.png").height, 480u);
}

TEST(ToolDemo, LeavesTableSnapshotTemperaturesAndClip) {
    std::string dir = Folder("demo");
    // The scene of the discs, which demo showed before its demo scene.
    Result run = Kalvex(dir, {"demo", "--out", "out", "--seconds", "2", "--spot", "320,240,110,28",
                              "--spot", "320,240,75,32", "--spot", "320,240,40,37", "--spot",
                              "150,130,40,80", "--spot", "500,360,50,5"});
    EXPECT_GT(Size(dir + "/out/table.bin"), 0);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("capturing from camera 0 (simulated)"), std::string::npos) << run.out;
    EXPECT_EQ(DecodePng(dir + "/out/demo.png").width, 640u);
    std::string temps = ReadFile(dir + "/out/demo.temp-f32");
    ASSERT_EQ(temps.size(), 1228800u);
    EXPECT_FLOAT_EQ(TemperatureAt(temps, 240, 320), 37.0f);
    EXPECT_GE(AviFrames(dir + "/out/demo.avi"), 1);
}

}  // namespace
}  // namespace kalvex::tooltest
