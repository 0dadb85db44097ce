// The C control API of the simulated camera. No exception leaves it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kalvex_sim.h"
#include "sim_camera.h"
#include "sim_scene_image.h"

using kalvex::sim::Camera;
using kalvex::sim::CameraAt;

namespace {

bool Known(int camera) {
    return camera >= 0 && camera < KALVEX_SIM_CAMERAS;
}

// Runs f on the camera: 1, or 0 for an unknown camera or an escaped exception.
template <typename F>
int OnCamera(int camera, F f) {
    if (!Known(camera)) return 0;
    try {
        f(CameraAt(camera));
        return 1;
    } catch (...) {
        return 0;
    }
}

void PutU32(std::vector<unsigned char> &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void PutI32(std::vector<unsigned char> &out, int32_t value) {
    PutU32(out, static_cast<uint32_t>(value));
}

void PutF32(std::vector<unsigned char> &out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutU32(out, bits);
}

void PutPoint(std::vector<unsigned char> &out, int32_t raw, float celsius) {
    PutI32(out, raw);
    PutF32(out, celsius);
}

void PutMagic(std::vector<unsigned char> &out, int version) {
    char magic[32];
    std::snprintf(magic, sizeof magic, "VELKAR THERMO TABLE %d000", version);
    out.insert(out.end(), magic, magic + 24);
}

// The body of a table: count points in the layout's form, or false.
bool Points(std::vector<unsigned char> &out, int layout, int count, double low, double high,
            const kalvex::sim::DriftModel &model) {
    if (layout >= 1 && layout <= 3) {
        if (count < 1 || count > 16384) return false;
        PutI32(out, count);
        for (int m = 0; m < count; ++m) {
            double t = kalvex::sim::TemperatureForRaw(m);
            PutPoint(out, m, t >= low && t <= high ? static_cast<float>(t) : -999.0f);
        }
        return true;
    }
    if (count < 2 || count > 16384) return false;
    auto lo = kalvex::sim::ModelRaw(low, model.calibration, model);
    auto hi = kalvex::sim::ModelRaw(high, model.calibration, model);
    if (lo < 0 || hi > 16383 || hi - lo < count - 1) return false;
    PutI32(out, count);
    int64_t span = hi - lo;
    for (int i = 0; i < count; ++i) {
        auto raw = static_cast<int32_t>(lo + (i * span + (count - 1) / 2) / (count - 1));
        PutPoint(out, raw, static_cast<float>(kalvex::sim::TemperatureForRaw(raw)));
    }
    return true;
}

}  // namespace

extern "C" {

void KALVEX_CALL KalvexSim_Reset(void) {
    try {
        kalvex::sim::DriftModel model;
        model.calibration =
            kalvex::sim::DecodeInternalTemperature(KALVEX_SIM_DEFAULT_CORE_TEMPERATURE);
        kalvex::sim::SetDriftModel(model);
        for (int n = 0; n < KALVEX_SIM_CAMERAS; ++n) {
            CameraAt(n).Unplug();
            CameraAt(n).ResetSettings();
        }
    } catch (...) {
    }
}

int KALVEX_CALL KalvexSim_Plug(int camera) {
    if (!Known(camera)) return 0;
    try {
        return CameraAt(camera).Plug() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_Unplug(int camera) {
    return OnCamera(camera, [](Camera &c) { c.Unplug(); });
}

int KALVEX_CALL KalvexSim_IsPlugged(int camera) {
    return Known(camera) && CameraAt(camera).IsPlugged() ? 1 : 0;
}

int KALVEX_CALL KalvexSim_Attach(int camera) {
    if (!Known(camera)) return 0;
    try {
        return CameraAt(camera).Attach() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// The public link is the driver's handle: one engine behind both.
struct KalvexSimLink {
    kalvex::sim::Link link;
};

KalvexSimLink *KALVEX_CALL KalvexSim_LinkOpen(int camera) {
    if (!Known(camera)) return nullptr;
    uint64_t generation = 0;
    Camera &c = CameraAt(camera);
    if (!c.Open(&generation)) return nullptr;
    auto *link = new (std::nothrow) KalvexSimLink{{&c, generation, {}}};
    if (link == nullptr) c.Close();
    return link;
}

int KALVEX_CALL KalvexSim_LinkTransfer(KalvexSimLink *link, int pipe, void *buffer,
                                       unsigned long length, unsigned long *returned) {
    if (returned != nullptr) *returned = 0;
    if (link == nullptr || pipe < 0 || pipe > 2 || length > 0xFFFFFFFFul) return 0;
    try {
        uint32_t got = 0;
        bool ok = link->link.camera->Transfer(link->link.generation, link->link.cancelled,
                                              static_cast<uint32_t>(pipe), buffer,
                                              static_cast<uint32_t>(length), &got);
        if (returned != nullptr) *returned = got;
        return ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_LinkCancel(KalvexSimLink *link) {
    return link != nullptr && link->link.camera->Cancel(link->link.cancelled) ? 1 : 0;
}

int KALVEX_CALL KalvexSim_LinkResume(KalvexSimLink *link) {
    if (link == nullptr) return 0;
    link->link.cancelled.store(false);
    return 1;
}

void KALVEX_CALL KalvexSim_LinkClose(KalvexSimLink *link) {
    if (link == nullptr) return;
    link->link.camera->Close();
    delete link;
}

int KALVEX_CALL KalvexSim_SetFrameRate(int camera, double hz) {
    if (!(hz >= 0.0)) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetFrameRate(hz); });
}

int KALVEX_CALL KalvexSim_SetTestPattern(int camera, int on) {
    return OnCamera(camera, [&](Camera &c) { c.SetTestPattern(on != 0); });
}

int KALVEX_CALL KalvexSim_SetBackground(int camera, double celsius) {
    if (!std::isfinite(celsius)) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetBackground(celsius); });
}

int KALVEX_CALL KalvexSim_AddSpot(int camera, int x, int y, int radius, double celsius) {
    if (!Known(camera) || radius < 0 || !std::isfinite(celsius)) return -1;
    try {
        return CameraAt(camera).AddSpot({x, y, radius, celsius});
    } catch (...) {
        return -1;
    }
}

int KALVEX_CALL KalvexSim_AddSpotEmissive(int camera, int x, int y, int radius, double celsius,
                                          double emissivity) {
    if (!Known(camera) || radius < 0 || !std::isfinite(celsius) ||
        !(emissivity > 0.0 && emissivity <= 1.0))
        return -1;
    try {
        return CameraAt(camera).AddSpot({x, y, radius, celsius, emissivity});
    } catch (...) {
        return -1;
    }
}

int KALVEX_CALL KalvexSim_SetRadiometry(int camera, double reflectedCelsius, double transmission,
                                        double pathCelsius) {
    if (!std::isfinite(reflectedCelsius) || !std::isfinite(pathCelsius) ||
        !(transmission > 0.0 && transmission <= 1.0))
        return 0;
    return OnCamera(camera, [&](Camera &c) {
        c.SetRadiometry({reflectedCelsius, transmission, pathCelsius});
    });
}

double KALVEX_CALL KalvexSim_ApparentTemperature(double celsius, double emissivity,
                                                 double reflectedCelsius, double transmission,
                                                 double pathCelsius) {
    if (!std::isfinite(celsius) || !std::isfinite(reflectedCelsius) ||
        !std::isfinite(pathCelsius) || !(emissivity > 0.0 && emissivity <= 1.0) ||
        !(transmission > 0.0 && transmission <= 1.0))
        return std::nan("");
    return kalvex::sim::ApparentTemperature(celsius, emissivity,
                                            {reflectedCelsius, transmission, pathCelsius});
}

double KALVEX_CALL KalvexSim_BandRadiance(double celsius) {
    return kalvex::sim::BandRadiance(celsius);
}

int KALVEX_CALL KalvexSim_SetSceneImage(int camera, const float *celsius, const float *emissivity) {
    if (!Known(camera)) return 0;
    try {
        auto image = kalvex::sim::MakeSceneImage(celsius, emissivity);
        if (!image) return 0;
        CameraAt(camera).SetSceneImage(std::move(image));
        return 1;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_LoadSceneImageA(int camera, const char *path, double scale,
                                          double offset) {
    if (!Known(camera)) return 0;
    try {
        auto image = kalvex::sim::LoadSceneImage(path, scale, offset);
        if (!image) return 0;
        CameraAt(camera).SetSceneImage(std::move(image));
        return 1;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_SetDemoScene(int camera) {
    return OnCamera(camera, [](Camera &c) { c.SetDemoScene(); });
}

int KALVEX_CALL KalvexSim_DemoSceneImage(float *celsius) {
    if (celsius == nullptr) return 0;
    try {
        const auto scene = kalvex::sim::DemoScene();
        std::copy(scene->celsius.begin(), scene->celsius.end(), celsius);
        return 1;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_ClearSpots(int camera) {
    return OnCamera(camera, [](Camera &c) { c.ClearSpots(); });
}

int KALVEX_CALL KalvexSim_SetTemporalNoise(int camera, int amplitude, unsigned int seed) {
    if (amplitude < 0) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetTemporalNoise(amplitude, seed); });
}

int KALVEX_CALL KalvexSim_SetFixedPatternNoise(int camera, int amplitude, unsigned int seed) {
    if (amplitude < 0) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetFixedPatternNoise(amplitude, seed); });
}

int KALVEX_CALL KalvexSim_SetInternalTemperature(int camera, double celsius) {
    if (!std::isfinite(celsius)) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetInternalTemperature(celsius); });
}

int KALVEX_CALL KalvexSim_SetInternalTemperatureRaw(int camera, int coreValue) {
    if (coreValue < 0 || coreValue > 65535) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetInternalTemperatureRaw(coreValue); });
}

double KALVEX_CALL KalvexSim_GetInternalTemperature(int camera) {
    if (!Known(camera)) return 0.0;
    return kalvex::sim::DecodeInternalTemperature(CameraAt(camera).InternalTemperatureRaw());
}

int KALVEX_CALL KalvexSim_GetInternalTemperatureRaw(int camera) {
    return Known(camera) ? CameraAt(camera).InternalTemperatureRaw() : -1;
}

int KALVEX_CALL KalvexSim_SetInternalTemperatureDrift(int camera, double celsiusPerFrame) {
    if (!std::isfinite(celsiusPerFrame)) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetInternalTemperatureDrift(celsiusPerFrame); });
}

