// Measuring and seeing on the command line: the colouring of the library's
// colour image (--palette, --agc, --isotherm), named regions (--roi), their
// statistics per frame into a CSV file (--stats) and alarms on them
// (--alarm). Everything is parsed and checked before a camera is touched,
// with the library's own checks where it has them.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "kalvex_measure.h"

namespace kalvex_tool {

// The library's palette id of a name; UsageError listing the names otherwise.
int ParsePalette(const std::string &name, const std::string &option);

struct NamedRoi {
    std::string name;
    KalvexRoi roi{};
};

struct NamedAlarm {
    std::string text;  // as given: "hot:max>60,dwell=500ms"
    size_t roi = 0;    // index into the regions
    KalvexAlarm alarm{};
};

struct MeasureOptions {
    std::optional<std::string> palette;
    std::optional<std::string> agc;
    std::vector<KalvexIsotherm> isotherms;
    std::vector<NamedRoi> rois;
    std::string stats;  // CSV file, empty: none
    std::vector<NamedAlarm> alarms;
    std::vector<std::string> alarmTexts;  // resolved once every --roi is known

    // Colour: --palette, --agc, --isotherm; Frame: also --roi and --stats;
    // Stream (commands that watch frames come and go): also --alarm.
    enum class Scope { Colour, Frame, Stream };
    void AddTo(std::vector<Option> *options, Scope scope = Scope::Stream);
    // Resolves the alarms' regions; throws UsageError.
    void Check();
    // The colour options, when any of --palette, --agc, --isotherm was given.
    std::optional<KalvexColorOptions> Colour() const;
    // Regions need temperatures: the option that asks for them, or empty.
    std::string TemperatureOption() const;
};

// The measuring side of one run on an open instance: sets the colour of the
// library's outputs, defines the alarms, measures the regions of each frame
// into the CSV file and keeps the last statistics for the status line.
class MeasureRun {
  public:
    // Opens the CSV file and writes its header (Failure, code 9, when it
    // cannot); the path is relative to dir unless absolute.
    MeasureRun(const MeasureOptions &options, const std::string &dir);
    ~MeasureRun();
    MeasureRun(const MeasureRun &) = delete;
    MeasureRun &operator=(const MeasureRun &) = delete;

    // Before the first frame: the output colour and the alarms (Failure with
    // the library's code when refused).
    void Apply(int handle);
    // Statistics of the frame's regions, one CSV row each, flushed; false
    // when the library no longer holds the frame.
    bool Frame(int handle, uint32_t frameId);
    // Prints the alarm events waiting (before() first, once, when there are any).
    void PollAlarms(int handle, const std::function<void()> &before);

    bool HasRegions() const { return !options_.rois.empty(); }
    const std::string &StatsPath() const { return path_; }
    // "hot max 61.20 °C  panel mean 24.10 °C" for the status line.
    std::string StatusText() const;
    // {"hot":{"min":...,"max":...,"mean":...,"std":...,"count":...},...}
    std::string Json() const;
    long Rows() const { return rows_; }

  private:
    const MeasureOptions &options_;
    std::string path_;
    std::FILE *csv_ = nullptr;
    std::vector<KalvexRoi> rois_;
    std::vector<KalvexStats> last_;
    bool measured_ = false;
    std::vector<int32_t> alarmIds_;
    long rows_ = 0;
};

}  // namespace kalvex_tool
