// Raw values to temperatures through a lookup array, a row at a time.
#pragma once

#include <cstdint>

namespace kalvex {

// dst[c] = lut[min(src[c], 16384)] for c < n, where lut holds 16385 entries
// (the last one is the no-temperature value). Bit-identical on every path.
void LookupTemperatureRow(const float *lut, const uint16_t *src, float *dst, int n);

// The same one pixel at a time, as the reference for the fast paths.
void LookupTemperatureRowLiteral(const float *lut, const uint16_t *src, float *dst, int n);

}  // namespace kalvex
