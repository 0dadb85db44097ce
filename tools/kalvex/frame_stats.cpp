#include "frame_stats.h"

#include "view_json.h"

#include <algorithm>
#include <cstdio>

#include "kalvex.h"

namespace kalvex_tool {

namespace {
constexpr float kMissing = -999.0f;
}

FrameReader::FrameReader(int handle, bool celsius, int rowOrder)
    : handle_(handle), celsius_(celsius), rowOrder_(rowOrder) {
    if (celsius_) temps_.resize(static_cast<size_t>(kWidth) * kHeight);
    raw_.resize(static_cast<size_t>(kWidth) * kHeight);
}

void FrameReader::SetTableRange(double minCelsius, double maxCelsius) {
    tableMin_ = minCelsius;
    tableMax_ = maxCelsius;
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
        stats->tableMin = tableMin_;
        stats->tableMax = tableMax_;
        // Raw values of the covered pixels bound those of the uncovered ones
        // (temperature rises with the raw value).
        bool haveRaw = Kalvex_GetRaw(handle_, frameId, raw_.data(),
                                     static_cast<int>(raw_.size() * sizeof(uint16_t))) == 1;
        uint16_t rawLow = 0xFFFF, rawHigh = 0;
        for (size_t i = 0; i < temps_.size(); ++i) {
            float t = temps_[i];
            if (t == kMissing) {
                ++stats->uncovered;
                continue;
            }
            if (!stats->any || t < stats->min) stats->min = t;
            if (!stats->any || t > stats->max) stats->max = t;
            stats->any = true;
            if (haveRaw) {
                rawLow = std::min(rawLow, raw_[i]);
                rawHigh = std::max(rawHigh, raw_[i]);
            }
        }
        if (haveRaw && stats->uncovered > 0 && stats->any) {
            for (size_t i = 0; i < temps_.size(); ++i) {
                if (temps_[i] != kMissing) continue;
                if (raw_[i] > rawHigh) ++stats->over;
                if (raw_[i] < rawLow) ++stats->under;
            }
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

std::string Thousands(long n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return n < 0 ? "-" + digits : digits;
}

std::string DescribeStats(const FrameStats &s) {
    char text[256];
    if (!s.celsius) {
        std::snprintf(text, sizeof text, "raw min %.0f  max %.0f  centre %.0f", s.min, s.max,
                      s.centre);
        return text;
    }
    if (!s.any) {
        std::snprintf(text, sizeof text, "no temperatures (the table does not cover the frame)");
        return text;
    }
    const bool tableKnown = s.tableMax > s.tableMin;
    char low[96], high[96], centre[32];
    if (s.under > 0 && tableKnown)
        std::snprintf(low, sizeof low,
                      "min <%g \xC2\xB0"
                      "C (%s px under range)",
                      s.tableMin, Thousands(s.under).c_str());
    else
        std::snprintf(low, sizeof low, "min %.2f", s.min);
    if (s.over > 0 && tableKnown)
        std::snprintf(high, sizeof high,
                      "max >%g \xC2\xB0"
                      "C (%s px over range)",
                      s.tableMax, Thousands(s.over).c_str());
    else
        std::snprintf(high, sizeof high, "max %.2f", s.max);
    if (s.centre == static_cast<double>(kMissing))
        std::snprintf(centre, sizeof centre, "centre -");
    else
        std::snprintf(centre, sizeof centre, "centre %.2f", s.centre);
    std::snprintf(text, sizeof text,
                  "%s  %s  %s \xC2\xB0"
                  "C",
                  low, high, centre);
    std::string out = text;
    long elsewhere = s.uncovered - s.over - s.under;
    if (elsewhere > 0 || (s.uncovered > 0 && !tableKnown))
        out += "  (" + Thousands(tableKnown ? elsewhere : s.uncovered) + " px not covered)";
    return out;
}

std::string StatsJson(const FrameStats &s) {
    const bool any = !s.celsius || s.any;
    std::string out = s.celsius ? "{\"unit\":\"celsius\"" : "{\"unit\":\"raw\"";
    out += ",\"min\":";
    out += any ? JsonNumber(s.min) : "null";
    out += ",\"max\":";
    out += any ? JsonNumber(s.max) : "null";
    out += ",\"centre\":";
    out += any ? JsonNumber(s.centre) : "null";
    if (s.celsius) {
        char counts[128];
        std::snprintf(counts, sizeof counts,
                      ",\"overRange\":%ld,\"underRange\":%ld,\"uncovered\":%ld", s.over, s.under,
                      s.uncovered);
        out += counts;
    }
    return out + "}";
}

}  // namespace kalvex_tool
