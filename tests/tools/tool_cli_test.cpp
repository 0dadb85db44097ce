// The kalvex program: command line, camera listing and table files.
#include <gtest/gtest.h>

#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

TEST(ToolUsage, BadCommandLinesExitTwoWithAUsageLine) {
    std::string dir = Folder("usage");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"list", "--bogus"},
        {"list", "--sim", "--no-sim"},
        {"list", "--camera", "8"},
        {"capture", "--frames", "x"},
        {"capture", "--frames"},
        {"capture", "--seconds", "-1"},
        {"capture", "--snapshot", "gif"},
        {"capture", "--snapshot", "14"},
        {"capture", "--snapshot", "png:"},
        {"capture", "--record", "mp4"},
        {"capture", "--record", "avi", "--record", "raw"},
        {"capture", "--spot", "1,2,3"},
        {"capture", "--spot", "1,2,-3,4"},
        {"capture", "--range", "1000"},
        {"capture", "--snapshot-every", "5"},
        {"capture", "--nuc", "extra"},
        {"snap", "--trigger=1"},
        {"table"},
        {"table", "write"},
        {"table", "copy", "a", "b"},
        {"table", "write", "t.bin", "--layout", "5"},
        {"table", "write", "t.bin", "--min", "50", "--max", "10"},
        {"demo", "--seconds", "soon"},
    };
    for (const auto &args : bad) {
        std::string line;
        for (const std::string &a : args) line += a + " ";
        SCOPED_TRACE(line);
        Result run = Kalvex(dir, args);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("usage: kalvex"), std::string::npos) << run.err;
    }
}

TEST(ToolUsage, HelpOnEveryCommand) {
    std::string dir = Folder("help");
    for (const char *command : {"list", "capture", "snap", "table", "demo"}) {
        SCOPED_TRACE(command);
        for (const char *flag : {"--help", "-h"}) {
            Result run = Kalvex(dir, {command, flag});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.out.rfind(std::string("usage: kalvex ") + command, 0), 0u) << run.out;
            EXPECT_NE(run.out.find("--help"), std::string::npos);
        }
    }
    Result run = Kalvex(dir, {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("capture"), std::string::npos);
}

TEST(ToolList, SimulatedCameraWithNameAndInternalTemperature) {
    std::string dir = Folder("list");
    Result run = Kalvex(dir, {"list", "--sim", "--internal", "30"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("0  KalvexN7K_01  30.0"), std::string::npos) << run.out;

    // With no real camera the default falls back to the simulator ...
    run = Kalvex(dir, {"list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("KalvexN7K_01"), std::string::npos);
    // ... unless it is refused; a simulated camera other than 0 is found too.
    run = Kalvex(dir, {"list", "--no-sim"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("event 2 (camera not available)"), std::string::npos) << run.err;
    run = Kalvex(dir, {"list", "--sim", "--camera", "5"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("5  KalvexN7K_06"), std::string::npos) << run.out;
}

TEST(ToolTable, WritesEveryLayoutAndSummarisesIt) {
    std::string dir = Folder("table");
    struct Case {
        int layout;
        int64_t size;
        const char *line;
    } cases[] = {
        {0, 4 + 8 * 64, "layout      headerless"},
        {1, 28 + 8 * 16384, "version 1 (\"VELKAR THERMO TABLE 1000\")"},
        {2, 36 + 8 * 16384, "version 2 (\"VELKAR THERMO TABLE 2000\")"},
        {3, 32 + 8 * 16384, "version 3 (\"VELKAR THERMO TABLE 3000\")"},
        {4, 48 + 8 * 64, "version 4 (\"VELKAR THERMO TABLE 4000\")"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout);
        std::string file = "t" + std::to_string(c.layout) + ".bin";
        Result run = Kalvex(dir, {"table", "write", file, "--layout", std::to_string(c.layout)});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Size(dir + "/" + file), c.size);
        run = Kalvex(dir, {"table", file});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("celsius     -20.00 .. 150.00"), std::string::npos) << run.out;
    }
    // Raw range of the default version-4 table: base(-20) .. base(150) on the
    // simulator's calibration line, and the drift model it carries.
    Result run = Kalvex(dir, {"table", "show", "t4.bin"});
    EXPECT_NE(run.out.find("raw         6320 .. 13120"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("shift (0.1 * t + 4)"), std::string::npos) << run.out;
    run = Kalvex(dir, {"table", "write", "few.bin", "--points", "5", "--min", "0", "--max", "100"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("points      5 (0 without"), std::string::npos) << run.out;
}

TEST(ToolTable, RefusesWhatTheLibraryWouldRefuse) {
    std::string dir = Folder("table_bad");
    auto write = [&](const std::string &name, const std::string &bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    };
    std::string magic4 = "VELKAR THERMO TABLE 4000";
    std::string count2(4, '\0');
    count2[0] = 2;
    write("short4.bin", magic4 + std::string(10, '\0'));
    write("truncated.bin", count2 + std::string(12, '\0'));  // 2 points need 16 bytes
    write("zero.bin", std::string(4, '\0'));
    std::string v2 = "VELKAR THERMO TABLE 2000" + std::string(4, '\0');  // no table at all
    write("empty2.bin", v2);
    std::string v2far = "VELKAR THERMO TABLE 2000" + std::string("\x01\0\0\0", 4) +
                        std::string("\xFF\xFF\0\0", 4);  // table 0 beyond the end
    write("far2.bin", v2far);
    for (const char *name :
         {"short4.bin", "truncated.bin", "zero.bin", "empty2.bin", "far2.bin", "missing.bin"}) {
        SCOPED_TRACE(name);
        Result run = Kalvex(dir, {"table", "show", name});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("event 9 (file error)"), std::string::npos) << run.err;
    }
    // Exactly enough bytes is fine, and the points are reported as they are.
    std::string points(16, '\0');
    points[0] = '\x10';  // raw 16, 0.0
    points[8] = '\x08';  // raw 8, 0.0: out of order
    write("exact.bin", count2 + points);
    Result run = Kalvex(dir, {"table", "exact.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("NOT in ascending raw order"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("raw         8 .. 16"), std::string::npos) << run.out;
}

TEST(ToolFailures, LibraryFailuresNameTheirEventCode) {
    std::string dir = Folder("failures");
    Result run = Kalvex(dir, {"capture", "--sim", "--frames", "1", "--table", "nowhere.bin"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("event 9 (file error)"), std::string::npos) << run.err;
    run = Kalvex(dir, {"snap", "--no-sim"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("event 2 (camera not available)"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace kalvex::tooltest
