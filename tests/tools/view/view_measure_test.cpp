// The viewer's measuring endpoints (/api/color, /api/rois, /api/alarms and
// /api/measure) against the simulated camera's discs, in this process.
#include <string>
#include <vector>

#include "kalvex_measure.h"
#include "view_fixture.h"
#include "view_json_read.h"

namespace kalvex::viewtest {
namespace {

using kalvex_tool::JsonValue;

class ViewMeasure : public ViewFixture {
  protected:
    // The newest measurement (after the frame numbered seq, when given).
    JsonValue Measure(long after = -1) const {
        std::string path = "/api/measure" + (after >= 0 ? "?after=" + std::to_string(after) : "");
        auto res = Client().Get(path.c_str());
        JsonValue v;
        std::string error;
        EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
        EXPECT_TRUE(res && kalvex_tool::ParseJson(res->body, &v, &error)) << error;
        return v;
    }
    // The region of that name in a measurement, or null.
    static const JsonValue *Roi(const JsonValue &m, const std::string &name) {
        for (const JsonValue &r : m.Find("rois")->items)
            if (r.Find("name")->text == name) return &r;
        return nullptr;
    }
    static double Num(const JsonValue *object, const char *name) {
        const JsonValue *v = object ? object->Find(name) : nullptr;
        return v && v->Is(JsonValue::Type::Number) ? v->number : -12345.0;
    }
    // The colour bar's entries as bytes, R, G, B, coldest first.
    static std::vector<int> Bar(const JsonValue &m) {
        std::vector<int> rgb;
        const std::string &hex = m.Find("bar")->Find("colors")->text;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            rgb.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
        return rgb;
    }
};

TEST_F(ViewMeasure, RegionsOverKnownDiscsReadTheirTemperatures) {
    ASSERT_TRUE(MoreFrames(2));
    // y = 0 is the top: the 80 °C disc is at y 120, not at the mirrored 360.
    auto res = Post("rois", R"({"rois":[
        {"name":"hot","kind":"box","x":440,"y":90,"w":61,"h":61},
        {"name":"mirror","kind":"box","x":440,"y":330,"w":61,"h":61},
        {"name":"warm","kind":"spot","x":200,"y":240,"r":10},
        {"name":"across","kind":"line","x0":100,"y0":240,"x1":300,"y1":240},
        {"name":"tri","kind":"polygon","points":[[0,0],[60,0],[0,60]]}]})");
    ASSERT_EQ(res->status, 200) << res->body;
    const JsonValue m = Measure(Seq());
    const JsonValue *hot = Roi(m, "hot");
    ASSERT_NE(hot, nullptr);
    EXPECT_DOUBLE_EQ(Num(hot, "max"), 80.0);
    EXPECT_DOUBLE_EQ(Num(hot, "min"), 22.0);
    EXPECT_EQ(Num(hot, "count"), 61 * 61);
    const double hx = Num(hot->Find("hottest"), "x"), hy = Num(hot->Find("hottest"), "y");
    EXPECT_LE((hx - kHotX) * (hx - kHotX) + (hy - kHotY) * (hy - kHotY), 35 * 35);
    EXPECT_DOUBLE_EQ(Num(Roi(m, "mirror"), "max"), 22.0);
    EXPECT_DOUBLE_EQ(Num(Roi(m, "warm"), "mean"), 37.0);
    EXPECT_DOUBLE_EQ(Num(Roi(m, "tri"), "max"), 22.0);
    const JsonValue *profile = Roi(m, "across")->Find("profile");
    ASSERT_EQ(profile->items.size(), 201u);
    EXPECT_DOUBLE_EQ(profile->items[0].number, 22.0);    // x 100
    EXPECT_DOUBLE_EQ(profile->items[100].number, 37.0);  // x 200, the disc's centre
    EXPECT_DOUBLE_EQ(profile->items[200].number, 22.0);

    // The histogram spans the frame and counts every pixel once.
    const JsonValue *h = m.Find("histogram");
    EXPECT_DOUBLE_EQ(Num(h, "low"), 22.0);
    EXPECT_DOUBLE_EQ(Num(h, "high"), 80.0);
    ASSERT_EQ(h->Find("bins")->items.size(), 64u);
    double total = 0;
    for (const JsonValue &b : h->Find("bins")->items) total += b.number;
    EXPECT_EQ(total, 640.0 * 480.0);
    EXPECT_GT(h->Find("bins")->items[16].number, 0);  // 37 °C: (37 - 22) / 58 * 64

    // Cleared: no regions, and the statistics follow the scene again.
    ASSERT_EQ(Post("rois", R"({"rois":[]})")->status, 200);
    EXPECT_TRUE(Measure(Seq()).Find("rois")->items.empty());
}

