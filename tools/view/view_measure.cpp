#include "view_measure.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "frame_counts.h"
#include "kalvex.h"
#include "statistic_names.h"
#include "view_json.h"
#include "view_json_read.h"

namespace kalvex_tool {

namespace {

constexpr int kW = 640;
constexpr int kH = 480;
constexpr size_t kPixels = static_cast<size_t>(kW) * kH;
constexpr float kNoTemperature = -999.0f;
// Beyond any coordinate of a frame; keeps the conversion to int defined.
constexpr double kMaxCoordinate = 100000;
// A line across the frame has at most max(640, 480) pixels.
constexpr int kMaxProfile = 1024;
constexpr double kMaxDwellMs = 24.0 * 3600 * 1000;
// The isotherms' highlights, as the command line's --isotherm has them.
constexpr uint32_t kAboveColour = 0x00FF00;
constexpr uint32_t kBelowColour = 0x00FFFF;
constexpr uint32_t kBetweenColour = 0xFF00FF;

using Type = JsonValue::Type;

ViewReply Refused(int status, const std::string &why) {
    return {status, "{\"error\":" + JsonString(why) + "}"};
}

// The object a control's body must be, or a reason in *error.
bool BodyObject(const std::string &body, JsonValue *out, std::string *error) {
    std::string why;
    if (!ParseJson(body, out, &why)) {
        *error = "the body is not JSON (" + why + ")";
        return false;
    }
    if (!out->Is(Type::Object)) {
        *error = "the body must be a JSON object";
        return false;
    }
    return true;
}

// Members other than these are refused: a misspelt one would otherwise do nothing.
bool OnlyMembers(const JsonValue &object, std::initializer_list<const char *> names,
                 const std::string &what, std::string *error) {
    for (const JsonMember &member : object.members) {
        const std::string &key = member.key;
        if (std::none_of(names.begin(), names.end(), [&](const char *n) { return key == n; })) {
            std::string list;
            for (const char *n : names) list += (list.empty() ? "" : ", ") + std::string(n);
            *error = what + ": unknown member '" + key + "' (" + list + ")";
            return false;
        }
    }
    return true;
}

bool WholeNumber(const JsonValue *v, int32_t *out) {
    if (v == nullptr || !v->Is(Type::Number) || std::floor(v->number) != v->number ||
        std::fabs(v->number) > kMaxCoordinate)
        return false;
    *out = static_cast<int32_t>(v->number);
    return true;
}

bool PlainName(const std::string &name) {
    if (name.empty() || name.size() > 32) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

const char *KindName(int kind) {
    switch (kind) {
        case KALVEX_ROI_SPOT:
            return "spot";
        case KALVEX_ROI_BOX:
            return "box";
        case KALVEX_ROI_ELLIPSE:
            return "ellipse";
        case KALVEX_ROI_LINE:
            return "line";
        default:
            return "polygon";
    }
}

// The members that place each kind of region, in the order of KalvexRoi.v.
struct KindFields {
    const char *kind;
    int id;
    std::vector<const char *> fields;
};
const std::vector<KindFields> &Kinds() {
    static const std::vector<KindFields> kinds = {
        {"spot", KALVEX_ROI_SPOT, {"x", "y", "r"}},
        {"box", KALVEX_ROI_BOX, {"x", "y", "w", "h"}},
        {"ellipse", KALVEX_ROI_ELLIPSE, {"cx", "cy", "rx", "ry"}},
        {"line", KALVEX_ROI_LINE, {"x0", "y0", "x1", "y1"}},
        {"polygon", KALVEX_ROI_POLYGON, {}},
    };
    return kinds;
}

const char *AgcName(int agc) {
    return agc == KALVEX_AGC_LINEAR ? "linear" : agc == KALVEX_AGC_PLATEAU ? "plateau" : "range";
}

const char *IsothermName(int mode) {
    return mode == KALVEX_ISOTHERM_BELOW     ? "below"
           : mode == KALVEX_ISOTHERM_BETWEEN ? "between"
                                             : "above";
}

std::string Hex(uint32_t rgb) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(rgb & 0xFFFFFFu));
    return text;
}

bool ParseHex(const std::string &text, uint32_t *rgb) {
    if (text.size() != 7 || text[0] != '#') return false;
    uint32_t v = 0;
    for (size_t i = 1; i < 7; ++i) {
        const char c = text[i];
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
    }
    *rgb = v;
    return true;
}

bool ParseIsotherm(const JsonValue &v, KalvexIsotherm *iso, std::string *error) {
    const std::string what = "an isotherm";
    if (!v.Is(Type::Object)) return *error = what + " is an object", false;
    if (!OnlyMembers(v, {"mode", "t1", "t2", "color"}, what, error)) return false;
    const JsonValue *mode = v.Find("mode"), *t1 = v.Find("t1"), *t2 = v.Find("t2");
    const std::string name = mode && mode->Is(Type::String) ? mode->text : "";
    iso->mode = name == "above"     ? KALVEX_ISOTHERM_ABOVE
                : name == "below"   ? KALVEX_ISOTHERM_BELOW
                : name == "between" ? KALVEX_ISOTHERM_BETWEEN
                                    : 0;
    if (iso->mode == 0) return *error = what + ": mode is above, below or between", false;
    const bool between = iso->mode == KALVEX_ISOTHERM_BETWEEN;
    if (!t1 || !t1->Is(Type::Number) || (between && (!t2 || !t2->Is(Type::Number))))
        return *error = what + ": t1 (and t2 for between) in degrees", false;
    iso->t1 = static_cast<float>(t1->number);
    iso->t2 = between ? static_cast<float>(t2->number) : iso->t1;
    iso->color = between                              ? kBetweenColour
                 : iso->mode == KALVEX_ISOTHERM_ABOVE ? kAboveColour
                                                      : kBelowColour;
    if (const JsonValue *c = v.Find("color");
        c && !(c->Is(Type::String) && ParseHex(c->text, &iso->color)))
        return *error = what + ": color is \"#rrggbb\"", false;
    return true;
}

bool ParseRegion(const JsonValue &v, std::string *name, KalvexRoi *roi, std::string *error) {
    if (!v.Is(Type::Object)) return *error = "a region is an object", false;
    const JsonValue *n = v.Find("name"), *k = v.Find("kind");
    *name = n && n->Is(Type::String) ? n->text : "";
    if (!PlainName(*name))
        return *error = "a region's name is 1 to 32 letters, digits, '_' or '-'", false;
    const std::string what = "region '" + *name + "'";
    const std::string kind = k && k->Is(Type::String) ? k->text : "";
    auto found = std::find_if(Kinds().begin(), Kinds().end(),
                              [&](const KindFields &f) { return kind == f.kind; });
    if (found == Kinds().end())
        return *error = what + ": kind is spot, box, ellipse, line or polygon", false;
    *roi = KalvexRoi{};
    roi->kind = found->id;
    std::vector<const char *> members = {"name", "kind", "emissivity", "reflected"};
    if (roi->kind == KALVEX_ROI_POLYGON) {
        members.push_back("points");
        const JsonValue *points = v.Find("points");
        if (!points || !points->Is(Type::Array) || points->items.size() > KALVEX_ROI_MAX_VERTICES)
            return *error = what + ": points is a list of up to " +
                            std::to_string(KALVEX_ROI_MAX_VERTICES) + " [x, y] pairs",
                   false;
        for (size_t i = 0; i < points->items.size(); ++i) {
            const JsonValue &p = points->items[i];
            if (!p.Is(Type::Array) || p.items.size() != 2 ||
                !WholeNumber(&p.items[0], &roi->v[2 * i]) ||
                !WholeNumber(&p.items[1], &roi->v[2 * i + 1]))
                return *error = what + ": a point is [x, y] in whole pixels", false;
        }
        roi->count = static_cast<int32_t>(points->items.size());
    } else {
        for (size_t i = 0; i < found->fields.size(); ++i) {
            members.push_back(found->fields[i]);
            const JsonValue *f = v.Find(found->fields[i]);
            // A spot's radius may be left out: the one pixel.
            if (!f && roi->kind == KALVEX_ROI_SPOT && i == 2) continue;
            if (!WholeNumber(f, &roi->v[i])) {
                std::string list;
                for (const char *m : found->fields)
                    list += (list.empty() ? "" : ", ") + std::string(m);
                return *error = what + ": a " + kind + " has " + list + " in whole pixels", false;
            }
        }
    }
    for (const JsonMember &member : v.members)
        if (std::find_if(members.begin(), members.end(),
                         [&](const char *m) { return member.key == m; }) == members.end())
            return *error = what + ": unknown member '" + member.key + "'", false;
    if (const JsonValue *e = v.Find("emissivity")) {
        if (!e->Is(Type::Number)) return *error = what + ": emissivity is a number", false;
        roi->flags |= KALVEX_ROI_EMISSIVITY;
        roi->emissivity = static_cast<float>(e->number);
    }
    if (const JsonValue *r = v.Find("reflected")) {
        if (!r->Is(Type::Number)) return *error = what + ": reflected is in degrees", false;
        roi->flags |= KALVEX_ROI_REFLECTED;
        roi->reflected = static_cast<float>(r->number);
    }
    // The library's own checks, on an array the size of a frame: what it
    // refuses there it refuses on every frame.
    static const std::vector<float> zeros(kPixels, 0.0f);
    KalvexStats stats;
    if (KalvexMeasure_StatsOf(zeros.data(), kW, kH, nullptr, roi, 1, &stats) == 1) return true;
    KalvexRoi shape = *roi;
    shape.flags = 0;
    const bool shapeOk =
        KalvexMeasure_StatsOf(zeros.data(), kW, kH, nullptr, &shape, 1, &stats) == 1;
    *error = what + (shapeOk ? ": refused by the library (invalid argument, code 5): emissivity "
                               "must be above 0 and at most 1, reflected from -60 to 2100"
                             : ": refused by the library (invalid argument, code 5): not wholly "
                               "inside the 640 x 480 frame (x 0-639, y 0-479, y = 0 at the "
                               "top), or empty or degenerate");
    return false;
}

std::string RegionJson(const std::string &name, const KalvexRoi &roi) {
    JsonObject o;
    o.Add("name", JsonString(name));
    o.Add("kind", JsonString(KindName(roi.kind)));
    if (roi.kind == KALVEX_ROI_POLYGON) {
        std::string points;
        for (int i = 0; i < roi.count; ++i)
            points += (i ? ",[" : "[") + std::to_string(roi.v[2 * i]) + "," +
                      std::to_string(roi.v[2 * i + 1]) + "]";
        o.Add("points", "[" + points + "]");
    } else {
        for (const KindFields &k : Kinds())
            if (k.id == roi.kind)
                for (size_t i = 0; i < k.fields.size(); ++i)
                    o.Add(k.fields[i], std::to_string(roi.v[i]));
    }
    if (roi.flags & KALVEX_ROI_EMISSIVITY) o.Add("emissivity", JsonNumber(roi.emissivity));
    if (roi.flags & KALVEX_ROI_REFLECTED) o.Add("reflected", JsonNumber(roi.reflected));
    return o.Text();
}

std::string TemperatureJson(float t) {
    return t == kNoTemperature ? "null" : JsonNumber(t);
}

}  // namespace

