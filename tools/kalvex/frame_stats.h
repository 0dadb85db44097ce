// What the tool reads out of one frame: temperatures when a table is loaded,
// raw values otherwise, and their minimum, maximum and centre.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kalvex_tool {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

struct FrameStats {
    bool celsius = false;  // false: raw values
    bool any = false;      // false: no pixel had a temperature
    double min = 0, max = 0, centre = 0;
    // Pixels the table does not cover (-999.0), told apart by their raw values:
    // hotter than every covered pixel, colder than every one, or neither.
    long over = 0, under = 0, uncovered = 0;
    // The table's own range, for "max >150 °C"; equal when unknown.
    double tableMin = 0, tableMax = 0;
};

class FrameReader {
  public:
    // rowOrder: parameter 17 as set, which decides where the centre line lies.
    FrameReader(int handle, bool celsius, int rowOrder);
    // The temperatures the table covers, shown for pixels beyond them.
    void SetTableRange(double minCelsius, double maxCelsius);
    // Copies the frame out of the ring; false when the library refused (the id
    // was overwritten before the tool asked, say).
    bool Read(int frameId, FrameStats *stats);

  private:
    int handle_;
    bool celsius_;
    int rowOrder_;
    double tableMin_ = 0, tableMax_ = 0;
    std::vector<float> temps_;
    std::vector<uint16_t> raw_;
};

// "min 22.00  max 37.00  centre 37.00 °C" or "raw min ... centre ...";
// "max >150 °C (1,234 px over range)" when pixels lie beyond the table.
std::string DescribeStats(const FrameStats &stats);
// The same as a JSON object: unit, min, max, centre (null when no pixel has a
// temperature) and the pixels beyond the table.
std::string StatsJson(const FrameStats &stats);
// 1234567 -> "1,234,567".
std::string Thousands(long n);

}  // namespace kalvex_tool
