#include "camera.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <cerrno>
#include <cstdio>

#include "cli.h"
#include "kalvex_frame.h"
#include "kalvex_sequence.h"
#include "kalvex_sim.h"
#include "kalvex_table.h"
#include "kalvex_usb.h"
#include "sequence_file.h"
#include "sim_scene.h"

namespace kalvex_gst {
namespace {

// How often a waiting Next looks at its cancel flag: the longest an unlock
// (flush, state change) waits for the streaming thread to let go.
constexpr int kPollMs = 20;
// A camera without a rate register is taken at the rate its cores run at.
constexpr int kNominalRate = 30;
// Centi-kelvin: the offset of 0 degrees C and the largest 16-bit value.
constexpr double kZeroCelsiusCentiKelvin = 27315.0;
constexpr double kMaxCentiKelvin = 65535.0;

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t UtcNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string EventWords(int code) {
    return code == 0 ? "no event code" : kalvex_tool::EventMeaning(code);
}

// After a replay's last frame, polls without a message before the end is
// taken as such although the library never showed the last frame taken.
constexpr int kReplayIdlePolls = 1000 / kPollMs;

// What the USB driver last said, or an empty text when it had nothing to say.
std::string UsbProblem() {
    char text[512] = "";
    return KalvexUsb_GetLastEvent(text, sizeof text) == KALVEX_USB_OK ? std::string() : text;
}

}  // namespace

size_t FrameBytes(Output output) {
    return static_cast<size_t>(kPixels) * (output == Output::Color ? 3 : 2);
}

uint16_t CentiKelvin(float celsius) {
    const double ck =
        std::floor((static_cast<double>(celsius) * 100.0 + kZeroCelsiusCentiKelvin) + 0.5);
    if (!(ck > 0.0)) return 0;  // -999 (no temperature), NaN, at or below 0 K
    if (ck >= kMaxCentiKelvin) return 65535;
    return static_cast<uint16_t>(ck);
}

OpenError Camera::Open(const CameraConfig &config, std::string *error) {
    Close();
    config_ = config;
    auto fail = [&](OpenError kind, const std::string &why) {
        *error = why;
        Close();
        return kind;
    };
    window_ = KalvexPosix_CreateWindow();
    if (window_ == nullptr) return fail(OpenError::Resources, "cannot create a message window");
    simRate_ = KALVEX_SIM_DEFAULT_FRAME_RATE;
    const bool replay = !config.replay.empty();
    // The table a replay brings, loaded below and removed when Open returns.
    std::string replayTable;
    struct RemoveFile {
        std::string *path;
        ~RemoveFile() {
            std::error_code ec;
            if (!path->empty()) std::filesystem::remove(*path, ec);
        }
    } removeTable{&replayTable};
    if (replay) {
        if (!config.usb.empty())
            return fail(OpenError::Settings, "usb and replay exclude each other");
        const OpenError e = PrepareReplay(&config_, &replayTable, error);
        if (e != OpenError::None) {
            Close();
            return e;
        }
    }
    if (!config.usb.empty()) {
        if (config.sim) return fail(OpenError::Settings, "usb and sim exclude each other");
        int vendor = 0, product = 0;
        if (!kalvex_tool::ParseUsbIdPair(config.usb, &vendor, &product))
            return fail(OpenError::Settings, "usb '" + config.usb +
                                                 "' is not VID:PID in hexadecimal (such as "
                                                 "1209:6a0e)");
        // The driver serves matching devices to every instance created after
        // this; adding the same ids again is harmless.
        if (KalvexUsb_AddDevice(vendor, product, nullptr) != 1)
            return fail(OpenError::Resources, "the USB driver does not start: " + UsbProblem());
    }
    if (config.sim || replay) {
        kalvex_tool::SimScene scene;
        std::string why;
        if (!kalvex_tool::ParseSimScene(config.simScene, &scene, &why))
            return fail(OpenError::Settings, "sim-scene: " + why);
        // A camera plugged by the application stays its own; one the element
        // plugs goes again with the element.
        if (KalvexSim_IsPlugged(config.camera) == 0) {
            if (KalvexSim_Plug(config.camera) != 1)
                return fail(OpenError::NotFound, "cannot plug the simulated camera");
            plugged_ = true;
        }
        try {
            scene.ApplyTo(config.camera);
        } catch (const std::exception &e) {
            return fail(OpenError::Settings, std::string("sim-scene: ") + e.what());
        }
        if (scene.fps && !replay) simRate_ = *scene.fps;
        if (replay) {
            // Before the instance: it starts from the recording's internal temperature.
            const int r = KalvexSim_ReplayA(config.camera, config.replay.c_str(), config.replayRate,
                                            config.replayLoop ? KALVEX_SIM_REPLAY_LOOP : 0);
            if (r != 1)
                return fail(OpenError::Replay,
                            "replay '" + config.replay + "': " +
                                (r < 0 ? kalvex_tool::SequenceRefusal(r)
                                       : std::string("the simulator refuses it")));
            replaying_ = true;
            idlePolls_ = 0;
        }
    }
    if (KalvexMeasure_PaletteId(config.palette.c_str()) < 0)
        return fail(OpenError::Settings,
                    "palette '" + config.palette + "' is not one of the library's");
    if (config.agc < KALVEX_AGC_RANGE || config.agc > KALVEX_AGC_PLATEAU)
        return fail(OpenError::Settings,
                    "agc " + std::to_string(config.agc) + " is not a contrast");
    // The library probes the cameras when the instance is made.
    handle_ = Kalvex_Initialize(window_);
    if (handle_ == 0) return fail(OpenError::Resources, "cannot create a library instance");
    wchar_t name[32];
    if (Kalvex_IsCameraEnableW(handle_, config.camera, name, 32) != 1) {
        if (!config.usb.empty()) {
            const std::string why = UsbProblem();
            return fail(OpenError::NotFound,
                        "camera " + std::to_string(config.camera) + " does not answer on USB as " +
                            config.usb +
                            (why.empty() ? " (kalvex usb lists the candidates)" : ": " + why));
        }
        return fail(OpenError::NotFound,
                    "camera " + std::to_string(config.camera) + " is not connected" +
                        (config.sim ? "" : " (sim=true for the simulated one)"));
    }
    while (Kalvex_GetLastError(handle_) != 0) {
        // Codes of the probe (an unreadable internal temperature) are not fatal.
    }
    if (Kalvex_SetCameraNumber(handle_, config.camera) != 1)
        return fail(OpenError::NotFound, "cannot select camera " + std::to_string(config.camera));
    // Top row of the scene first in every copy.
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    if (!config.table.empty() && Kalvex_SetTableA(handle_, config.table.c_str()) != 1)
        return fail(OpenError::Table, TableReason(config.table));
    if (!replayTable.empty() && Kalvex_SetTableA(handle_, replayTable.c_str()) != 1)
        return fail(OpenError::Replay,
                    "replay '" + config.replay +
                        "': the library refuses its table: " + TableReason(replayTable));
    if (replay) {
        // A replayed camera's NUC changes nothing: no frame of the recording
        // is held back after one, and none is started for drift.
        Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);
        Kalvex_SetParam(handle_, KALVEX_PARAM_AUTO_NUC, 0);
    }
    if (KalvexScene_Set(handle_, &config_.scene) != 1)
        return fail(OpenError::Settings, "the scene settings are out of range");
    if (Kalvex_Preview(handle_) != 1) {
        int code = KALVEX_EV_NOT_SUPPORTED;
        while (code == KALVEX_EV_NOT_SUPPORTED) code = Kalvex_GetLastError(handle_);
        return fail(code == KALVEX_EV_NO_CAMERA ? OpenError::NotFound : OpenError::Resources,
                    "capture does not start: " + EventWords(code) + " (event " +
                        std::to_string(code) + ")");
    }
    while (Kalvex_GetLastError(handle_) != 0) {
        // The start's code 10 (a reserved parameter re-applied) is no failure.
    }
    KalvexMeasure_DefaultColorOptions(&colour_);
    colour_.palette = KalvexMeasure_PaletteId(config.palette.c_str());
    colour_.agc = config.agc;
    ownMap_ = colour_.palette != KALVEX_PALETTE_HUE || config.agc != KALVEX_AGC_RANGE;
    sequence_ = 0;
    temps_.assign(config.output == Output::Temperature ? kPixels : 0, 0.0f);
    return OpenError::None;
}

