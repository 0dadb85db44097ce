// Saving and recording through the exported functions, with frames from the
// simulated camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <png.h>
#include <tiffio.h>

#include "api/sdk_chain.h"
#include "kalvex.h"
#include "kalvex_sim.h"
#include "output/avi_writer.h"
#include "output/output_test_support.h"
#include "output/still_image.h"
#include "platform/platform.h"
#include "support/kalvex_test_peer.h"
#include "support/test_window.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {
namespace {

using test::CKalvexTestPeer;
using test::Le16;
using test::Le32;
using test::ReadAll;
using test::TmpFile;
using test::Wide;

constexpr size_t kRawBytes = 640 * 480 * 2;
constexpr size_t kColourBytes = 640 * 480 * 3;

class SaveRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        KalvexSim_Plug(0);
        KalvexSim_SetFrameRate(0, 0);
        KalvexSim_SetTestPattern(0, 1);
        handle_ = Kalvex_Initialize(window_.hwnd());
        ASSERT_NE(handle_, 0);
        window_.Drain();
    }
    void TearDown() override {
        KalvexSim_ClearFaults(0);
        Kalvex_Release(handle_);
        platform::SetFileWriteLimitForTests(-1);
        platform::FreezeClock(false);
    }

    std::vector<int> Events() {
        std::vector<int> codes;
        for (long code : window_.Drain(KALVEX_WM_EVENT)) codes.push_back(static_cast<int>(code));
        return codes;
    }
    int Save(const std::string &path, int type) {
        return Kalvex_SaveW(handle_, Wide(path).c_str(), type);
    }

    // Capture driven frame by frame: every frame request stalls until released.
    void StartSteppedCapture() {
        KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, KALVEX_SIM_UNTIL_CLEARED);
        ASSERT_EQ(Kalvex_Preview(handle_), 1);
    }
    // Lets one frame through and waits for its frame message; the frame id, or 0.
    // Event codes seen meanwhile are kept in events_.
    uint32_t NextFrame(uint32_t advanceMs = 100) {
        platform::AdvanceClock(advanceMs);
        if (KalvexSim_WaitStalled(0, 1, 10000) != 1) return 0;
        KalvexSim_ReleaseStalls(0);
        KalvexMessage m;
        while (KalvexPosix_GetMessage(window_.hwnd(), &m, 10000) == 1) {
            if (m.message == KALVEX_WM_FRAME) return static_cast<uint32_t>(m.lParam);
            if (m.message == KALVEX_WM_EVENT) events_.push_back(static_cast<int>(m.lParam));
        }
        return 0;
    }

    test::TestWindow window_;
    int handle_ = 0;
    std::vector<int> events_;

    // Ends stepped capture: paused first, so the frames that the released
    // camera then serves are neither published nor recorded.
    int CloseSteppedCapture() {
        Kalvex_Pause(handle_);
        KalvexSim_ClearFaults(0);
        return Kalvex_Close(handle_);
    }

    int FileErrors() const {
        return static_cast<int>(std::count(events_.begin(), events_.end(), KALVEX_EV_FILE));
    }
};

