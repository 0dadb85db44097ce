// The viewer's endpoints against the simulated camera, in this process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "kalvex_sequence.h"
#include "view_fixture.h"

namespace kalvex::viewtest {
namespace {

// The library's own reading of a frame, picture row y (top first), column x.
float LibraryTemperature(int handle, int frame, int x, int y) {
    std::vector<float> t(640 * 480);
    if (Kalvex_GetTemperature(handle, frame, t.data(), static_cast<int>(t.size() * 4)) != 1)
        return -1000.0f;
    return t[static_cast<size_t>(479 - y) * 640 + static_cast<size_t>(x)];
}

using ViewEndpoints = ViewFixture;

TEST_F(ViewEndpoints, StreamDeliversUprightJpegFramesOfTheLibrarysColours) {
    StreamParts stream;
    auto res = Client().Get("/stream.mjpg", [&](const char *data, size_t size) {
        stream.Feed(data, size);
        return stream.parts.size() < 3;
    });
    ASSERT_EQ(stream.parts.size(), 3u);
    EXPECT_NE(stream.parts[0].first, stream.parts[2].first);  // live: new frames
    // Paused, the newest frame stays in the ring, so the library can be asked
    // for the very frame the stream sends.
    ASSERT_EQ(Post("pause")->status, 200);
    ASSERT_TRUE(Eventually([&] { return Field(Status(), "state") == "\"paused\""; }));
    StreamParts paused;
    Client().Get("/stream.mjpg", [&](const char *data, size_t size) {
        paused.Feed(data, size);
        return paused.parts.empty();
    });
    ASSERT_EQ(paused.parts.size(), 1u);
    auto [frameId, jpeg] = paused.parts.back();
    std::vector<unsigned char> bgr(640 * 480 * 3);
    ASSERT_EQ(Kalvex_GetColor(handle_, static_cast<int>(frameId), bgr.data(),
                              static_cast<int>(bgr.size())),
              1);
    int w = 0, h = 0;
    std::vector<unsigned char> rgb = DecodeJpeg(jpeg, &w, &h);
    ASSERT_EQ(w, 640);
    ASSERT_EQ(h, 480);
    // The hot disc is above the midline in the picture, where the library's
    // bottom-up buffer has it in row 479 - y.
    for (auto [x, y] : {std::pair{kHotX, kHotY}, std::pair{kSpotX, kSpotY}, std::pair{40, 40}}) {
        const unsigned char *lib = &bgr[(static_cast<size_t>(479 - y) * 640 + x) * 3];
        const unsigned char *got = &rgb[(static_cast<size_t>(y) * 640 + x) * 3];
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[c], lib[2 - c], 12) << "pixel " << x << "," << y << " channel " << c;
    }
}

TEST_F(ViewEndpoints, AClientArrivingDuringAPauseSeesThePausedFrame) {
    // Nobody watched so far, so no frame was encoded yet.
    ASSERT_TRUE(MoreFrames(2));
    ASSERT_EQ(Post("pause")->status, 200);
    ASSERT_TRUE(Eventually([&] { return Field(Status(), "state") == "\"paused\""; }));
    long seq = Seq();
    StreamParts stream;
    Client().Get("/stream.mjpg", [&](const char *data, size_t size) {
        stream.Feed(data, size);
        return stream.parts.size() < 2;  // the frame, and it again a second later
    });
    ASSERT_EQ(stream.parts.size(), 2u);
    EXPECT_EQ(stream.parts[0].first, stream.parts[1].first);
    EXPECT_EQ(stream.parts[0].first, hub_->Latest()->frameId);
    EXPECT_GE(Seq(), seq);
}

TEST_F(ViewEndpoints, TemperaturesMatchTheLibraryForTheSameFrame) {
    ASSERT_TRUE(MoreFrames(2));
    ASSERT_EQ(Post("pause")->status, 200);
    httplib::Client client = Client();
    for (auto [x, y] : {std::pair{kSpotX, kSpotY}, std::pair{kHotX, kHotY - 30}, std::pair{0, 0},
                        std::pair{639, 479}}) {
        auto res = client.Get(
            ("/api/temperature?x=" + std::to_string(x) + "&y=" + std::to_string(y)).c_str());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
        int frame = static_cast<int>(std::stoul(Field(res->body, "frame")));
        float want = LibraryTemperature(handle_, frame, x, y);
        EXPECT_FLOAT_EQ(std::stof(Field(res->body, "celsius")), want) << x << "," << y;
    }
    EXPECT_FLOAT_EQ(std::stof(Field(client.Get("/api/temperature?x=200&y=240")->body, "celsius")),
                    37.0f);

    auto whole = client.Get("/api/temperatures");
    ASSERT_EQ(whole->status, 200);
    ASSERT_EQ(whole->body.size(), 640u * 480u * 4u);
    int frame = static_cast<int>(std::stoul(whole->get_header_value("X-Frame-Id")));
    std::vector<float> lib(640 * 480);
    ASSERT_EQ(Kalvex_GetTemperature(handle_, frame, lib.data(), static_cast<int>(lib.size() * 4)),
              1);
    for (int y = 0; y < 480; y += 7) {
        ASSERT_EQ(std::memcmp(whole->body.data() + static_cast<size_t>(y) * 640 * 4,
                              &lib[static_cast<size_t>(479 - y) * 640], 640 * 4),
                  0)
            << "row " << y;
    }
}

TEST_F(ViewEndpoints, RefusesForeignHostsOriginsAndMethodsAndBadRequests) {
    ASSERT_TRUE(MoreFrames(1));
    httplib::Client client = Client();
    const std::string own = "http://127.0.0.1:" + std::to_string(port());
    auto get = [&](const std::string &path, httplib::Headers h = {}) {
        auto r = client.Get(path.c_str(), h);
        return r ? r->status : -1;
    };
    auto post = [&](const std::string &path, httplib::Headers h, const std::string &body = "") {
        auto r = client.Post(path.c_str(), h, body, "text/plain");
        return r ? r->status : -1;
    };
    // DNS rebinding: a name that resolves here, but is not what is served.
    EXPECT_EQ(get("/api/status", {{"Host", "attacker.example:" + std::to_string(port())}}), 403);
    EXPECT_EQ(get("/", {{"Host", "127.0.0.1:1"}}), 403);
    EXPECT_EQ(get("/api/status", {{"Host", "localhost:" + std::to_string(port())}}), 200);
    // Controls: POST with this server's own Origin only.
    EXPECT_EQ(post("/api/nuc", {}), 403);
    EXPECT_EQ(post("/api/nuc", {{"Origin", "http://attacker.example"}}), 403);
    EXPECT_EQ(post("/api/nuc", {{"Origin", "null"}}), 403);
    EXPECT_EQ(get("/api/nuc", {{"Origin", own}}), 405);
    EXPECT_EQ(post("/api/launch", {{"Origin", own}}), 404);
    // Bad requests.
    EXPECT_EQ(get("/no/such/page"), 404);
    for (const char *q :
         {"x=640&y=0", "x=0&y=480", "x=-1&y=0", "x=1e2&y=0", "x=&y=", "y=3", "x=99999999999&y=1"})
        EXPECT_EQ(get(std::string("/api/temperature?") + q), 400) << q;
    EXPECT_EQ(post("/api/range", {{"Origin", own}}, std::string(100000, '1')), 413);
    EXPECT_EQ(post("/api/range", {{"Origin", own}}, "20,nonsense"), 400);
    EXPECT_EQ(post("/api/range", {{"Origin", own}}, "40,30"), 400);
    EXPECT_EQ(post("/api/record", {{"Origin", own}}, "mp4"), 400);
    EXPECT_EQ(get("/api/snapshot/99/0"), 404);
    // None of it disturbed the capture.
    EXPECT_TRUE(MoreFrames(3));
    EXPECT_EQ(Field(Status(), "state"), "\"live\"");
}

TEST_F(ViewEndpoints, TokenIsRequiredWhenTheServerHasOneAndPortsAreNotShared) {
    StopViewer();
    StartViewer("0123456789abcdef0123456789abcdef");
    httplib::Client client = Client();
    EXPECT_EQ(client.Get("/api/status")->status, 401);
    EXPECT_EQ(client.Get("/api/status?token=0123456789abcdef0123456789abcdee")->status, 401);
    EXPECT_EQ(client.Get("/api/status?token=0123456789abcdef0123456789abcdef")->status, 200);
    EXPECT_EQ(client.Get("/", {{"X-Kalvex-Token", "0123456789abcdef0123456789abcdef"}})->status,
              200);
    EXPECT_NE(server_->Url().find("?token=0123456789abcdef0123456789abcdef"), std::string::npos);

    // A second viewer on the same port would take half the connections.
    kalvex_tool::ViewServerConfig same;
    same.port = port();
    EXPECT_FALSE(ViewServer(*hub_, same).Bind());

    EXPECT_TRUE(kalvex_tool::IsLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(kalvex_tool::IsLoopbackAddress("127.3.2.1"));
    EXPECT_TRUE(kalvex_tool::IsLoopbackAddress("::1"));
    EXPECT_FALSE(kalvex_tool::IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(kalvex_tool::IsLoopbackAddress("::"));
    EXPECT_FALSE(kalvex_tool::IsLoopbackAddress("127.example.com"));
    EXPECT_NE(kalvex_tool::NewViewToken(), kalvex_tool::NewViewToken());
}

TEST_F(ViewEndpoints, SnapshotNucPauseAndRecordingWork) {
    ASSERT_TRUE(MoreFrames(2));
    auto nuc = Post("nuc");
    ASSERT_EQ(nuc->status, 200);
    KalvexSimCounters c{};
    KalvexSim_GetCounters(0, &c);
    EXPECT_GE(c.nucCommands, 2);  // the table's and this one

    ASSERT_EQ(Post("pause")->status, 200);
    EXPECT_TRUE(Eventually([&] { return Field(Status(), "state") == "\"paused\""; }));
    auto snap = Post("snapshot");
    ASSERT_EQ(snap->status, 200) << snap->body;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(snap->body, m, std::regex("/api/snapshot/(\\d+)/0")));
    httplib::Client client = Client();
    auto png = client.Get(("/api/snapshot/" + m[1].str() + "/0").c_str());
    ASSERT_EQ(png->status, 200);
    EXPECT_EQ(png->body.substr(1, 3), "PNG");
    auto temps = client.Get(("/api/snapshot/" + m[1].str() + "/1").c_str());
    ASSERT_EQ(temps->status, 200);
    EXPECT_EQ(temps->body, client.Get("/api/temperatures")->body);
    ASSERT_EQ(Post("resume")->status, 200);

    auto rec = Post("record", "avi");
    ASSERT_EQ(rec->status, 200) << rec->body;
    EXPECT_EQ(Post("record", "temp")->status, 409);  // one at a time
    ASSERT_TRUE(MoreFrames(5));
    auto stop = Post("record/stop");
    ASSERT_EQ(stop->status, 200);
    ASSERT_TRUE(MoreFrames(2));  // the library closes the file at its next frame
    std::string file = Field(stop->body, "file");
    file = file.substr(1, file.size() - 2);
    std::ifstream avi(file, std::ios::binary);
    char riff[12] = {};
    avi.read(riff, 12);
    EXPECT_EQ(std::string(riff, 4), "RIFF") << file;
    EXPECT_EQ(std::string(riff + 8, 4), "AVI ");
    EXPECT_EQ(Post("record/stop")->status, 409);
    // A sequence, which opens again with its frames.
    auto seq = Post("record", "seq");
    ASSERT_EQ(seq->status, 200) << seq->body;
    ASSERT_TRUE(MoreFrames(4));
    auto seqStop = Post("record/stop");
    ASSERT_EQ(seqStop->status, 200);
    ASSERT_TRUE(MoreFrames(2));
    std::string tiff = Field(seqStop->body, "file");
    tiff = tiff.substr(1, tiff.size() - 2);
    EXPECT_EQ(tiff.substr(tiff.size() - 5), ".tiff");
    const int32_t opened = KalvexSeq_OpenA(tiff.c_str());
    ASSERT_GT(opened, 0) << tiff;
    EXPECT_GE(KalvexSeq_Count(opened), 2);
    KalvexSeq_Close(opened);
}

// The status's counts, checked on every read: each is a whole number that
// never goes down, and dropped is the three together.
struct Counts {
    long lost = 0, held = 0, paused = 0;
};
Counts ReadCounts(const std::string &status, Counts *last) {
    Counts c{std::stol(Field(status, "lost")), std::stol(Field(status, "held")),
             std::stol(Field(status, "pausedFrames"))};
    EXPECT_EQ(std::stol(Field(status, "dropped")), c.lost + c.held + c.paused) << status;
    EXPECT_GE(c.lost, last->lost) << status;
    EXPECT_GE(c.held, last->held) << status;
    EXPECT_GE(c.paused, last->paused) << status;
    *last = c;
    return c;
}

TEST_F(ViewEndpoints, StatusCountsHeldAndPausedFramesApartFromLostOnes) {
    ASSERT_TRUE(MoreFrames(3));
    Counts last;
    const Counts start = ReadCounts(Status(), &last);
    EXPECT_EQ(start.paused, 0);
    EXPECT_NE(Field(Status(), "fps"), "null") << Status();
    EXPECT_NE(Field(Status(), "libraryFps"), "") << Status();
    EXPECT_EQ(Field(Status(), "paused"), "false");  // whether it is paused now

    // A NUC with a 0.5 s hold: about 15 frames at 30 a second held back.
    Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 500);
    ASSERT_EQ(Post("nuc")->status, 200);
    ASSERT_TRUE(Eventually([&] { return ReadCounts(Status(), &last).held > start.held; }))
        << Status();
    const Counts afterNuc = ReadCounts(Status(), &last);
    EXPECT_GE(afterNuc.held - start.held, 5) << Status();
    EXPECT_LE(afterNuc.held - start.held, 20) << Status();
    Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);
    ASSERT_TRUE(MoreFrames(3));