TEST_F(ViewMeasure, RefusalsAnswer400WithAReasonAndChangeNothing) {
    ASSERT_TRUE(MoreFrames(1));
    const std::string good = R"({"rois":[{"name":"a","kind":"box","x":0,"y":0,"w":10,"h":10}]})";
    ASSERT_EQ(Post("rois", good)->status, 200);
    ASSERT_EQ(Post("alarms", R"({"alarms":[{"roi":"a","stat":"max","above":60}]})")->status, 200);
    ASSERT_EQ(Post("color", R"({"palette":"ironbow"})")->status, 200);
    std::string many = R"({"rois":[)";
    for (int i = 0; i < 17; ++i)
        many += (i ? "," : "") + std::string(R"({"name":"n)") + std::to_string(i) +
                R"(","kind":"spot","x":1,"y":1})";
    many += "]}";
    std::string polygon = R"({"rois":[{"name":"p","kind":"polygon","points":[)";
    for (int i = 0; i <= KALVEX_ROI_MAX_VERTICES; ++i)
        polygon += (i ? "," : "") + std::string("[") + std::to_string(i) + ",0]";
    polygon += "]}]}";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"rois", R"({"rois":[{"name":"b","kind":"box","x":600,"y":0,"w":41,"h":10}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"box","x":0,"y":0,"w":0,"h":10}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"spot","x":-1,"y":0}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"line","x0":5,"y0":5,"x1":5,"y1":480}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"spot","x":5,"y":5,"emissivity":1.5}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"spot","x":5.5,"y":5}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"blob","x":5,"y":5}]})"},
        {"rois", R"({"rois":[{"name":"b c","kind":"spot","x":5,"y":5}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"spot","x":5,"y":5},
                             {"name":"b","kind":"spot","x":6,"y":5}]})"},
        {"rois", R"({"rois":[{"name":"b","kind":"polygon","points":[[0,0],[5,5],[10,10]]}]})"},
        {"rois", many},
        {"rois", polygon},
        {"rois", R"({"rois":[{"name":"b","kind":"spot","x":5,"y":5)"},  // cut short
        {"rois", ""},
        {"alarms", R"({"alarms":[{"roi":"zz","stat":"max","above":60}]})"},
        {"alarms", R"({"alarms":[{"roi":"a","stat":"median","above":60}]})"},
        {"alarms", R"({"alarms":[{"roi":"a","stat":"max","above":60,"below":10}]})"},
        {"alarms", R"({"alarms":[{"roi":"a","stat":"max","above":"hot"}]})"},
        {"alarms", R"({"alarms":[{"roi":"a","stat":"max","above":60,"hysteresis":-1}]})"},
        {"color", R"({"palette":"sepia"})"},
        {"color", R"({"agc":"gamma"})"},
        {"color", R"({"agc":"linear","tailPercent":60})"},
        {"color", R"({"isotherms":[{"mode":"above"}]})"},
        {"color", R"({"pallete":"grey"})"},
        {"color", "[1,2]"},
    };
    for (const auto &[action, body] : refused) {
        auto res = Post(action, body);
        ASSERT_TRUE(res) << body;
        EXPECT_EQ(res->status, 400) << action << " " << body << " -> " << res->body;
        EXPECT_NE(res->body.find("\"error\":"), std::string::npos) << res->body;
    }
    const JsonValue m = Measure(Seq());
    ASSERT_EQ(m.Find("rois")->items.size(), 1u);
    EXPECT_EQ(Num(Roi(m, "a"), "w"), 10);
    ASSERT_EQ(m.Find("alarms")->items.size(), 1u);
    EXPECT_EQ(Num(&m.Find("alarms")->items[0], "above"), 60);
    EXPECT_EQ(m.Find("color")->Find("palette")->text, "ironbow");
    EXPECT_EQ(m.Find("color")->Find("agc")->text, "range");
}