TEST_F(SaveRecord, SaveChecksInOrderAndWritesEveryType) {
    const std::string base = TmpFile("save");
    EXPECT_EQ(Save(base + ".none", 1), 0);
    EXPECT_EQ(Kalvex_GetLastError(handle_), KALVEX_EV_NO_FRAME);
    EXPECT_EQ(Save(base + ".none", 14), 0);  // no frame is checked first
    EXPECT_EQ(Kalvex_GetLastError(handle_), KALVEX_EV_NO_FRAME);
    EXPECT_FALSE(std::filesystem::exists(base + ".none"));

    const int id = Kalvex_OneShot(handle_);
    ASSERT_NE(id, 0);
    window_.Drain();
    EXPECT_EQ(Save(base + ".14", 14), 0);
    EXPECT_EQ(Save(base + ".neg", -1), 0);
    EXPECT_EQ(Events(), (std::vector<int>{KALVEX_EV_INVALID_ARGUMENT, KALVEX_EV_INVALID_ARGUMENT}));
    EXPECT_EQ(Save(TmpFile("missing/dir/x.bmp"), 0), 0);
    EXPECT_EQ(Kalvex_SaveW(handle_, nullptr, 5), 0);
    EXPECT_EQ(Events(), (std::vector<int>{KALVEX_EV_FILE, KALVEX_EV_FILE}));
    EXPECT_EQ(Kalvex_SaveW(0, Wide(base).c_str(), 1), 0);

    const size_t sizes[14] = {921654, kColourBytes, 0,      0,       0,      0, 0, kRawBytes, 0,
                              0,      307200,       307200, 1228800, 1228800};
    for (int type = 0; type <= 13; ++type) {
        const std::string wide = base + "." + std::to_string(type);
        const std::string narrow = base + ".a" + std::to_string(type);
        ASSERT_EQ(Save(wide, type), 1) << type;
        ASSERT_EQ(Kalvex_SaveA(handle_, narrow.c_str(), type), 1) << type;
        const auto a = ReadAll(wide), b = ReadAll(narrow);
        EXPECT_EQ(a, b) << type;
        if (sizes[type] != 0) {
            EXPECT_EQ(a.size(), sizes[type]) << type;
        }
    }
    EXPECT_TRUE(Events().empty());

    const auto bmp = ReadAll(base + ".0");
    EXPECT_EQ(Le16(bmp, 0), 0x4D42);
    EXPECT_EQ(Le32(bmp, 2), 921654u);
    EXPECT_EQ(Le32(bmp, 10), 54u);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(Le32(bmp, 18), 640u);
    EXPECT_EQ(Le32(bmp, 22), 480u);
    EXPECT_EQ(Le16(bmp, 28), 24);

    // Raw and colour dumps against the getters (which return slot order here).
    std::vector<uint8_t> raw(kRawBytes), colour(kColourBytes);
    ASSERT_EQ(Kalvex_GetRaw(handle_, id, raw.data(), static_cast<int>(raw.size())), 1);
    ASSERT_EQ(Kalvex_GetColor(handle_, id, colour.data(), static_cast<int>(colour.size())), 1);
    EXPECT_EQ(ReadAll(base + ".1"), colour);
    const auto rawDump = ReadAll(base + ".7");
    for (size_t k = 0; k < 480; ++k)
        ASSERT_EQ(std::memcmp(rawDump.data() + k * 1280, raw.data() + (479 - k) * 1280, 1280), 0);
    std::vector<float> temperatures(640 * 480);
    ASSERT_EQ(Kalvex_GetTemperature(handle_, id, temperatures.data(), 1228800), 1);
    const auto floats = ReadAll(base + ".13");
    EXPECT_EQ(std::memcmp(floats.data(), temperatures.data(), 1228800), 0);

    // The output row-order flag turns each rule round.
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_OUTPUT_ROW_ORDER, 1), 1);
    ASSERT_EQ(Save(base + ".f7", 7), 1);
    EXPECT_EQ(ReadAll(base + ".f7"), raw);
    ASSERT_EQ(Save(base + ".f1", 1), 1);
    const auto flippedColour = ReadAll(base + ".f1");
    for (size_t k = 0; k < 480; ++k)
        ASSERT_EQ(
            std::memcmp(flippedColour.data() + k * 1920, colour.data() + (479 - k) * 1920, 1920),
            0);
}