    // A pause: the camera goes on sending, and those frames count as paused.
    ASSERT_EQ(Post("pause")->status, 200);
    ASSERT_TRUE(Eventually([&] { return Field(Status(), "paused") == "true"; }));
    KalvexSimCounters before{}, after{};
    ASSERT_EQ(KalvexSim_GetCounters(0, &before), 1);
    const Counts paused = ReadCounts(Status(), &last);
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(KalvexSim_GetCounters(0, &after), 1);
    EXPECT_EQ(ReadCounts(Status(), &last).paused, paused.paused);  // counted on resuming
    ASSERT_EQ(Post("resume")->status, 200);
    ASSERT_TRUE(MoreFrames(3));
    const Counts resumed = ReadCounts(Status(), &last);
    const long sent = after.framesServed - before.framesServed;  // about 30
    EXPECT_GE(sent, 10);
    EXPECT_GE(resumed.paused - paused.paused, sent - 1) << Status();
    EXPECT_LE(resumed.paused - paused.paused, sent + 6) << Status();
    // Not counted as lost as well (or instead).
    EXPECT_LT(resumed.lost - paused.lost, sent / 2) << Status();
    EXPECT_EQ(resumed.held, afterNuc.held) << Status();
    EXPECT_NE(Field(Status(), "fps"), "null") << Status();
}

