// The measuring side of `kalvex view`: the image's colours (palette, contrast,
// isotherms), named regions with their statistics, alarms on a region's
// statistic and the events they raise, and for every published frame one JSON
// text with all of it (GET /api/measure). Lives on the engine's thread: every
// library call here is made there.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "kalvex_measure.h"
#include "view_hub.h"

namespace kalvex_tool {

inline constexpr int kViewMaxRegions = 16;
// Half the library's limit: a new list of alarms is defined before the old
// one goes, so that a refused list leaves the old one standing.
inline constexpr int kViewMaxAlarms = KALVEX_MAX_ALARMS / 2;
inline constexpr int kViewHistogramBins = 64;
inline constexpr size_t kViewAlarmEventsKept = 32;

class ViewMeasure {
  public:
    // celsius: a table is loaded (regions and alarms need temperatures).
    ViewMeasure(int handle, bool celsius, std::function<std::string(int)> eventWords);

    // The colours the command line gave the library's image before capture.
    void StartColour(const KalvexColorOptions &options);
    const KalvexColorOptions &colour() const { return colour_; }

    // POST /api/color: {"palette":"ironbow","agc":"plateau","plateauLimit":150,
    // "tailPercent":1,"damping":0,"isotherms":[{"mode":"above","t1":40,
    // "color":"#00ff00"}]}; members left out keep their value.
    ViewReply SetColour(const std::string &body);
    // POST /api/rois: {"rois":[{"name":"b1","kind":"box","x":0,"y":0,"w":8,"h":8},...]}
    // replaces every region; alarms follow their region by name.
    ViewReply SetRegions(const std::string &body);
    // POST /api/alarms: {"alarms":[{"roi":"b1","stat":"max","above":60,
    // "hysteresis":1,"dwellMs":500}]} ("below" instead of "above") replaces every alarm.
    ViewReply SetAlarms(const std::string &body);

    // Moves the library's waiting alarm events into the list the page shows.
    void PollAlarms();
    // Everything the page shows beside the image, for the frame with this id:
    // temps is that frame top row first (empty without a table); scratch a
    // buffer for one colour frame, overwritten.
    std::string FrameJson(long seq, uint32_t frameId, const std::vector<float> &temps,
                          std::vector<unsigned char> *scratch);

  private:
    struct Region {
        std::string name;
        KalvexRoi roi{};
    };
    struct Alarm {
        std::string roi;  // the region's name
        KalvexRoi region{};
        KalvexAlarm alarm{};
        int32_t id = 0;  // the library's
    };
    struct AlarmEvent {
        long number = 0;
        std::string roi;
        KalvexAlarm alarm{};
        KalvexAlarmEvent event{};
        long long wallMs = 0;  // when the viewer took it, ms since 1970
    };

    // The event code the library recorded last, its words, and the stack drained.
    std::string LibraryReason();
    void RemoveAlarms(const std::vector<Alarm> &alarms);

    int handle_;
    bool celsius_;
    std::function<std::string(int)> eventWords_;
    KalvexColorOptions colour_{};
    std::vector<Region> regions_;
    std::vector<Alarm> alarms_;
    std::deque<AlarmEvent> events_;
    long eventCount_ = 0;
};

}  // namespace kalvex_tool