// A 16-bit grey PNG as stored (no transformation) and its sBIT grey value, 0 without one.
std::vector<uint16_t> ReadGrey16Png(const std::string &path, int *significantBits) {
    std::vector<uint16_t> samples;
    *significantBits = 0;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return samples;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        png_color_8p sbit = nullptr;
        if (png_get_sBIT(png, info, &sbit) != 0) *significantBits = sbit->gray;
        const png_bytepp rows = png_get_rows(png, info);
        if (png_get_bit_depth(png, info) == 16)
            for (png_uint_32 i = 0; i < png_get_image_height(png, info); ++i)
                for (png_uint_32 c = 0; c < png_get_image_width(png, info); ++c)
                    samples.push_back(
                        static_cast<uint16_t>(rows[i][2 * c] << 8 | rows[i][2 * c + 1]));
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return samples;
}

std::vector<uint16_t> ReadGrey16Tiff(const std::string &path) {
    std::vector<uint16_t> samples(640 * 480);
    TIFF *tiff = TIFFOpen(path.c_str(), "rc");  // the strip whole, not chopped
    if (tiff == nullptr) return {};
    const tmsize_t bytes = static_cast<tmsize_t>(samples.size() * 2);
    if (TIFFReadEncodedStrip(tiff, 0, samples.data(), bytes) != bytes) samples.clear();
    TIFFClose(tiff);
    return samples;
}

TEST_F(SaveRecord, SixteenBitPngAndTiffHoldFourteenBitValuesTimesFour) {
    // A 90 degree spot on a 22 degree background: raw 10720 and 8000. Shifted by
    // six, as once, these wrapped to 30720 and 53248: the spot came out darker.
    KalvexSim_SetTestPattern(0, 0);
    KalvexSim_SetBackground(0, 22.0);
    KalvexSim_AddSpot(0, 320, 240, 30, 90.0);
    const int id = Kalvex_OneShot(handle_);
    ASSERT_NE(id, 0);
    std::vector<uint16_t> raw(640 * 480);
    ASSERT_EQ(Kalvex_GetRaw(handle_, id, raw.data(), static_cast<int>(kRawBytes)), 1);
    const size_t spot = 240 * 640 + 320, corner = 0;
    ASSERT_EQ(raw[spot], 10720);
    ASSERT_EQ(raw[corner], 8000);

    ASSERT_EQ(Save(TmpFile("spot.png"), 8), 1);
    ASSERT_EQ(Save(TmpFile("spot.tif"), 9), 1);
    int significant = 0;
    const std::vector<uint16_t> png = ReadGrey16Png(TmpFile("spot.png"), &significant);
    const std::vector<uint16_t> tiff = ReadGrey16Tiff(TmpFile("spot.tif"));
    EXPECT_EQ(significant, 14);
    ASSERT_EQ(png.size(), raw.size());
    ASSERT_EQ(tiff.size(), raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        ASSERT_EQ(png[i], raw[i] * 4) << i;
        ASSERT_EQ(tiff[i], raw[i] * 4) << i;
    }
    EXPECT_GT(png[spot], png[corner]);
    EXPECT_GT(tiff[spot], tiff[corner]);
}

TEST_F(SaveRecord, TemperatureArraysFollowTheTableAndReplaceLongerFiles) {
    const std::string table = TmpFile("e2e_table4.bin");
    ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 64, -170.0, 230.0), 1);
    ASSERT_EQ(Kalvex_SetTableW(handle_, Wide(table).c_str()), 1);
    ASSERT_NE(Kalvex_OneShot(handle_), 0);
    const std::string path = TmpFile("temps.i32");
    { std::ofstream(path, std::ios::binary) << std::string(5000000, 'x'); }
    ASSERT_EQ(Save(path, 12), 1);
    ASSERT_EQ(Save(TmpFile("temps.i8"), 10), 1);
    ASSERT_EQ(Save(TmpFile("temps.u8"), 11), 1);
    const auto i32 = ReadAll(path), i8 = ReadAll(TmpFile("temps.i8")),
               u8 = ReadAll(TmpFile("temps.u8"));
    ASSERT_EQ(i32.size(), 1228800u);

    std::shared_ptr<CKalvex> k = Registry().Acquire(handle_);
    ASSERT_TRUE(k);
    const CDibImage &raw = k->CurrentRawImage();
    const auto state = CKalvexTestPeer(*k).Table().State();
    for (int32_t row = 0; row < 480; row += 7)
        for (int32_t c = 0; c < 640; c += 13) {
            const uint16_t v = reinterpret_cast<const uint16_t *>(raw.Row(479 - row))[c];
            const float t = state->InterpolateTemperature(v);
            const size_t i = static_cast<size_t>(row) * 640 + static_cast<size_t>(c);
            ASSERT_EQ(static_cast<int32_t>(Le32(i32, 4 * i)), TemperatureToInt32(t));
            ASSERT_EQ(static_cast<int8_t>(i8[i]), TemperatureToInt8(t));
            ASSERT_EQ(u8[i], TemperatureToUint8(t));
        }
}

