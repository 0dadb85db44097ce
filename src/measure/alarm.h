// Alarms on a region's statistic: raised once the condition has held for
// the dwell time, cleared once the value is back past the hysteresis.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "measure/region.h"

namespace kalvex::measure {

inline constexpr int kMaxAlarms = 32;

// Whether an alarm's settings are usable (known statistic, numbers, hysteresis >= 0).
bool AlarmValid(const KalvexAlarm &alarm);

class AlarmEngine {
  public:
    // The new alarm's id (1 or more), or 0 when kMaxAlarms are defined.
    int32_t Add(Region region, const KalvexAlarm &alarm);
    // Removes one (id 0: all); false for an unknown id.
    bool Remove(int32_t id);
    // 1 raised, 0 not, -1 unknown id.
    int Active(int32_t id) const;
    bool Empty() const { return alarms_.empty(); }

    // One frame: measure gives a region's statistics in it; rises and clears
    // are appended to events.
    void Evaluate(const std::function<KalvexStats(const Region &)> &measure, uint32_t frameId,
                  uint32_t nowMs, std::vector<KalvexAlarmEvent> &events);

  private:
    struct Entry {
        int32_t id;
        Region region;
        KalvexAlarm alarm;
        bool active = false;
        bool holding = false;  // the condition holds, since sinceMs
        uint32_t sinceMs = 0;
    };
    std::vector<Entry> alarms_;
    int32_t nextId_ = 1;
};

}  // namespace kalvex::measure
