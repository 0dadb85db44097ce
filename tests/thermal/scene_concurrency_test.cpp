// Scenes set from an application thread while the capture thread publishes
// frames and another thread reads temperatures: every frame read is
// converted with one scene or the other, never half of each.
#include <atomic>
#include <thread>

#include "kalvex_scene.h"
#include "thermal/instance_fixture.h"

namespace kalvex::test {
namespace {

TEST_F(InstanceTest, SceneChangesNeverTearAFrame) {
    const std::string path = std::string(KALVEX_TEST_TMPDIR) + "/scene_concurrency.tbl";
    ASSERT_EQ(KalvexSim_WriteTable(path.c_str(), 4, 500, 0.0, 100.0), 1);
    ASSERT_EQ(Kalvex_SetTableA(handle_, path.c_str()), 1);
    ASSERT_EQ(Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0), 1);
    KalvexSim_SetBackground(0, 60.0);  // one raw value everywhere
    platform::FreezeClock(false);
    ASSERT_EQ(Kalvex_Preview(handle_), 1);

    KalvexScene grey;
    KalvexScene_Default(&grey);
    grey.emissivity = 0.5f;
    std::atomic<bool> done{false};
    std::thread setter([&] {
        for (int i = 0; !done.load(); ++i) KalvexScene_Set(handle_, i % 2 ? &grey : nullptr);
    });
    std::vector<float> t(640 * 480);
    int frames = 0, torn = 0;
    for (int i = 0; i < 200 && frames < 40; ++i) {
        const int id = Kalvex_GetNewID(handle_);
        if (id == 0 || Kalvex_GetTemperature(handle_, id, t.data(), 640 * 480 * 4) != 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ++frames;
        for (float v : t) torn += v != t[0];
    }
    done = true;
    setter.join();
    Kalvex_Close(handle_);
    EXPECT_GT(frames, 0);
    EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace kalvex::test