TEST_F(SaveRecord, RecordingNamesOf260UnitsAreRefused) {
    const std::wstring longName(260, L'a');
    EXPECT_EQ(Kalvex_RecW(handle_, longName.c_str(), 2), 0);
    EXPECT_EQ(Kalvex_GetLastError(handle_), KALVEX_EV_INVALID_ARGUMENT);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORD_KIND), 0);
    EXPECT_EQ(Kalvex_RecW(handle_, longName.substr(1).c_str(), 2), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORD_KIND), 2);
    EXPECT_EQ(Kalvex_RecA(handle_, nullptr, 0), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORD_KIND), 0);
    std::shared_ptr<CKalvex> k = Registry().Acquire(handle_);
    EXPECT_EQ(k->StopRecording(0), 0);
    EXPECT_EQ(k->StopRecording(4), 0);
}

TEST_F(SaveRecord, CaptureLoopRecordsAndSplitsAvi) {
    const std::string path = TmpFile("split.avi");
    std::filesystem::remove(TmpFile("split_1.avi"));
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_SPLIT_LIMIT, 1), 1);
    StartSteppedCapture();
    ASSERT_NE(NextFrame(), 0u);  // written: riffSize 921,832
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORDING), 1);
    ASSERT_FALSE(std::filesystem::exists(TmpFile("split_1.avi")));
    // Written: riffSize reaches 1 MiB, so the file is finished; split_1.avi is
    // created with the next frame, the first it holds.
    ASSERT_NE(NextFrame(), 0u);
    EXPECT_FALSE(std::filesystem::exists(TmpFile("split_1.avi")));
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORDING), 1);
    ASSERT_NE(NextFrame(), 0u);
    EXPECT_EQ(ReadAll(TmpFile("split_1.avi")).size(), 232u + 921608);
    ASSERT_NE(NextFrame(), 0u);
    ASSERT_EQ(CloseSteppedCapture(), 1);  // the loop's end finishes split_1.avi
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORDING), 0);
    EXPECT_EQ(FileErrors(), 0);

    const auto first = ReadAll(path), second = ReadAll(TmpFile("split_1.avi"));
    ASSERT_EQ(first.size(), 240u + 2 * 921624);
    EXPECT_EQ(Le32(first, 48), 2u);
    ASSERT_EQ(second.size(), 240u + 2 * 921624);
    EXPECT_EQ(Le32(second, 48), 2u);
    KALVEX_EXPECT_AVI_PLAYS(path, 640, 480, 2);
    KALVEX_EXPECT_AVI_PLAYS(TmpFile("split_1.avi"), 640, 480, 2);
}

