#include "session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "kalvex.h"
#include "kalvex_scene.h"
#include "kalvex_sim.h"
#include "kalvex_table.h"

namespace kalvex_tool {

void ParseUsbIds(const std::string &text, int *vendor, int *product) {
    if (!ParseUsbIdPair(text, vendor, product))
        throw UsageError("--usb needs VID:PID in hexadecimal (such as 1209:6a0e), not '" + text +
                         "'");
}

void CameraOptions::AddTo(std::vector<Option> *options, bool scene) {
    options->push_back({"--sim", "", "use the simulated camera even if a real one answers",
                        [this](const std::string &) {
                            if (source == Source::Real)
                                throw UsageError(usbVendor >= 0
                                                     ? "--sim and --usb exclude each other"
                                                     : "--sim and --no-sim exclude each other");
                            source = Source::Sim;
                        }});
    options->push_back({"--no-sim", "", "use a real camera only, never the simulated one",
                        [this](const std::string &) {
                            if (source == Source::Sim)
                                throw UsageError("--sim and --no-sim exclude each other");
                            source = Source::Real;
                        }});
    options->push_back({"--usb", "VID:PID",
                        "a camera on USB with these hexadecimal ids (kalvex usb lists them)",
                        [this](const std::string &v) {
                            if (source == Source::Sim)
                                throw UsageError("--sim and --usb exclude each other");
                            ParseUsbIds(v, &usbVendor, &usbProduct);
                            source = Source::Real;
                        }});
    options->push_back({"--camera", "N", "camera number 0-7 (default: the first found)",
                        [this](const std::string &v) { camera = ParseInt(v, "--camera", 0, 7); }});
    sim.AddTo(options, !scene);
    if (!scene) return;
    options->push_back(
        {"--replay", "FILE",
         "the simulated camera plays a recorded radiometric sequence instead of its scene; "
         "without --table its own table is loaded",
         [this](const std::string &v) {
             if (v.empty()) throw UsageError("--replay needs a file name");
             if (source == Source::Real)
                 throw UsageError(
                     "--replay uses the simulated camera: it excludes --usb and --no-sim");
             replay = v;
             source = Source::Sim;
         }});
    options->push_back(
        {"--replay-rate", "HZ", "replay at this frame rate (default 0: the recorded pace)",
         [this](const std::string &v) { replayRate = ParseDouble(v, "--replay-rate", 0, 1000); }});
    options->push_back({"--loop", "", "replay the recording over and over",
                        [this](const std::string &) { replayLoop = true; }});
}

void ParamOptions::AddTo(std::vector<Option> *options, bool streaming) {
    options->push_back({"--table", "FILE", "load a temperature table (then a NUC is performed)",
                        [this](const std::string &v) {
                            if (v.empty()) throw UsageError("--table needs a file name");
                            table = v;
                        }});
    options->push_back({"--range", "LOW,HIGH",
                        "fixed colour range in raw values 0-16383 (sets --auto-range 0)",
                        [this](const std::string &v) {
                            size_t comma = v.find(',');
                            if (comma == std::string::npos)
                                throw UsageError("--range needs LOW,HIGH, not '" + v + "'");
                            int low = ParseInt(v.substr(0, comma), "--range LOW", 0, 16383);
                            int high = ParseInt(v.substr(comma + 1), "--range HIGH", 0, 16383);
                            if (low >= high)
                                throw UsageError("--range " + v + ": LOW must be below HIGH");
                            rangeLow = low;
                            rangeHigh = high;
                            if (!autoRange) autoRange = 0;
                        }});
    options->push_back({"--auto-range", "N",
                        "frames that still set the colour range: -1 every frame, 0 fixed",
                        [this](const std::string &v) {
                            autoRange = ParseInt(v, "--auto-range", -1, 2147483647L);
                        }});
    options->push_back(
        {"--row-order", "0|1", "1: hand frames out in the camera's line order",
         [this](const std::string &v) { rowOrder = ParseInt(v, "--row-order", 0, 1); }});
    options->push_back({"--library-row-order", "",
                        "keep the library's own row order in files (see --output-row-order)",
                        [this](const std::string &) { libraryRowOrder = true; }});
    options->push_back({"--output-row-order", "0|1",
                        "the library's parameter 18 for files (implies --library-row-order)",
                        [this](const std::string &v) {
                            outputRowOrder = ParseInt(v, "--output-row-order", 0, 1);
                            libraryRowOrder = true;
                        }});
    options->push_back({"--nuc", "", "perform a NUC before acquiring",
                        [this](const std::string &) { nucNow = true; }});
    options->push_back(
        {"--nuc-hold", "MS", "frames dropped after a NUC, in ms (default 1200)",
         [this](const std::string &v) { nucHold = ParseInt(v, "--nuc-hold", 0, 600000); }});
    if (!streaming) return;
    options->push_back(
        {"--split", "MIB", "AVI recordings continue in a new file past this size (default 2000)",
         [this](const std::string &v) { split = ParseInt(v, "--split", 1, 1 << 20); }});
    options->push_back({"--frame-interval", "MS", "capture loop sleep per pass (default 10)",
                        [this](const std::string &v) {
                            frameInterval = ParseInt(v, "--frame-interval", 0, 10000);
                        }});
    options->push_back({"--no-auto-nuc", "", "no NUC when the internal temperature drifts",
                        [this](const std::string &) { autoNuc = 0; }});
}

void SceneOptions::AddTo(std::vector<Option> *options) {
    auto fraction = [](const std::string &v, const char *name, bool zero) {
        double x = ParseDouble(v, name);
        if (!((zero ? x >= 0.0 : x > 0.0) && x <= 1.0))
            throw UsageError(std::string(name) +
                             (zero ? " must lie in 0..1" : " must lie in (0, 1]"));
        return x;
    };
    auto celsius = [](const std::string &v, const char *name) {
        double x = ParseDouble(v, name);
        if (!(x >= -60.0 && x <= 2100.0))
            throw UsageError(std::string(name) + " must lie in -60..2100 degrees");
        return x;
    };
    options->push_back({"--emissivity", "E", "object emissivity for temperatures (default 1)",
                        [this, fraction](const std::string &v) {
                            emissivity = fraction(v, "--emissivity", false);
                        }});
    options->push_back(
        {"--reflected", "CELSIUS", "reflected apparent temperature for temperatures (default 22)",
         [this, celsius](const std::string &v) { reflected = celsius(v, "--reflected"); }});
    options->push_back({"--transmission", "TAU", "transmission of the path (default 1)",
                        [this, fraction](const std::string &v) {
                            if (distance)
                                throw UsageError(
                                    "--transmission and --distance exclude each other");
                            transmission = fraction(v, "--transmission", false);
                        }});
    options->push_back(
        {"--distance", "M", "distance to the object: transmission from the atmospheric model",
         [this](const std::string &v) {
             if (transmission) throw UsageError("--transmission and --distance exclude each other");
             distance = ParseDouble(v, "--distance");
             if (!(*distance >= 0.0)) throw UsageError("--distance must not be negative");
         }});
    options->push_back({"--humidity", "PERCENT", "relative humidity with --distance (default 50)",
                        [this](const std::string &v) {
                            humidity = ParseDouble(v, "--humidity");
                            if (!(*humidity >= 0.0 && *humidity <= 100.0))
                                throw UsageError("--humidity must lie in 0..100");
                        }});
    options->push_back({"--air", "CELSIUS", "temperature of the path (default 22)",
                        [this, celsius](const std::string &v) { air = celsius(v, "--air"); }});
    options->push_back(
        {"--reflected-scene", "CELSIUS", "simulated surroundings that spots reflect (default 22)",
         [this](const std::string &v) { reflectedScene = ParseDouble(v, "--reflected-scene"); }});
}

bool SceneOptions::Any() const {
    return emissivity || reflected || transmission || distance || humidity || air;
}

void SceneOptions::Apply(Session &session) const {
    KalvexScene scene;
    KalvexScene_Default(&scene);
    const std::optional<KalvexScene> recorded = session.ReplayScene();
    if (recorded) scene = *recorded;
    if (emissivity) scene.emissivity = static_cast<float>(*emissivity);
    if (reflected) scene.reflected = static_cast<float>(*reflected);
    if (transmission) scene.transmission = static_cast<float>(*transmission);
    if (distance) scene.distance = static_cast<float>(*distance);
    if (humidity) scene.humidity = static_cast<float>(*humidity / 100.0);
    if (air) scene.atmosphere = static_cast<float>(*air);
    if ((Any() || recorded) && KalvexScene_Set(session.handle(), &scene) != 1)
        session.Fail("cannot set the scene");
    // The simulated path is the one the library is told about.
    if (session.simulated() && (reflectedScene || transmission || distance)) {
        if (KalvexSim_SetRadiometry(session.camera(), reflectedScene.value_or(22.0),
                                    KalvexScene_Transmission(&scene), scene.atmosphere) != 1)
            throw UsageError("--reflected-scene must be a finite temperature");
    }
}

Session::Session(const CameraOptions &options) {
    try {
        Start(options);
    } catch (...) {
        Close();
        throw;
    }
}

void Session::Start(const CameraOptions &options) {
    if (!window_.ok()) throw Failure("cannot create the message window", KALVEX_EV_NO_MEMORY);
    if (options.source == CameraOptions::Source::Sim) PlugSimulator(options);
    if (options.usbVendor >= 0 && !AddUsbCamera(options.usbVendor, options.usbProduct))
        throw Failure("this platform has no USB driver of the SDK's (use the camera's driver)",
                      KALVEX_EV_NO_CAMERA);
    // The library probes the device paths when an instance is created, so the
    // simulator has to be plugged before; try real cameras first.
    if (!Open() && options.source == CameraOptions::Source::Auto) {
        Kalvex_Release(handle_);
        handle_ = 0;
        window_.Discard();
        PlugSimulator(options);
        Open();
    }
    if (cameras_.empty() && options.usbVendor >= 0) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", options.usbVendor, options.usbProduct);
        std::string why = UsbProblem();
        throw Failure(std::string("no camera answers on USB as ") + ids +
                          (why.empty() ? " (kalvex usb lists the candidates)" : ": " + why),
                      KALVEX_EV_NO_CAMERA);
    }
    if (cameras_.empty())
        throw Failure(options.source == CameraOptions::Source::Real
                          ? "no camera answers (and --no-sim refuses the simulated one)"
                          : "no camera answers",
                      KALVEX_EV_NO_CAMERA);
    // Codes from an initialisation that found cameras are worth a warning
    // (an unreadable internal temperature, say).
    WarnPending();
    window_.Discard();
    if (options.camera >= 0) {
        camera_ = options.camera;
    } else {
        camera_ = cameras_.front();
    }
    // The library takes its drift reference from camera 0 when it starts (0 °C
    // when camera 0 is absent); its first drift check then compares the selected
    // camera with it, and a difference of over a degree starts a NUC hold. It is
    // foreseen here so that the hold is shown as such, for every camera alike.
    int ok = 0;
    float reference = Kalvex_GetInternalTemperature(handle_, &ok);
    if (ok != 1) {
        reference = 0.0f;
        PopEvents();  // camera 0 absent: expected when another is used
    }
    if (camera_ != 0 || options.camera >= 0) {
        if (Kalvex_SetCameraNumber(handle_, camera_) != 1)
            Fail("cannot select camera " + std::to_string(camera_));
    }
    float selected = Kalvex_GetInternalTemperature(handle_, &ok);
    if (ok != 1) selected = 0.0f;
    driftHoldAhead_ = std::fabs(selected - reference) > 1.0f;
}

