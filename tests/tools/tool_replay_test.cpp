// A recording made by the tool, converted and replayed by the tool: frames,
// raw counts and temperatures come back as recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kalvex_sequence.h"
#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

constexpr int kPixels = 640 * 480;

std::string AsBytes(const void *data, size_t bytes) {
    return std::string(static_cast<const char *>(data), bytes);
}

TEST(ToolReplay, ARecordingConvertsAndReplaysFrameForFrame) {
    const std::string dir = Folder("replay_convert");
    ASSERT_EQ(KalvexSim_WriteTable((dir + "/t.bin").c_str(), 4, 64, -20.0, 150.0), 1);
    Result run = Kalvex(dir, {"capture", "--sim", "--nuc-hold", "0", "--frames", "6", "--table",
                              "t.bin", "--spot", "320,240,40,60", "--record", "seq"});
    ASSERT_EQ(run.status, 0) << run.err;
    const int32_t seq = KalvexSeq_OpenA((dir + "/capture.tiff").c_str());
    ASSERT_GT(seq, 0);
    const int32_t count = KalvexSeq_Count(seq);
    ASSERT_GE(count, 4);
    std::vector<std::vector<uint16_t>> raws(static_cast<size_t>(count),
                                            std::vector<uint16_t>(kPixels));
    for (int32_t i = 0; i < count; ++i)
        ASSERT_EQ(KalvexSeq_ReadRaw(seq, i, raws[static_cast<size_t>(i)].data(), kPixels * 2), 1);
    KalvexScene half{};
    ASSERT_EQ(KalvexSeq_GetScene(seq, &half), 1);
    half.emissivity = 0.5f;
    std::vector<float> again(kPixels);
    ASSERT_EQ(KalvexSeq_ReadTemperatures(seq, 2, &half, again.data(), kPixels * 4), 1);
    KalvexSeq_Close(seq);

    // Still files per frame, named by frame number, top row first.
    run = Kalvex(dir,
                 {"convert", "capture.tiff", "--to", "raw16", "--frames", "1:2", "--out", "conv"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (int i : {1, 2})
        EXPECT_EQ(ReadFile(dir + "/conv/capture-00000" + std::to_string(i) + ".raw16"),
                  AsBytes(raws[static_cast<size_t>(i)].data(), kPixels * 2))
            << i;
    EXPECT_FALSE(std::filesystem::exists(dir + "/conv/capture-000000.raw16"));
    // Measured again at another emissivity through the recording's own table.
    run = Kalvex(dir, {"convert", "capture.tiff", "--to", "temp-f32", "--frames", "2",
                       "--emissivity", "0.5", "--out", "conv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(dir + "/conv/capture-000002.temp-f32"), AsBytes(again.data(), kPixels * 4));
    // A range as a recording of its own.
    run =
        Kalvex(dir, {"convert", "capture.tiff", "--to", "seq", "--frames", "1:", "--out", "conv"});
    ASSERT_EQ(run.status, 0) << run.err;
    const int32_t part = KalvexSeq_OpenA((dir + "/conv/capture.tiff").c_str());
    ASSERT_GT(part, 0);
    ASSERT_EQ(KalvexSeq_Count(part), count - 1);
    std::vector<uint16_t> raw(kPixels);
    for (int32_t i = 0; i < count - 1; ++i) {
        ASSERT_EQ(KalvexSeq_ReadRaw(part, i, raw.data(), kPixels * 2), 1);
        EXPECT_EQ(raw, raws[static_cast<size_t>(i) + 1]) << i;
    }
    KalvexSeq_Close(part);
    // From frame 0, uncompressed: every frame.
    run = Kalvex(dir, {"convert", "capture.tiff", "--to", "seq-none", "--out", "all"});
    ASSERT_EQ(run.status, 0) << run.err;
    const int32_t all = KalvexSeq_OpenA((dir + "/all/capture.tiff").c_str());
    ASSERT_GT(all, 0);
    EXPECT_EQ(KalvexSeq_Count(all), count);
    ASSERT_EQ(KalvexSeq_ReadRaw(all, 0, raw.data(), kPixels * 2), 1);
    EXPECT_EQ(raw, raws[0]);
    KalvexSeq_Close(all);
    // Refusals: a range beyond the recording, a file that is no sequence, the source overwritten.
    run = Kalvex(dir, {"convert", "capture.tiff", "--to", "png", "--frames", "9:"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("has " + std::to_string(count) + " frames"), std::string::npos)
        << run.err;
    run = Kalvex(dir, {"convert", "t.bin", "--to", "png"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not a TIFF"), std::string::npos) << run.err;
    EXPECT_EQ(Kalvex(dir, {"convert", "capture.tiff", "--to", "seq"}).status, 2);

    // Replayed as a camera: every recorded frame once, with the recording's table.
    run = Kalvex(dir, {"capture", "--replay", "capture.tiff", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("the recording's own table"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("{\"type\":\"summary\",\"frames\":" + std::to_string(count) + ","),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Kalvex(dir, {"capture", "--replay", "capture.tiff", "--usb", "1209:6a0e"}).status, 2);
}

}  // namespace
}  // namespace kalvex::tooltest