OpenError Camera::PrepareReplay(CameraConfig *config, std::string *tableFile, std::string *error) {
    const int seq = KalvexSeq_OpenA(config->replay.c_str());
    if (seq <= 0) {
        *error = "replay '" + config->replay + "': " + kalvex_tool::SequenceRefusal(seq);
        return OpenError::Replay;
    }
    auto done = [&](OpenError e, const std::string &why) {
        KalvexSeq_Close(seq);
        if (e != OpenError::None) *error = "replay '" + config->replay + "': " + why;
        return e;
    };
    const int frames = KalvexSeq_Count(seq);
    if (frames <= 0) return done(OpenError::Replay, "no frames");
    if (!config->sceneSet) KalvexSeq_GetScene(seq, &config->scene);
    // Caps: the rate asked for, or the recording's mean rate.
    if (config->replayRate > 0.0) {
        simRate_ = config->replayRate;
    } else {
        KalvexFrameInfo first{}, last{};
        first.size = last.size = sizeof first;
        simRate_ = 0.0;  // a single frame: no rate
        if (frames > 1 && KalvexSeq_GetInfo(seq, 0, &first) == 1 &&
            KalvexSeq_GetInfo(seq, frames - 1, &last) == 1 && last.timestampNs > first.timestampNs)
            simRate_ = std::round((frames - 1) * 1e12 /
                                  static_cast<double>(last.timestampNs - first.timestampNs)) /
                       1000.0;
    }
    const int bytes = config->table.empty() ? KalvexSeq_GetTable(seq, nullptr, 0) : 0;
    if (bytes <= 0) return done(OpenError::None, "");
    std::vector<char> table(static_cast<size_t>(bytes));
    if (KalvexSeq_GetTable(seq, table.data(), bytes) != bytes)
        return done(OpenError::Replay, "its table cannot be read");
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path file = dir / ("kalvexsrc-table-" + std::to_string(SteadyNs()) +
                                              "-" + std::to_string(counter.fetch_add(1)) + ".bin");
    std::ofstream out(file, std::ios::binary);
    out.write(table.data(), bytes);
    out.close();
    if (ec || !out) {
        std::filesystem::remove(file, ec);
        return done(OpenError::Resources,
                    "cannot write its table to a temporary file in " + dir.string());
    }
    *tableFile = file.string();
    return done(OpenError::None, "");
}

