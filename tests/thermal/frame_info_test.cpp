// Per-frame metadata through KalvexFrame_GetInfo, with frames let out one at a
// time and the millisecond clock frozen.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kalvex_frame.h"
#include "kalvex_sequence.h"
#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

class FrameInfo : public InstanceTest {
  protected:
    void StartHeld() {
        HoldFrames();
        ASSERT_EQ(Kalvex_Preview(handle_), 1);
    }
    uint32_t PublishOne() {
        ReleaseOneFrame();
        return static_cast<uint32_t>(NextFrameMessage());
    }
    KalvexFrameInfo Info(uint32_t id) {
        KalvexFrameInfo info{};
        info.size = sizeof info;
        EXPECT_EQ(KalvexFrame_GetInfo(handle_, id, &info), 1) << id;
        return info;
    }
};

int64_t UtcNowNs() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

TEST_F(FrameInfo, StreamFramesAreNumberedTimedAndCarryTheirContext) {
    KalvexSim_AddSpot(0, 320, 240, 20, 60.0);
    StartHeld();
    int64_t previousNs = 0;
    for (uint32_t n = 1; n <= 3; ++n) {
        const uint32_t id = PublishOne();
        ASSERT_NE(id, 0u);
        const KalvexFrameInfo info = Info(id);
        EXPECT_EQ(info.size, sizeof info);
        EXPECT_EQ(info.frameId, id);
        EXPECT_EQ(info.sequence, n);
        EXPECT_EQ(info.cameraFrame, n);
        EXPECT_GT(info.timestampNs, previousNs);
        previousNs = info.timestampNs;
        EXPECT_LT(std::llabs(info.utcNs - UtcNowNs()), 1000000000ll);
        EXPECT_EQ(info.origin, static_cast<uint32_t>(KALVEX_FRAME_STREAM));
        EXPECT_EQ(info.framesSinceNuc, KALVEX_FRAME_NO_NUC);
        EXPECT_EQ(info.tableCrc, 0u);
        EXPECT_EQ(info.flags, KALVEX_FRAME_INTERNAL_VALID);
        EXPECT_NEAR(info.internalTemperature, 25.0f, 0.05f);
        EXPECT_NEAR(info.scene.emissivity, 1.0f, 1e-6f);
        // The raw range is that of the pixels Kalvex_GetRaw hands out.
        std::vector<uint16_t> raw(640 * 480);
        ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(id), raw.data(),
                                static_cast<int>(raw.size() * 2)),
                  1);
        const auto [low, high] = std::minmax_element(raw.begin(), raw.end());
        EXPECT_EQ(info.rawMin, *low);
        EXPECT_EQ(info.rawMax, *high);
        EXPECT_LT(info.rawMin, info.rawMax);
    }

    // A table: its CRC from then on, a NUC whose hold frames are counted, and
    // the first frame after the hold marked.
    const std::string path = std::string(KALVEX_TEST_TMPDIR) + "/frame_info.tbl";
    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 64, -20.0, 120.0), 1);
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                           std::istreambuf_iterator<char>());
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
    ASSERT_EQ(Kalvex_SetTableA(handle_, path.c_str()), 1);
    FeedOneFrame();
    platform::AdvanceClock(1200);
    const KalvexFrameInfo after = Info(PublishOne());
    EXPECT_EQ(after.tableCrc, crc);
    EXPECT_EQ(after.flags,
              KALVEX_FRAME_INTERNAL_VALID | KALVEX_FRAME_HAS_TABLE | KALVEX_FRAME_FIRST_AFTER_NUC);
    EXPECT_EQ(after.sequence, 5u);        // the frame of the hold was taken too
    EXPECT_EQ(after.framesSinceNuc, 1u);  // ... after the NUC
    EXPECT_EQ(after.msSinceNuc, 1200u);
    EXPECT_EQ(Info(PublishOne()).flags & KALVEX_FRAME_FIRST_AFTER_NUC, 0u);
}

TEST_F(FrameInfo, FramesTheLoopDidNotTakeShowAsACameraCounterGap) {
    StartHeld();
    const KalvexFrameInfo first = Info(PublishOne());
    // Paused, the loop leaves frames in the device's four slots, where newer
    // ones replace them.
    ASSERT_EQ(Kalvex_Pause(handle_), 1);
    auto served = [] {
        KalvexSimCounters counters{};
        KalvexSim_GetCounters(0, &counters);
        return counters.framesServed;
    };
    for (int i = 0; i < 8; ++i) {
        const long before = served();
        ReleaseOneFrame();
        ASSERT_TRUE(Eventually([&] { return served() > before; }));
    }
    ASSERT_EQ(Kalvex_Start(handle_), 1);
    // The loop reads one frame per frame signal, oldest first: the numbers it
    // gives run on by one, the camera's jump where frames were replaced.
    std::vector<KalvexFrameInfo> infos{first};
    for (int i = 0; i < 6; ++i) infos.push_back(Info(PublishOne()));
    int gaps = 0;
    for (size_t i = 1; i < infos.size(); ++i) {
        EXPECT_EQ(infos[i].sequence, infos[i - 1].sequence + 1);
        EXPECT_GT(infos[i].cameraFrame, infos[i - 1].cameraFrame);
        gaps += infos[i].cameraFrame > infos[i - 1].cameraFrame + 1;
    }
    EXPECT_GE(gaps, 1);
    EXPECT_GE(infos.back().cameraFrame, first.cameraFrame + 8);
}

