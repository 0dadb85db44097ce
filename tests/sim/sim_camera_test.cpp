#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "sim/sim_support.h"

namespace kalvex::simtest {
namespace {

class SimCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        KalvexSim_Reset();
        ASSERT_EQ(KalvexSim_Plug(0), 1);
        KalvexSim_SetFrameRate(0, 0.0);
    }
    void TearDown() override { KalvexSim_Reset(); }
};

// ---- Commands, registers and core values -------------------------------------------

TEST_F(SimCamera, RegistersRoundTripThroughCommandBlocks) {
    Link link;
    ASSERT_TRUE(link.ok());
    ASSERT_TRUE(link.WriteRegister(5, 44));
    EXPECT_EQ(KalvexSim_ReadRegister(0, 5), 44);
    Block first{}, second{};
    ASSERT_TRUE(link.Send(MakeBlock({0x26, 5})));
    ASSERT_TRUE(link.ReadReply(&first));
    ASSERT_TRUE(link.ReadReply(&second));
    EXPECT_EQ(first[0], 0x26);
    EXPECT_EQ(first[1], 5);
    EXPECT_EQ(second[0], 44);
    // Nothing queued: a further reply read fails.
    EXPECT_FALSE(link.ReadReply(&second));

    // The log keeps the exact blocks, oldest first.
    unsigned char log[2 * 64];
    ASSERT_EQ(KalvexSim_GetCommandLog(0, log, 2), 2);
    Block expected = MakeBlock({0x25, 5, 44});
    EXPECT_EQ(std::memcmp(log, expected.data(), 64), 0);
    EXPECT_EQ(log[64], 0x26);
    KalvexSimCounters counters = Counters();
    EXPECT_EQ(counters.commands, 2);
    EXPECT_EQ(counters.replies, 2);
    EXPECT_EQ(counters.opens, 1);
    EXPECT_EQ(counters.openHandles, 1);
}

TEST_F(SimCamera, PowerOnProgramsNoWindowAndNoTransferLength) {
    ASSERT_EQ(KalvexSim_Unplug(0), 1);
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    Link link;
    for (int reg : {0, 1, 2, 3, 16, 17, 18, 19}) EXPECT_EQ(link.ReadRegister(reg), 0) << reg;
    EXPECT_EQ(link.ReadRegister(14), 9);
    // Without a transfer length there is no frame to send.
    ASSERT_TRUE(link.Send(MakeBlock({0x02})));
    EXPECT_TRUE(link.FrameRequest(64).empty());
    // Opcode 0x09 sets the transfer length registers.
    ASSERT_TRUE(link.Send(MakeBlock({0x09, 0x00, 0x28, 0x00, 0x00})));
    EXPECT_EQ(link.ReadRegister(0), 0x00);
    EXPECT_EQ(link.ReadRegister(1), 0x28);
}

TEST_F(SimCamera, CommandsNeedTheirCodeAndFullBlocks) {
    Link link;
    Block block = MakeBlock({0x25, 9, 1});
    uint32_t got = 0;
    EXPECT_FALSE(link.Io(kOutCode, 0, block.data(), 64, &got));
    EXPECT_FALSE(link.Io(kCommandCode, 0, block.data(), 63, &got));
    EXPECT_FALSE(link.Io(kCommandCode, 3, block.data(), 64, &got));
    EXPECT_EQ(KalvexSim_ReadRegister(0, 9), 0);
    // The start-frame command goes with the out-direct code only.
    Block start = MakeBlock({0x02});
    EXPECT_FALSE(link.Io(kCommandCode, 0, start.data(), 64, &got));
    EXPECT_TRUE(link.Send(start));
    EXPECT_EQ(Counters().startFrames, 1);
}