Session::~Session() {
    Close();
}

void Session::Close() {
    if (handle_ != 0) Kalvex_Release(handle_);
    handle_ = 0;
    if (simCamera_ >= 0) {
        if (!replayPath_.empty()) KalvexSim_StopReplay(simCamera_);
        KalvexSim_Unplug(simCamera_);
    }
    simCamera_ = -1;
}

bool Session::Open() {
    handle_ = Kalvex_Initialize(window_.hwnd());
    if (handle_ == 0)
        throw Failure("no instance of the library could be created", KALVEX_EV_NO_MEMORY);
    cameras_.clear();
    for (int i = 0; i < 8; ++i) {
        wchar_t name[32];
        if (Kalvex_IsCameraEnableW(handle_, i, name, 32) == 1) cameras_.push_back(i);
    }
    if (cameras_.empty()) PopEvents();  // a missing camera fails the temperature read: expected
    return !cameras_.empty();
}

void Session::PlugSimulator(const CameraOptions &o) {
    int cam = o.camera >= 0 ? o.camera : 0;
    if (KalvexSim_Plug(cam) != 1)
        throw Failure("cannot plug the simulated camera", KALVEX_EV_NO_CAMERA);
    simCamera_ = cam;
    simulated_ = true;
    o.sim.ApplyTo(cam);
    if (o.replay.empty() || !replayPath_.empty()) return;
    replayTable_ = std::make_unique<RecordingTable>(o.replay);
    const int replay = KalvexSim_ReplayA(
        cam, o.replay.c_str(), o.replayRate,
        (o.replayLoop ? KALVEX_SIM_REPLAY_LOOP : 0) | (o.replayStep ? KALVEX_SIM_REPLAY_STEP : 0));
    if (replay != 1)
        throw Failure("cannot replay '" + o.replay +
                          "': " + (replay < 0 ? SequenceRefusal(replay) : std::string("refused")),
                      KALVEX_EV_FILE);
    replayPath_ = o.replay;
}