TEST_F(SaveRecord, SplitsLeaveNoEmptyPartNeverSplitOnANegativeLimitAndStayUnder4GiB) {
    const std::string path = TmpFile("pieces.avi");
    for (int n = 1; n <= 3; ++n)
        std::filesystem::remove(TmpFile("pieces_" + std::to_string(n) + ".avi"));
    // A negative limit never splits (it once split after every frame).
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_SPLIT_LIMIT, -1), 1);
    StartSteppedCapture();
    for (int n = 0; n < 3; ++n) ASSERT_NE(NextFrame(), 0u);
    EXPECT_FALSE(std::filesystem::exists(TmpFile("pieces_1.avi")));

    // The 4 GiB guard, its size brought down: a file takes two frames (one more
    // would carry it, index included, one byte past the cap), whatever the limit.
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 0), 1);
    ASSERT_NE(NextFrame(), 0u);  // finishes the first recording
    const uint64_t cap = 8 + 224 + 3 * 921608 + 8 + 3 * 16 - 1;
    AviWriter::SetFileCapForTests(cap);
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_SPLIT_LIMIT, 2000), 1);
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
    ASSERT_NE(NextFrame(), 0u);                              // opens the recording
    for (int n = 0; n < 6; ++n) ASSERT_NE(NextFrame(), 0u);  // two frames for each of three files
    // The capture ends right after a split: no empty fourth part is left.
    ASSERT_EQ(CloseSteppedCapture(), 1);
    AviWriter::SetFileCapForTests(0);
    EXPECT_EQ(FileErrors(), 0);
    for (const std::string name : {"pieces.avi", "pieces_1.avi", "pieces_2.avi"}) {
        const auto b = ReadAll(TmpFile(name));
        ASSERT_EQ(b.size(), 240u + 2 * 921624) << name;
        EXPECT_LE(b.size(), cap);
        EXPECT_EQ(Le32(b, 48), 2u);
    }
    EXPECT_FALSE(std::filesystem::exists(TmpFile("pieces_3.avi")));
    KALVEX_EXPECT_AVI_PLAYS(TmpFile("pieces_2.avi"), 640, 480, 2);
}

TEST_F(SaveRecord, AviRateIsTimedFromTheFirstFrameNotFromTheNucHold) {
    // 10 frames per second; the recording opens with capture, then a 1200 ms
    // NUC hold passes with no frame. Timed from the start this played at 4.76
    // frames per second. The clock stands at 1000 ms, below the first 30 s
    // drift check, so only this test's NUC holds frames back.
    const int64_t offset = platform::ClockOffset();
    platform::FreezeClock(true);
    platform::AdvanceClock(int64_t{1000} - platform::TimeGetTime());
    const std::string path = TmpFile("held.avi");
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
    ASSERT_EQ(Kalvex_Nuc(handle_), 1);
    StartSteppedCapture();
    std::shared_ptr<CKalvex> k = Registry().Acquire(handle_);
    for (uint32_t n = 1; n <= 11; ++n) {  // 100 .. 1100 ms into the hold: dropped
        platform::AdvanceClock(100);
        ASSERT_EQ(KalvexSim_WaitStalled(0, 1, 10000), 1);
        KalvexSim_ReleaseStalls(0);
        for (int w = 0; w < 2000 && CKalvexTestPeer(*k).FramesTaken() < n; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // bounded
        ASSERT_EQ(CKalvexTestPeer(*k).FramesTaken(), n);
    }
    for (int n = 0; n < 10; ++n) ASSERT_NE(NextFrame(), 0u) << n;
    ASSERT_EQ(CloseSteppedCapture(), 1);
    platform::SetClockOffset(offset);
    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 240u + 10 * 921624);
    EXPECT_EQ(Le32(b, 48), 10u);
    EXPECT_EQ(Le32(b, 32), 100000u);  // microseconds per frame
    EXPECT_EQ(Le32(b, 128), 1000000u);
}