ViewMeasure::ViewMeasure(int handle, bool celsius, std::function<std::string(int)> eventWords)
    : handle_(handle), celsius_(celsius), eventWords_(std::move(eventWords)) {
    KalvexMeasure_DefaultColorOptions(&colour_);
    if (!eventWords_) eventWords_ = [](int) { return std::string(); };
}

void ViewMeasure::StartColour(const KalvexColorOptions &options) {
    colour_ = options;
    colour_.custom = nullptr;  // the command line names its palettes
    colour_.rgb = 0;
}

std::string ViewMeasure::LibraryReason() {
    const int code = Kalvex_GetLastError(handle_);
    while (Kalvex_GetLastError(handle_) != 0) {
    }
    return eventWords_(code) + " (code " + std::to_string(code) + ")";
}

ViewReply ViewMeasure::SetColour(const std::string &body) {
    JsonValue v;
    std::string error;
    if (!BodyObject(body, &v, &error)) return Refused(400, error);
    if (!OnlyMembers(v, {"palette", "agc", "tailPercent", "plateauLimit", "damping", "isotherms"},
                     "colour", &error))
        return Refused(400, error);
    KalvexColorOptions next = colour_;
    if (const JsonValue *p = v.Find("palette")) {
        next.palette = p->Is(Type::String) ? KalvexMeasure_PaletteId(p->text.c_str()) : -1;
        if (next.palette < 0) {
            std::string names;
            for (int id = 0; id < KALVEX_PALETTE_COUNT; ++id)
                names += (id ? ", " : "") + std::string(KalvexMeasure_PaletteName(id));
            return Refused(400, "palette: one of " + names);
        }
    }
    if (const JsonValue *a = v.Find("agc")) {
        const std::string mode = a->Is(Type::String) ? a->text : "";
        next.agc = mode == "range"     ? KALVEX_AGC_RANGE
                   : mode == "linear"  ? KALVEX_AGC_LINEAR
                   : mode == "plateau" ? KALVEX_AGC_PLATEAU
                                       : -1;
        if (next.agc < 0) return Refused(400, "agc: range, linear or plateau");
    }
    for (auto [name, field] :
         {std::pair{"tailPercent", &next.tailPercent},
          std::pair{"plateauLimit", &next.plateauLimit}, std::pair{"damping", &next.damping}}) {
        if (const JsonValue *n = v.Find(name)) {
            if (!n->Is(Type::Number)) return Refused(400, std::string(name) + " is a number");
            *field = static_cast<float>(n->number);
        }
    }
    if (const JsonValue *list = v.Find("isotherms")) {
        if (!list->Is(Type::Array) || list->items.size() > KALVEX_MAX_ISOTHERMS)
            return Refused(400,
                           "isotherms: a list of up to " + std::to_string(KALVEX_MAX_ISOTHERMS));
        next.isothermCount = static_cast<int32_t>(list->items.size());
        for (size_t i = 0; i < list->items.size(); ++i)
            if (!ParseIsotherm(list->items[i], &next.isotherms[i], &error))
                return Refused(400, error);
    }
    // The library checks the ranges (tail below 50 %, plateau limit 1 or
    // more, damping below 1, isotherms' temperatures) and changes nothing
    // when it refuses.
    if (KalvexMeasure_SetOutputColor(handle_, &next) != 1)
        return Refused(400, "the library refused the colours: " + LibraryReason() +
                                "; tailPercent is 0 to below 50, plateauLimit 1 or more, "
                                "damping 0 to below 1");
    colour_ = next;
    return {200, "{\"palette\":" + JsonString(KalvexMeasure_PaletteName(colour_.palette)) +
                     ",\"agc\":" + JsonString(AgcName(colour_.agc)) + "}"};
}