TEST_F(ViewEndpoints, FrameIdsAreUnsignedDecimalsInEveryAnswer) {
    ASSERT_TRUE(MoreFrames(2));
    // Ids are the library's pseudo-random 32-bit numbers: half of them lie
    // above 2^31, where a signed int shows a minus sign. Take frames until one
    // does (the formatting itself is pinned in FrameIds.*).
    uint32_t id = 0;
    for (int tries = 0; tries < 40; ++tries) {
        ASSERT_EQ(Post("pause")->status, 200);
        ASSERT_TRUE(Eventually([&] { return Field(Status(), "paused") == "true"; }));
        id = hub_->Latest()->frameId;
        if (id > 0x80000000u) break;
        if (tries == 39) break;  // stay paused
        ASSERT_EQ(Post("resume")->status, 200);
        ASSERT_TRUE(MoreFrames(2));
    }
    // Paused, the newest frame stays the one every answer is about (once a
    // frame under way when the pause came has arrived).
    std::this_thread::sleep_for(100ms);
    id = hub_->Latest()->frameId;
    const std::string text = std::to_string(id);
    SCOPED_TRACE(text);
    EXPECT_EQ(static_cast<uint32_t>(Kalvex_GetNewID(handle_)), id);

    httplib::Client client = Client();
    auto one = client.Get("/api/temperature?x=10&y=10");
    ASSERT_EQ(one->status, 200);
    EXPECT_EQ(Field(one->body, "frame"), text) << one->body;
    auto whole = client.Get("/api/temperatures");
    ASSERT_EQ(whole->status, 200);
    EXPECT_EQ(whole->get_header_value("X-Frame-Id"), text);
    StreamParts stream;
    client.Get("/stream.mjpg", [&](const char *data, size_t size) {
        stream.Feed(data, size);
        return stream.parts.empty();
    });
    ASSERT_EQ(stream.idTexts.size(), 1u);
    EXPECT_EQ(stream.idTexts[0], text);
    auto snap = Post("snapshot");
    ASSERT_EQ(snap->status, 200);
    EXPECT_EQ(Field(snap->body, "frame"), text) << snap->body;
    EXPECT_NE(snap->body.find("\"kalvex-" + text + ".png\""), std::string::npos) << snap->body;
    EXPECT_NE(snap->body.find("\"kalvex-" + text + ".temp-f32\""), std::string::npos) << snap->body;
}

