// The bytes of a version-4 calibration table file, for tests and benchmarks.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "thermal/thermo_table.h"

namespace kalvex::test {

inline std::vector<uint8_t> Version4Bytes(float calibration, float slope, float intercept,
                                          const std::vector<CalibrationPoint> &points) {
    const std::string magic = "VELKAR THERMO TABLE 4000";
    std::vector<uint8_t> b(magic.begin(), magic.end());
    auto put = [&b](uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(0);  // reserved A
    put(0);  // reserved B
    put(std::bit_cast<uint32_t>(calibration));
    put(std::bit_cast<uint32_t>(slope));
    put(std::bit_cast<uint32_t>(intercept));
    put(static_cast<uint32_t>(points.size()));
    for (const CalibrationPoint &p : points) {
        put(static_cast<uint32_t>(p.raw));
        put(std::bit_cast<uint32_t>(p.temperature));
    }
    return b;
}

}  // namespace kalvex::test