int KALVEX_CALL KalvexSim_SetDriftModel(double slope, double intercept, double calibrationCelsius) {
    if (!std::isfinite(slope) || !std::isfinite(intercept) || !std::isfinite(calibrationCelsius))
        return 0;
    try {
        kalvex::sim::SetDriftModel({slope, intercept, static_cast<float>(calibrationCelsius)});
        return 1;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_RawForTemperature(int camera, double celsius) {
    if (!Known(camera) || !std::isfinite(celsius)) return -1;
    return CameraAt(camera).RawForTemperature(celsius);
}

double KALVEX_CALL KalvexSim_TemperatureForRaw(int raw) {
    return kalvex::sim::TemperatureForRaw(raw);
}

int KALVEX_CALL KalvexSim_SetTriggerLevel(int camera, int high) {
    return OnCamera(camera, [&](Camera &c) { c.SetTriggerLevel(high != 0); });
}

int KALVEX_CALL KalvexSim_ScheduleTriggerPulse(int camera, int afterReads, int highReads) {
    if (afterReads < 0 || highReads < 1) return 0;
    return OnCamera(camera, [&](Camera &c) { c.ScheduleTriggerPulse(afterReads, highReads); });
}

int KALVEX_CALL KalvexSim_InjectFault(int camera, int fault, int times) {
    if (!Known(camera)) return 0;
    return CameraAt(camera).InjectFault(fault, times) ? 1 : 0;
}

int KALVEX_CALL KalvexSim_ClearFaults(int camera) {
    return OnCamera(camera, [](Camera &c) { c.ClearFaults(); });
}

int KALVEX_CALL KalvexSim_ReleaseStalls(int camera) {
    return OnCamera(camera, [](Camera &c) { c.ReleaseStalls(); });
}

int KALVEX_CALL KalvexSim_WaitStalled(int camera, int count, int timeoutMs) {
    if (!Known(camera)) return 0;
    try {
        return CameraAt(camera).WaitStalled(count, timeoutMs) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// ---- Latency, aimed faults and cancellation ---------------------------------------

int KALVEX_CALL KalvexSim_SetLatency(int camera, int pipe, int milliseconds) {
    if (pipe < 0 || pipe > 2 || milliseconds < 0) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetLatency(pipe, milliseconds); });
}

int KALVEX_CALL KalvexSim_SetFaultOpcode(int camera, int opcode) {
    if (opcode < -1 || opcode > 255) return 0;
    return OnCamera(camera, [&](Camera &c) { c.SetFaultOpcode(opcode); });
}

int KALVEX_CALL KalvexSim_SetCancellable(int camera, int on) {
    return OnCamera(camera, [&](Camera &c) { c.SetCancellable(on != 0); });
}

int KALVEX_CALL KalvexSim_GetStalled(int camera) {
    if (!Known(camera)) return -1;
    return CameraAt(camera).Stalled();
}

long KALVEX_CALL KalvexSim_GetCancels(int camera) {
    if (!Known(camera)) return -1;
    return CameraAt(camera).Cancels();
}

int KALVEX_CALL KalvexSim_ReadRegister(int camera, int reg) {
    if (!Known(camera) || reg < 0 || reg > 255) return -1;
    return CameraAt(camera).PeekRegister(reg);
}

int KALVEX_CALL KalvexSim_WriteRegister(int camera, int reg, int value) {
    if (reg < 0 || reg > 255 || value < 0 || value > 255) return 0;
    return OnCamera(camera, [&](Camera &c) { c.PokeRegister(reg, value); });
}

int KALVEX_CALL KalvexSim_ReadCoreValue(int camera, int item) {
    if (!Known(camera) || item < 0 || item > 255) return -1;
    return CameraAt(camera).PeekCore(item);
}

int KALVEX_CALL KalvexSim_GetCounters(int camera, KalvexSimCounters *counters) {
    if (counters == nullptr) return 0;
    return OnCamera(camera, [&](Camera &c) { *counters = c.Counters(); });
}

int KALVEX_CALL KalvexSim_GetCommandLog(int camera, unsigned char *blocks, int maxBlocks) {
    if (!Known(camera) || maxBlocks < 0 || (blocks == nullptr && maxBlocks > 0)) return -1;
    if (maxBlocks == 0) return 0;
    return CameraAt(camera).CommandLog(blocks, maxBlocks);
}

int KALVEX_CALL KalvexSim_ClearCommandLog(int camera) {
    return OnCamera(camera, [](Camera &c) { c.ClearCommandLog(); });
}

int KALVEX_CALL KalvexSim_WriteTable(const char *path, int layout, int count, double minCelsius,
                                     double maxCelsius) {
    if (path == nullptr || layout < 0 || layout > 4 || !std::isfinite(minCelsius) ||
        !std::isfinite(maxCelsius) || minCelsius > maxCelsius)
        return 0;
    try {
        kalvex::sim::DriftModel model = kalvex::sim::CurrentDriftModel();
        std::vector<unsigned char> out;
        if (layout >= 1) PutMagic(out, layout);
        if (layout == 2) {
            PutI32(out, 1);   // one table
            PutI32(out, 32);  // right after this offset list
        } else if (layout == 3) {
            PutI32(out, 0);
        } else if (layout == 4) {
            PutI32(out, 0);
            PutI32(out, 0);
            PutF32(out, model.calibration);
            PutF32(out, static_cast<float>(model.slope));
            PutF32(out, static_cast<float>(model.intercept));
        }
        if (!Points(out, layout, count, minCelsius, maxCelsius, model)) return 0;
        std::FILE *file = std::fopen(path, "wb");
        if (file == nullptr) return 0;
        bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
        ok = std::fclose(file) == 0 && ok;
        return ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"

// ---- Replay ---------------------------------------------------------------------

namespace {

template <typename Open>
int StartReplay(int camera, const void *path, double hz, int options, Open open) {
    if (!Known(camera) || path == nullptr || !(hz >= 0.0) || !std::isfinite(hz) ||
        (options & ~(KALVEX_SIM_REPLAY_LOOP | KALVEX_SIM_REPLAY_STEP)) != 0)
        return 0;
    try {
        int code = 0;
        std::shared_ptr<kalvex::sim::Recording> recording = open(&code);
        if (!recording) return code < 0 ? code : 0;
        CameraAt(camera).Replay(std::move(recording), hz, (options & KALVEX_SIM_REPLAY_LOOP) != 0,
                                (options & KALVEX_SIM_REPLAY_STEP) != 0);
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // namespace

int KALVEX_CALL KalvexSim_ReplayA(int camera, const char *path, double hz, int options) {
    return StartReplay(camera, path, hz, options,
                       [&](int *code) { return kalvex::sim::Recording::OpenNarrow(path, code); });
}

int KALVEX_CALL KalvexSim_ReplayW(int camera, const wchar_t *path, double hz, int options) {
    return StartReplay(camera, path, hz, options,
                       [&](int *code) { return kalvex::sim::Recording::OpenWide(path, code); });
}

int KALVEX_CALL KalvexSim_ReplayStep(int camera, int frames) {
    if (!Known(camera) || frames < 0) return 0;
    try {
        return CameraAt(camera).ReplayStep(frames) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_ReplaySeek(int camera, int index) {
    if (!Known(camera)) return 0;
    try {
        return CameraAt(camera).ReplaySeek(index) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int KALVEX_CALL KalvexSim_StopReplay(int camera) {
    return OnCamera(camera, [](Camera &c) { c.StopReplay(); });
}

int KALVEX_CALL KalvexSim_GetReplayState(int camera, KalvexSimReplayState *state) {
    if (state == nullptr) return 0;
    return OnCamera(camera, [&](Camera &c) { *state = c.ReplayState(); });
}