TEST_F(FrameInfo, SingleFramesGoOnFromTheLastNumber) {
    StartHeld();
    const uint32_t last = Info(PublishOne()).sequence;
    ASSERT_EQ(Kalvex_Close(handle_), 1);
    KalvexSim_ClearFaults(0);
    const int id = Kalvex_OneShot(handle_);
    ASSERT_NE(id, 0);
    const KalvexFrameInfo info = Info(static_cast<uint32_t>(id));
    EXPECT_EQ(info.origin, static_cast<uint32_t>(KALVEX_FRAME_ONESHOT));
    EXPECT_EQ(info.sequence, last + 1);
    EXPECT_GT(info.timestampNs, 0);
}

TEST_F(FrameInfo, BadArgumentsGiveCodeFiveAndShortStructsGetWhatTheyKnow) {
    StartHeld();
    const uint32_t id = PublishOne();
    Codes();
    KalvexFrameInfo info{};
    info.size = sizeof info;
    EXPECT_EQ(KalvexFrame_GetInfo(handle_, id, nullptr), 0);
    EXPECT_EQ(KalvexFrame_GetInfo(handle_, 0, &info), 0);
    EXPECT_EQ(KalvexFrame_GetInfo(handle_, id + 1, &info), 0);
    info.size = KALVEX_FRAME_INFO_MIN_SIZE - 1;
    EXPECT_EQ(KalvexFrame_GetInfo(handle_, id, &info), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{5, 5, 5, 5}));
    EXPECT_EQ(KalvexFrame_GetInfo(handle_ + 1, id, &info), 0);
    EXPECT_TRUE(Codes().empty());

    // An older caller's struct ends at flags: nothing beyond it is written.
    std::vector<unsigned char> older(sizeof(KalvexFrameInfo), 0xAB);
    const uint32_t size = KALVEX_FRAME_INFO_MIN_SIZE;
    std::memcpy(older.data(), &size, sizeof size);
    ASSERT_EQ(KalvexFrame_GetInfo(handle_, id, reinterpret_cast<KalvexFrameInfo *>(older.data())),
              1);
    EXPECT_TRUE(
        std::all_of(older.begin() + size, older.end(), [](unsigned char b) { return b == 0xAB; }));
    uint32_t frameId = 0;
    std::memcpy(&frameId, older.data() + 4, 4);
    EXPECT_EQ(frameId, id);
}

