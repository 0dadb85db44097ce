// What a long-running host does to an instance, over and over: starts and stops
// capture while it records and reads frames, and loses and regains its camera.
// Nothing the library holds may grow with it: the process's open files and
// threads come back to their counts before the cycles (Linux: /proc/self).
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

std::ptrdiff_t EntriesOf(const char *folder) {
    return std::distance(std::filesystem::directory_iterator(folder),
                         std::filesystem::directory_iterator());
}

struct ProcessCounts {
    std::ptrdiff_t files = EntriesOf("/proc/self/fd");
    std::ptrdiff_t threads = EntriesOf("/proc/self/task");
};

class Resources : public InstanceTest {
  protected:
    // A capture run with a recording, started and one frame through.
    void StartRecordedRun(const std::string &path) {
        ASSERT_EQ(Kalvex_RecA(handle_, path.c_str(), 2), 1);
        ASSERT_EQ(Kalvex_Preview(handle_), 1);
        ASSERT_NE(NextFrameMessage(), 0);
    }

    // The same, closed.
    void RecordedRun(const std::string &path) {
        ASSERT_NO_FATAL_FAILURE(StartRecordedRun(path));
        ASSERT_EQ(Kalvex_Close(handle_), 1);
        Codes();
    }

    // Another thread reading whatever is newest until told to stop.
    std::thread Reader(std::atomic<bool> &stop) {
        return std::thread([this, &stop] {
            std::vector<uint16_t> raw(640 * 480);
            while (!stop.load()) {
                const int id = Kalvex_GetNewID(handle_);
                Kalvex_GetRaw(handle_, id, raw.data(), 640 * 480 * 2);
                std::this_thread::yield();
            }
        });
    }
};

TEST_F(Resources, PreviewCloseAndUnplugCyclesLeaveNoFilesOrThreadsBehind) {
    const std::string path = std::string(KALVEX_TEST_TMPDIR) + "/resources.avi";
    RecordedRun(path);  // whatever a first run sets up once stays for the process
    const ProcessCounts before;

    std::atomic<bool> stop{false};
    std::thread reader = Reader(stop);
    for (int i = 0; i < 200; ++i) RecordedRun(path);
    for (int i = 0; i < 50; ++i) {
        ASSERT_NO_FATAL_FAILURE(StartRecordedRun(path));
        KalvexSim_Unplug(0);
        ASSERT_TRUE(Eventually([&] { return Peer().CaptureThreadEnded(); }));
        ASSERT_EQ(Kalvex_Close(handle_), 1);
        ASSERT_EQ(KalvexSim_Plug(0), 1);
        KalvexSim_SetFrameRate(0, 0);
        Codes();
    }
    stop = true;
    reader.join();
    RecordedRun(path);  // the camera is back and works

    const ProcessCounts after;
    EXPECT_EQ(after.files, before.files);
    EXPECT_EQ(after.threads, before.threads);
}

}  // namespace
}  // namespace kalvex::test