bool Camera::ReplayFinished() {
    if (!replaying_ || config_.replayLoop) return false;
    KalvexSimReplayState state{};
    if (KalvexSim_GetReplayState(config_.camera, &state) != 1 || !state.finished) return false;
    // Over once the last frame the camera served has been handed out.
    return static_cast<long>(sequence_) >= state.served || ++idlePolls_ >= kReplayIdlePolls;
}

void Camera::Close() {
    if (handle_ != 0) Kalvex_Release(handle_);
    handle_ = 0;
    if (replaying_) KalvexSim_StopReplay(config_.camera);
    replaying_ = false;
    if (window_ != nullptr) KalvexPosix_DestroyWindow(window_);
    window_ = nullptr;
    if (plugged_) KalvexSim_Unplug(config_.camera);
    plugged_ = false;
    warnings_.clear();
}

void Camera::FrameRate(int *num, int *den) const {
    *den = 1;
    *num = kNominalRate;
    if (!config_.sim && config_.replay.empty()) return;
    // The simulated rate as a fraction of thousandths (29.97 -> 29970/1000).
    const double r = simRate_;
    if (r <= 0.0) {
        *num = 0;
        return;
    }
    if (std::floor(r) == r) {
        *num = static_cast<int>(r);
    } else {
        *num = static_cast<int>(std::lround(r * 1000.0));
        *den = 1000;
    }
}

Camera::Wait Camera::Next(FrameRef *frame, const std::atomic<bool> &cancel, std::string *error) {
    while (!cancel.load(std::memory_order_acquire)) {
        KalvexMessage m;
        if (KalvexPosix_GetMessage(window_, &m, kPollMs) != 1) {
            if (ReplayFinished()) return Wait::Finished;
            continue;
        }
        if (m.message == KALVEX_WM_FRAME) {
            *frame = FrameRef{};
            frame->id = static_cast<uint32_t>(m.lParam);
            Describe(frame);
            return Wait::Frame;
        }
        if (m.message != KALVEX_WM_EVENT) continue;
        const int code = static_cast<int>(m.lParam);
        if (code == KALVEX_EV_CAPTURE_ENDED) {
            *error = "the camera ended capture (unplugged or silent): " + EventWords(code) +
                     " (event " + std::to_string(code) + ")";
            return Wait::Ended;
        }
        // 5: a frame the element asked for too late; 10: the start's reserved parameter.
        if (code != KALVEX_EV_INVALID_ARGUMENT && code != KALVEX_EV_NOT_SUPPORTED)
            warnings_.push_back(code);
    }
    return Wait::Cancelled;
}