ViewReply ViewMeasure::SetRegions(const std::string &body) {
    if (!celsius_) return Refused(409, "regions need temperatures: load a table (--table)");
    JsonValue v;
    std::string error;
    if (!BodyObject(body, &v, &error)) return Refused(400, error);
    if (!OnlyMembers(v, {"rois"}, "regions", &error)) return Refused(400, error);
    const JsonValue *list = v.Find("rois");
    if (!list || !list->Is(Type::Array) || list->items.size() > kViewMaxRegions)
        return Refused(400,
                       "rois: a list of up to " + std::to_string(kViewMaxRegions) + " regions");
    std::vector<Region> next;
    for (const JsonValue &item : list->items) {
        Region r;
        if (!ParseRegion(item, &r.name, &r.roi, &error)) return Refused(400, error);
        for (const Region &o : next)
            if (o.name == r.name) return Refused(400, "two regions are named '" + r.name + "'");
        next.push_back(r);
    }
    // Alarms follow their region: gone with it, or defined anew where it moved.
    PollAlarms();
    std::vector<Alarm> kept, dropped;
    for (Alarm a : alarms_) {
        auto same = std::find_if(next.begin(), next.end(),
                                 [&](const Region &r) { return r.name == a.roi; });
        if (same != next.end() && std::memcmp(&same->roi, &a.region, sizeof a.region) == 0) {
            kept.push_back(a);
            continue;
        }
        dropped.push_back(a);
        if (same == next.end()) continue;
        a.region = same->roi;
        a.id = KalvexMeasure_AddAlarm(handle_, &a.region, &a.alarm);
        if (a.id != 0)
            kept.push_back(a);
        else
            LibraryReason();  // the region passed the library's checks: not expected
    }
    RemoveAlarms(dropped);
    alarms_ = kept;
    regions_ = std::move(next);
    return {200, "{\"rois\":" + std::to_string(regions_.size()) +
                     ",\"alarms\":" + std::to_string(alarms_.size()) + "}"};
}

