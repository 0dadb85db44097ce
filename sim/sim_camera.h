// One simulated camera: registers, core values, reply queue, scene and frame
// rendering, faults and counters, behind one mutex.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "kalvex_sim.h"
#include "sim_radiometry.h"
#include "sim_replay.h"
#include "sim_scene_image.h"

// Declared by kalvex.h on POSIX and by the core's platform.h on Windows.
struct KalvexDriverOps;

namespace kalvex::sim {

constexpr uint32_t kCommandCode = 0x00222051;
constexpr uint32_t kReplyCode = 0x0022204E;
constexpr uint32_t kLargeFrameCode = 0x002220A9;
constexpr uint32_t kLargeTransferSamples = 3072000;
constexpr int kSensorWidth = KALVEX_SIM_SENSOR_WIDTH;
constexpr int kSensorHeight = KALVEX_SIM_SENSOR_HEIGHT;
constexpr size_t kBlock = KALVEX_SIM_BLOCK_BYTES;

using Block = std::array<uint8_t, kBlock>;

// Shared by all cameras and the table writer.
struct DriftModel {
    double slope = KALVEX_SIM_DEFAULT_DRIFT_SLOPE;
    double intercept = KALVEX_SIM_DEFAULT_DRIFT_INTERCEPT;
    float calibration = 0.0f;  // set from the default core value at start-up
};
DriftModel CurrentDriftModel();
void SetDriftModel(const DriftModel &model);

// The camera's reading of a core value and its inverse (clamped).
float DecodeInternalTemperature(int coreValue);
int EncodeInternalTemperature(double celsius);
// floor(base(T) + drift(T, Ti) + 1e-6), unclamped.
int64_t ModelRaw(double celsius, float internal, const DriftModel &model);
double TemperatureForRaw(int raw);

struct Spot {
    int x, y, radius;
    double celsius;
    // Radiometry (sim_radiometry.h): the spot's emissivity, and the
    // black-body temperature the sensor sees, kept by the camera.
    double emissivity = 1.0;
    double apparent = 0.0;
};

class Camera {
  public:
    explicit Camera(int number);
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // Control side. Plug powers the camera up and registers its device path
    // with the simulated driver; Attach powers it up for the protocol engine's
    // other carriers only (Link below), leaving the path to another driver.
    bool Plug();
    bool Attach();
    bool Unplug();
    bool IsPlugged();
    void ResetSettings();
    void SetFrameRate(double hz);
    void SetTestPattern(bool on);
    // The flat background; it also ends a scene image.
    void SetBackground(double celsius);
    // A scene image (sim_scene_image.h) in place of the background, spots
    // still drawn over it; the demo scene also sets the temporal noise.
    void SetSceneImage(std::shared_ptr<const SceneImage> image);
    void SetDemoScene();
    int AddSpot(const Spot &spot);
    void ClearSpots();
    void SetRadiometry(const Radiometry &radiometry);
    void SetTemporalNoise(int amplitude, uint32_t seed);
    void SetFixedPatternNoise(int amplitude, uint32_t seed);
    void SetInternalTemperatureRaw(int coreValue);
    void SetInternalTemperature(double celsius);
    int InternalTemperatureRaw();
    void SetInternalTemperatureDrift(double perFrame);
    void ModelChanged();
    int RawForTemperature(double celsius);
    void SetTriggerLevel(bool high);
    void ScheduleTriggerPulse(int afterReads, int highReads);
    bool InjectFault(int fault, int times);
    void ClearFaults();
    void ReleaseStalls();
    bool WaitStalled(int count, int timeoutMs);
    int PeekRegister(int reg);
    void PokeRegister(int reg, int value);
    int PeekCore(int item);
    KalvexSimCounters Counters();
    int CommandLog(uint8_t *blocks, int maxBlocks);
    void ClearCommandLog();

