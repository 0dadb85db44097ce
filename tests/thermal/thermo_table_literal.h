// The table's interpolation written out step by step, with no shortcuts: the
// reference that the fast paths of CThermoTable must match bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "thermal/thermo_table.h"

namespace kalvex::literal {

inline float InterpolateTemperature(const std::vector<CalibrationPoint> &active, int32_t x) {
    // Walk the list, keeping the ten newest points below x, newest first.
    CalibrationPoint history[10];
    size_t held = 0;
    size_t i = 0;
    bool above = false;
    for (; i < active.size(); ++i) {
        const CalibrationPoint &p = active[i];
        if (p.temperature == -999.0f) continue;
        if (p.raw == x) continue;
        if (p.raw < x) {
            if (held < 10) ++held;
            for (size_t h = held - 1; h > 0; --h) history[h] = history[h - 1];
            history[0] = p;
            continue;
        }
        above = true;
        break;
    }
    if (!above) return -999.0f;
    // Upper points from position i on, as they come.
    const CalibrationPoint *upper = active.data() + i;
    size_t upperCount = std::min<size_t>(10, active.size() - i);
    size_t j = std::min<size_t>({10, upperCount, held});
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