TEST_F(SimCamera, CoreValue32IsTheInternalTemperature) {
    Link link;
    EXPECT_EQ(link.ReadCore(32), 23808);
    EXPECT_FLOAT_EQ(static_cast<float>(KalvexSim_GetInternalTemperature(0)), 24.99914f);
    ASSERT_EQ(KalvexSim_SetInternalTemperatureRaw(0, 16384), 1);
    EXPECT_EQ(link.ReadCore(32), 16384);
    EXPECT_FLOAT_EQ(static_cast<float>(KalvexSim_GetInternalTemperature(0)), 166.31049f);
    ASSERT_EQ(KalvexSim_SetInternalTemperature(0, 24.99914), 1);
    EXPECT_EQ(KalvexSim_GetInternalTemperatureRaw(0), 23808);
    ASSERT_EQ(KalvexSim_SetInternalTemperature(0, 500.0), 1);  // beyond v = 0
    EXPECT_EQ(link.ReadCore(32), 0);
    EXPECT_EQ(KalvexSim_SetInternalTemperatureRaw(0, 65536), 0);
}

TEST_F(SimCamera, CoreWriteOfItem6IsANuc) {
    Link link;
    ASSERT_TRUE(link.Send(MakeBlock({0x40, 0x65, 0x03, 0x06, 0x12, 0x34})));
    EXPECT_EQ(Counters().nucCommands, 1);
    EXPECT_EQ(link.ReadCore(6), 0x1234);
    ASSERT_TRUE(link.Send(MakeBlock({0x40, 0x65, 0x03, 0x07, 0x00, 0x01})));
    EXPECT_EQ(Counters().nucCommands, 1);
    EXPECT_EQ(KalvexSim_ReadCoreValue(0, 7), 1);
}

TEST_F(SimCamera, TriggerPulseFollowsRegister7Reads) {
    Link link;
    ASSERT_EQ(KalvexSim_WriteRegister(0, 7, 0x81), 1);
    ASSERT_EQ(KalvexSim_ScheduleTriggerPulse(0, 2, 1), 1);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 7), 0x81);  // peeking consumes nothing
    EXPECT_EQ(link.ReadRegister(7), 0x81);
    EXPECT_EQ(link.ReadRegister(7), 0x81);
    EXPECT_EQ(link.ReadRegister(7), 0x85);
    EXPECT_EQ(link.ReadRegister(7), 0x81);

    // From a set level the pulse ends with the bit clear for good.
    ASSERT_EQ(KalvexSim_SetTriggerLevel(0, 1), 1);
    EXPECT_EQ(link.ReadRegister(7), 0x85);
    ASSERT_EQ(KalvexSim_ScheduleTriggerPulse(0, 0, 2), 1);
    EXPECT_EQ(link.ReadRegister(7), 0x85);
    EXPECT_EQ(link.ReadRegister(7), 0x85);
    EXPECT_EQ(link.ReadRegister(7), 0x81);
    EXPECT_EQ(link.ReadRegister(7), 0x81);
}

// ---- Frames --------------------------------------------------------------------------

TEST_F(SimCamera, FullFramePatternEncodesLineAndColumn) {
    KalvexSim_SetTestPattern(0, 1);
    Link link;
    std::vector<uint8_t> frame = link.Frame(614400);
    ASSERT_EQ(frame.size(), 614400u);
    for (int line : {0, 1, 127, 128, 240, 479}) {
        for (int column : {0, 1, 333, 639}) {
            uint16_t sample = Sample16(frame, static_cast<size_t>(line) * 640 + column);
            EXPECT_EQ(sample, KALVEX_SIM_PATTERN(line, column));
            EXPECT_EQ(KALVEX_SIM_PATTERN_LINE(sample, column), line);
        }
    }
    KalvexSimCounters counters = Counters();
    EXPECT_EQ(counters.frameRequests, 1);
    EXPECT_EQ(counters.framesServed, 1);
}