TEST_F(ViewEndpoints, FixedRangeInDegreesLandsOnTheRawValuesOfThoseDegrees) {
    ASSERT_TRUE(MoreFrames(2));
    ASSERT_EQ(Post("range", "20,40")->status, 200);
    // 40 raw values per degree, 22 °C at 8000 (the simulated sensor).
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_AUTO_RANGE), 0);
    EXPECT_NEAR(Kalvex_GetParam(handle_, KALVEX_PARAM_RANGE_LOW), 7920, 1);
    EXPECT_NEAR(Kalvex_GetParam(handle_, KALVEX_PARAM_RANGE_HIGH), 8720, 1);
    ASSERT_EQ(Post("range", "auto")->status, 200);
    EXPECT_EQ(Kalvex_GetParam(handle_, KALVEX_PARAM_AUTO_RANGE), -1);
}

TEST_F(ViewEndpoints, KeepsGoingWhenTheCameraIsUnpluggedAndPluggedAgain) {
    ASSERT_TRUE(MoreFrames(2));
    ASSERT_EQ(KalvexSim_Unplug(0), 1);
    EXPECT_TRUE(Eventually([&] { return Field(Status(), "state") == "\"lost\""; }, 20s))
        << Status();
    ASSERT_EQ(KalvexSim_Plug(0), 1);
    EXPECT_TRUE(Eventually([&] { return Field(Status(), "state") == "\"live\""; }, 20s))
        << Status();
    EXPECT_TRUE(MoreFrames(3));
    EXPECT_NE(Field(Status(), "eventCount"), "0");  // what went wrong was shown
}

