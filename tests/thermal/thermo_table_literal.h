// The table's interpolation written out step by step, with no shortcuts: the
// reference that the fast paths of CThermoTable must match bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "thermal/thermo_table.h"

namespace kalvex::literal {

inline float InterpolateTemperature(const std::vector<CalibrationPoint> &active, int32_t x) {
    // Walk the list, keeping the ten newest points below x, newest first.
    std::deque<CalibrationPoint> history;
    size_t i = 0;
    bool above = false;
    for (; i < active.size(); ++i) {
        const CalibrationPoint &p = active[i];
        if (p.temperature == -999.0f) continue;
        if (p.raw == x) continue;
        if (p.raw < x) {
            history.push_front(p);
            if (history.size() > 10) history.pop_back();
            continue;
        }
        above = true;
        break;
    }
    if (!above) return -999.0f;
    // Upper points from position i on, as they come.
    std::vector<CalibrationPoint> upper;
    for (size_t u = i; u < active.size() && upper.size() < 10; ++u) upper.push_back(active[u]);
    size_t j = std::min<size_t>({10, upper.size(), history.size()});
    if (j == 0) return -999.0f;
    float sum = 0.0f;
    for (size_t k = 0; k < j; ++k) {
        int32_t L = history[k].raw;
        float TL = history[k].temperature;
        int32_t U = upper[k].raw;
        float TU = upper[k].temperature;
        // Differences in 32-bit arithmetic, as the file's int32 fields give them.
        auto D = static_cast<int32_t>(int64_t{U} - int64_t{L});
        if (U == L) D = 1;
        auto dx = static_cast<int32_t>(int64_t{x} - int64_t{L});
        sum += (TU - TL) / static_cast<float>(D) * static_cast<float>(dx);
        sum += TL;
    }
    return sum / static_cast<float>(j);
}

// The lookup array filled by interpolation: one walk per raw value.
inline std::vector<float> BuildLookupByInterpolation(const std::vector<CalibrationPoint> &active) {
    std::vector<float> lookup(65536, -999.0f);
    for (int32_t raw = 0; raw <= 16383; ++raw) {
        lookup[static_cast<size_t>(raw)] = InterpolateTemperature(active, raw);
    }
    return lookup;
}

}  // namespace kalvex::literal