TEST_F(SimCamera, WindowLinesThenFiller) {
    KalvexSim_SetTestPattern(0, 1);
    Link link;
    // A 100 x 100 window at (20, 10): registers 16..19, then 10,240 samples.
    ASSERT_TRUE(link.WriteRegister(16, 10));
    ASSERT_TRUE(link.WriteRegister(17, 5));
    ASSERT_TRUE(link.WriteRegister(18, 50));
    ASSERT_TRUE(link.WriteRegister(19, 49));
    ASSERT_TRUE(link.Send(MakeBlock({0x09, 0x00, 0x28, 0x00, 0x00})));
    std::vector<uint8_t> frame = link.Frame(20480);
    ASSERT_EQ(frame.size(), 20480u);
    for (int line = 0; line < 100; ++line)
        for (int column = 0; column < 100; ++column)
            ASSERT_EQ(Sample16(frame, static_cast<size_t>(line) * 100 + column),
                      KALVEX_SIM_PATTERN(10 + line, 20 + column))
                << line << "," << column;
    for (size_t i = 10000; i < 10240; ++i) ASSERT_EQ(Sample16(frame, i), KALVEX_SIM_FILLER);

    // 8-bit samples are the top 8 of 14 bits.
    ASSERT_TRUE(link.WriteRegister(14, 8));
    frame = link.Frame(10240);
    ASSERT_EQ(frame.size(), 10240u);
    EXPECT_EQ(frame[101], KALVEX_SIM_PATTERN(11, 21) >> 6);
    EXPECT_EQ(frame[10239], KALVEX_SIM_FILLER >> 6);

    // Asking for more than the frame is a short transfer.
    ASSERT_TRUE(link.WriteRegister(14, 9));
    EXPECT_EQ(link.Frame(20482).size(), 20480u);
    EXPECT_EQ(Counters().framesServed, 2);
}

TEST_F(SimCamera, LargeTransfersNeedTheLargeCode) {
    Link link;
    // 3,072,000 samples = 0x2EE000.
    ASSERT_TRUE(link.Send(MakeBlock({0x09, 0x00, 0xE0, 0x2E, 0x00})));
    EXPECT_TRUE(link.Frame(4096).empty());
    EXPECT_EQ(link.Frame(4096, kLargeCode).size(), 4096u);
    ASSERT_TRUE(link.Send(MakeBlock({0x09, 0xFF, 0xDF, 0x2E, 0x00})));
    EXPECT_TRUE(link.Frame(4096, kLargeCode).empty());
    EXPECT_EQ(link.Frame(4096).size(), 4096u);
}

// ---- Scene and sensor model ---------------------------------------------------------------

TEST_F(SimCamera, SceneBecomesRawThroughTheModel) {
    ASSERT_EQ(KalvexSim_AddSpot(0, 100, 200, 5, 37.0), 0);
    Link link;
    std::vector<uint8_t> frame = link.Frame(614400);
    ASSERT_EQ(frame.size(), 614400u);
    auto at = [&](int x, int y) { return Sample16(frame, static_cast<size_t>(y) * 640 + x); };
    EXPECT_EQ(at(0, 0), 8000);
    EXPECT_EQ(at(100, 200), 8600);
    EXPECT_EQ(at(105, 200), 8600);
    EXPECT_EQ(at(106, 200), 8000);
    EXPECT_EQ(at(104, 203), 8600);
    EXPECT_EQ(at(104, 204), 8000);
    EXPECT_EQ(KalvexSim_RawForTemperature(0, 37.0), 8600);
    EXPECT_EQ(KalvexSim_RawForTemperature(0, 36.6), 8584);
    EXPECT_EQ(KalvexSim_TemperatureForRaw(8600), 37.0);
    EXPECT_EQ(KalvexSim_RawForTemperature(0, -500.0), 0);
    EXPECT_EQ(KalvexSim_RawForTemperature(0, 1000.0), 16383);
}

TEST_F(SimCamera, InternalTemperatureDriftShiftsRaw) {
    ASSERT_EQ(KalvexSim_SetInternalTemperature(0, 30.0), 1);
    float internal = static_cast<float>(KalvexSim_GetInternalTemperature(0));
    float difference = 24.99914f - internal;
    // Literal model: floor(base + (a T + b)(Tcal - Ti) + 1e-6).
    auto expected = static_cast<int>(std::floor(8600.0 + (0.1 * 37.0 + 4.0) * difference + 1e-6));
    EXPECT_EQ(KalvexSim_RawForTemperature(0, 37.0), expected);
    EXPECT_LT(expected, 8600);
    ASSERT_EQ(KalvexSim_SetBackground(0, 37.0), 1);
    Link link;
    EXPECT_EQ(Sample16(link.Frame(614400), 1234), expected);

    // Drift per frame moves the internal temperature with each frame served.
    ASSERT_EQ(KalvexSim_SetInternalTemperatureDrift(0, 0.5), 1);
    link.Frame(614400);
    link.Frame(614400);
    EXPECT_NEAR(KalvexSim_GetInternalTemperature(0), 31.0, 0.01);
}

