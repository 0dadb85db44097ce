// A stream client that stops reading must not hold back the capture or the
// other clients: each client waits for the newest frame on its own thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "view_fixture.h"

namespace kalvex::viewtest {
namespace {

using ViewStreamConcurrency = ViewFixture;

TEST_F(ViewStreamConcurrency, AClientThatStopsReadingStallsNobody) {
    // A camera's pace, not as fast as the simulator can: the healthy clients
    // must keep up with the frames while the stuck one falls behind. (The
    // library's copy-out holds the frame lock, so readers racing the capture
    // thread are safe at any rate.)
    ASSERT_EQ(KalvexSim_SetFrameRate(0, 8.0), 1);
    // The stuck client: asks for the stream with a tiny receive buffer and
    // never reads, so the server's writes to it block soon.
    int stuck = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(stuck, 0);
    int small = 2048;
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    std::string request =
        "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n\r\n";
    ASSERT_EQ(send(stuck, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(Eventually([&] { return hub_->StreamClients() == 1; }));

    // Two healthy clients read 10 frames each while the stuck one holds its
    // connection.
    std::vector<std::thread> readers;
    std::atomic<int> done{0};
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            httplib::Client client = Client();
            StreamParts stream;
            client.Get("/stream.mjpg", [&](const char *data, size_t size) {
                stream.Feed(data, size);
                return stream.parts.size() < 10;
            });
            if (stream.parts.size() >= 10) ++done;
        });
    }
    for (auto &t : readers) t.join();
    EXPECT_EQ(done.load(), 2);
    EXPECT_TRUE(MoreFrames(2));  // the capture never waited either
    close(stuck);
}

}  // namespace
}  // namespace kalvex::viewtest