KalvexSimReplayState Session::ReplayState() const {
    KalvexSimReplayState state{};
    if (simCamera_ >= 0) KalvexSim_GetReplayState(simCamera_, &state);
    return state;
}

void Session::Apply(const ParamOptions &p) {
    struct Setting {
        const std::optional<int> &value;
        int id;
        const char *name;
    };
    // Recorded frames are already corrected: a NUC's hold would only swallow
    // the first of them, so a replay holds none unless asked.
    std::optional<int> nucHold = p.nucHold;
    if (!nucHold && replaying()) nucHold = 0;
    const Setting settings[] = {
        {p.rangeLow, KALVEX_PARAM_RANGE_LOW, "colour range low"},
        {p.rangeHigh, KALVEX_PARAM_RANGE_HIGH, "colour range high"},
        {p.autoRange, KALVEX_PARAM_AUTO_RANGE, "auto-range counter"},
        {p.rowOrder, KALVEX_PARAM_ROW_ORDER, "row-order flag"},
        {p.outputRowOrder, KALVEX_PARAM_OUTPUT_ROW_ORDER, "output row-order flag"},
        {nucHold, KALVEX_PARAM_NUC_HOLD, "NUC hold time"},
        {p.split, KALVEX_PARAM_SPLIT_LIMIT, "split limit"},
        {p.frameInterval, KALVEX_PARAM_FRAME_INTERVAL, "frame interval"},
        {p.autoNuc, KALVEX_PARAM_AUTO_NUC, "auto-NUC enable"},
    };
    for (const Setting &s : settings)
        if (s.value && Kalvex_SetParam(handle_, s.id, *s.value) != 1)
            Fail(std::string("cannot set the ") + s.name);
    nucStarted_.reset();
    const std::string table = !p.table.empty() ? p.table : ReplayTable();
    if (!table.empty() && Kalvex_SetTableA(handle_, table.c_str()) != 1) {
        char reason[512] = "";
        if (KalvexTable_CheckA(table.c_str(), nullptr, reason, sizeof reason) != 1)
            Fail("cannot load the temperature table '" + table + "': " + reason);
        Fail("cannot load the temperature table '" + table + "'");
    }
    if (p.table.empty() && !table.empty())
        Say("loaded   the recording's own table (%s)\n", table.c_str());
    // Loading a table performs a NUC, as does --nuc: frames resume after the hold.
    if (!table.empty() || p.nucNow || driftHoldAhead_)
        nucStarted_ = std::chrono::steady_clock::now();
    if (p.nucNow) Kalvex_Nuc(handle_);
}

