// A scene folded into a table's raw-to-temperature conversion: object
// temperatures per raw value for a uniform scene, and one lookup per distinct
// emissivity of a per-pixel map.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "thermal/radiance.h"

namespace kalvex {

// A per-pixel emissivity map in the raw image's buffer order (row 0 = buffer
// row 0), values clamped.
struct EmissivityMap {
    static constexpr int32_t kWidth = 640;
    static constexpr int32_t kHeight = 480;
    // Up to this many distinct emissivities get a lookup each.
    static constexpr size_t kMaxClasses = 64;

    std::vector<float> values;
    // Per pixel the index of its emissivity in classes; empty when the map
    // holds more than kMaxClasses distinct values.
    std::vector<uint8_t> classOf;
    std::vector<double> classes;

    // From rows in output order; reversed: output row r is buffer row
    // height - 1 - r. values must hold kWidth * kHeight finite floats.
    static std::shared_ptr<const EmissivityMap> FromOutputRows(const float *values, bool reversed);
};

class SceneFold {
  public:
    // Entries of a lookup: the 16384 raw values, then the no-temperature one.
    static constexpr size_t kLookupSize = 16385;

    // Folds model (and map, either may be null) into the black-body arrays
    // (lookup: kLookupSize entries, interpolated: 65536). Null when the
    // result would equal the black-body arrays: no scene, or one that changes
    // nothing and no map.
    static std::shared_ptr<const SceneFold> Build(const std::shared_ptr<const SceneModel> &model,
                                                  const std::shared_ptr<const EmissivityMap> &map,
                                                  const std::vector<float> &lookup,
                                                  const std::vector<float> &interpolated);

    const SceneModel &Model() const { return *model_; }
    // The uniform scene's arrays; empty when the uniform scene is an identity.
    const std::vector<float> &Lookup() const { return lookup_; }
    const std::vector<float> &Interpolated() const { return interpolated_; }
    bool HasMap() const { return map_ != nullptr; }

    // The object temperature of one pixel of buffer row `row`, column x, from
    // its black-body temperature (bb) and, when it came from the lookup,
    // its raw value (lookupRaw, else -1). The map's emissivity when there is
    // one, else the scene's.
    float AtPixel(float bb, int32_t lookupRaw, int32_t row, int32_t x) const;
    // A whole buffer row through the map (HasMap only): dst[c] for src[c].
    void LookupRow(const uint16_t *src, int32_t row, float *dst, int n) const;
    // The same one pixel at a time through Compensate, as the reference.
    void LookupRowLiteral(const uint16_t *src, int32_t row, float *dst, int n) const;

  private:
    std::shared_ptr<const SceneModel> model_;
    std::shared_ptr<const EmissivityMap> map_;
    std::vector<float> lookup_;
    std::vector<float> interpolated_;
    // classes x kLookupSize: the lookup at each emissivity of the map.
    std::vector<float> classLookups_;
    // The black-body lookup the map's conversions start from.
    std::vector<float> blackBody_;
};

}  // namespace kalvex
