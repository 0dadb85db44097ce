// One instance of the library on one camera: finds a camera (a simulated one
// when no real camera answers, or when asked), selects it, applies settings.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "kalvex_sim.h"
#include "os.h"
#include "sequence_file.h"
#include "sim_scene.h"

namespace kalvex_tool {

// "VID:PID" in hexadecimal, each 0..ffff.
void ParseUsbIds(const std::string &text, int *vendor, int *product);

// Which camera, and the simulated scene should the simulator be used.
struct CameraOptions {
    enum class Source { Auto, Sim, Real } source = Source::Auto;
    int camera = -1;                      // -1: the first one found
    int usbVendor = -1, usbProduct = -1;  // --usb VID:PID: a camera on USB
    SimScene sim;
    // --replay FILE: the simulated camera serves a recorded sequence, at its
    // recorded pace (or --replay-rate), once or with --loop.
    std::string replay;
    double replayRate = 0.0;
    bool replayLoop = false;
    bool replayStep = false;  // frames only as the host steps them (KalvexSim_ReplayStep)

    // scene: also the simulated scene's options (a command that only lists
    // cameras takes the camera choice and the simulated internal temperature).
    void AddTo(std::vector<Option> *options, bool scene = true);
};

// Library parameters set before acquisition.
struct ParamOptions {
    std::optional<int> rangeLow, rangeHigh, autoRange, rowOrder, outputRowOrder, nucHold, split,
        frameInterval, autoNuc;
    std::string table;
    bool nucNow = false;
    // false: the tool sets the output row order per file so that every file
    // shows the scene upright; true: files keep the library's layout.
    bool libraryRowOrder = false;

    // streaming: also the options that only continuous capture uses (split
    // limit, frame interval, auto-NUC).
    void AddTo(std::vector<Option> *options, bool streaming = true);
};

class Session;

// Scene compensation (kalvex_scene.h) and the simulated scene's radiometry.
struct SceneOptions {
    std::optional<double> emissivity, reflected, transmission, distance, humidity, air,
        reflectedScene;

    void AddTo(std::vector<Option> *options);
    bool Any() const;
    // Sets the instance's scene; on the simulated camera also the scene's
    // reflected temperature and the same path. A replay starts from the
    // recorded scene, the options changing what they name.
    void Apply(Session &session) const;
};

class Session {
  public:
    // Opens an instance on a camera; throws Failure when none can be used.
    explicit Session(const CameraOptions &options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    int handle() const { return handle_; }
    int camera() const { return camera_; }
    bool simulated() const { return simulated_; }
    // Whether the camera replays a recording, and how far it has got.
    bool replaying() const { return !replayPath_.empty(); }
    KalvexSimReplayState ReplayState() const;
    // The recording's own table (empty: none, or not replaying) and scene.
    std::string ReplayTable() const { return replayTable_ ? replayTable_->path() : std::string(); }
    std::optional<KalvexScene> ReplayScene() const {
        return replayTable_ ? replayTable_->scene() : std::nullopt;
    }
    MessageWindow &window() { return window_; }
    // Present cameras as the instance found them.
    const std::vector<int> &cameras() const { return cameras_; }

    // Sets parameters, loads the table, performs a requested NUC.
    void Apply(const ParamOptions &params);
    // Performs a NUC now.
    void Nuc();
    // Seconds until frames resume after the last NUC the tool started, 0 when none holds.
    double NucHoldLeft() const;
    // Whether the tool started a NUC (table, --nuc, Nuc()) since Apply.
    bool NucHoldPending() const { return nucStarted_.has_value(); }
    // Starts capture. After a NUC the capture loop's first drift check finds
    // no reference temperature, corrects again and so starts the hold anew.
    bool Preview();
    // Pops every pending event code, newest first.
    std::vector<int> PopEvents();
    // Throws Failure(what) with the newest event code (skipping code 10 when
    // ignoreNotSupported, which some calls record even when they succeed).
    [[noreturn]] void Fail(const std::string &what, bool ignoreNotSupported = false);
    // Prints a warning for every pending code except ignored ones.
    void WarnPending(int ignored = 0);

  private:
    void Start(const CameraOptions &options);
    void Close();
    bool Open();
    void PlugSimulator(const CameraOptions &options);

    MessageWindow window_;
    int handle_ = 0;
    int camera_ = 0;
    bool simulated_ = false;
    int simCamera_ = -1;
    std::string replayPath_;
    std::unique_ptr<RecordingTable> replayTable_;
    std::vector<int> cameras_;
    std::optional<std::chrono::steady_clock::time_point> nucStarted_;
    // The library's first drift check will find a drift and hold frames back.
    bool driftHoldAhead_ = false;
};

// A calibration table for the simulated sensor in a temporary file, so that
// temperatures can be read without the user writing one first; removed again
// with this object.
class SimulatorTable {
  public:
    SimulatorTable();  // throws Failure
    ~SimulatorTable();
    SimulatorTable(const SimulatorTable &) = delete;
    SimulatorTable &operator=(const SimulatorTable &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// For outputs that hold temperatures (named by what, "--snapshot temp-f32"):
// without --table, loads a SimulatorTable into params on the simulated camera
// (and says so), and refuses (UsageError) on a real one, whose every pixel
// would read -999. Call before Session::Apply.
void EnsureTemperatureTable(const Session &session, ParamOptions &params, const std::string &what,
                            std::optional<SimulatorTable> &own);

}  // namespace kalvex_tool