bool Session::Preview() {
    if (Kalvex_Preview(handle_) != 1) return false;
    if (nucStarted_) nucStarted_ = std::chrono::steady_clock::now();
    return true;
}

void Session::Nuc() {
    nucStarted_ = std::chrono::steady_clock::now();
    Kalvex_Nuc(handle_);
}

double Session::NucHoldLeft() const {
    if (!nucStarted_) return 0.0;
    int hold = Kalvex_GetParam(handle_, KALVEX_PARAM_NUC_HOLD);
    auto end = *nucStarted_ + std::chrono::milliseconds(hold);
    return std::max(0.0,
                    std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count());
}

std::vector<int> Session::PopEvents() {
    std::vector<int> codes;
    for (int code; (code = Kalvex_GetLastError(handle_)) != 0;) codes.push_back(code);
    return codes;
}

void Session::Fail(const std::string &what, bool ignoreNotSupported) {
    int event = 0;
    for (int code : PopEvents()) {
        if (ignoreNotSupported && code == KALVEX_EV_NOT_SUPPORTED) continue;
        event = code;
        break;
    }
    throw Failure(what, event);
}

void Session::WarnPending(int ignored) {
    std::vector<int> codes = PopEvents();
    for (auto it = codes.rbegin(); it != codes.rend(); ++it)
        if (*it != ignored) std::fprintf(stderr, "kalvex: warning: %s\n", EventText(*it).c_str());
}

SimulatorTable::SimulatorTable() {
    const std::string file = TemporaryTableName("sim-table");
    if (file.empty() || KalvexSim_WriteTable(file.c_str(), 4, 64, -20.0, 150.0) != 1)
        throw Failure("cannot write a table for the simulated camera in the temporary folder",
                      KALVEX_EV_FILE);
    path_ = file;
}

SimulatorTable::~SimulatorTable() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
}

void EnsureTemperatureTable(const Session &session, ParamOptions &params, const std::string &what,
                            std::optional<SimulatorTable> &own) {
    if (!params.table.empty() || what.empty() || !session.ReplayTable().empty()) return;
    if (!session.simulated())
        throw UsageError(what +
                         " needs a temperature table (--table FILE): without one the "
                         "camera's pixels have no temperature and every value would be -999");
    own.emplace();
    params.table = own->path();
    Say("loaded   a table for the simulated camera (%s)\n", own->path().c_str());
}

}  // namespace kalvex_tool
