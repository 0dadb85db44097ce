// Temperature table files as the library sees them: whether it would load one
// (and why not), and a summary of what an accepted one holds.
#pragma once

#include <string>

#include "kalvex_table.h"

namespace kalvex_tool {

// Asks the library; throws Failure (event 9) with its reason when the file
// would be refused.
KalvexTableInfo ReadTable(const std::string &path);
// Lowest and highest temperature of the points (-999.0 markers left out);
// false when no point has one.
bool TableRange(const KalvexTableInfo &table, double *minCelsius, double *maxCelsius);
// The lines of `kalvex table show`.
std::string DescribeTable(const KalvexTableInfo &table);

}  // namespace kalvex_tool
