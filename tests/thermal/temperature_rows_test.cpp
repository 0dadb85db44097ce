#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "thermal/temperature_rows.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

uint32_t Bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

TEST(TemperatureRows, EveryRawValueMatchesTheTableLookup) {
    CThermoTableState state;
    for (int i = 0; i < kLookupEntries; ++i)
        state.lookup[static_cast<size_t>(i)] = static_cast<float>(i) * 0.01f - 20.0f;
    std::vector<uint16_t> raw(65536 + 7);  // an odd tail for the vector path
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint16_t>(i * 40503u);
    std::vector<float> fast(raw.size()), literal(raw.size());
    LookupTemperatureRow(state.lookup.data(), raw.data(), fast.data(),
                         static_cast<int>(raw.size()));
    LookupTemperatureRowLiteral(state.lookup.data(), raw.data(), literal.data(),
                                static_cast<int>(raw.size()));
    for (size_t i = 0; i < raw.size(); ++i) {
        ASSERT_EQ(Bits(fast[i]), Bits(literal[i])) << "raw " << raw[i];
        ASSERT_EQ(Bits(fast[i]), Bits(state.LookupTemperature(raw[i]))) << "raw " << raw[i];
    }
    EXPECT_EQ(state.LookupTemperature(16384), kNoTemperature);
}

}  // namespace
}  // namespace kalvex
