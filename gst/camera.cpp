#include "camera.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include <cerrno>
#include <cstdio>

#include "cli.h"
#include "kalvex_sim.h"
#include "kalvex_table.h"
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
    if (config.sim) {
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
        if (scene.fps) simRate_ = *scene.fps;
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
    if (Kalvex_IsCameraEnableW(handle_, config.camera, name, 32) != 1)
        return fail(OpenError::NotFound,
                    "camera " + std::to_string(config.camera) + " is not connected" +
                        (config.sim ? "" : " (sim=true for the simulated one)"));
    while (Kalvex_GetLastError(handle_) != 0) {
        // Codes of the probe (an unreadable internal temperature) are not fatal.
    }
    if (Kalvex_SetCameraNumber(handle_, config.camera) != 1)
        return fail(OpenError::NotFound, "cannot select camera " + std::to_string(config.camera));
    // Top row of the scene first in every copy.
    Kalvex_SetParam(handle_, KALVEX_PARAM_ROW_ORDER, 1);
    if (!config.table.empty() && Kalvex_SetTableA(handle_, config.table.c_str()) != 1)
        return fail(OpenError::Table, TableReason(config.table));
    if (KalvexScene_Set(handle_, &config.scene) != 1)
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

void Camera::Close() {
    if (handle_ != 0) Kalvex_Release(handle_);
    handle_ = 0;
    if (window_ != nullptr) KalvexPosix_DestroyWindow(window_);
    window_ = nullptr;
    if (plugged_) KalvexSim_Unplug(config_.camera);
    plugged_ = false;
    warnings_.clear();
}

void Camera::FrameRate(int *num, int *den) const {
    *den = 1;
    *num = kNominalRate;
    if (!config_.sim) return;
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
        if (KalvexPosix_GetMessage(window_, &m, kPollMs) != 1) continue;
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
    frame->monotonicNs = SteadyNs();
    frame->utcNs = UtcNs();
    frame->sequence = ++sequence_;
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