TEST_F(SimCamera, NucRemovesFixedPatternNoise) {
    ASSERT_EQ(KalvexSim_SetFixedPatternNoise(0, 5, 7), 1);
    Link link;
    std::vector<uint8_t> frame = link.Frame(614400);
    ASSERT_EQ(frame.size(), 614400u);
    int off = 0;
    for (size_t i = 0; i < 307200; ++i) {
        int v = Sample16(frame, i);
        ASSERT_GE(v, 7995);
        ASSERT_LE(v, 8005);
        off += v != 8000;
    }
    EXPECT_GT(off, 200000);
    EXPECT_EQ(link.Frame(614400), frame);  // fixed: the same every frame

    ASSERT_TRUE(link.Send(MakeBlock({0x40, 0x65, 0x03, 0x06, 0x00, 0x01})));
    frame = link.Frame(614400);
    for (size_t i = 0; i < 307200; ++i) ASSERT_EQ(Sample16(frame, i), 8000);

    // Setting the noise again re-arms it; so does a power cycle.
    KalvexSim_SetFixedPatternNoise(0, 5, 7);
    EXPECT_NE(link.Frame(614400), frame);
}

TEST_F(SimCamera, TemporalNoiseIsSeededAndBounded) {
    ASSERT_EQ(KalvexSim_SetTemporalNoise(0, 3, 42), 1);
    std::vector<uint8_t> a, b, again;
    {
        Link link;
        a = link.Frame(614400);
        b = link.Frame(614400);
    }
    EXPECT_NE(a, b);
    for (size_t i = 0; i < 307200; ++i) ASSERT_LE(std::abs(Sample16(a, i) - 8000), 3);
    KalvexSim_Reset();
    KalvexSim_Plug(0);
    KalvexSim_SetFrameRate(0, 0.0);
    KalvexSim_SetTemporalNoise(0, 3, 42);
    Link link;
    again = link.Frame(614400);
    EXPECT_EQ(again, a);
    KalvexSim_SetTemporalNoise(0, 0, 42);
    again = link.Frame(614400);
    for (size_t i = 0; i < 307200; ++i) ASSERT_EQ(Sample16(again, i), 8000);
}

// ---- Faults and unplugging ------------------------------------------------------------------

TEST_F(SimCamera, FaultsFireOnceNTimesOrUntilCleared) {
    Link link;
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_FAIL, 2), 1);
    EXPECT_FALSE(link.WriteRegister(5, 1));
    EXPECT_FALSE(link.WriteRegister(5, 2));
    EXPECT_TRUE(link.WriteRegister(5, 3));
    EXPECT_EQ(KalvexSim_ReadRegister(0, 5), 3);
    unsigned char log[4 * 64];
    EXPECT_EQ(KalvexSim_GetCommandLog(0, log, 4), 1);
    EXPECT_EQ(log[2], 3);

    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_SHORT, 1), 1);
    Block block = MakeBlock({0x25, 5, 9});
    uint32_t got = 0;
    EXPECT_TRUE(link.Io(kCommandCode, 0, block.data(), 64, &got));
    EXPECT_EQ(got, 32u);
    EXPECT_EQ(KalvexSim_ReadRegister(0, 5), 3);  // not executed

    // Each reply block counts: one failed first reply leaves the value intact.
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_FAIL, 1), 1);
    EXPECT_EQ(link.ReadRegister(5), 3);
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_SHORT, KALVEX_SIM_UNTIL_CLEARED), 1);
    EXPECT_EQ(link.ReadRegister(5), -1);
    EXPECT_EQ(link.ReadRegister(5), -1);
    ASSERT_EQ(KalvexSim_ClearFaults(0), 1);
    EXPECT_EQ(link.ReadRegister(5), 3);

    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_FAIL, 1), 1);
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_SHORT, 1), 1);
    EXPECT_TRUE(link.Frame(614400).empty());
    EXPECT_EQ(link.Frame(614400).size(), 307200u);
    EXPECT_EQ(link.Frame(614400).size(), 614400u);
    EXPECT_EQ(Counters().frameRequests, 3);
    EXPECT_EQ(Counters().framesServed, 1);

    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_OPEN, 1), 1);
    EXPECT_FALSE(Link().ok());
    EXPECT_TRUE(Link().ok());

    EXPECT_EQ(KalvexSim_InjectFault(0, 0, 1), 0);
    EXPECT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_STALL + 1, 1), 0);
    EXPECT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_OPEN, -2), 0);
    EXPECT_EQ(KalvexSim_InjectFault(8, KALVEX_SIM_FAULT_OPEN, 1), 0);
}

