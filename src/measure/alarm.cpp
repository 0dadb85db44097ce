#include "measure/alarm.h"

#include <cmath>

namespace kalvex::measure {

bool AlarmValid(const KalvexAlarm &a) {
    return a.statistic >= KALVEX_STAT_MIN && a.statistic <= KALVEX_STAT_STD &&
           std::isfinite(a.threshold) && std::isfinite(a.hysteresis) && a.hysteresis >= 0.0f;
}

int32_t AlarmEngine::Add(Region region, const KalvexAlarm &alarm) {
    if (alarms_.size() >= static_cast<size_t>(kMaxAlarms)) return 0;
    const int32_t id = nextId_++;
    alarms_.push_back(Entry{id, std::move(region), alarm});
    return id;
}

bool AlarmEngine::Remove(int32_t id) {
    if (id == 0) {
        alarms_.clear();
        return true;
    }
    for (auto it = alarms_.begin(); it != alarms_.end(); ++it) {
        if (it->id != id) continue;
        alarms_.erase(it);
        return true;
    }
    return false;
}

int AlarmEngine::Active(int32_t id) const {
    for (const Entry &e : alarms_)
        if (e.id == id) return e.active ? 1 : 0;
    return -1;
}

void AlarmEngine::Evaluate(const std::function<KalvexStats(const Region &)> &measure,
                           uint32_t frameId, uint32_t nowMs,
                           std::vector<KalvexAlarmEvent> &events) {
    for (Entry &e : alarms_) {
        const double v = StatisticOf(measure(e.region), e.alarm.statistic);
        if (std::isnan(v)) continue;  // no temperature in the region: no news
        const double t = e.alarm.threshold, h = e.alarm.hysteresis;
        const bool beyond = e.alarm.above ? v > t : v < t;
        const bool cleared = e.alarm.above ? v < t - h : v > t + h;
        if (e.active) {
            if (!cleared) continue;
            e.active = e.holding = false;
            events.push_back({e.id, 0, static_cast<float>(v), frameId, nowMs, e.sinceMs});
            continue;
        }
        if (!beyond) {
            e.holding = false;
            continue;
        }
        if (!e.holding) e.holding = true, e.sinceMs = nowMs;
        // Unsigned difference: survives the millisecond clock's wrap.
        if (nowMs - e.sinceMs < e.alarm.dwellMs) continue;
        e.active = true;
        events.push_back({e.id, 1, static_cast<float>(v), frameId, nowMs, e.sinceMs});
    }
}

}  // namespace kalvex::measure
