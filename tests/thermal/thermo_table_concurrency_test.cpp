#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <thread>
#include <vector>

#include "thermal/table_bytes.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

std::vector<uint8_t> Version4Table(int points) {
    std::vector<CalibrationPoint> p;
    for (int i = 0; i < points; ++i)
        p.push_back({100 + i * 80, 20.0f + static_cast<float>(i) * 0.1f});
    return test::Version4Bytes(30.0f, 0.01f, 1.0f, p);
}

// The capture thread rebuilds on drift while application threads convert:
// every value read belongs to one whole table, never to a half-built one.
TEST(ThermoTableConcurrency, ReadersSeeWholeTablesDuringRebuilds) {
    std::atomic<float> reference{32.0f};
    CThermoTable table;
    table.LinkReferenceTemperature(&reference);
    table.SetCorrectionMode(13);
    const std::vector<uint8_t> file = Version4Table(200);
    ASSERT_EQ(table.LoadTableFromMemory(file.data(), file.size()), 1);
    const auto warm = table.State();
    reference.store(28.0f);
    ASSERT_EQ(table.RecreateTable(), 1);
    const auto cool = table.State();
    ASSERT_NE(warm->interpolated, cool->interpolated);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread capture([&] {
        for (int i = 0; i < 40; ++i) {
            reference.store(i % 2 == 0 ? 32.0f : 28.0f);
            table.RecreateTable();
        }
        done.store(true);
    });
    auto reader = [&](int32_t first) {
        do {
            for (int32_t x = first; x < 16384; x += 61) {
                float v = table.InterpolateTemperature(x);
                float l = table.LookupTemperature(static_cast<uint16_t>(x));
                auto i = static_cast<size_t>(x);
                auto same = [](float a, float b) {
                    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
                };
                if (!same(v, warm->interpolated[i]) && !same(v, cool->interpolated[i])) ++torn;
                if (!same(l, warm->lookup[i]) && !same(l, cool->lookup[i])) ++torn;
            }
            auto s = table.State();
            if (s->interpolated != warm->interpolated && s->interpolated != cool->interpolated) {
                ++torn;
            }
            for (size_t i = 0; i < static_cast<size_t>(kLookupEntries); i += 127) {
                if (s->lookup[i] != s->interpolated[i]) ++torn;
            }
        } while (!done.load());
    };
    std::thread a(reader, 0);
    std::thread b(reader, 30);
    capture.join();
    a.join();
    b.join();
    EXPECT_EQ(torn.load(), 0);
}

// A table load from an application thread and a rebuild on the capture thread
// are serialised: the result is one of the two orders, never a mixture.
TEST(ThermoTableConcurrency, LoadsAndRebuildsDoNotInterleave) {
    std::atomic<float> reference{32.0f};
    CThermoTable table;
    table.LinkReferenceTemperature(&reference);
    table.SetCorrectionMode(13);
    const std::vector<uint8_t> small = Version4Table(20);
    const std::vector<uint8_t> large = Version4Table(150);
    std::thread loader([&] {
        for (int i = 0; i < 20; ++i) {
            const auto &f = i % 2 == 0 ? small : large;
            table.LoadTableFromMemory(f.data(), f.size());
        }
    });
    std::thread capture([&] {
        for (int i = 0; i < 20; ++i) table.RecreateTable();
    });
    loader.join();
    capture.join();
    auto s = table.State();
    EXPECT_EQ(s->count, 150);
    ASSERT_EQ(s->compensated.size(), 150u);
    EXPECT_EQ(s->compensated[0].raw, 97);  // (0.2 + 1) * -2 + 100 = 97.6
    for (size_t i = 0; i < static_cast<size_t>(kLookupEntries); ++i)
        ASSERT_EQ(s->lookup[i], s->interpolated[i]);
}

}  // namespace
}  // namespace kalvex