TEST_F(SimCamera, UnplugFailsAStalledFrameRequest) {
    Link link;
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, 1), 1);
    std::vector<uint8_t> frame{1};
    std::thread reader([&] { frame = link.Frame(614400); });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, -1), 1);
    ASSERT_EQ(KalvexSim_Unplug(0), 1);
    reader.join();
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(Counters().framesServed, 0);
}

TEST_F(SimCamera, ReleasedStallIsServed) {
    Link link;
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_FRAME_STALL, 1), 1);
    std::vector<uint8_t> frame;
    std::thread reader([&] { frame = link.Frame(614400); });
    ASSERT_EQ(KalvexSim_WaitStalled(0, 1, -1), 1);
    ASSERT_EQ(KalvexSim_ReleaseStalls(0), 1);
    reader.join();
    EXPECT_EQ(frame.size(), 614400u);
    EXPECT_EQ(KalvexSim_WaitStalled(0, 1, 0), 0);
}

TEST_F(SimCamera, UnplugKillsOpenHandlesAndPlugPowersOn) {
    Link before;
    ASSERT_TRUE(before.WriteRegister(5, 77));
    ASSERT_EQ(KalvexSim_Unplug(0), 1);
    EXPECT_EQ(KalvexSim_IsPlugged(0), 0);
    EXPECT_FALSE(Link().ok());
    EXPECT_FALSE(before.WriteRegister(5, 1));
    EXPECT_TRUE(before.Frame(614400).empty());

    ASSERT_EQ(KalvexSim_Plug(0), 1);
    EXPECT_FALSE(before.WriteRegister(5, 1));  // a handle from before stays dead
    Link after;
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.ReadRegister(5), 0);
    EXPECT_EQ(Counters().openHandles, 2);
    KalvexSim_Reset();  // counts the handles still open across a reset
    EXPECT_EQ(Counters().openHandles, 2);
    EXPECT_FALSE(Link("\\\\.\\ZcamN7KTHM-1").ok());
    EXPECT_EQ(KalvexSim_Plug(8), 0);
    EXPECT_EQ(KalvexSim_Plug(-1), 0);
}

// ---- Calibration tables ------------------------------------------------------------------

std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int32_t I32(const std::vector<uint8_t> &bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes[at + static_cast<size_t>(i)];
    return static_cast<int32_t>(v);
}

