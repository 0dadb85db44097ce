// Shared set-up for the device tests: a fresh simulated camera 0 and helpers to
// read back what the device sent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "device/zorcam_sdk.h"
#include "kalvex_sim.h"
#include "platform/platform.h"

namespace kalvex::test {

using Block = std::vector<uint8_t>;

inline std::vector<Block> CommandLog(int camera = 0) {
    std::vector<uint8_t> raw(KALVEX_SIM_LOG_BLOCKS * KALVEX_SIM_BLOCK_BYTES);
    const int n = KalvexSim_GetCommandLog(camera, raw.data(), KALVEX_SIM_LOG_BLOCKS);
    std::vector<Block> blocks;
    for (int i = 0; i < n; ++i)
        blocks.emplace_back(raw.begin() + i * KALVEX_SIM_BLOCK_BYTES,
                            raw.begin() + (i + 1) * KALVEX_SIM_BLOCK_BYTES);
    return blocks;
}

inline Block MakeBlock(std::initializer_list<uint8_t> head) {
    Block b(KALVEX_SIM_BLOCK_BYTES, 0);
    size_t i = 0;
    for (uint8_t v : head) b[i++] = v;
    return b;
}

inline KalvexSimCounters Counters(int camera = 0) {
    KalvexSimCounters c{};
    KalvexSim_GetCounters(camera, &c);
    return c;
}

// Polls until the condition holds; the bound only keeps a broken build from
// hanging the suite.
inline bool WaitUntil(const std::function<bool()> &condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Runs body on the calling thread while another thread keeps moving the clock
// forward, so that waits measured on TimeGetTime end at once.
template <typename Body>
auto WithRunningClock(Body body) {
    std::atomic<bool> done{false};
    std::thread clock([&] {
        while (!done.load()) {
            platform::AdvanceClock(1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    auto result = body();
    done.store(true);
    clock.join();
    return result;
}

// The line of the sensor that a row of 16-bit pattern samples came from, or
// -1 when the row is not one whole pattern line of the given window.
inline int PatternLine(const uint8_t *row, int x0, int width) {
    auto sample = [&](int x) { return row[2 * x] | (row[2 * x + 1] << 8); };
    const int line = KALVEX_SIM_PATTERN_LINE(sample(0), x0);
    for (int x = 0; x < width; ++x)
        if (sample(x) != KALVEX_SIM_PATTERN(line, x0 + x)) return -1;
    return line;
}

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetClockOffset(0);
        KalvexSim_Reset();
        ASSERT_EQ(KalvexSim_Plug(0), 1);
        KalvexSim_SetFrameRate(0, 0.0);
        KalvexSim_SetTestPattern(0, 1);
    }
    void TearDown() override {
        KalvexSim_Reset();
        platform::SetClockOffset(0);
    }
};

}  // namespace kalvex::test
