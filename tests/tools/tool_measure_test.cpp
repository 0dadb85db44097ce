// The kalvex program's measuring options against the simulated camera:
// regions and their CSV statistics, alarms, palettes of the colour files, and
// the refusals of the command line.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ToolMeasure, RegionsGoToTheCsvEveryFrameAlarmsRiseAndTheAviTakesThePalette) {
    const std::string dir = Folder("measure_capture");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "table.bin"}).status, 0);
    Result run = Kalvex(dir, {"capture",    "--sim",
                              "--nuc-hold", "0",
                              "--frames",   "4",
                              "--table",    "table.bin",
                              "--spot",     "320,240,30,60",
                              "--roi",      "hot=box:300,220,40,40",
                              "--roi",      "bg=spot:50,50,2",
                              "--stats",    "s.csv",
                              "--alarm",    "hot:max>50,dwell=0ms",
                              "--alarm",    "bg:max>30",
                              "--palette",  "white-hot",
                              "--record",   "avi:c.avi"});
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("alarm    hot:max>50,dwell=0ms raised: max 60.00"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("bg:max>30"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("hot max 60.00 \xC2\xB0"
                           "C  bg mean 22.00"),
              std::string::npos)
        << run.out;

    // A header, then per frame one row per region, in the order given.
    const std::vector<std::string> csv = Lines(ReadFile(dir + "/s.csv"));
    ASSERT_GE(csv.size(), 3u);
    EXPECT_EQ(csv[0], "time,sequence,region,min,max,mean,std,count");
    EXPECT_NE(run.out.find("stats    s.csv (" + std::to_string(csv.size() - 1) + " rows)"),
              std::string::npos)
        << run.out;
    EXPECT_EQ((csv.size() - 1) % 2, 0u);
    const std::regex row(
        R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z),(\d+),(hot|bg),([-.\d]+),([-.\d]+),([-.\d]+),([-.\d]+),(\d+))");
    std::map<std::string, int> perSequence;
    for (size_t i = 1; i < csv.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(csv[i], m, row)) << csv[i];
        EXPECT_EQ(m[3], i % 2 == 1 ? "hot" : "bg");
        ++perSequence[m[2]];
        if (m[3] == "hot") {
            EXPECT_NEAR(std::stod(m[5]), 60.0, 0.01) << csv[i];
            EXPECT_EQ(m[8], "1600");
        } else {
            EXPECT_NEAR(std::stod(m[5]), 22.0, 0.01) << csv[i];
            EXPECT_EQ(m[8], "13");  // the pixels within 2 of the centre
        }
    }
    for (const auto &[sequence, rows] : perSequence) EXPECT_EQ(rows, 2) << sequence;

    // White-hot: the AVI's first frame is grey, the hot disc near white and
    // the background dark (frames are bottom-up BGR).
    const std::string avi = ReadFile(dir + "/c.avi");
    ASSERT_GT(avi.size(), 240u + 640 * 480 * 3);
    auto pixel = [&](int x, int y) { return avi.substr(240 + ((479 - y) * 640 + x) * 3, 3); };
    const std::string hot = pixel(320, 240), bg = pixel(50, 50);
    EXPECT_TRUE(hot[0] == hot[1] && hot[1] == hot[2] && bg[0] == bg[1] && bg[1] == bg[2]);
    EXPECT_GT(static_cast<uint8_t>(hot[0]), 200);
    EXPECT_LT(static_cast<uint8_t>(bg[0]), 60);
}

TEST(ToolMeasure, PalettesChangeTheSnapshotWhiteHotBrighterWhereHotterBlackHotDarker) {
    const std::string dir = Folder("measure_palette");
    auto snap = [&](const std::string &palette) {
        std::vector<std::string> args = {
            "snap",          "--sim",  "--nuc-hold",    "0",          "--spot",
            "320,240,40,60", "--spot", "100,100,20,30", "--snapshot", "raw:" + palette + ".bgr"};
        if (palette != "default") args.insert(args.end(), {"--palette", palette});
        Result run = Kalvex(dir, args);
        EXPECT_EQ(run.status, 0) << run.err << run.out;
        return ReadFile(dir + "/" + palette + ".bgr");
    };
    // Raw BGR snapshots are upright: scene line y is row y.
    auto grey = [](const std::string &image, int x, int y) {
        const std::string p = image.substr((static_cast<size_t>(y) * 640 + x) * 3, 3);
        EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
        return static_cast<uint8_t>(p[0]);
    };
    const std::string white = snap("white-hot"), black = snap("black-hot"), own = snap("default");
    ASSERT_EQ(white.size(), 640u * 480 * 3);
    ASSERT_EQ(black.size(), white.size());
    EXPECT_GT(grey(white, 320, 240), grey(white, 100, 100));
    EXPECT_GT(grey(white, 100, 100), grey(white, 500, 400));
    EXPECT_LT(grey(black, 320, 240), grey(black, 100, 100));
    EXPECT_LT(grey(black, 100, 100), grey(black, 500, 400));
    EXPECT_NE(own, white);
}

TEST(ToolMeasure, BadRegionsPalettesAndThresholdsAreUsageErrorsBeforeTheCamera) {
    const std::string dir = Folder("measure_refusals");
    // --no-sim: had the camera been touched, the run would fail with 1 instead.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--palette", "sepia"}, "ironbow, rainbow"},
        {{"--agc", "plateau:0"}, "--agc plateau:LIMIT"},
        {{"--agc", "gamma"}, "not a contrast"},
        {{"--isotherm", "between:40,30"}, "T1 must not be above T2"},
        {{"--roi", "a=box:630,0,20,20"}, "not wholly inside"},
        {{"--roi", "a=poly:1,1;5,5;9,9"}, "degenerate"},
        {{"--roi", "a=spot:5,5,emissivity=1.5"}, "emissivity must be"},
        {{"--roi", "a=hexagon:1,2"}, "unknown region kind"},
        {{"--roi", "a=spot:5,5", "--roi", "a=spot:9,9"}, "two regions"},
        {{"--roi", "a=spot:5,5", "--alarm", "a:max>warm"}, "threshold must be a decimal"},
        {{"--roi", "a=spot:5,5", "--alarm", "a:median>3"}, "unknown statistic"},
        {{"--roi", "a=spot:5,5", "--alarm", "b:max>3"}, "no --roi is named 'b'"},
        {{"--roi", "a=spot:5,5", "--alarm", "a:max>3,dwell=soon"}, "dwell"},
        {{"--stats", "s.csv"}, "needs at least one --roi"},
    };
    for (const auto &[args, message] : cases) {
        std::vector<std::string> command = {"capture", "--no-sim", "--stats", "s.csv"};
        command.insert(command.end(), args.begin(), args.end());
        Result run = Kalvex(dir, command);
        EXPECT_EQ(run.status, 2) << args.back() << ": " << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << args.back() << ": " << run.err;
        EXPECT_EQ(Size(dir + "/s.csv"), -1) << args.back();
    }
}

}  // namespace
}  // namespace kalvex::tooltest