    // Driver side: the generation identifies one plugged period; a handle
    // opened in an earlier one is dead.
    bool Open(uint64_t *generation);
    void Close();
    // The simulated kernel driver's I/O control request: the code must be the
    // one the driver expects for the pipe and block, then the engine serves it.
    // cancelled belongs to the handle: once set, its requests fail (waits end).
    bool IoControl(uint64_t generation, const std::atomic<bool> &cancelled, uint32_t code,
                   uint32_t pipe, void *buffer, uint32_t length, uint32_t *returned);
    // The protocol engine alone: one command, reply or frame request on a
    // pipe, for carriers without I/O control codes (USB endpoints).
    bool Transfer(uint64_t generation, const std::atomic<bool> &cancelled, uint32_t pipe,
                  void *buffer, uint32_t length, uint32_t *returned);

    // ---- Stalls, latency, aimed faults (control side) ----
    void SetLatency(int pipe, int milliseconds);
    void SetFaultOpcode(int opcode);
    void SetCancellable(bool on);
    // Counts a cancel and wakes waiting requests; false when cancelling is off.
    bool Cancel(std::atomic<bool> &cancelled);
    long Cancels();
    int Stalled();

    // ---- Replay (control side) ----
    // Serves the recording's frames instead of the scene; hz 0 keeps the
    // recorded pace.
    void Replay(std::shared_ptr<Recording> recording, double hz, bool loop, bool step);
    bool ReplayStep(int frames);
    bool ReplaySeek(int index);
    void StopReplay();
    KalvexSimReplayState ReplayState();

    const char *Path() const { return path_; }

  private:
    using Clock = std::chrono::steady_clock;
    using Lock = std::unique_lock<std::mutex>;

    bool Alive(uint64_t generation) const { return plugged_ && generation == generation_; }
    bool PowerUp(bool registerDriver);
    // code: the I/O control code to check, or null when the carrier has none.
    bool Serve(uint64_t generation, const std::atomic<bool> &cancelled, const uint32_t *code,
               uint32_t pipe, void *buffer, uint32_t length, uint32_t *returned);
    bool TakeFault(int fault);
    // A command or reply fault applies only to the aimed opcode (all when -1).
    bool TakeAimedFault(int fault, uint8_t opcode);
    // Blocks a stalled request until released; false when it must fail instead.
    bool Stall(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled);
    // Waits out the pipe's latency; false when the request must fail instead.
    bool Delay(Lock &lock, uint32_t pipe, uint64_t generation, const std::atomic<bool> &cancelled);
    void PowerOn();
    bool Command(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled,
                 const uint32_t *code, uint8_t *buffer, uint32_t length, uint32_t *returned);
    bool Reply(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled,
               const uint32_t *code, uint8_t *buffer, uint32_t length, uint32_t *returned);
    bool Frame(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled,
               const uint32_t *code, uint8_t *buffer, uint32_t length, uint32_t *returned);
    void Execute(const Block &block);
    void QueueReplies(uint8_t opcode, uint8_t item, uint8_t byte0, uint8_t byte1);
    uint8_t ReadStatusRegister(bool consume);
    uint32_t TransferSamples() const;
    void RebuildSensor();
    void Render(uint8_t *out, size_t bytes, bool noise, uint64_t frameIndex);
    void SceneChanged() { ++sceneVersion_; }
    // The recording's next frame as the sensor image; false when it cannot be read.
    bool TakeReplayFrame();
    // Back to the first recorded frame (or index), its internal temperature served at once.
    void RewindReplay(int index = 0);

    std::mutex plugLock_;  // serialises Plug and Unplug with their registration
    std::mutex lock_;
    std::condition_variable changed_;
    const int number_;
    char path_[32];

    bool plugged_ = false;
    bool registered_ = false;  // the device path is the simulated driver's
    uint64_t generation_ = 0;
    std::array<uint8_t, 256> registers_{};
    std::array<uint16_t, 256> core_{};
    // Replies with the opcode of the command that queued them.
    std::deque<std::pair<Block, uint8_t>> replies_;
    // A start-frame command arms the camera for one frame.
    bool frameArmed_ = false;

