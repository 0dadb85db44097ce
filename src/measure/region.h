// Regions of a frame as runs of pixels, and their statistics.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kalvex_measure.h"
#include "thermal/radiance.h"
#include "thermal/thermo_table.h"

namespace kalvex::measure {

// Pixels x0 to x1 (inclusive) of frame line y (0 = top of the scene).
struct Span {
    int32_t y, x0, x1;
};

struct Region {
    int32_t kind = 0;
    // Reading order (top line first, left to right); a line's pixels in its
    // own order, one span each.
    std::vector<Span> spans;
    bool ownEmissivity = false, ownReflected = false;
    float emissivity = 1.0f, reflected = 22.0f;
    int64_t Pixels() const;
};

// The region of roi in a width x height frame; false when it is refused (not
// wholly inside, empty or degenerate, too many vertices, bad emissivity or
// reflected temperature).
bool BuildRegion(const KalvexRoi &roi, int32_t width, int32_t height, Region &out);

// An exact sum of floats: the mantissas added up per exponent in integers,
// so that the sum does not depend on the order the values come in. A region
// counted through a histogram of raw values and the same region walked pixel
// by pixel thus have one mean, to the bit.
class ExactSum {
  public:
    void Add(float v, int64_t times = 1);
    // The n values of t other than kNoTemperature.
    void AddAll(const float *t, int n);
    double Value() const;

  private:
    static constexpr int kExponents = 255;  // all but infinities and NaN
    int64_t perExponent_[kExponents]{};
    double special_ = 0;  // infinities and NaN, which the result takes on
};

// Running statistics in reading order.
class StatsAccumulator {
  public:
    void Add(const float *t, int n, int32_t x0, int32_t y);
    KalvexStats Result() const;

  private:
    ExactSum exact_;
    double sum_ = 0, squares_ = 0;  // of differences from reference_
    float reference_ = 0;
    bool haveReference_ = false;
    int64_t count_ = 0, missing_ = 0;
    float min_ = 0, max_ = 0;
    int32_t minX_ = -1, minY_ = -1, maxX_ = -1, maxY_ = -1;
};

// The scene a region with an emissivity of its own is compensated with: the
// instance's, with the region's emissivity (and reflected temperature).
KalvexScene RegionScene(const Region &region, const KalvexScene &base);

// A frame of raw samples with the table that converts it, buffer row 0 (the
// bottom line of the scene) first: a copy in raw, or, while the ring's lock
// is held, the slot's own rows in pixels.
struct TableFrame {
    std::vector<uint16_t> raw;
    const uint16_t *pixels = nullptr;  // when set, read instead of raw
    const uint16_t *Pixels() const { return pixels != nullptr ? pixels : raw.data(); }
    int32_t width = 0, height = 0;
    std::shared_ptr<const CThermoTableState> table;
    KalvexScene scene{};
};

// Statistics of region over the frame; values, when not null, receives the
// region's temperatures in its order (a line's profile). Without values and
// without a per-pixel emissivity map the pixels are counted per raw value
// and the statistics taken from the counts; the result is
// MeasureTableFrameLiteral's but for the standard deviation's rounding.
KalvexStats MeasureTableFrame(const TableFrame &frame, const Region &region,
                              std::vector<float> *values = nullptr);
// The same, every pixel's temperature looked up and accumulated in order.
KalvexStats MeasureTableFrameLiteral(const TableFrame &frame, const Region &region,
                                     std::vector<float> *values = nullptr);
// The same over temperatures (top line first); a region with its own
// emissivity compensates them as black-body temperatures with base.
KalvexStats MeasureTemperatures(const float *t, int32_t width, const Region &region,
                                const KalvexScene &base, std::vector<float> *values = nullptr);

// The statistic KALVEX_STAT_* of stats; NaN for an unknown one or without
// temperatures.
double StatisticOf(const KalvexStats &stats, int32_t statistic);

}  // namespace kalvex::measure