float F32(const std::vector<uint8_t> &bytes, size_t at) {
    uint32_t v = static_cast<uint32_t>(I32(bytes, at));
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

struct Point {
    int32_t raw;
    float celsius;
};

std::vector<Point> PointsAt(const std::vector<uint8_t> &bytes, size_t countAt) {
    std::vector<Point> points;
    int32_t count = I32(bytes, countAt);
    for (int32_t i = 0; i < count; ++i) {
        size_t at = countAt + 4 + 8 * static_cast<size_t>(i);
        points.push_back({I32(bytes, at), F32(bytes, at + 4)});
    }
    return points;
}

// Straight line through the nearest points strictly below and above x.
float Interpolate(const std::vector<Point> &points, int x) {
    for (size_t i = 1; i < points.size(); ++i) {
        if (points[i].raw > x) {
            size_t lo = i - 1;
            while (lo > 0 && points[lo].raw == x) --lo;
            const Point &l = points[lo], &u = points[i];
            return (u.celsius - l.celsius) / static_cast<float>(u.raw - l.raw) *
                       static_cast<float>(x - l.raw) +
                   l.celsius;
        }
    }
    return -999.0f;
}

std::string TablePath(const char *name) {
    return std::string(KALVEX_TEST_TMPDIR "/") + name;
}

TEST_F(SimCamera, TablesOfEveryLayout) {
    std::string path = TablePath("sim_table");
    // Versions 1 to 3: point m for raw m.
    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 1, 16384, -20.0, 150.0), 1);
    std::vector<uint8_t> bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 28u + 16384 * 8);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 24), "VELKAR THERMO TABLE 1000");
    std::vector<Point> points = PointsAt(bytes, 24);
    EXPECT_EQ(points[8600].raw, 8600);
    EXPECT_EQ(points[8600].celsius, 37.0f);
    EXPECT_EQ(points[0].celsius, -999.0f);
    EXPECT_EQ(points[16383].celsius, -999.0f);

    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 2, 16384, -300.0, 300.0), 1);
    bytes = ReadFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 24), "VELKAR THERMO TABLE 2000");
    EXPECT_EQ(I32(bytes, 24), 1);
    ASSERT_EQ(I32(bytes, 28), 32);
    EXPECT_EQ(PointsAt(bytes, 32)[8000].celsius, 22.0f);

    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 3, 100, -300.0, 300.0), 1);
    bytes = ReadFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 24), "VELKAR THERMO TABLE 3000");
    EXPECT_EQ(I32(bytes, 24), 0);
    EXPECT_EQ(I32(bytes, 28), 100);
    EXPECT_EQ(bytes.size(), 32u + 100 * 8);

    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 0, 401, 0.0, 100.0), 1);
    bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 4u + 401 * 8);
    points = PointsAt(bytes, 0);
    EXPECT_EQ(points.front().raw, 7120);
    EXPECT_EQ(points.back().raw, 11120);
    EXPECT_EQ(points[1].raw, 7130);
    EXPECT_FLOAT_EQ(Interpolate(points, KalvexSim_RawForTemperature(0, 37.0)), 37.0f);
    EXPECT_FLOAT_EQ(Interpolate(points, KalvexSim_RawForTemperature(0, 36.6)), 36.6f);

    // Refusals leave no half-written file behind them.
    EXPECT_EQ(KalvexSim_WriteTable(path.c_str(), 5, 10, 0.0, 100.0), 0);
    EXPECT_EQ(KalvexSim_WriteTable(path.c_str(), 1, 16385, 0.0, 100.0), 0);
    EXPECT_EQ(KalvexSim_WriteTable(path.c_str(), 1, 0, 0.0, 100.0), 0);
    EXPECT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 1, 0.0, 100.0), 0);
    EXPECT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 42, 0.0, 1.0), 0);  // 41 raw values
    EXPECT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 10, 0.0, 500.0), 0);
    EXPECT_EQ(KalvexSim_WriteTable(nullptr, 4, 10, 0.0, 100.0), 0);
    EXPECT_EQ(KalvexSim_WriteTable(KALVEX_TEST_TMPDIR "/no/such/dir/t", 4, 10, 0.0, 100.0), 0);
}

// The library's version-4 shift, r' = trunc((a t + b)(Tcal - Ti) + r) in float, on the
// written points must bring the camera's drifted raw value back to its temperature.
TEST_F(SimCamera, Version4TableCompensatesTheDrift) {
    std::string path = TablePath("sim_table_v4");
    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 401, 0.0, 100.0), 1);
    std::vector<uint8_t> bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 48u + 401 * 8);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 24), "VELKAR THERMO TABLE 4000");
    EXPECT_EQ(I32(bytes, 24), 0);
    EXPECT_EQ(I32(bytes, 28), 0);
    float calibration = F32(bytes, 32), a = F32(bytes, 36), b = F32(bytes, 40);
    EXPECT_FLOAT_EQ(calibration, 24.99914f);
    EXPECT_FLOAT_EQ(a, 0.1f);
    EXPECT_FLOAT_EQ(b, 4.0f);
    std::vector<Point> points = PointsAt(bytes, 44);

    for (double internal : {24.99914, 30.0, 18.5, 40.0}) {
        KalvexSim_SetInternalTemperature(0, internal);
        float reference = static_cast<float>(KalvexSim_GetInternalTemperature(0));
        float d = calibration - reference;
        std::vector<Point> shifted;
        for (const Point &p : points) {
            float v = (a * p.celsius + b) * d + static_cast<float>(p.raw);
            shifted.push_back({v > 0 ? static_cast<int32_t>(v) : p.raw, p.celsius});
        }
        for (double t : {5.0, 22.0, 37.0, 36.6, 80.25}) {
            float got = Interpolate(shifted, KalvexSim_RawForTemperature(0, t));
            EXPECT_NEAR(got, t, 1.0 / 40.0 + 1e-3) << "internal " << internal << " scene " << t;
        }
    }
    // A different model reaches the table header.
    ASSERT_EQ(KalvexSim_SetDriftModel(0.5, -1.0, 30.0), 1);
    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 10, 0.0, 100.0), 1);
    bytes = ReadFile(path);
    EXPECT_EQ(F32(bytes, 32), 30.0f);
    EXPECT_EQ(F32(bytes, 36), 0.5f);
    EXPECT_EQ(F32(bytes, 40), -1.0f);
}

