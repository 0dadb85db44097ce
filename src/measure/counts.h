// Raw samples counted per value: the one pass over the pixels that a frame's
// contrast mapping and a region's statistics both start from.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "thermal/thermo_table.h"

namespace kalvex::measure {

// Indices 0 to 16383 for the 14-bit values and one more that every larger
// value shares, as it shares the temperature lookup's last entry.
inline constexpr size_t kCountIndices = static_cast<size_t>(kLookupEntries) + 1;
// Counts kept apart for the four samples of a load, so that a run of equal
// values does not wait on one counter; added up per value afterwards.
inline constexpr size_t kCountParts = 4;

inline uint16_t CountIndex(uint16_t raw) {
    return std::min<uint16_t>(raw, kLookupEntries);
}

struct RawRange {
    uint16_t low, high;  // 0xFFFF, 0 for no samples
};

// Adds n samples to counts (kCountParts x kCountIndices; each sample's
// count in one of the parts) and gives their lowest and highest raw value.
RawRange CountSamples(const uint16_t *src, int n, uint32_t *counts);

// total[v] = the parts' counts of v, for v in [first, last]; the parts are
// zero there afterwards.
void AddUpParts(uint32_t *counts, size_t first, size_t last, uint32_t *total);

}  // namespace kalvex::measure