TEST_F(ViewMeasure, TheColourBarAndTheImageFollowPaletteAndContrast) {
    ASSERT_TRUE(MoreFrames(2));
    // Paused, a change of colours shows at once on the frame that stays.
    ASSERT_EQ(Post("pause")->status, 200);
    ASSERT_TRUE(Eventually([&] { return Field(Status(), "paused") == "true"; }));
    std::vector<uint8_t> palette(3 * KALVEX_PALETTE_ENTRIES);
    ASSERT_EQ(KalvexMeasure_PaletteColors(KALVEX_PALETTE_WHITE_HOT, palette.data(),
                                          static_cast<int32_t>(palette.size())),
              KALVEX_PALETTE_ENTRIES);
    ASSERT_EQ(Post("color", R"({"palette":"white-hot"})")->status, 200);
    const JsonValue white = Measure(Seq() - 1);
    EXPECT_EQ(white.Find("color")->Find("palette")->text, "white-hot");
    EXPECT_EQ(Bar(white), std::vector<int>(palette.begin(), palette.end()));
    // The range mode's bar ends are the colour range's (the automatic one
    // holds the frame's 22 to 80 °C).
    EXPECT_LE(Num(white.Find("bar"), "low"), 22.0);
    EXPECT_GE(Num(white.Find("bar"), "high"), 80.0);

    // The paused frame's picture, white-hot and then black-hot: the 80 °C
    // disc bright, then dark, the 22 °C background the other way round.
    auto picture = [&] {
        StreamParts stream;
        Client().Get("/stream.mjpg", [&](const char *data, size_t size) {
            stream.Feed(data, size);
            return stream.parts.empty();
        });
        int w = 0, h = 0;
        std::vector<unsigned char> rgb = stream.parts.empty()
                                             ? std::vector<unsigned char>()
                                             : DecodeJpeg(stream.parts[0].second, &w, &h);
        EXPECT_EQ(w, 640);
        return rgb;
    };
    auto luma = [](const std::vector<unsigned char> &rgb, int x, int y) {
        return rgb.size() < 640u * 480u * 3u ? -1 : rgb[(static_cast<size_t>(y) * 640 + x) * 3 + 1];
    };
    const std::vector<unsigned char> whiteHot = picture();
    EXPECT_GT(luma(whiteHot, kHotX, kHotY), 230);
    EXPECT_LT(luma(whiteHot, 40, 40), 40);
    ASSERT_EQ(Post("color", R"({"palette":"black-hot"})")->status, 200);
    const JsonValue black = Measure(Seq() - 1);
    std::vector<int> reversed = Bar(white);
    for (size_t i = 0; i < KALVEX_PALETTE_ENTRIES / 2; ++i)
        for (size_t c = 0; c < 3; ++c)
            std::swap(reversed[3 * i + c], reversed[3 * (KALVEX_PALETTE_ENTRIES - 1 - i) + c]);
    EXPECT_EQ(Bar(black), reversed);
    const std::vector<unsigned char> blackHot = picture();
    EXPECT_LT(luma(blackHot, kHotX, kHotY), 25);
    EXPECT_GT(luma(blackHot, 40, 40), 215);

    // Plateau equalisation maps the frame's own spread, unlike the range.
    ASSERT_EQ(Post("color", R"({"palette":"white-hot","agc":"plateau"})")->status, 200);
    const JsonValue plateau = Measure(Seq() - 1);
    EXPECT_EQ(plateau.Find("color")->Find("agc")->text, "plateau");
    EXPECT_NE(Bar(plateau), Bar(white));
}

TEST_F(ViewMeasure, AlarmsRiseAndClearAsEventsAndFollowTheirRegion) {
    ASSERT_TRUE(MoreFrames(2));
    ASSERT_EQ(Post("rois", R"({"rois":[{"name":"hot","kind":"box","x":440,"y":90,"w":61,"h":61}]})")
                  ->status,
              200);
    ASSERT_EQ(Post("alarms", R"({"alarms":[{"roi":"hot","stat":"max","above":60,"hysteresis":2}]})")
                  ->status,
              200);
    auto events = [&] { return Measure(Seq()).Find("alarmEvents")->items; };
    ASSERT_TRUE(Eventually([&] { return events().size() == 1; })) << hub_->Latest()->measure;
    EXPECT_TRUE(events()[0].Find("active")->boolean);
    EXPECT_DOUBLE_EQ(Num(&events()[0], "value"), 80.0);
    EXPECT_TRUE(Measure(Seq()).Find("alarms")->items[0].Find("active")->boolean);

    // The disc cools to 59 °C: below the threshold, not past the hysteresis.
    ASSERT_EQ(KalvexSim_ClearSpots(0), 1);
    KalvexSim_AddSpot(0, kHotX, kHotY, 35, 59.0);
    ASSERT_TRUE(MoreFrames(5));
    EXPECT_EQ(events().size(), 1u);
    // At 40 °C it clears.
    ASSERT_EQ(KalvexSim_ClearSpots(0), 1);
    KalvexSim_AddSpot(0, kHotX, kHotY, 35, 40.0);
    ASSERT_TRUE(Eventually([&] { return events().size() == 2; })) << hub_->Latest()->measure;
    EXPECT_FALSE(events()[0].Find("active")->boolean);  // newest first
    EXPECT_DOUBLE_EQ(Num(&events()[0], "value"), 40.0);
    EXPECT_EQ(events()[0].Find("roi")->text, "hot");

    // Moved, the region keeps its alarm; gone, it takes the alarm with it.
    ASSERT_EQ(
        Post("rois", R"({"rois":[{"name":"hot","kind":"box","x":0,"y":0,"w":9,"h":9}]})")->status,
        200);
    EXPECT_EQ(Measure(Seq()).Find("alarms")->items.size(), 1u);
    ASSERT_EQ(Post("rois", R"({"rois":[]})")->status, 200);
    EXPECT_TRUE(Measure(Seq()).Find("alarms")->items.empty());
}

}  // namespace
}  // namespace kalvex::viewtest
