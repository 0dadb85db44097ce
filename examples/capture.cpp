// A minimal Kalvex host in C++: the same steps as capture.c (initialise, load a
// table, capture frames through the message loop, read the centre pixel's
// temperature, save a PNG, release), with the handle and window owned by RAII.
//
//   kalvex_example_cpp [FRAMES [PNG]]
//
// It runs on the simulated camera (libkalvex_sim); for a real camera, leave out
// the KalvexSim_ calls and load your camera's own table.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "kalvex.h"
#include "kalvex_sim.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;

// One library instance with its notification window.
class Camera {
  public:
    Camera() : window_(KalvexPosix_CreateWindow()), handle_(Kalvex_Initialize(window_)) {
        if (handle_ == 0) throw std::runtime_error("no instance");
    }
    ~Camera() {
        Kalvex_Release(handle_);
        KalvexPosix_DestroyWindow(window_);
    }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    int handle() const { return handle_; }
    KalvexHwnd window() const { return window_; }
    // Throws with the newest event code when ok is false.
    void Check(bool ok, const std::string &what) const {
        if (!ok)
            throw std::runtime_error(what + ": event " +
                                     std::to_string(Kalvex_GetLastError(handle_)));
    }

  private:
    KalvexHwnd window_;
    int handle_;
};

}  // namespace

int main(int argc, char **argv) try {
    const int frames = argc > 1 ? std::stoi(argv[1]) : 10;
    const std::string png = argc > 2 ? argv[2] : "example.png";
    const std::string table = "example-table.bin";

    // Simulated camera only: a 37 degree disc in a 22 degree scene, and a table
    // that matches its sensor.
    KalvexSim_Plug(0);
    KalvexSim_AddSpot(0, kWidth / 2, kHeight / 2, 40, 37.0);
    if (KalvexSim_WriteTable(table.c_str(), 4, 64, -20.0, 150.0) != 1)
        throw std::runtime_error("cannot write " + table);

    Camera camera;
    const int h = camera.handle();
    camera.Check(Kalvex_SetTableA(h, table.c_str()) == 1, "cannot load " + table);
    // Row 0 is the top of the picture with parameter 17 set (bottom row first without).
    Kalvex_SetParam(h, KALVEX_PARAM_ROW_ORDER, 1);
    camera.Check(Kalvex_Preview(h) == 1, "cannot start capture");

    // The first frames come after the NUC hold that loading the table started.
    int received = 0, lastId = 0;
    for (int idle = 0; received < frames && idle < 100;) {
        KalvexMessage msg;
        if (KalvexPosix_GetMessage(camera.window(), &msg, 100) != 1) {
            ++idle;
            continue;
        }
        idle = 0;
        if (msg.message == KALVEX_WM_FRAME) {
            lastId = static_cast<int>(msg.lParam);
            ++received;
        } else if (msg.message == KALVEX_WM_EVENT && msg.lParam == KALVEX_EV_CAPTURE_ENDED) {
            break;
        }
    }
    Kalvex_Close(h);
    if (received < frames)
        throw std::runtime_error("only " + std::to_string(received) + " frames arrived");

    std::vector<float> celsius(static_cast<size_t>(kWidth) * kHeight);  // -999.0: not covered
    camera.Check(Kalvex_GetTemperature(h, lastId, celsius.data(),
                                       static_cast<int>(celsius.size() * sizeof(float))) == 1,
                 "frame gone");
    std::printf("%d frames, centre %.2f C\n", received,
                static_cast<double>(celsius[(kHeight / 2) * kWidth + kWidth / 2]));
    camera.Check(Kalvex_SaveA(h, png.c_str(), KALVEX_SAVE_COLOR_PNG) == 1, "cannot save " + png);
    std::printf("saved %s\n", png.c_str());
    return 0;
} catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
}