void ViewMeasure::RemoveAlarms(const std::vector<Alarm> &alarms) {
    for (const Alarm &a : alarms)
        if (KalvexMeasure_RemoveAlarm(handle_, a.id) != 1) LibraryReason();
}

ViewReply ViewMeasure::SetAlarms(const std::string &body) {
    if (!celsius_) return Refused(409, "alarms need temperatures: load a table (--table)");
    JsonValue v;
    std::string error;
    if (!BodyObject(body, &v, &error)) return Refused(400, error);
    if (!OnlyMembers(v, {"alarms"}, "alarms", &error)) return Refused(400, error);
    const JsonValue *list = v.Find("alarms");
    if (!list || !list->Is(Type::Array) || list->items.size() > kViewMaxAlarms)
        return Refused(400, "alarms: a list of up to " + std::to_string(kViewMaxAlarms));
    std::vector<Alarm> next;
    for (const JsonValue &item : list->items) {
        Alarm a;
        const std::string what = "alarm " + std::to_string(next.size() + 1);
        if (!item.Is(Type::Object)) return Refused(400, what + " is an object");
        if (!OnlyMembers(item, {"roi", "stat", "above", "below", "hysteresis", "dwellMs"}, what,
                         &error))
            return Refused(400, error);
        const JsonValue *roi = item.Find("roi"), *stat = item.Find("stat");
        const JsonValue *above = item.Find("above"), *below = item.Find("below");
        auto region = std::find_if(regions_.begin(), regions_.end(), [&](const Region &r) {
            return roi && roi->Is(Type::String) && r.name == roi->text;
        });
        if (region == regions_.end()) return Refused(400, what + ": roi names no region");
        a.roi = region->name;
        a.region = region->roi;
        a.alarm.statistic = stat && stat->Is(Type::String) ? StatisticId(stat->text) : 0;
        if (a.alarm.statistic == 0) return Refused(400, what + ": stat is min, max, mean or std");
        const JsonValue *threshold = above ? above : below;
        if ((above != nullptr) == (below != nullptr) || !threshold->Is(Type::Number))
            return Refused(400, what + ": give one threshold, above or below, in degrees");
        a.alarm.above = above != nullptr ? 1 : 0;
        a.alarm.threshold = static_cast<float>(threshold->number);
        if (const JsonValue *h = item.Find("hysteresis")) {
            if (!h->Is(Type::Number) || h->number < 0)
                return Refused(400, what + ": hysteresis is 0 or more degrees");
            a.alarm.hysteresis = static_cast<float>(h->number);
        }
        if (const JsonValue *d = item.Find("dwellMs")) {
            if (!d->Is(Type::Number) || d->number < 0 || d->number > kMaxDwellMs)
                return Refused(400, what + ": dwellMs is 0 to a day in milliseconds");
            a.alarm.dwellMs = static_cast<uint32_t>(std::lround(d->number));
        }
        next.push_back(a);
    }
    // Defined before the old ones go: a refusal leaves the old list standing.
    for (size_t i = 0; i < next.size(); ++i) {
        next[i].id = KalvexMeasure_AddAlarm(handle_, &next[i].region, &next[i].alarm);
        if (next[i].id == 0) {
            const std::string why = LibraryReason();
            next.resize(i);
            RemoveAlarms(next);
            return Refused(400,
                           "alarm " + std::to_string(i + 1) + " refused by the library: " + why);
        }
    }
    PollAlarms();  // the old alarms' last events still belong to the list
    RemoveAlarms(alarms_);
    alarms_ = std::move(next);
    return {200, "{\"alarms\":" + std::to_string(alarms_.size()) + "}"};
}

