// The colour options and colour bar of the public headers, shared by the
// exports that colour a frame of the ring and of a sequence.
#pragma once

#include "kalvex_measure.h"
#include "measure/contrast.h"

namespace kalvex::api {

// The public options as the module's; false for anything out of range.
bool ToOptions(const KalvexColorOptions &in, measure::ColourOptions &out);

// The bar of a coloured frame, its ends' temperatures read through table.
void FillColorBar(const measure::ColourResult &result, const CThermoTableState &table,
                  KalvexColorBar *bar);

}  // namespace kalvex::api
