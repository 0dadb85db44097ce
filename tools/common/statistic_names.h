// The names the tool's options and the viewer's API give a region's
// statistics (an alarm's, a status line's).
#pragma once

#include <string>

#include "kalvex_measure.h"

namespace kalvex_tool {

// KALVEX_STAT_* of a name, or 0 for one that is none of min, max, mean, std.
inline int StatisticId(const std::string &name) {
    if (name == "min") return KALVEX_STAT_MIN;
    if (name == "max") return KALVEX_STAT_MAX;
    if (name == "mean") return KALVEX_STAT_MEAN;
    if (name == "std") return KALVEX_STAT_STD;
    return 0;
}

inline const char *StatisticName(int statistic) {
    switch (statistic) {
        case KALVEX_STAT_MIN:
            return "min";
        case KALVEX_STAT_MEAN:
            return "mean";
        case KALVEX_STAT_STD:
            return "std";
        default:
            return "max";
    }
}

}  // namespace kalvex_tool