    // Settings.
    double frameRate_ = KALVEX_SIM_DEFAULT_FRAME_RATE;
    bool pattern_ = false;
    double background_ = KALVEX_SIM_DEFAULT_BACKGROUND;
    std::vector<Spot> spots_;
    Radiometry radiometry_;
    double backgroundApparent_ = KALVEX_SIM_DEFAULT_BACKGROUND;
    // The scene image, when one replaces the background, and its apparent
    // temperatures under radiometry_ (worked out when either is set).
    std::shared_ptr<const SceneImage> image_;
    std::vector<double> imageApparent_;
    int noiseAmplitude_ = 0;
    uint32_t noiseSeed_ = 0;
    int fpnAmplitude_ = 0;
    uint32_t fpnSeed_ = 0;
    bool fpnCorrected_ = false;
    int coreTemperature_ = KALVEX_SIM_DEFAULT_CORE_TEMPERATURE;  // core value 32
    double internal_ = 0.0;  // degrees; accumulates drift, the core value follows it
    double driftPerFrame_ = 0.0;
    bool triggerLevel_ = false;
    int pulseDelay_ = 0;
    int pulseHigh_ = 0;
    std::array<int, KALVEX_SIM_FAULT_REPLY_STALL + 1> faults_{};
    uint64_t stallRelease_ = 0;
    int stalled_ = 0;
    std::array<int, 3> latencyMs_{};
    int faultOpcode_ = -1;
    long cancels_ = 0;
    bool cancellable_ = true;

    KalvexSimCounters counters_{};
    std::array<Block, KALVEX_SIM_LOG_BLOCKS> log_{};
    size_t logCount_ = 0;
    size_t logNext_ = 0;

    // A recording served instead of the scene (null: the scene).
    std::shared_ptr<Recording> replay_;
    double replayHz_ = 0.0;
    bool replayLoop_ = false;
    bool replayStep_ = false;  // frames only as ReplayStep lets them out
    long replayCredit_ = 0;
    int replayNext_ = 0;
    long replayServed_ = 0;
    int replayLoops_ = 0;

    bool haveLastFrame_ = false;
    Clock::time_point lastFrame_{};

    // The noise-free sensor image and the last rendered transfer.
    uint64_t sceneVersion_ = 1;
    uint64_t sensorVersion_ = 0;
    std::vector<uint16_t> sensor_;
    struct RenderKey {
        uint64_t version;
        uint32_t samples;
        uint8_t depth;
        std::array<uint8_t, 4> window;
        size_t bytes;
        bool operator==(const RenderKey &) const = default;
    };
    RenderKey cacheKey_{};
    bool cacheValid_ = false;
    std::vector<uint8_t> cache_;
};

// The eight cameras; never destroyed, so late handles stay safe.
Camera &CameraAt(int number);

// Binds a camera's device path to the driver callbacks.
bool RegisterCameraDriver(Camera &camera);
void UnregisterCameraDriver(Camera &camera);
// Where a binding goes: the core's driver table for the static simulator, the
// library's POSIX extension for the shared one.
bool RegisterDriverPath(const char *path, const KalvexDriverOps *ops, void *context);
void UnregisterDriverPath(const char *path);

// One open link to a camera's protocol engine: the simulated driver's device
// handle, or a link of another carrier (KalvexSim_LinkOpen). cancelled fails
// the pending and later requests until it is cleared.
struct Link {
    Camera *camera;
    uint64_t generation;
    std::atomic<bool> cancelled{false};
};

// The driver callbacks a registration forwards to.
void *DriverOpen(void *context);
bool DriverIoControl(void *context, void *device, uint32_t code, uint32_t pipe, void *buffer,
                     uint32_t length, uint32_t *returned);
void DriverClose(void *context, void *device);
bool DriverCancel(void *context, void *device);

}  // namespace kalvex::sim