TEST_F(SaveRecord, RawStreamRowsAndAviFlipFollowTheOutputRowOrder) {
    const std::string rawPath = TmpFile("loop.raw"), aviPath = TmpFile("loop.avi");
    ASSERT_EQ(Kalvex_RecA(handle_, rawPath.c_str(), 1), 1);
    StartSteppedCapture();
    const uint32_t a = NextFrame();
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_OUTPUT_ROW_ORDER, 1), 1);
    const uint32_t b = NextFrame();
    std::vector<uint8_t> rawA(kRawBytes), rawB(kRawBytes);
    ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(a), rawA.data(), static_cast<int>(kRawBytes)),
              1);
    ASSERT_EQ(Kalvex_GetRaw(handle_, static_cast<int>(b), rawB.data(), static_cast<int>(kRawBytes)),
              1);
    // A new path: the raw stream closes at the next frame and the AVI opens.
    ASSERT_EQ(Kalvex_RecA(handle_, aviPath.c_str(), 2), 1);
    ASSERT_NE(NextFrame(), 0u);
    const uint32_t c = NextFrame();
    std::vector<uint8_t> colourC(kColourBytes);
    ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(c), colourC.data(),
                              static_cast<int>(kColourBytes)),
              1);
    ASSERT_EQ(Kalvex_RecA(handle_, aviPath.c_str(), 0), 1);
    ASSERT_NE(NextFrame(), 0u);  // stops the AVI
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORDING), 0);

    const auto stream = ReadAll(rawPath);
    ASSERT_EQ(stream.size(), 2 * kRawBytes);
    for (size_t k = 0; k < 480; ++k) {
        ASSERT_EQ(std::memcmp(stream.data() + k * 1280, rawA.data() + (479 - k) * 1280, 1280), 0);
        ASSERT_EQ(std::memcmp(stream.data() + kRawBytes + k * 1280, rawB.data() + k * 1280, 1280),
                  0);
    }
    const auto avi = ReadAll(aviPath);
    ASSERT_EQ(avi.size(), 240u + 921624);
    for (size_t k = 0; k < 480; ++k)
        ASSERT_EQ(std::memcmp(avi.data() + 240 + k * 1920, colourC.data() + (479 - k) * 1920, 1920),
                  0);
    KALVEX_EXPECT_AVI_PLAYS(aviPath, 640, 480, 1);
}

TEST_F(SaveRecord, FullDiskEndsTheRecordingWithAValidFileAndCode9) {
    const std::string path = TmpFile("fulldisk.avi");
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
    platform::SetFileWriteLimitForTests(232 + 2 * 921608 + 1000);
    StartSteppedCapture();
    for (int n = 0; n < 5; ++n) ASSERT_NE(NextFrame(), 0u) << n;  // capture goes on
    EXPECT_EQ(FileErrors(), 1);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_RECORDING), 0);
    ASSERT_EQ(CloseSteppedCapture(), 1);
    platform::SetFileWriteLimitForTests(-1);
    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 240u + 2 * 921624);
    EXPECT_EQ(Le32(b, 4), b.size() - 8);
    EXPECT_EQ(Le32(b, 48), 2u);
    KALVEX_EXPECT_AVI_PLAYS(path, 640, 480, 2);
}

TEST_F(SaveRecord, CaptureEndedByTheCameraFinalisesTheRecording) {
    const std::string path = TmpFile("unplugged.avi");
    ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
    StartSteppedCapture();
    ASSERT_NE(NextFrame(), 0u);
    ASSERT_NE(NextFrame(), 0u);
    KalvexSim_Unplug(0);
    KalvexMessage m;
    bool ended = false;
    while (!ended && KalvexPosix_GetMessage(window_.hwnd(), &m, 20000) == 1)
        ended = m.message == KALVEX_WM_EVENT && m.lParam == KALVEX_EV_CAPTURE_ENDED;
    ASSERT_TRUE(ended);
    std::shared_ptr<CKalvex> k = Registry().Acquire(handle_);
    for (int n = 0; n < 2000 && !CKalvexTestPeer(*k).CaptureThreadEnded(); ++n)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(5));  // bounded wait for the thread's end
    ASSERT_TRUE(CKalvexTestPeer(*k).CaptureThreadEnded());
    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 240u + 2 * 921624);
    EXPECT_EQ(Le32(b, 48), 2u);
    KALVEX_EXPECT_AVI_PLAYS(path, 640, 480, 2);
}

}  // namespace
}  // namespace kalvex
