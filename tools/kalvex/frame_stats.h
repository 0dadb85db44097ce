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
};

class FrameReader {
  public:
    // rowOrder: parameter 17 as set, which decides where the centre line lies.
    FrameReader(int handle, bool celsius, int rowOrder);
    // Copies the frame out of the ring; false when the library refused (the id
    // was overwritten before the tool asked, say).
    bool Read(int frameId, FrameStats *stats);

  private:
    int handle_;
    bool celsius_;
    int rowOrder_;
    std::vector<float> temps_;
    std::vector<uint16_t> raw_;
};

// "min 22.00  max 37.00  centre 37.00 °C" or "raw min ... centre ...".
std::string DescribeStats(const FrameStats &stats);

}  // namespace kalvex_tool