void Camera::Describe(FrameRef *frame) {
    KalvexFrameInfo info{};
    info.size = sizeof info;
    if (KalvexFrame_GetInfo(handle_, frame->id, &info) != 1) {
        // The slot went round the ring already: the message's arrival stands
        // in, and Copy will find the frame gone.
        while (Kalvex_GetLastError(handle_) != 0) {
        }
        frame->monotonicNs = SteadyNs();
        frame->utcNs = UtcNs();
        frame->sequence = sequence_ + 1;
        return;
    }
    // The library's own count of the run: frames it took but never published
    // (a NUC hold, a host that fell behind) show as a gap.
    frame->sequence = info.sequence;
    frame->monotonicNs = info.timestampNs;
    frame->utcNs = info.utcNs;
    frame->hasInfo = true;
    frame->cameraFrame = info.cameraFrame;
    frame->internalTemperature = info.internalTemperature;
    frame->framesSinceNuc = info.framesSinceNuc;
    frame->msSinceNuc = info.msSinceNuc;
    frame->rawMin = info.rawMin;
    frame->rawMax = info.rawMax;
    frame->tableCrc = info.tableCrc;
    frame->flags = info.flags;
    sequence_ = info.sequence;
}

bool Camera::Copy(const FrameRef &frame, uint8_t *dst) {
    const int id = static_cast<int>(frame.id);
    int ok = 0;
    switch (config_.output) {
        case Output::Raw:
            ok = Kalvex_GetRaw(handle_, id, dst, static_cast<int>(FrameBytes(Output::Raw)));
            break;
        case Output::Color:
            if (ownMap_) {
                colour_.rgb = rgb_ ? 1 : 0;
                ok = KalvexMeasure_Colorize(handle_, frame.id, &colour_, dst,
                                            static_cast<int32_t>(FrameBytes(Output::Color)),
                                            nullptr);
                break;
            }
            ok = Kalvex_GetColor(handle_, id, dst, static_cast<int>(FrameBytes(Output::Color)));
            if (ok == 1 && rgb_) {
                // The library's pixels are blue, green, red.
                for (uint8_t *p = dst, *end = dst + FrameBytes(Output::Color); p < end; p += 3) {
                    const uint8_t b = p[0];
                    p[0] = p[2];
                    p[2] = b;
                }
            }
            break;
        case Output::Temperature: {
            ok = Kalvex_GetTemperature(handle_, id, temps_.data(),
                                       static_cast<int>(temps_.size() * sizeof(float)));
            if (ok == 1) {
                uint16_t *out = reinterpret_cast<uint16_t *>(dst);
                for (int i = 0; i < kPixels; ++i) out[i] = CentiKelvin(temps_[i]);
            }
            break;
        }
    }
    if (ok == 1) return true;
    // The slot went round the ring before the element came to it (code 5).
    while (Kalvex_GetLastError(handle_) != 0) {
    }
    return false;
}

void Camera::Nuc() {
    if (handle_ != 0) Kalvex_Nuc(handle_);
}

bool Camera::SetScene(const KalvexScene &scene) {
    config_.scene = scene;
    if (handle_ == 0) return true;
    if (KalvexScene_Set(handle_, &scene) == 1) return true;
    while (Kalvex_GetLastError(handle_) != 0) {
    }
    return false;
}

std::vector<int> Camera::TakeWarnings() {
    std::vector<int> w;
    w.swap(warnings_);
    return w;
}

std::string TableReason(const std::string &path) {
    // The library's own check gives the same reason as every other host.
    char reason[256] = "";
    if (KalvexTable_CheckA(path.c_str(), nullptr, reason, sizeof reason) == 1 || reason[0] == 0)
        return "the library refuses the calibration table '" + path + "'";
    return "'" + path + "': " + reason;
}

std::string EventText(int code) {
    return EventWords(code) + " (event " + std::to_string(code) + ")";
}

}  // namespace kalvex_gst
