// The element's side of the library: one instance on one camera, its message
// window, and the copy of a frame from the ring into a buffer. Kept apart from
// the GObject code so that the element stays a thin shell around it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kalvex.h"
#include "kalvex_measure.h"
#include "kalvex_scene.h"

namespace kalvex_gst {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kPixels = kWidth * kHeight;

enum class Output { Raw, Temperature, Color };

// Bytes of one frame in an output.
size_t FrameBytes(Output output);

struct CameraConfig {
    int camera = 0;
    std::string table;  // empty: none
    bool sim = false;   // plug the simulated camera `camera` for the run
    std::string usb;    // "VID:PID": cameras on USB with these ids (empty: none)
    // A radiometric sequence the simulated camera serves (implies sim): at the
    // recorded pace or replayRate frames per second, once or looped.
    std::string replay;
    double replayRate = 0.0;
    bool replayLoop = false;
    std::string simScene;  // the tool's simulated-scene options
    Output output = Output::Raw;
    KalvexScene scene{};
    bool sceneSet = false;  // the scene was given (else a replay takes the recording's)
    // Colour: a palette by name and the contrast (KALVEX_AGC_*); hue with the
    // library's range is the library's own colour map.
    std::string palette = "hue";
    int agc = 0;
};

// Why a camera could not be opened, so the element can pick the error domain.
enum class OpenError { None, NotFound, Settings, Table, Replay, Resources };

// A frame as it left the camera; the times are those the element stamps with.
struct FrameRef {
    uint32_t id = 0;
    uint32_t sequence = 0;    // the capture run's own count (1 = first)
    int64_t monotonicNs = 0;  // end of the transfer (steady clock)
    int64_t utcNs = 0;        // the same moment as UTC, 0 when unknown
    bool hasInfo = false;     // the fields below come from the library's metadata
    uint32_t cameraFrame = 0;
    float internalTemperature = 0.0f;
    uint32_t framesSinceNuc = 0;
    uint32_t msSinceNuc = 0;
    uint32_t rawMin = 0, rawMax = 0;
    uint32_t tableCrc = 0;
    uint32_t flags = 0;
};

class Camera {
  public:
    Camera() = default;
    ~Camera() { Close(); }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // Creates the instance, applies the settings and starts capture; on
    // failure everything is released and *error says why.
    OpenError Open(const CameraConfig &config, std::string *error);
    void Close();
    bool open() const { return handle_ != 0; }
    int handle() const { return handle_; }
    // The frame rate the camera runs at, as a fraction (0/1: as fast as asked).
    void FrameRate(int *num, int *den) const;

    enum class Wait { Frame, Cancelled, Ended, Finished };
    // Waits for the next frame message; returns Ended with *error when the
    // camera ended capture, Finished after a replay's last frame (no loop).
    // cancel is polled, so unlocking takes one poll.
    Wait Next(FrameRef *frame, const std::atomic<bool> &cancel, std::string *error);
    // Copies the frame into dst (FrameBytes(output) bytes), top row first.
    // False when the ring has already reused the frame's slot.
    bool Copy(const FrameRef &frame, uint8_t *dst);

    // Colour as red, green, blue (the default) or as the library's blue, green, red.
    void SetColorRgb(bool rgb) { rgb_ = rgb; }
    void Nuc();
    bool SetScene(const KalvexScene &scene);
    // Library event codes that were not failures of capture, since the last call.
    std::vector<int> TakeWarnings();

  private:
    void Describe(FrameRef *frame);
    // Reads the recording's table (into a temporary file, loaded and removed
    // again), scene and pace; false with *error when it cannot be read.
    OpenError PrepareReplay(CameraConfig *config, std::string *tableFile, std::string *error);
    bool ReplayFinished();

    CameraConfig config_;
    int handle_ = 0;
    KalvexHwnd window_ = nullptr;
    bool plugged_ = false;
    bool replaying_ = false;  // the element set the simulated camera's replay
    int idlePolls_ = 0;       // polls without a message since the replay finished
    double simRate_ = 30.0;
    uint32_t sequence_ = 0;
    bool rgb_ = true;
    std::vector<int> warnings_;
    std::vector<float> temps_;
    KalvexColorOptions colour_{};
    bool ownMap_ = false;  // a palette or contrast of its own, not the library's map
};

// Why a table file was refused.
std::string TableReason(const std::string &path);
// "capture ended by the camera (event 4)".
std::string EventText(int code);

// Centi-kelvin of a temperature in degrees Celsius as GRAY16: rounded, 0 for
// "no temperature" (-999) and anything at or below absolute zero, 65535 above
// 382.2 degrees (what 16 bits hold).
uint16_t CentiKelvin(float celsius);

}  // namespace kalvex_gst
