// What a user meets first: how --seconds counts, outputs that would collide,
// temperature outputs without a table, and the script-friendly forms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "kalvex_sequence.h"
#include "tool_runner.h"

namespace kalvex::tooltest {
namespace {

double SecondsInSummary(const std::string &out) {
    size_t at = out.find(" in ", out.find("captured "));
    return at == std::string::npos ? -1.0 : std::stod(out.substr(at + 4));
}

TEST(ToolUsability, SecondsCountFromTheFirstFrameAfterTheHoldWhateverTheirNumber) {
    std::string dir = Folder("usability_seconds");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin"}).status, 0);
    // A table load starts a 0.5 s hold: no frame can come before it ends, so
    // a run counted from its first frame lasts at least hold + seconds, for
    // runs shorter and longer than the hold alike.
    for (const char *seconds : {"0.2", "0.8"}) {
        SCOPED_TRACE(seconds);
        Result run = Kalvex(dir, {"capture", "--sim", "--table", "t.bin", "--nuc-hold", "500",
                                  "--seconds", seconds});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_GE(SecondsInSummary(run.out), 0.5 + std::stod(seconds)) << run.out;
        EXPECT_EQ(run.out.find("captured 0 frames"), std::string::npos) << run.out;
    }
}

TEST(ToolUsability, TwoOutputsToOneFileAreRefusedBeforeCapture) {
    std::string dir = Folder("usability_same_file");
    for (auto args : {std::vector<std::string>{"snap", "--sim", "--snapshot", "png:a.png",
                                               "--snapshot", "jpeg70:a.png"},
                      std::vector<std::string>{"capture", "--sim", "--frames", "1", "--snapshot",
                                               "png", "--snapshot", "png"},
                      std::vector<std::string>{"capture", "--sim", "--frames", "1", "--snapshot",
                                               "raw16:x.bin", "--record", "raw:./x.bin"}}) {
        Result run = Kalvex(dir, args);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.err.find("would both write"), std::string::npos) << run.err;
    }
    EXPECT_EQ(Size(dir + "/a.png"), -1);
    EXPECT_EQ(Size(dir + "/frame.png"), -1);
}

TEST(ToolUsability, TemperatureOutputsOfTheSimulatedCameraGetATable) {
    std::string dir = Folder("usability_temps");
    Result run =
        Kalvex(dir, {"snap", "--sim", "--spot", "320,240,40,37", "--snapshot", "temp-f32"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("loaded   a table for the simulated camera"), std::string::npos)
        << run.out;
    std::string temps = ReadFile(dir + "/snap.temp-f32");
    ASSERT_EQ(temps.size(), 1228800u);
    EXPECT_FLOAT_EQ(TemperatureAt(temps, 240, 320), 37.0f);
    run = Kalvex(
        dir, {"capture", "--sim", "--nuc-hold", "0", "--frames", "2", "--record", "temp:t.temp"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FLOAT_EQ(TemperatureAt(ReadFile(dir + "/t.temp"), 10, 10), 22.0f);
}

TEST(ToolUsability, JsonLinesAndTheVersionFlag) {
    std::string dir = Folder("usability_json");
    Result run = Kalvex(dir, {"capture", "--sim", "--nuc-hold", "0", "--frames", "3", "--snapshot",
                              "png", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line, last;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        last = line;
        ++count;
    }
    EXPECT_GE(count, 2);  // a status line and the summary
    EXPECT_EQ(last.rfind("{\"type\":\"summary\",\"frames\":3,", 0), 0u) << last;
    EXPECT_NE(last.find("\"path\":\"frame.png\""), std::string::npos) << last;
    EXPECT_NE(run.err.find("captured 3 frames"), std::string::npos) << run.err;

    run = Kalvex(dir, {"list", "--sim", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("[{\"camera\":0,\"name\":\"KalvexN7K_01\"", 0), 0u) << run.out;
    for (const char *flag : {"-v", "-V"}) {
        run = Kalvex(dir, {flag});
        EXPECT_EQ(run.status, 0) << flag;
        EXPECT_EQ(run.out.rfind("kalvex (library version 2032717)", 0), 0u) << run.out;
    }
}

// The number after "name": in a JSON line; -1 if absent or not a whole number.
long JsonCount(const std::string &line, const std::string &name) {
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("\"" + name + "\":([0-9]+)[,}]"))) return -1;
    return std::stol(m[1].str());
}

TEST(ToolUsability, JsonCountsLostHeldAndPausedFramesThatNeverGoDown) {
    std::string dir = Folder("usability_counts");
    ASSERT_EQ(Kalvex(dir, {"table", "write", "t.bin"}).status, 0);
    // The table's NUC and one a second, each holding 0.3 s of frames back.
    Result run = Kalvex(dir, {"capture", "--sim", "--table", "t.bin", "--nuc-hold", "300",
                              "--nuc-every", "1", "--seconds", "2.5", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line, last;
    long lost = 0, held = 0;
    while (std::getline(lines, line)) {
        SCOPED_TRACE(line);
        const long l = JsonCount(line, "lost"), h = JsonCount(line, "held");
        ASSERT_GE(l, 0);
        ASSERT_GE(h, 0);
        EXPECT_EQ(JsonCount(line, "pausedFrames"), 0);  // capture never pauses
        EXPECT_EQ(JsonCount(line, "dropped"), l + h);
        EXPECT_GE(l, lost);
        EXPECT_GE(h, held);
        lost = l;
        held = h;
        last = line;
    }
    ASSERT_EQ(last.rfind("{\"type\":\"summary\"", 0), 0u) << last;
    // At 30 frames a second: about 9 frames for each of at least two NUCs.
    EXPECT_GE(held, 10) << last;
    EXPECT_NE(last.find("\"libraryFps\":"), std::string::npos) << last;
    std::smatch fps;
    ASSERT_TRUE(std::regex_search(last, fps, std::regex("\"fps\":([0-9.]+)"))) << last;
    EXPECT_GT(std::stod(fps[1].str()), 0.0);
    EXPECT_NE(run.err.find(", held " + std::to_string(held)), std::string::npos) << run.err;
}

TEST(ToolUsability, SnapShowsTheFrameIdAsAnUnsignedDecimalNumber) {
    std::string dir = Folder("usability_frame_id");
    Result run = Kalvex(dir, {"snap", "--sim", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::smatch json, text;
    ASSERT_TRUE(std::regex_search(run.out, json, std::regex("\"frameId\":([0-9]+),"))) << run.out;
    ASSERT_TRUE(std::regex_search(run.err, text, std::regex("frame ([0-9]+) from camera 0")))
        << run.err;
    EXPECT_EQ(json[1].str(), text[1].str());
    EXPECT_LE(std::stoull(json[1].str()), 4294967295ull);
    EXPECT_NE(std::stoull(json[1].str()), 0ull);
}

TEST(ToolUsability, ASequenceRecordingOpensAgainWithItsFrames) {
    std::string dir = Folder("usability_sequence");
    Result run =
        Kalvex(dir, {"capture", "--sim", "--nuc-hold", "0", "--frames", "6", "--record", "seq"});
    ASSERT_EQ(run.status, 0) << run.err;
    const int32_t seq = KalvexSeq_OpenA((dir + "/capture.tiff").c_str());
    ASSERT_GT(seq, 0);
    const int32_t count = KalvexSeq_Count(seq);
    KalvexSeq_Close(seq);
    EXPECT_GE(count, 4);
    EXPECT_NE(run.out.find("recorded capture.tiff (" + std::to_string(count) + " frames"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Kalvex(dir, {"capture", "--sim", "--record", "seq-gzip"}).status, 2);
    run = Kalvex(dir, {"info", "capture.tiff"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("radiometric sequence, " + std::to_string(count) + " frames"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(", 0 skipped"), std::string::npos) << run.out;
    run = Kalvex(dir, {"info", "stdout.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not a TIFF file"), std::string::npos) << run.err;
}

TEST(ToolUsability, EveryCameraShowsTheHoldOfItsFirstDriftCheck) {
    // Only camera 3 is plugged: the library's drift reference (camera 0's
    // reading, none) is off by 25 degrees, so frames wait for a hold. Camera 0
    // at the same temperature has none. (The first status line comes a second in.)
    std::string dir = Folder("usability_camera_hold");
    for (const char *camera : {"3", "0"}) {
        SCOPED_TRACE(camera);
        Result run = Kalvex(dir, {"capture", "--sim", "--camera", camera, "--nuc-hold", "2000",
                                  "--seconds", "0.2", "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string first = run.out.substr(0, run.out.find('\n'));
        const size_t at = first.find("\"nucHoldLeft\":");
        ASSERT_NE(at, std::string::npos) << first;
        const double left = std::stod(first.substr(at + 14));
        if (std::string(camera) == "3") {
            EXPECT_GT(left, 0.0) << first;
            EXPECT_NE(first.find("\"frames\":0,"), std::string::npos) << first;
        } else {
            EXPECT_EQ(left, 0.0) << first;
        }
    }
}

TEST(ToolUsability, TheViewerSaysWhetherThePortIsTakenOrTheAddressIsWrong) {
    std::string dir = Folder("usability_view_bind");
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&addr), size), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr *>(&addr), &size), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    Result run = Kalvex(dir, {"view", "--sim", "--port", port, "--seconds", "1"});
    close(taken);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("port " + port + " on 127.0.0.1 is in use ("), std::string::npos)
        << run.err;
    run = Kalvex(dir, {"view", "--sim", "--listen", "999.1.1.1", "--seconds", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("999.1.1.1 is not an address ("), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("no event code"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace kalvex::tooltest