TEST_F(FrameInfo, ASequenceRecordedFromCaptureHoldsTheFramesAsTheLibraryGaveThem) {
    const std::string table = std::string(KALVEX_TEST_TMPDIR) + "/sequence.tbl";
    const std::string path = std::string(KALVEX_TEST_TMPDIR) + "/capture.tiff";
    ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 64, -20.0, 120.0), 1);
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0), 1);
    ASSERT_EQ(Kalvex_SetTableA(handle_, table.c_str()), 1);
    KalvexSim_AddSpot(0, 100, 50, 30, 80.0);
    StartHeld();
    ASSERT_NE(PublishOne(), 0u);
    Codes();
    EXPECT_EQ(KalvexSeq_RecordA(handle_, "", 0), 0);
    EXPECT_EQ(KalvexSeq_RecordA(handle_, path.c_str(), 7), 0);
    EXPECT_EQ(Codes(), (std::vector<int>{5, 5}));
    ASSERT_EQ(KalvexSeq_RecordA(handle_, path.c_str(), KALVEX_SEQ_DEFLATE), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORD_KIND), 0);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORDING), 0);  // opens with the next frame
    ASSERT_NE(PublishOne(), 0u);                                     // the recording opens with it
    std::vector<uint32_t> ids;
    std::vector<std::vector<uint16_t>> raws;
    std::vector<std::vector<float>> temperatures;
    for (int i = 0; i < 3; ++i) {
        ids.push_back(PublishOne());
        raws.emplace_back(640 * 480);
        temperatures.emplace_back(640 * 480);
        ASSERT_EQ(
            Kalvex_GetRaw(handle_, static_cast<int>(ids.back()), raws.back().data(), 640 * 480 * 2),
            1);
        ASSERT_EQ(Kalvex_GetTemperature(handle_, static_cast<int>(ids.back()),
                                        temperatures.back().data(), 640 * 480 * 4),
                  1);
    }
    ASSERT_EQ(Kalvex_RecW(handle_, nullptr, 0), 1);
    ASSERT_NE(PublishOne(), 0u);  // the loop closes the file with its next frame
    ASSERT_EQ(Kalvex_Close(handle_), 1);

    const int32_t seq = KalvexSeq_OpenA(path.c_str());
    ASSERT_GT(seq, 0);
    ASSERT_EQ(KalvexSeq_Count(seq), 3);
    std::vector<uint16_t> page(640 * 480);
    std::vector<float> again(640 * 480);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        KalvexFrameInfo info{};
        info.size = sizeof info;
        ASSERT_EQ(KalvexSeq_GetInfo(seq, i, &info), 1);
        EXPECT_EQ(info.frameId, ids[static_cast<size_t>(i)]);
        ASSERT_EQ(KalvexSeq_ReadRaw(seq, i, page.data(), 640 * 480 * 2), 1);
        const auto [low, high] = std::minmax_element(page.begin(), page.end());
        EXPECT_EQ(info.rawMin, *low);
        EXPECT_EQ(info.rawMax, *high);
        ASSERT_EQ(KalvexSeq_ReadTemperatures(seq, i, nullptr, again.data(), 640 * 480 * 4), 1);
        // The library's images lie bottom row first; the sequence's top first.
        for (int r = 0; r < 480; ++r) {
            const size_t from = static_cast<size_t>(479 - r) * 640,
                         to = static_cast<size_t>(r) * 640;
            ASSERT_EQ(std::memcmp(&page[to], &raws[static_cast<size_t>(i)][from], 640 * 2), 0)
                << "row " << r;
            ASSERT_EQ(std::memcmp(&again[to], &temperatures[static_cast<size_t>(i)][from], 640 * 4),
                      0)
                << "row " << r;
        }
    }
    EXPECT_EQ(KalvexSeq_Close(seq), 1);

    // Replayed as a camera: a new instance with the same table sees the
    // frames and temperatures recorded, bit for bit, then the camera falls silent.
    ASSERT_EQ(KalvexSim_ReplayA(0, (path + ".missing").c_str(), 0, 0), KALVEX_SEQ_E_OPEN);
    EXPECT_EQ(KalvexSim_ReplayA(0, path.c_str(), -1, 0), 0);
    EXPECT_EQ(KalvexSim_ReplayA(0, path.c_str(), 0, 4), 0);
    ASSERT_EQ(KalvexSim_ReplayA(0, path.c_str(), 0, 0), 1);
    KalvexSimReplayState state{};
    ASSERT_EQ(KalvexSim_GetReplayState(0, &state), 1);
    EXPECT_EQ(state.active, 1);
    EXPECT_EQ(state.frames, 3);
    EXPECT_EQ(state.next, 0);
    TestWindow second;
    const int replayed = Kalvex_Initialize(second.hwnd());
    ASSERT_NE(replayed, 0);
    ASSERT_EQ(Kalvex_SetParam(replayed, KALVEX_PARAM_NUC_HOLD, 0), 1);
    ASSERT_EQ(Kalvex_SetTableA(replayed, table.c_str()), 1);
    ASSERT_EQ(Kalvex_Preview(replayed), 1);
    std::vector<uint16_t> raw(640 * 480);
    std::vector<float> temps(640 * 480);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ReleaseOneFrame();
        KalvexMessage m{};
        do ASSERT_EQ(KalvexPosix_GetMessage(second.hwnd(), &m, 20000), 1);
        while (m.message != KALVEX_WM_FRAME);
        ASSERT_EQ(Kalvex_GetRaw(replayed, static_cast<int>(m.lParam), raw.data(), 640 * 480 * 2),
                  1);
        ASSERT_EQ(Kalvex_GetTemperature(replayed, static_cast<int>(m.lParam), temps.data(),
                                        640 * 480 * 4),
                  1);
        EXPECT_EQ(raw, raws[i]);
        EXPECT_EQ(std::memcmp(temps.data(), temperatures[i].data(), temps.size() * 4), 0);
    }
    ASSERT_TRUE(Eventually([&] {
        KalvexSim_GetReplayState(0, &state);
        return state.finished == 1;
    }));
    EXPECT_EQ(state.served, 3);
    KalvexSim_ReleaseStalls(0);  // a request now waits for frames that never come
    EXPECT_EQ(KalvexSim_StopReplay(0), 1);
    KalvexSim_GetReplayState(0, &state);
    EXPECT_EQ(state.active, 0);
    Kalvex_Release(replayed);
}

}  // namespace
}  // namespace kalvex::test
