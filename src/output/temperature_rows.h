// How the writers of temperature files get their values: a row of raw samples
// in, a row of temperatures out. The calibration lives a layer above; the
// writers only need this much of it.
#pragma once

#include <cstdint>

namespace kalvex {

class ITemperatureRows {
  public:
    // n temperatures of the raw values of buffer row `row` (column 0 on),
    // interpolated over the calibration points: any raw value has one.
    virtual void InterpolateRow(const uint16_t *src, int32_t row, float *dst, int n) const = 0;
    // The same from the 14-bit lookup table: a value past it has none.
    virtual void LookupRow(const uint16_t *src, int32_t row, float *dst, int n) const = 0;

  protected:
    ~ITemperatureRows() = default;
};

}  // namespace kalvex
