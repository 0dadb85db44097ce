#include "measure_options.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "kalvex.h"
#include "kalvex_frame.h"
#include "outputs.h"
#include "statistic_names.h"
#include "view_json.h"

namespace kalvex_tool {

namespace {

constexpr int kFrameWidth = 640, kFrameHeight = 480;
// Highlight colours of the isotherms (0x00RRGGBB): none of them is a colour
// of the common palettes' middle, so the marked pixels stand out.
constexpr uint32_t kIsothermAboveColour = 0x00FF00;
constexpr uint32_t kIsothermBelowColour = 0x00FFFF;
constexpr uint32_t kIsothermBetweenColour = 0xFF00FF;
constexpr double kMaxDwellSeconds = 24.0 * 3600;

std::string PaletteNames() {
    std::string names;
    for (int id = 0; id < KALVEX_PALETTE_COUNT; ++id)
        names += (names.empty() ? "" : ", ") + std::string(KalvexMeasure_PaletteName(id));
    return names;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// Region names go into the CSV file and the alarm syntax unquoted.
bool PlainName(const std::string &name) {
    if (name.empty() || name.size() > 32) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    return true;
}

int Coordinate(const std::string &text, const std::string &what) {
    return ParseInt(text, what, -100000, 100000);
}

// NAME=KIND:GEOMETRY[,emissivity=E][,reflected=T]
NamedRoi ParseRoi(const std::string &text) {
    const std::string what = "--roi " + text;
    const size_t eq = text.find('=');
    const size_t colon = text.find(':');
    if (eq == std::string::npos || colon == std::string::npos || colon < eq)
        throw UsageError(what + ": give NAME=KIND:COORDINATES (spot, box, ellipse, line or poly)");
    NamedRoi r;
    r.name = text.substr(0, eq);
    if (!PlainName(r.name))
        throw UsageError(what + ": a region's name is 1 to 32 letters, digits, '_' or '-'");
    const std::string kind = text.substr(eq + 1, colon - eq - 1);
    std::vector<std::string> numbers;
    for (const std::string &part : Split(text.substr(colon + 1), ',')) {
        const size_t is = part.find('=');
        if (is == std::string::npos) {
            if (r.roi.flags != 0) throw UsageError(what + ": coordinates come before emissivity=");
            numbers.push_back(part);
            continue;
        }
        const std::string key = part.substr(0, is), value = part.substr(is + 1);
        if (key == "emissivity") {
            r.roi.flags |= KALVEX_ROI_EMISSIVITY;
            r.roi.emissivity = static_cast<float>(ParseDouble(value, what + ": emissivity"));
        } else if (key == "reflected") {
            r.roi.flags |= KALVEX_ROI_REFLECTED;
            r.roi.reflected = static_cast<float>(ParseDouble(value, what + ": reflected"));
        } else {
            throw UsageError(what + ": unknown setting '" + key + "' (emissivity or reflected)");
        }
    }
    auto take = [&](size_t least, size_t most) {
        if (numbers.size() < least || numbers.size() > most)
            throw UsageError(what + ": " + kind + " takes " + std::to_string(least) +
                             (most > least ? " or " + std::to_string(most) : std::string()) +
                             " comma-separated numbers");
        for (size_t i = 0; i < numbers.size(); ++i) r.roi.v[i] = Coordinate(numbers[i], what);
    };
    if (kind == "spot") {
        r.roi.kind = KALVEX_ROI_SPOT;
        take(2, 3);
    } else if (kind == "box") {
        r.roi.kind = KALVEX_ROI_BOX;
        take(4, 4);
    } else if (kind == "ellipse") {
        r.roi.kind = KALVEX_ROI_ELLIPSE;
        take(4, 4);
    } else if (kind == "line") {
        r.roi.kind = KALVEX_ROI_LINE;
        take(4, 4);
    } else if (kind == "poly") {
        r.roi.kind = KALVEX_ROI_POLYGON;
        // The vertices are X,Y;X,Y;...: rejoined, then split at the semicolons.
        std::string joined;
        for (const std::string &n : numbers) joined += (joined.empty() ? "" : ",") + n;
        const std::vector<std::string> vertices = Split(joined, ';');
        if (vertices.size() > KALVEX_ROI_MAX_VERTICES)
            throw UsageError(what + ": a polygon has at most " +
                             std::to_string(KALVEX_ROI_MAX_VERTICES) + " vertices");
        for (size_t i = 0; i < vertices.size(); ++i) {
            const std::vector<std::string> xy = Split(vertices[i], ',');
            if (xy.size() != 2)
                throw UsageError(what + ": a vertex is X,Y, not '" + vertices[i] + "'");
            r.roi.v[2 * i] = Coordinate(xy[0], what);
            r.roi.v[2 * i + 1] = Coordinate(xy[1], what);
        }
        r.roi.count = static_cast<int32_t>(vertices.size());
    } else {
        throw UsageError(what + ": unknown region kind '" + kind +
                         "' (spot, box, ellipse, line or poly)");
    }
    // The library's own checks, on an array the size of a frame: what it
    // refuses there it refuses on every frame.
    static const std::vector<float> zeros(static_cast<size_t>(kFrameWidth) * kFrameHeight, 0.0f);
    KalvexStats stats;
    if (KalvexMeasure_StatsOf(zeros.data(), kFrameWidth, kFrameHeight, nullptr, &r.roi, 1,
                              &stats) != 1) {
        KalvexRoi shape = r.roi;
        shape.flags = 0;
        const bool shapeOk = KalvexMeasure_StatsOf(zeros.data(), kFrameWidth, kFrameHeight, nullptr,
                                                   &shape, 1, &stats) == 1;
        throw UsageError(what + (shapeOk ? ": emissivity must be above 0 and at most 1, "
                                           "reflected from -60 to 2100"
                                         : ": not wholly inside the 640 x 480 frame (x 0-639, "
                                           "y 0-479, y = 0 at the top), or empty or "
                                           "degenerate (a polygon needs an area)"));
    }
    return r;
}

int ParseStatistic(const std::string &name, const std::string &what) {
    if (const int id = StatisticId(name)) return id;
    throw UsageError(what + ": unknown statistic '" + name + "' (min, max, mean or std)");
}

double StatisticOf(const KalvexStats &s, int statistic) {
    switch (statistic) {
        case KALVEX_STAT_MIN:
            return s.min;
        case KALVEX_STAT_MEAN:
            return s.mean;
        case KALVEX_STAT_STD:
            return s.std;
        default:
            return s.max;
    }
}

// "500ms", "0.5s" or a bare number of milliseconds.
uint32_t ParseDwell(const std::string &text, const std::string &what) {
    double scale = 1.0;
    std::string number = text;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
    } else if (number.size() > 1 && number.back() == 's') {
        number.pop_back();
        scale = 1000.0;
    }
    const double ms = ParseDouble(number, what + ": dwell", 0, kMaxDwellSeconds * 1000 / scale);
    return static_cast<uint32_t>(std::lround(ms * scale));
}

// UTC nanoseconds as 2024-05-01T12:34:56.789Z.
std::string UtcText(int64_t utcNs) {
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds(utcNs / 1000000)};
    const sys_days day = floor<days>(t);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{t - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string Celsius(double v) {
    char text[32];
    std::snprintf(text, sizeof text,
                  "%.2f \xC2\xB0"
                  "C",
                  v);
    return text;
}

}  // namespace

int ParsePalette(const std::string &name, const std::string &option) {
    const int id = KalvexMeasure_PaletteId(name.c_str());
    if (id < 0)
        throw UsageError(option + " " + name + " is not a palette (" + PaletteNames() + ")");
    return id;
}

void MeasureOptions::AddTo(std::vector<Option> *options, Scope scope) {
    options->push_back({"--palette", "NAME",
                        "palette of the colour images and AVI recordings: " + PaletteNames() +
                            " (default hue, the library's own)",
                        [this](const std::string &v) {
                            ParsePalette(v, "--palette");
                            palette = v;
                        }});
    options->push_back({"--agc", "MODE",
                        "contrast: range (default, the colour range), linear[:P] (P % of the "
                        "pixels clipped at each end, default 1) or plateau[:LIMIT] (histogram "
                        "equalisation, at most LIMIT pixels a value, default 150)",
                        [this](const std::string &v) {
                            const std::string mode = v.substr(0, v.find(':'));
                            const bool value = v.find(':') != std::string::npos;
                            if (mode == "linear" && value)
                                ParseDouble(v.substr(7), "--agc linear:P", 0, 49.99);
                            else if (mode == "plateau" && value)
                                ParseDouble(v.substr(8), "--agc plateau:LIMIT", 1, 1e9);
                            else if (value ||
                                     (mode != "range" && mode != "linear" && mode != "plateau"))
                                throw UsageError("--agc " + v +
                                                 " is not a contrast (range, linear[:P] or "
                                                 "plateau[:LIMIT])");
                            agc = v;
                        }});
    options->push_back(
        {"--isotherm", "above:T|below:T|between:T1,T2",
         "mark the pixels above, below or between temperatures (green, cyan, magenta; "
         "repeatable, up to 4)",
         [this](const std::string &v) {
             const std::string what = "--isotherm " + v;
             if (isotherms.size() == KALVEX_MAX_ISOTHERMS)
                 throw UsageError("at most " + std::to_string(KALVEX_MAX_ISOTHERMS) +
                                  " --isotherm");
             const size_t colon = v.find(':');
             const std::string mode = v.substr(0, colon);
             const std::string rest = colon == std::string::npos ? "" : v.substr(colon + 1);
             KalvexIsotherm iso{};
             if (mode == "above" || mode == "below") {
                 iso.mode = mode == "above" ? KALVEX_ISOTHERM_ABOVE : KALVEX_ISOTHERM_BELOW;
                 iso.color = mode == "above" ? kIsothermAboveColour : kIsothermBelowColour;
                 iso.t1 = static_cast<float>(ParseDouble(rest, what + ": T", -273.15, 1e5));
             } else if (mode == "between") {
                 const std::vector<double> t = ParseList(rest, what + ": T1,T2", 2);
                 if (t[0] > t[1] || t[0] < -273.15 || t[1] > 1e5)
                     throw UsageError(what + ": T1 must not be above T2");
                 iso.mode = KALVEX_ISOTHERM_BETWEEN;
                 iso.color = kIsothermBetweenColour;
                 iso.t1 = static_cast<float>(t[0]);
                 iso.t2 = static_cast<float>(t[1]);
             } else {
                 throw UsageError(what + ": give above:T, below:T or between:T1,T2");
             }
             isotherms.push_back(iso);
         }});
    if (scope == Scope::Colour) return;
    options->push_back(
        {"--roi", "NAME=KIND:COORDS",
         "a region to measure (repeatable): spot:X,Y[,R] box:X,Y,W,H ellipse:CX,CY,RX,RY "
         "line:X0,Y0,X1,Y1 poly:X,Y;X,Y;... in frame pixels (y = 0 at the top), each "
         "optionally ,emissivity=E[,reflected=T]",
         [this](const std::string &v) {
             NamedRoi r = ParseRoi(v);
             for (const NamedRoi &o : rois)
                 if (o.name == r.name) throw UsageError("two regions are named '" + r.name + "'");
             rois.push_back(r);
         }});
    options->push_back({"--stats", "FILE.csv",
                        "write each frame's statistics of every region: time (UTC), sequence, "
                        "region, min, max, mean, std, count",
                        [this](const std::string &v) {
                            if (v.empty()) throw UsageError("--stats needs a file name");
                            stats = v;
                        }});
    if (scope != Scope::Stream) return;
    options->push_back({"--alarm", "NAME:STAT>T[,hysteresis=H][,dwell=D]",
                        "raise an alarm when a region's min, max, mean or std is above (>) or "
                        "below (<) T for D (500ms, 2s); it clears H past T (repeatable)",
                        [this](const std::string &v) {
                            if (alarmTexts.size() == KALVEX_MAX_ALARMS)
                                throw UsageError("at most " + std::to_string(KALVEX_MAX_ALARMS) +
                                                 " --alarm");
                            alarmTexts.push_back(v);
                        }});
}

void MeasureOptions::Check() {
    alarms.clear();
    for (const std::string &text : alarmTexts) {
        const std::string what = "--alarm " + text;
        const size_t colon = text.find(':');
        if (colon == std::string::npos)
            throw UsageError(what + ": give NAME:STAT>T or NAME:STAT<T (NAME a --roi)");
        NamedAlarm a;
        a.text = text;
        const std::string name = text.substr(0, colon);
        bool found = false;
        for (size_t i = 0; i < rois.size(); ++i)
            if (rois[i].name == name) a.roi = i, found = true;
        if (!found) throw UsageError(what + ": no --roi is named '" + name + "'");
        const std::vector<std::string> parts = Split(text.substr(colon + 1), ',');
        const size_t op = parts[0].find_first_of("<>");
        if (op == std::string::npos)
            throw UsageError(what + ": give STAT>T or STAT<T (min, max, mean or std)");
        a.alarm.statistic = ParseStatistic(parts[0].substr(0, op), what);
        a.alarm.above = parts[0][op] == '>' ? 1 : 0;
        a.alarm.threshold =
            static_cast<float>(ParseDouble(parts[0].substr(op + 1), what + ": threshold"));
        for (size_t i = 1; i < parts.size(); ++i) {
            const size_t is = parts[i].find('=');
            const std::string key = parts[i].substr(0, is);
            const std::string value = is == std::string::npos ? "" : parts[i].substr(is + 1);
            if (key == "hysteresis")
                a.alarm.hysteresis =
                    static_cast<float>(ParseDouble(value, what + ": hysteresis", 0, 1e5));
            else if (key == "dwell")
                a.alarm.dwellMs = ParseDwell(value, what);
            else
                throw UsageError(what + ": unknown setting '" + parts[i] +
                                 "' (hysteresis=H or dwell=D)");
        }
        alarms.push_back(a);
    }
    if (!stats.empty() && rois.empty()) throw UsageError("--stats needs at least one --roi");
}

std::optional<KalvexColorOptions> MeasureOptions::Colour() const {
    if (!palette && !agc && isotherms.empty()) return std::nullopt;
    KalvexColorOptions o;
    KalvexMeasure_DefaultColorOptions(&o);
    if (palette) o.palette = KalvexMeasure_PaletteId(palette->c_str());
    if (agc) {
        const std::string mode = agc->substr(0, agc->find(':'));
        const bool value = agc->find(':') != std::string::npos;
        if (mode == "linear") {
            o.agc = KALVEX_AGC_LINEAR;
            if (value) o.tailPercent = static_cast<float>(std::stod(agc->substr(7)));
        } else if (mode == "plateau") {
            o.agc = KALVEX_AGC_PLATEAU;
            if (value) o.plateauLimit = static_cast<float>(std::stod(agc->substr(8)));
        }
    }
    o.isothermCount = static_cast<int32_t>(isotherms.size());
    for (size_t i = 0; i < isotherms.size(); ++i) o.isotherms[i] = isotherms[i];
    return o;
}

std::string MeasureOptions::TemperatureOption() const {
    if (!rois.empty()) return "--roi";
    if (!isotherms.empty()) return "--isotherm";
    return "";
}

MeasureRun::MeasureRun(const MeasureOptions &options, const std::string &dir) : options_(options) {
    for (const NamedRoi &r : options.rois) rois_.push_back(r.roi);
    last_.resize(rois_.size());
    if (options.stats.empty()) return;
    path_ = InDirectory(dir, options.stats);
    errno = 0;
    csv_ = std::fopen(path_.c_str(), "w");
    if (csv_ == nullptr)
        throw Failure("cannot write '" + path_ + "': " + std::strerror(errno), KALVEX_EV_FILE);
    std::fprintf(csv_, "time,sequence,region,min,max,mean,std,count\n");
    std::fflush(csv_);
}

MeasureRun::~MeasureRun() {
    if (csv_ != nullptr) std::fclose(csv_);
}

void MeasureRun::Apply(int handle) {
    if (std::optional<KalvexColorOptions> colour = options_.Colour()) {
        if (KalvexMeasure_SetOutputColor(handle, &*colour) != 1)
            throw Failure("the library refused the colour options", Kalvex_GetLastError(handle));
    }
    for (const NamedAlarm &a : options_.alarms) {
        const int32_t id = KalvexMeasure_AddAlarm(handle, &rois_[a.roi], &a.alarm);
        if (id == 0)
            throw Failure("the library refused --alarm " + a.text, Kalvex_GetLastError(handle));
        alarmIds_.push_back(id);
    }
}

bool MeasureRun::Frame(int handle, uint32_t frameId) {
    if (rois_.empty()) return true;
    std::vector<KalvexStats> stats(rois_.size());
    if (KalvexMeasure_Stats(handle, frameId, rois_.data(), static_cast<int32_t>(rois_.size()),
                            stats.data()) != 1)
        return false;
    KalvexFrameInfo info{};
    info.size = sizeof info;
    const bool known = KalvexFrame_GetInfo(handle, frameId, &info) == 1;
    last_ = stats;
    measured_ = true;
    if (csv_ == nullptr) return true;
    const std::string time = known ? UtcText(info.utcNs) : "";
    for (size_t i = 0; i < stats.size(); ++i) {
        const KalvexStats &s = stats[i];
        // A region without any temperature has no figures, only its count.
        if (s.count > 0)
            std::fprintf(csv_, "%s,%u,%s,%.3f,%.3f,%.3f,%.3f,%d\n", time.c_str(), info.sequence,
                         options_.rois[i].name.c_str(), static_cast<double>(s.min),
                         static_cast<double>(s.max), static_cast<double>(s.mean),
                         static_cast<double>(s.std), s.count);
        else
            std::fprintf(csv_, "%s,%u,%s,,,,,0\n", time.c_str(), info.sequence,
                         options_.rois[i].name.c_str());
        // Row by row: a crash loses at most the row being written.
        std::fflush(csv_);
        ++rows_;
    }
    return true;
}

void MeasureRun::PollAlarms(int handle, const std::function<void()> &before) {
    if (alarmIds_.empty()) return;
    KalvexAlarmEvent e;
    bool first = true;
    while (KalvexMeasure_PollAlarm(handle, &e) == 1) {
        size_t k = 0;
        while (k < alarmIds_.size() && alarmIds_[k] != e.alarm) ++k;
        if (k == alarmIds_.size()) continue;
        const NamedAlarm &a = options_.alarms[k];
        if (first) before();
        first = false;
        Say("alarm    %s %s: %s %s (frame %08x)\n", a.text.c_str(), e.active ? "raised" : "cleared",
            StatisticName(a.alarm.statistic), Celsius(e.value).c_str(),
            static_cast<unsigned>(e.frameId));
        if (JsonOutput()) {
            JsonObject j;
            j.Add("type", JsonString("alarm"));
            j.Add("alarm", JsonString(a.text));
            j.Add("region", JsonString(options_.rois[a.roi].name));
            j.Add("active", e.active ? "true" : "false");
            j.Add("value", JsonNumber(e.value));
            j.Add("frameId", std::to_string(e.frameId));
            SayJson(j.Text());
        }
    }
}

std::string MeasureRun::StatusText() const {
    std::string text;
    for (size_t i = 0; i < rois_.size(); ++i) {
        // A spot reads as its mean; every other region as its hottest pixel.
        const bool spot = rois_[i].kind == KALVEX_ROI_SPOT;
        const KalvexStats &s = last_[i];
        text += (text.empty() ? "" : "  ") + options_.rois[i].name + (spot ? " mean " : " max ");
        text += measured_ && s.count > 0 ? Celsius(spot ? s.mean : s.max) : "-";
    }
    return text;
}

std::string MeasureRun::Json() const {
    std::string out;
    for (size_t i = 0; i < rois_.size(); ++i) {
        const KalvexStats &s = last_[i];
        const bool any = measured_ && s.count > 0;
        JsonObject j;
        for (int stat = KALVEX_STAT_MIN; stat <= KALVEX_STAT_STD; ++stat)
            j.Add(StatisticName(stat), any ? JsonNumber(StatisticOf(s, stat)) : "null");
        j.Add("count", std::to_string(measured_ ? s.count : 0));
        out += (out.empty() ? "" : ",") + JsonString(options_.rois[i].name) + ":" + j.Text();
    }
    return "{" + out + "}";
}

}  // namespace kalvex_tool
