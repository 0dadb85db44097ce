#include "frame_stats.h"

#include <cstdio>

#include "kalvex.h"

namespace kalvex_tool {

namespace {
constexpr float kMissing = -999.0f;
}

FrameReader::FrameReader(int handle, bool celsius, int rowOrder)
    : handle_(handle), celsius_(celsius), rowOrder_(rowOrder) {
    if (celsius_)
        temps_.resize(static_cast<size_t>(kWidth) * kHeight);
    else
        raw_.resize(static_cast<size_t>(kWidth) * kHeight);
}

bool FrameReader::Read(int frameId, FrameStats *stats) {
    // Frames are handed out bottom row first unless the row-order flag is set;
    // either way the centre of the sensor is its line 240, column 320.
    size_t centreRow = rowOrder_ != 0 ? kHeight / 2 : kHeight - 1 - kHeight / 2;
    size_t centre = centreRow * kWidth + kWidth / 2;
    *stats = FrameStats{};
    stats->celsius = celsius_;
    if (celsius_) {
        int bytes = static_cast<int>(temps_.size() * sizeof(float));
        if (Kalvex_GetTemperature(handle_, frameId, temps_.data(), bytes) != 1) return false;
        for (float t : temps_) {
            if (t == kMissing) continue;
            if (!stats->any || t < stats->min) stats->min = t;
            if (!stats->any || t > stats->max) stats->max = t;
            stats->any = true;
        }
        stats->centre = temps_[centre];
    } else {
        int bytes = static_cast<int>(raw_.size() * sizeof(uint16_t));
        if (Kalvex_GetRaw(handle_, frameId, raw_.data(), bytes) != 1) return false;
        stats->any = true;
        stats->min = stats->max = raw_[0];
        for (uint16_t v : raw_) {
            if (v < stats->min) stats->min = v;
            if (v > stats->max) stats->max = v;
        }
        stats->centre = raw_[centre];
    }
    return true;
}

std::string DescribeStats(const FrameStats &s) {
    char text[128];
    if (!s.celsius)
        std::snprintf(text, sizeof text, "raw min %.0f  max %.0f  centre %.0f", s.min, s.max,
                      s.centre);
    else if (!s.any)
        std::snprintf(text, sizeof text, "no temperatures (the table does not cover the frame)");
    else if (s.centre == static_cast<double>(kMissing))
        std::snprintf(text, sizeof text,
                      "min %.2f  max %.2f  centre -  \xC2\xB0"
                      "C",
                      s.min, s.max);
    else
        std::snprintf(text, sizeof text,
                      "min %.2f  max %.2f  centre %.2f \xC2\xB0"
                      "C",
                      s.min, s.max, s.centre);
    return text;
}

}  // namespace kalvex_tool
