// Reads a temperature table file for a summary: the layout by its magic, the
// points, their raw and temperature ranges and the drift coefficients.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalvex_tool {

struct TablePoint {
    int32_t raw;
    float celsius;
};

struct TableSummary {
    int version = 0;  // 0 headerless, 1-4 by magic
    int tables = 1;   // version 2: number of tables in the file
    int64_t fileSize = 0;
    std::vector<TablePoint> points;  // of table 0
    // Version 4 header.
    int32_t reservedA = 0, reservedB = 0;
    float calibration = 0.0f, slope = 0.0f, intercept = 0.0f;
};

// Parses bytes; returns an empty string on success, else why the library would
// refuse the file.
std::string ParseTable(const std::vector<uint8_t> &bytes, TableSummary *out);
// Reads and parses; throws Failure (event 9) when the file is unreadable or refused.
TableSummary ReadTable(const std::string &path);
// Lowest and highest temperature of the points (-999.0 markers left out);
// false when no point has one.
bool TableRange(const TableSummary &table, double *minCelsius, double *maxCelsius);
// The lines of `kalvex table show`.
std::string DescribeTable(const TableSummary &table);

}  // namespace kalvex_tool