TEST_F(SimCamera, BadArgumentsAreRefused) {
    EXPECT_EQ(KalvexSim_ReadRegister(0, 256), -1);
    EXPECT_EQ(KalvexSim_ReadRegister(9, 1), -1);
    EXPECT_EQ(KalvexSim_ReadCoreValue(0, -1), -1);
    EXPECT_EQ(KalvexSim_WriteRegister(0, 1, 256), 0);
    EXPECT_EQ(KalvexSim_GetCounters(0, nullptr), 0);
    EXPECT_EQ(KalvexSim_GetCommandLog(0, nullptr, 1), -1);
    EXPECT_EQ(KalvexSim_SetFrameRate(0, -1.0), 0);
    EXPECT_EQ(KalvexSim_SetFrameRate(0, std::nan("")), 0);
    EXPECT_EQ(KalvexSim_AddSpot(0, 1, 1, -1, 30.0), -1);
    for (int i = 0; i < KALVEX_SIM_MAX_SPOTS; ++i)
        EXPECT_EQ(KalvexSim_AddSpot(0, 1, 1, 1, 30.0), i);
    EXPECT_EQ(KalvexSim_AddSpot(0, 1, 1, 1, 30.0), -1);
    EXPECT_EQ(KalvexSim_ScheduleTriggerPulse(0, 0, 0), 0);
    EXPECT_EQ(KalvexSim_SetTemporalNoise(0, -1, 0), 0);
    EXPECT_EQ(KalvexSim_RawForTemperature(8, 20.0), -1);
}

// ---- Protocol strictness and aimed faults ---------------------------------------------

TEST_F(SimCamera, RepliesNeedTheirCodeAndFramesTheirStartFrame) {
    Link link;
    Block reply{};
    uint32_t got = 0;
    ASSERT_TRUE(link.Send(MakeBlock({0x26, 14})));
    EXPECT_FALSE(link.Io(kCommandCode, 1, reply.data(), 64, &got));  // the wrong code
    EXPECT_TRUE(link.ReadReply(&reply));                             // nothing consumed
    EXPECT_EQ(reply[0], 0x26);

    ASSERT_FALSE(link.Frame(64).empty());  // programs the window, one start-frame
    EXPECT_TRUE(link.FrameRequest(64).empty());
    ASSERT_TRUE(link.Send(MakeBlock({0x02})));
    EXPECT_EQ(link.FrameRequest(64).size(), 64u);
    EXPECT_EQ(Counters().framesServed, 2);
}

TEST_F(SimCamera, FaultsAimedAtOneOpcodeLetOthersPass) {
    Link link;
    ASSERT_EQ(KalvexSim_SetFaultOpcode(0, 0x0C), 1);
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_COMMAND_FAIL, 1), 1);
    ASSERT_EQ(KalvexSim_InjectFault(0, KALVEX_SIM_FAULT_REPLY_FAIL, 1), 1);
    EXPECT_TRUE(link.WriteRegister(5, 7));
    EXPECT_EQ(link.ReadRegister(5), 7);
    EXPECT_EQ(link.ReadCore(32), -1);  // the command fails
    // The reply fault takes the echo block: the value still comes second.
    ASSERT_TRUE(link.Send(MakeBlock({0x0C, 32})));
    Block first{}, second{};
    EXPECT_FALSE(link.ReadReply(&first));
    EXPECT_TRUE(link.ReadReply(&second));
    EXPECT_EQ(link.ReadCore(32), KALVEX_SIM_DEFAULT_CORE_TEMPERATURE);

    EXPECT_EQ(KalvexSim_SetFaultOpcode(0, 256), 0);
    EXPECT_EQ(KalvexSim_SetLatency(0, 3, 1), 0);
    EXPECT_EQ(KalvexSim_SetLatency(0, 0, -1), 0);
    EXPECT_EQ(KalvexSim_GetCancels(8), -1);
}