void ViewMeasure::PollAlarms() {
    KalvexAlarmEvent e;
    while (KalvexMeasure_PollAlarm(handle_, &e) == 1) {
        auto alarm = std::find_if(alarms_.begin(), alarms_.end(),
                                  [&](const Alarm &a) { return a.id == e.alarm; });
        if (alarm == alarms_.end()) continue;  // removed meanwhile
        AlarmEvent event;
        event.number = ++eventCount_;
        event.roi = alarm->roi;
        event.alarm = alarm->alarm;
        event.event = e;
        event.wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
        events_.push_back(event);
        while (events_.size() > kViewAlarmEventsKept) events_.pop_front();
    }
}

std::string ViewMeasure::FrameJson(long seq, uint32_t frameId, const std::vector<float> &temps,
                                   std::vector<unsigned char> *scratch) {
    JsonObject out;
    out.Add("seq", std::to_string(seq));
    out.Add("frame", FrameIdText(frameId));

    JsonObject colour;
    colour.Add("palette", JsonString(KalvexMeasure_PaletteName(colour_.palette)
                                         ? KalvexMeasure_PaletteName(colour_.palette)
                                         : "custom"));
    colour.Add("agc", JsonString(AgcName(colour_.agc)));
    colour.Add("tailPercent", JsonNumber(colour_.tailPercent));
    colour.Add("plateauLimit", JsonNumber(colour_.plateauLimit));
    colour.Add("damping", JsonNumber(colour_.damping));
    std::string isotherms;
    for (int i = 0; i < colour_.isothermCount; ++i) {
        const KalvexIsotherm &iso = colour_.isotherms[i];
        isotherms += std::string(i ? "," : "") + "{\"mode\":" + JsonString(IsothermName(iso.mode)) +
                     ",\"t1\":" + JsonNumber(iso.t1) + ",\"t2\":" + JsonNumber(iso.t2) +
                     ",\"color\":" + JsonString(Hex(iso.color)) + "}";
    }
    colour.Add("isotherms", "[" + isotherms + "]");
    std::string palettes;
    for (int id = 0; id < KALVEX_PALETTE_COUNT; ++id)
        palettes += (id ? "," : "") + JsonString(KalvexMeasure_PaletteName(id));
    colour.Add("palettes", "[" + palettes + "]");
    out.Add("color", colour.Text());

    // The colour bar as the current contrast maps this frame: the image
    // itself is coloured by the library, so its own bar says what it did.
    KalvexColorBar bar{};
    if (KalvexMeasure_Colorize(handle_, frameId, &colour_, scratch->data(),
                               static_cast<int32_t>(scratch->size()), &bar) == 1) {
        std::string colours(6 * KALVEX_PALETTE_ENTRIES, '0');
        static const char digits[] = "0123456789abcdef";
        for (size_t i = 0; i < 3 * KALVEX_PALETTE_ENTRIES; ++i) {
            colours[2 * i] = digits[bar.rgb[i] >> 4];
            colours[2 * i + 1] = digits[bar.rgb[i] & 15];
        }
        out.Add("bar", "{\"low\":" + TemperatureJson(bar.low) + ",\"high\":" +
                           TemperatureJson(bar.high) + ",\"colors\":\"" + colours + "\"}");
    } else {
        LibraryReason();  // the slot went meanwhile
        out.Add("bar", "null");
    }

    // The frame's histogram over its own temperature range.
    float lo = 0, hi = 0;
    size_t valid = 0;
    for (float t : temps) {
        if (t == kNoTemperature) continue;
        if (valid == 0 || t < lo) lo = t;
        if (valid == 0 || t > hi) hi = t;
        ++valid;
    }
    if (valid > 0) {
        std::vector<long> bins(kViewHistogramBins, 0);
        const double scale = hi > lo ? kViewHistogramBins / (static_cast<double>(hi) - lo) : 0;
        for (float t : temps) {
            if (t == kNoTemperature) continue;
            const auto b = static_cast<size_t>((t - lo) * scale);
            ++bins[std::min(b, bins.size() - 1)];
        }
        std::string counts;
        for (long b : bins) counts += (counts.empty() ? "" : ",") + std::to_string(b);
        out.Add("histogram", "{\"low\":" + JsonNumber(lo) + ",\"high\":" + JsonNumber(hi) +
                                 ",\"bins\":[" + counts +
                                 "],\"missing\":" + std::to_string(temps.size() - valid) + "}");
    } else {
        out.Add("histogram", "null");
    }

    std::vector<KalvexRoi> rois;
    for (const Region &r : regions_) rois.push_back(r.roi);
    std::vector<KalvexStats> stats(rois.size());
    const bool measured =
        !rois.empty() && KalvexMeasure_Stats(handle_, frameId, rois.data(),
                                             static_cast<int32_t>(rois.size()), stats.data()) == 1;
    if (!rois.empty() && !measured) LibraryReason();
    std::string regions;
    std::vector<float> profile(kMaxProfile);
    for (size_t i = 0; i < regions_.size(); ++i) {
        std::string r = RegionJson(regions_[i].name, regions_[i].roi);
        r.pop_back();  // the object goes on with the figures
        const KalvexStats &s = stats[i];
        if (measured && s.count > 0) {
            r += ",\"min\":" + JsonNumber(s.min) + ",\"max\":" + JsonNumber(s.max) +
                 ",\"mean\":" + JsonNumber(s.mean) + ",\"std\":" + JsonNumber(s.std) +
                 ",\"hottest\":{\"x\":" + std::to_string(s.hottestX) +
                 ",\"y\":" + std::to_string(s.hottestY) +
                 "},\"coldest\":{\"x\":" + std::to_string(s.coldestX) +
                 ",\"y\":" + std::to_string(s.coldestY) + "}";
        } else {
            r += ",\"min\":null,\"max\":null,\"mean\":null,\"std\":null,\"hottest\":null,"
                 "\"coldest\":null";
        }
        r += ",\"count\":" + std::to_string(measured ? s.count : 0) +
             ",\"missing\":" + std::to_string(measured ? s.missing : 0);
        if (regions_[i].roi.kind == KALVEX_ROI_LINE) {
            const int n = measured ? KalvexMeasure_Profile(handle_, frameId, &regions_[i].roi,
                                                           profile.data(), kMaxProfile)
                                   : 0;
            if (measured && n == 0) LibraryReason();
            std::string values;
            for (int k = 0; k < std::min(n, kMaxProfile); ++k)
                values += (k ? "," : "") + TemperatureJson(profile[static_cast<size_t>(k)]);
            r += ",\"profile\":[" + values + "]";
        }
        regions += (regions.empty() ? "" : ",") + r + "}";
    }
    out.Add("rois", "[" + regions + "]");

    std::string alarms;
    for (const Alarm &a : alarms_) {
        const int active = KalvexMeasure_AlarmActive(handle_, a.id);
        alarms += std::string(alarms.empty() ? "" : ",") + "{\"roi\":" + JsonString(a.roi) +
                  ",\"stat\":" + JsonString(StatisticName(a.alarm.statistic)) +
                  (a.alarm.above ? ",\"above\":" : ",\"below\":") + JsonNumber(a.alarm.threshold) +
                  ",\"hysteresis\":" + JsonNumber(a.alarm.hysteresis) +
                  ",\"dwellMs\":" + std::to_string(a.alarm.dwellMs) +
                  ",\"active\":" + (active == 1 ? "true" : "false") + "}";
    }
    out.Add("alarms", "[" + alarms + "]");
    std::string events;
    // Newest first, as the page lists them.
    for (auto e = events_.rbegin(); e != events_.rend(); ++e) {
        events += std::string(events.empty() ? "" : ",") + "{\"n\":" + std::to_string(e->number) +
                  ",\"roi\":" + JsonString(e->roi) +
                  ",\"stat\":" + JsonString(StatisticName(e->alarm.statistic)) +
                  (e->alarm.above ? ",\"above\":" : ",\"below\":") +
                  JsonNumber(e->alarm.threshold) +
                  ",\"active\":" + (e->event.active ? "true" : "false") +
                  ",\"value\":" + JsonNumber(e->event.value) +
                  ",\"frame\":" + FrameIdText(e->event.frameId) +
                  ",\"time\":" + std::to_string(e->wallMs) + "}";
    }
    out.Add("alarmEvents", "[" + events + "]");
    out.Add("alarmEventCount", std::to_string(eventCount_));
    return out.Text();
}

}  // namespace kalvex_tool