// A replay past its last frame falls silent for good: the status says the
// recording ended, where a camera gone would be "lost" and retried.
TEST_F(ViewEndpoints, AReplayThatEndedIsShownAsEndedNotLost) {
    ASSERT_TRUE(MoreFrames(2));
    ended_ = true;
    ASSERT_EQ(KalvexSim_Unplug(0), 1);  // the frames stop as at a recording's end
    EXPECT_TRUE(Eventually([&] { return Field(Status(), "state") == "\"ended\""; }, 20s))
        << Status();
    EXPECT_EQ(Field(Status(), "reason"), "\"the recording has ended\"");
}

TEST_F(ViewEndpoints, BadParametersAreRefusedWithAReason) {
    ASSERT_TRUE(MoreFrames(1));
    httplib::Client client = Client();
    for (const char *after : {"abc", "", "-1", "12x", "99999999999999999999"}) {
        auto res = client.Get((std::string("/api/temperatures?after=") + after).c_str());
        ASSERT_TRUE(res) << after;
        EXPECT_EQ(res->status, 400) << after;
        EXPECT_NE(res->body.find("after must be"), std::string::npos) << res->body;
    }
    auto ok = client.Get("/api/temperatures?after=0");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
}

// What `curl -X POST` sends: no Content-Length and no body. The status line
// of the answer, or "" when none came.
std::string PostWithoutBody(int port, const std::string &path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const std::string own = "127.0.0.1:" + std::to_string(port);
        std::string request = "POST " + path + " HTTP/1.1\r\nHost: " + own + "\r\nOrigin: http://" +
                              own + "\r\nConnection: close\r\n\r\n";
        send(fd, request.data(), request.size(), 0);
        char buffer[1024];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, buffer + n);
    }
    close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

TEST_F(ViewEndpoints, AControlPostedWithoutABodyIsTaken) {
    ASSERT_TRUE(MoreFrames(1));
    EXPECT_EQ(PostWithoutBody(port(), "/api/pause"), "HTTP/1.1 200 OK");
    EXPECT_EQ(Field(Status(), "state"), "\"paused\"");
    EXPECT_EQ(PostWithoutBody(port(), "/api/resume"), "HTTP/1.1 200 OK");
    EXPECT_EQ(PostWithoutBody(port(), "/api/nuc"), "HTTP/1.1 200 OK");
    // The screening still comes first, and a body a control needs is still needed.
    EXPECT_EQ(PostWithoutBody(port(), "/api/launch"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(PostWithoutBody(port(), "/api/range"), "HTTP/1.1 400 Bad Request");
}

}  // namespace
}  // namespace kalvex::viewtest