// ---- The protocol engine without the simulated driver ---------------------------------

namespace {
constexpr KalvexDriverOps kOtherDriver = {[](void *, const char *) -> void * { return nullptr; },
                                          [](void *, void *, unsigned long, unsigned long, void *,
                                             unsigned long, unsigned long *) { return 0; },
                                          nullptr, nullptr};

bool EngineSend(KalvexSimLink *link, Block block) {
    unsigned long got = 0;
    return KalvexSim_LinkTransfer(link, 0, block.data(), 64, &got) == 1 && got == 64;
}
}  // namespace

TEST_F(SimCamera, AttachedCameraServesItsLinksAndLeavesThePathToAnotherDriver) {
    ASSERT_EQ(KalvexSim_Unplug(1), 1);
    ASSERT_TRUE(platform::RegisterDriver("\\\\.\\ZcamN7KTHM-1", &kOtherDriver, nullptr));
    ASSERT_EQ(KalvexSim_Attach(1), 1);
    KalvexSimLink *link = KalvexSim_LinkOpen(1);
    ASSERT_NE(link, nullptr);
    // No I/O control codes: the pipe alone decides, for commands, replies and frames.
    ASSERT_TRUE(EngineSend(link, MakeBlock({0x25, 5, 44})));
    ASSERT_TRUE(EngineSend(link, MakeBlock({0x26, 5})));
    Block reply{};
    unsigned long got = 0;
    ASSERT_EQ(KalvexSim_LinkTransfer(link, 1, reply.data(), 64, &got), 1);
    ASSERT_EQ(KalvexSim_LinkTransfer(link, 1, reply.data(), 64, &got), 1);
    EXPECT_EQ(reply[0], 44);
    KalvexSim_SetFrameRate(1, 0.0);
    KalvexSim_SetTestPattern(1, 1);
    for (auto [reg, value] : {std::pair{18, 64}, {19, 239}, {1, 0xB0}, {2, 0x04}})
        KalvexSim_WriteRegister(1, reg, value);
    ASSERT_TRUE(EngineSend(link, MakeBlock({0x02})));
    std::vector<uint8_t> frame(614400);
    ASSERT_EQ(KalvexSim_LinkTransfer(link, 2, frame.data(), 614400, &got), 1);
    EXPECT_EQ(got, 614400u);
    EXPECT_EQ(Sample16(frame, 640 * 7 + 3), KALVEX_SIM_PATTERN(7, 3));

    // Cancel fails requests until resumed.
    ASSERT_EQ(KalvexSim_LinkCancel(link), 1);
    EXPECT_FALSE(EngineSend(link, MakeBlock({0x25, 5, 1})));
    ASSERT_EQ(KalvexSim_LinkResume(link), 1);
    EXPECT_TRUE(EngineSend(link, MakeBlock({0x25, 5, 2})));
    EXPECT_EQ(KalvexSim_GetCancels(1), 1);

    // The simulated driver never took the path; unplugging leaves it where it was.
    ASSERT_EQ(KalvexSim_Unplug(1), 1);
    EXPECT_FALSE(EngineSend(link, MakeBlock({0x25, 5, 3})));
    EXPECT_TRUE(platform::UnregisterDriver("\\\\.\\ZcamN7KTHM-1"));
    KalvexSim_LinkClose(link);
    EXPECT_EQ(Counters(1).openHandles, 0);
    EXPECT_EQ(KalvexSim_LinkOpen(1), nullptr);
    EXPECT_EQ(KalvexSim_LinkTransfer(nullptr, 0, reply.data(), 64, &got), 0);
}

}  // namespace
}  // namespace kalvex::simtest
