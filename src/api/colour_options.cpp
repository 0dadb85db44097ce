#include "api/colour_options.h"

#include <algorithm>
#include <cmath>

#include "measure/palette.h"

namespace kalvex::api {

namespace {

bool Finite(float v) {
    return std::isfinite(v);
}

}  // namespace

bool ToOptions(const KalvexColorOptions &in, measure::ColourOptions &out) {
    if (in.palette == KALVEX_PALETTE_CUSTOM) {
        if (in.custom == nullptr) return false;
        out.custom = measure::FromTriplets(in.custom);
    } else if (in.palette < 0 || in.palette >= KALVEX_PALETTE_COUNT) {
        return false;
    }
    if (in.agc < KALVEX_AGC_RANGE || in.agc > KALVEX_AGC_PLATEAU) return false;
    if (!Finite(in.tailPercent) || in.tailPercent < 0 || in.tailPercent >= 50) return false;
    if (!Finite(in.plateauLimit) || in.plateauLimit < 1) return false;
    if (!Finite(in.damping) || in.damping < 0 || in.damping >= 1) return false;
    if (in.isothermCount < 0 || in.isothermCount > KALVEX_MAX_ISOTHERMS) return false;
    for (int32_t i = 0; i < in.isothermCount; ++i) {
        const KalvexIsotherm &iso = in.isotherms[i];
        if (iso.mode < KALVEX_ISOTHERM_ABOVE || iso.mode > KALVEX_ISOTHERM_BETWEEN) return false;
        if (!Finite(iso.t1) ||
            (iso.mode == KALVEX_ISOTHERM_BETWEEN && !(Finite(iso.t2) && iso.t1 <= iso.t2)))
            return false;
        out.isotherms[i] = {iso.mode, iso.t1, iso.t2, iso.color & 0xFFFFFFu};
    }
    out.palette = in.palette;
    out.agc = in.agc;
    out.tailPercent = in.tailPercent;
    out.plateauLimit = in.plateauLimit;
    out.damping = in.damping;
    out.rgb = in.rgb != 0;
    out.isothermCount = in.isothermCount;
    return true;
}

void FillColorBar(const measure::ColourResult &result, const CThermoTableState &table,
                  KalvexColorBar *bar) {
    auto at = [&](int v) {
        return table.LookupTemperature(static_cast<uint16_t>(std::clamp(v, 0, 65535)));
    };
    bar->low = at(result.lowRaw);
    bar->high = at(result.highRaw);
    for (int i = 0; i < KALVEX_PALETTE_ENTRIES; ++i) {
        bar->rgb[3 * i] = static_cast<uint8_t>(result.bar[i] >> 16);
        bar->rgb[3 * i + 1] = static_cast<uint8_t>(result.bar[i] >> 8);
        bar->rgb[3 * i + 2] = static_cast<uint8_t>(result.bar[i]);
    }
}

}  // namespace kalvex::api
