#include "sim_camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace kalvex::sim {

namespace {

std::mutex &ModelLock() {
    static std::mutex lock;
    return lock;
}

DriftModel &Model() {
    static DriftModel model = [] {
        DriftModel m;
        m.calibration = DecodeInternalTemperature(KALVEX_SIM_DEFAULT_CORE_TEMPERATURE);
        return m;
    }();
    return model;
}

uint64_t Mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Uniform in -amplitude..amplitude.
int Spread(uint64_t random, int amplitude) {
    auto span = static_cast<uint64_t>(2 * amplitude + 1);
    return static_cast<int>(((random >> 32) * span) >> 32) - amplitude;
}

uint16_t Clamp14(int64_t value) {
    return static_cast<uint16_t>(std::clamp<int64_t>(value, 0, 16383));
}

}  // namespace

DriftModel CurrentDriftModel() {
    std::lock_guard guard(ModelLock());
    return Model();
}

void SetDriftModel(const DriftModel &model) {
    {
        std::lock_guard guard(ModelLock());
        Model() = model;
    }
    for (int n = 0; n < KALVEX_SIM_CAMERAS; ++n) CameraAt(n).ModelChanged();
}

float DecodeInternalTemperature(int coreValue) {
    return static_cast<float>(coreValue * 3.0 / 32767.0 * (-207.9) + 478.17);
}

int EncodeInternalTemperature(double celsius) {
    double v = std::round((478.17 - celsius) * 32767.0 / (3.0 * 207.9));
    if (!(v >= 0.0)) return 0;  // also NaN
    return v > 65535.0 ? 65535 : static_cast<int>(v);
}

int64_t ModelRaw(double celsius, float internal, const DriftModel &model) {
    float difference = model.calibration - internal;
    double base = KALVEX_SIM_GAIN * (celsius - KALVEX_SIM_T0) + KALVEX_SIM_R0;
    double drift = (model.slope * celsius + model.intercept) * static_cast<double>(difference);
    double raw = std::floor(base + drift + 1e-6);
    if (!(raw > -1e9)) return -1;  // NaN and absurd temperatures
    return raw > 1e9 ? static_cast<int64_t>(1e9) : static_cast<int64_t>(raw);
}

double TemperatureForRaw(int raw) {
    return (raw - KALVEX_SIM_R0) / KALVEX_SIM_GAIN + KALVEX_SIM_T0;
}

Camera::Camera(int number) : number_(number) {
    std::snprintf(path_, sizeof path_, "\\\\.\\ZcamN7KTHM-%d", number);
    ResetSettings();
}

// ---- Plugging ---------------------------------------------------------------

void Camera::PowerOn() {
    // No window and no transfer length: the host programs both before frames.
    registers_.fill(0);
    registers_[14] = 9;
    core_.fill(0);
    replies_.clear();
    frameArmed_ = false;
    haveLastFrame_ = false;
    if (replay_) RewindReplay();
    if (fpnCorrected_) {
        fpnCorrected_ = false;
        SceneChanged();
    }
}

bool Camera::Plug() {
    return PowerUp(true);
}

bool Camera::Attach() {
    return PowerUp(false);
}

bool Camera::PowerUp(bool registerDriver) {
    std::lock_guard plugGuard(plugLock_);
    {
        std::lock_guard guard(lock_);
        if (plugged_) return true;
        PowerOn();
        plugged_ = true;
    }
    if (!registerDriver || RegisterCameraDriver(*this)) {
        registered_ = registerDriver;
        return true;
    }
    std::lock_guard guard(lock_);
    plugged_ = false;
    return false;
}

bool Camera::Unplug() {
    std::lock_guard plugGuard(plugLock_);
    {
        std::lock_guard guard(lock_);
        if (!plugged_) return true;
        plugged_ = false;
        ++generation_;
    }
    changed_.notify_all();
    // Only our own registration: an attached camera's path may be another driver's.
    if (registered_) UnregisterCameraDriver(*this);
    registered_ = false;
    return true;
}

bool Camera::IsPlugged() {
    std::lock_guard guard(lock_);
    return plugged_;
}

void Camera::ResetSettings() {
    {
        std::lock_guard guard(lock_);
        frameRate_ = KALVEX_SIM_DEFAULT_FRAME_RATE;
        pattern_ = false;
        background_ = KALVEX_SIM_DEFAULT_BACKGROUND;
        spots_.clear();
        radiometry_ = Radiometry{};
        backgroundApparent_ = background_;
        image_.reset();
        imageApparent_.clear();
        noiseAmplitude_ = 0;
        noiseSeed_ = 0;
        fpnAmplitude_ = 0;
        fpnSeed_ = 0;
        fpnCorrected_ = false;
        coreTemperature_ = KALVEX_SIM_DEFAULT_CORE_TEMPERATURE;
        internal_ = DecodeInternalTemperature(coreTemperature_);
        driftPerFrame_ = 0.0;
        triggerLevel_ = false;
        pulseDelay_ = pulseHigh_ = 0;
        faults_.fill(0);
        ++stallRelease_;
        latencyMs_.fill(0);
        faultOpcode_ = -1;
        cancels_ = 0;
        cancellable_ = true;
        replay_.reset();
        long openHandles = counters_.openHandles;  // handles opened before still close
        counters_ = KalvexSimCounters{};
        counters_.openHandles = openHandles;
        logCount_ = logNext_ = 0;
        PowerOn();
        SceneChanged();
        cacheValid_ = false;
        cache_.clear();
        cache_.shrink_to_fit();
    }
    changed_.notify_all();
}

// ---- Settings ---------------------------------------------------------------

void Camera::SetFrameRate(double hz) {
    std::lock_guard guard(lock_);
    frameRate_ = hz > 0.0 && std::isfinite(hz) ? hz : 0.0;
    changed_.notify_all();  // a request waiting for the old pace re-evaluates
}

void Camera::SetTestPattern(bool on) {
    std::lock_guard guard(lock_);
    pattern_ = on;
    SceneChanged();
}

void Camera::SetBackground(double celsius) {
    std::lock_guard guard(lock_);
    background_ = celsius;
    backgroundApparent_ = ApparentTemperature(celsius, 1.0, radiometry_);
    image_.reset();
    imageApparent_.clear();
    SceneChanged();
}

void Camera::SetSceneImage(std::shared_ptr<const SceneImage> image) {
    // The radiometry of a whole image takes a while: not while frames wait.
    Radiometry radiometry;
    {
        std::lock_guard guard(lock_);
        radiometry = radiometry_;
    }
    std::vector<double> apparent = ApparentImage(*image, radiometry);
    std::lock_guard guard(lock_);
    if (!(radiometry == radiometry_)) apparent = ApparentImage(*image, radiometry_);
    image_ = std::move(image);
    imageApparent_ = std::move(apparent);
    SceneChanged();
}

void Camera::SetDemoScene() {
    SetSceneImage(DemoScene());
    std::lock_guard guard(lock_);
    noiseAmplitude_ = KALVEX_SIM_DEMO_NOISE;
}

int Camera::AddSpot(const Spot &spot) {
    std::lock_guard guard(lock_);
    if (spot.radius < 0 || spots_.size() >= KALVEX_SIM_MAX_SPOTS) return -1;
    spots_.push_back(spot);
    spots_.back().apparent = ApparentTemperature(spot.celsius, spot.emissivity, radiometry_);
    SceneChanged();
    return static_cast<int>(spots_.size()) - 1;
}

void Camera::SetRadiometry(const Radiometry &radiometry) {
    std::lock_guard guard(lock_);
    radiometry_ = radiometry;
    backgroundApparent_ = ApparentTemperature(background_, 1.0, radiometry_);
    for (Spot &spot : spots_)
        spot.apparent = ApparentTemperature(spot.celsius, spot.emissivity, radiometry_);
    if (image_) imageApparent_ = ApparentImage(*image_, radiometry_);
    SceneChanged();
}

void Camera::ClearSpots() {
    std::lock_guard guard(lock_);
    spots_.clear();
    SceneChanged();
}

void Camera::SetTemporalNoise(int amplitude, uint32_t seed) {
    std::lock_guard guard(lock_);
    noiseAmplitude_ = std::clamp(amplitude, 0, 16383);
    noiseSeed_ = seed;
}

void Camera::SetFixedPatternNoise(int amplitude, uint32_t seed) {
    std::lock_guard guard(lock_);
    fpnAmplitude_ = std::clamp(amplitude, 0, 16383);
    fpnSeed_ = seed;
    fpnCorrected_ = false;
    SceneChanged();
}

void Camera::SetInternalTemperatureRaw(int coreValue) {
    std::lock_guard guard(lock_);
    coreTemperature_ = std::clamp(coreValue, 0, 65535);
    internal_ = DecodeInternalTemperature(coreTemperature_);
    SceneChanged();
}

void Camera::SetInternalTemperature(double celsius) {
    std::lock_guard guard(lock_);
    internal_ = celsius;
    coreTemperature_ = EncodeInternalTemperature(celsius);
    SceneChanged();
}

int Camera::InternalTemperatureRaw() {
    std::lock_guard guard(lock_);
    return coreTemperature_;
}

void Camera::SetInternalTemperatureDrift(double perFrame) {
    std::lock_guard guard(lock_);
    driftPerFrame_ = std::isfinite(perFrame) ? perFrame : 0.0;
}

void Camera::ModelChanged() {
    std::lock_guard guard(lock_);
    SceneChanged();
}

int Camera::RawForTemperature(double celsius) {
    std::lock_guard guard(lock_);
    return Clamp14(
        ModelRaw(celsius, DecodeInternalTemperature(coreTemperature_), CurrentDriftModel()));
}

void Camera::SetTriggerLevel(bool high) {
    std::lock_guard guard(lock_);
    triggerLevel_ = high;
    pulseDelay_ = pulseHigh_ = 0;
}

void Camera::ScheduleTriggerPulse(int afterReads, int highReads) {
    std::lock_guard guard(lock_);
    pulseDelay_ = std::max(afterReads, 0);
    pulseHigh_ = std::max(highReads, 1);
}

// ---- Faults -----------------------------------------------------------------

bool Camera::InjectFault(int fault, int times) {
    if (fault < KALVEX_SIM_FAULT_OPEN || fault > KALVEX_SIM_FAULT_REPLY_STALL) return false;
    if (times < KALVEX_SIM_UNTIL_CLEARED) return false;
    {
        std::lock_guard guard(lock_);
        faults_[static_cast<size_t>(fault)] = times;
        const bool stall = fault == KALVEX_SIM_FAULT_FRAME_STALL ||
                           fault == KALVEX_SIM_FAULT_COMMAND_STALL ||
                           fault == KALVEX_SIM_FAULT_REPLY_STALL;
        if (stall && times == 0) ++stallRelease_;
    }
    changed_.notify_all();
    return true;
}

void Camera::ClearFaults() {
    {
        std::lock_guard guard(lock_);
        faults_.fill(0);
        ++stallRelease_;
    }
    changed_.notify_all();
}

void Camera::ReleaseStalls() {
    {
        std::lock_guard guard(lock_);
        ++stallRelease_;
    }
    changed_.notify_all();
}

bool Camera::WaitStalled(int count, int timeoutMs) {
    Lock lock(lock_);
    auto ready = [&] { return stalled_ >= count; };
    if (timeoutMs < 0) {
        changed_.wait(lock, ready);
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

bool Camera::TakeFault(int fault) {
    int &left = faults_[static_cast<size_t>(fault)];
    if (left == 0) return false;
    if (left > 0) --left;
    return true;
}

// ---- Stalls, latency, aimed faults, cancellation ----------------------------------

bool Camera::TakeAimedFault(int fault, uint8_t opcode) {
    if (faultOpcode_ >= 0 && faultOpcode_ != opcode) return false;
    return TakeFault(fault);
}

bool Camera::Stall(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled) {
    const uint64_t release = stallRelease_;
    ++stalled_;
    changed_.notify_all();
    changed_.wait(
        lock, [&] { return !Alive(generation) || cancelled.load() || stallRelease_ != release; });
    --stalled_;
    return Alive(generation) && !cancelled.load();
}

bool Camera::Delay(Lock &lock, uint32_t pipe, uint64_t generation,
                   const std::atomic<bool> &cancelled) {
    const int ms = latencyMs_[pipe];
    if (ms > 0) {
        const auto due = Clock::now() + std::chrono::milliseconds(ms);
        changed_.wait_until(lock, due, [&] { return !Alive(generation) || cancelled.load(); });
    }
    return Alive(generation) && !cancelled.load();
}

bool Camera::Cancel(std::atomic<bool> &cancelled) {
    {
        std::lock_guard guard(lock_);
        if (!cancellable_) return false;
        ++cancels_;
        cancelled.store(true);
    }
    changed_.notify_all();
    return true;
}

void Camera::SetCancellable(bool on) {
    std::lock_guard guard(lock_);
    cancellable_ = on;
}

void Camera::SetLatency(int pipe, int milliseconds) {
    std::lock_guard guard(lock_);
    latencyMs_[static_cast<size_t>(pipe)] = std::max(milliseconds, 0);
}

void Camera::SetFaultOpcode(int opcode) {
    std::lock_guard guard(lock_);
    faultOpcode_ = opcode;
}

long Camera::Cancels() {
    std::lock_guard guard(lock_);
    return cancels_;
}

int Camera::Stalled() {
    std::lock_guard guard(lock_);
    return stalled_;
}

// ---- Read-back ---------------------------------------------------------------

int Camera::PeekRegister(int reg) {
    std::lock_guard guard(lock_);
    return reg == 7 ? ReadStatusRegister(false) : registers_[reg];
}

void Camera::PokeRegister(int reg, int value) {
    std::lock_guard guard(lock_);
    registers_[reg] = static_cast<uint8_t>(value);
}

int Camera::PeekCore(int item) {
    std::lock_guard guard(lock_);
    return item == 32 ? coreTemperature_ : core_[item];
}

KalvexSimCounters Camera::Counters() {
    std::lock_guard guard(lock_);
    return counters_;
}

int Camera::CommandLog(uint8_t *blocks, int maxBlocks) {
    std::lock_guard guard(lock_);
    size_t n = std::min(logCount_, static_cast<size_t>(maxBlocks));
    size_t first = (logNext_ + log_.size() - n) % log_.size();
    for (size_t i = 0; i < n; ++i)
        std::memcpy(blocks + i * kBlock, log_[(first + i) % log_.size()].data(), kBlock);
    return static_cast<int>(n);
}

void Camera::ClearCommandLog() {
    std::lock_guard guard(lock_);
    logCount_ = logNext_ = 0;
}

// ---- Driver side --------------------------------------------------------------

bool Camera::Open(uint64_t *generation) {
    std::lock_guard guard(lock_);
    if (!plugged_ || TakeFault(KALVEX_SIM_FAULT_OPEN)) return false;
    *generation = generation_;
    ++counters_.opens;
    ++counters_.openHandles;
    return true;
}

void Camera::Close() {
    std::lock_guard guard(lock_);
    --counters_.openHandles;
}

bool Camera::IoControl(uint64_t generation, const std::atomic<bool> &cancelled, uint32_t code,
                       uint32_t pipe, void *buffer, uint32_t length, uint32_t *returned) {
    return Serve(generation, cancelled, &code, pipe, buffer, length, returned);
}

bool Camera::Transfer(uint64_t generation, const std::atomic<bool> &cancelled, uint32_t pipe,
                      void *buffer, uint32_t length, uint32_t *returned) {
    return Serve(generation, cancelled, nullptr, pipe, buffer, length, returned);
}

bool Camera::Serve(uint64_t generation, const std::atomic<bool> &cancelled, const uint32_t *code,
                   uint32_t pipe, void *buffer, uint32_t length, uint32_t *returned) {
    *returned = 0;
    Lock lock(lock_);
    if (!Alive(generation) || cancelled.load() || buffer == nullptr) return false;
    auto *bytes = static_cast<uint8_t *>(buffer);
    switch (pipe) {
        case 0:
            return Command(lock, generation, cancelled, code, bytes, length, returned);
        case 1:
            return Reply(lock, generation, cancelled, code, bytes, length, returned);
        case 2:
            return Frame(lock, generation, cancelled, code, bytes, length, returned);
        default:
            return false;
    }
}

bool Camera::Command(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled,
                     const uint32_t *code, uint8_t *buffer, uint32_t length, uint32_t *returned) {
    if (length != kBlock) return false;
    uint32_t expected = buffer[0] == 0x02 ? kReplyCode : kCommandCode;
    if (code != nullptr && *code != expected) return false;
    // The block as it arrived: the caller's buffer may not be looked at again
    // after a wait that the caller's cancel ends.
    Block block;
    std::memcpy(block.data(), buffer, kBlock);
    if (!Delay(lock, 0, generation, cancelled)) return false;
    if (TakeAimedFault(KALVEX_SIM_FAULT_COMMAND_STALL, block[0]) &&
        !Stall(lock, generation, cancelled))
        return false;
    if (TakeAimedFault(KALVEX_SIM_FAULT_COMMAND_FAIL, block[0])) return false;
    if (TakeAimedFault(KALVEX_SIM_FAULT_COMMAND_SHORT, block[0])) {
        *returned = length / 2;
        return true;
    }
    Execute(block);
    *returned = length;
    return true;
}

void Camera::Execute(const Block &block) {
    ++counters_.commands;
    log_[logNext_] = block;
    logNext_ = (logNext_ + 1) % log_.size();
    logCount_ = std::min(logCount_ + 1, log_.size());
    switch (block[0]) {
        case 0x02:
            ++counters_.startFrames;
            frameArmed_ = true;
            break;
        case 0x09:
            for (int i = 0; i < 4; ++i) registers_[i] = block[1 + i];
            break;
        case 0x0C: {
            int value = block[1] == 32 ? coreTemperature_ : core_[block[1]];
            QueueReplies(0x0C, block[1], static_cast<uint8_t>(value >> 8),
                         static_cast<uint8_t>(value));
            break;
        }
        case 0x25:
            registers_[block[1]] = block[2];
            break;
        case 0x26: {
            uint8_t value = block[1] == 7 ? ReadStatusRegister(true) : registers_[block[1]];
            QueueReplies(0x26, block[1], value, 0);
            break;
        }
        case 0x40:
            core_[block[3]] = static_cast<uint16_t>(block[4] << 8 | block[5]);
            if (block[3] == 6) {
                ++counters_.nucCommands;
                if (!fpnCorrected_) {
                    fpnCorrected_ = true;
                    SceneChanged();
                }
            }
            break;
        default:  // 0x06, 0x0A and unknown opcodes change nothing here
            break;
    }
}

void Camera::QueueReplies(uint8_t opcode, uint8_t item, uint8_t byte0, uint8_t byte1) {
    Block echo{};
    echo[0] = opcode;
    echo[1] = item;
    Block value{};
    value[0] = byte0;
    value[1] = byte1;
    replies_.emplace_back(echo, opcode);
    replies_.emplace_back(value, opcode);
    while (replies_.size() > 64) replies_.pop_front();  // nobody reads them: drop the oldest
}

uint8_t Camera::ReadStatusRegister(bool consume) {
    bool high = triggerLevel_;
    if (pulseDelay_ > 0) {
        if (consume) --pulseDelay_;
    } else if (pulseHigh_ > 0) {
        high = true;
        if (consume && --pulseHigh_ == 0) triggerLevel_ = false;
    }
    return static_cast<uint8_t>((registers_[7] & ~0x04) | (high ? 0x04 : 0));
}

bool Camera::Reply(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled,
                   const uint32_t *code, uint8_t *buffer, uint32_t length, uint32_t *returned) {
    if ((code != nullptr && *code != kReplyCode) || length != kBlock) return false;
    if (!Delay(lock, 1, generation, cancelled)) return false;
    if (replies_.empty()) return false;
    const uint8_t opcode = replies_.front().second;
    if (TakeAimedFault(KALVEX_SIM_FAULT_REPLY_STALL, opcode) && !Stall(lock, generation, cancelled))
        return false;
    if (replies_.empty()) return false;
    Block block = replies_.front().first;
    replies_.pop_front();
    if (TakeAimedFault(KALVEX_SIM_FAULT_REPLY_FAIL, opcode)) return false;
    uint32_t n = TakeAimedFault(KALVEX_SIM_FAULT_REPLY_SHORT, opcode) ? length / 2 : length;
    std::memcpy(buffer, block.data(), n);
    *returned = n;
    if (n == length) ++counters_.replies;
    return true;
}

uint32_t Camera::TransferSamples() const {
    return static_cast<uint32_t>(registers_[0]) | static_cast<uint32_t>(registers_[1]) << 8 |
           static_cast<uint32_t>(registers_[2]) << 16 | static_cast<uint32_t>(registers_[3]) << 24;
}

bool Camera::Frame(Lock &lock, uint64_t generation, const std::atomic<bool> &cancelled,
                   const uint32_t *code, uint8_t *buffer, uint32_t length, uint32_t *returned) {
    ++counters_.frameRequests;
    uint32_t samples = TransferSamples();
    if (code != nullptr &&
        *code != (samples >= kLargeTransferSamples ? kLargeFrameCode : kCommandCode))
        return false;
    // A frame is sent only when a start-frame command asked for it and a
    // transfer length is programmed.
    if (!frameArmed_ || samples == 0) return false;
    frameArmed_ = false;

    if (!Delay(lock, 2, generation, cancelled)) return false;
    if (TakeFault(KALVEX_SIM_FAULT_FRAME_STALL) && !Stall(lock, generation, cancelled))
        return false;

    // A recording that ended without a loop: the camera falls silent.
    changed_.wait(lock, [&] {
        return !Alive(generation) || cancelled.load() || !replay_ ||
               (replayNext_ < replay_->Frames() && (!replayStep_ || replayCredit_ > 0));
    });
    // Pace: one frame per period after the previous one served (a recording
    // keeps its own pace unless a rate is set).
    while (Alive(generation) && !cancelled.load() && haveLastFrame_) {
        double seconds = frameRate_ > 0.0 ? 1.0 / frameRate_ : 0.0;
        if (replay_)
            seconds = replayStep_       ? 0.0
                      : replayHz_ > 0.0 ? 1.0 / replayHz_
                                        : replay_->GapBefore(replayNext_);
        if (seconds <= 0.0) break;
        auto due = lastFrame_ + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
        if (Clock::now() >= due) break;
        changed_.wait_until(lock, due);
    }
    if (!Alive(generation) || cancelled.load()) return false;
    if (replay_ && !TakeReplayFrame()) return false;
    if (TakeFault(KALVEX_SIM_FAULT_FRAME_FAIL)) return false;

    bool sixteen = registers_[14] != 8;
    uint64_t frameBytes = static_cast<uint64_t>(samples) * (sixteen ? 2u : 1u);
    auto n = static_cast<uint32_t>(std::min<uint64_t>(length, frameBytes));
    if (TakeFault(KALVEX_SIM_FAULT_FRAME_SHORT)) n = std::min(n, length / 2);

    RebuildSensor();
    bool noise = noiseAmplitude_ > 0 && !pattern_ && !replay_;
    if (noise) {
        Render(buffer, n, true, static_cast<uint64_t>(counters_.framesServed));
    } else {
        RenderKey key{sceneVersion_,
                      samples,
                      registers_[14],
                      {registers_[16], registers_[17], registers_[18], registers_[19]},
                      n};
        if (!cacheValid_ || !(key == cacheKey_)) {
            cacheValid_ = false;
            cache_.resize(n);
            Render(cache_.data(), n, false, 0);
            cacheKey_ = key;
            cacheValid_ = true;
        }
        std::memcpy(buffer, cache_.data(), n);
    }
    *returned = n;
    haveLastFrame_ = true;
    lastFrame_ = Clock::now();
    if (replay_) {
        if (replayStep_) --replayCredit_;
        ++replayServed_;
        if (++replayNext_ >= replay_->Frames() && replayLoop_) {
            replayNext_ = 0;
            ++replayLoops_;
        }
    }
    if (n == length) {
        ++counters_.framesServed;
        if (driftPerFrame_ != 0.0 && !replay_) {
            internal_ += driftPerFrame_;
            int core = EncodeInternalTemperature(internal_);
            if (core != coreTemperature_) {
                coreTemperature_ = core;
                SceneChanged();
            }
        }
    }
    return true;
}

// ---- Rendering ------------------------------------------------------------------

void Camera::RebuildSensor() {
    if (replay_) return;  // the sensor image is the recorded frame
    if (sensorVersion_ == sceneVersion_ && !sensor_.empty()) return;
    sensor_.resize(static_cast<size_t>(kSensorWidth) * kSensorHeight);
    if (pattern_) {
        for (int y = 0; y < kSensorHeight; ++y)
            for (int x = 0; x < kSensorWidth; ++x)
                sensor_[static_cast<size_t>(y) * kSensorWidth + x] =
                    static_cast<uint16_t>(KALVEX_SIM_PATTERN(y, x));
        sensorVersion_ = sceneVersion_;
        return;
    }
    DriftModel model = CurrentDriftModel();
    float internal = DecodeInternalTemperature(coreTemperature_);
    // What the sensor sees is the apparent (black-body) temperature.
    int64_t backgroundRaw = ModelRaw(backgroundApparent_, internal, model);
    std::vector<int64_t> spotRaw;
    for (const Spot &spot : spots_) spotRaw.push_back(ModelRaw(spot.apparent, internal, model));
    bool fpn = fpnAmplitude_ > 0 && !fpnCorrected_;
    const double *image = imageApparent_.empty() ? nullptr : imageApparent_.data();
    for (int y = 0; y < kSensorHeight; ++y) {
        for (int x = 0; x < kSensorWidth; ++x) {
            int64_t raw =
                image != nullptr
                    ? ModelRaw(image[static_cast<size_t>(y) * kSensorWidth + x], internal, model)
                    : backgroundRaw;
            for (size_t s = spots_.size(); s-- > 0;) {  // the last added spot wins
                int64_t dx = x - spots_[s].x, dy = y - spots_[s].y;
                int64_t r = spots_[s].radius;
                if (dx * dx + dy * dy <= r * r) {
                    raw = spotRaw[s];
                    break;
                }
            }
            if (fpn) {
                uint64_t key = static_cast<uint64_t>(fpnSeed_) << 32 |
                               static_cast<uint64_t>(y) << 16 | static_cast<uint64_t>(x);
                raw += Spread(Mix(key), fpnAmplitude_);
            }
            sensor_[static_cast<size_t>(y) * kSensorWidth + x] = Clamp14(raw);
        }
    }
    sensorVersion_ = sceneVersion_;
}

// ---- Replay ------------------------------------------------------------------------

void Camera::Replay(std::shared_ptr<Recording> recording, double hz, bool loop, bool step) {
    {
        std::lock_guard guard(lock_);
        replay_ = std::move(recording);
        replayHz_ = hz;
        replayLoop_ = loop;
        replayStep_ = step;
        replayCredit_ = 0;
        replayServed_ = 0;
        replayLoops_ = 0;
        RewindReplay();
    }
    changed_.notify_all();
}

bool Camera::ReplayStep(int frames) {
    {
        std::lock_guard guard(lock_);
        if (!replay_) return false;
        replayCredit_ += frames;
    }
    changed_.notify_all();
    return true;
}

bool Camera::ReplaySeek(int index) {
    {
        std::lock_guard guard(lock_);
        if (!replay_ || index < 0 || index >= replay_->Frames()) return false;
        RewindReplay(index);
    }
    changed_.notify_all();
    return true;
}

void Camera::StopReplay() {
    {
        std::lock_guard guard(lock_);
        if (!replay_) return;
        replay_.reset();
        SceneChanged();
    }
    changed_.notify_all();
}

KalvexSimReplayState Camera::ReplayState() {
    std::lock_guard guard(lock_);
    KalvexSimReplayState state{};
    if (!replay_) return state;
    state.active = 1;
    state.frames = replay_->Frames();
    state.next = replayNext_;
    state.served = replayServed_;
    state.loops = replayLoops_;
    state.finished = replayNext_ >= replay_->Frames() ? 1 : 0;
    return state;
}

void Camera::RewindReplay(int index) {
    replayNext_ = index;
    if (replay_->HasInternal(index)) {
        coreTemperature_ = EncodeInternalTemperature(replay_->Internal(index));
        internal_ = DecodeInternalTemperature(coreTemperature_);
    }
}

bool Camera::TakeReplayFrame() {
    sensor_.resize(static_cast<size_t>(kSensorWidth) * kSensorHeight);
    if (!replay_->Read(replayNext_, sensor_.data())) {
        sensorVersion_ = 0;  // the scene is rebuilt once the replay ends
        return false;
    }
    for (uint16_t &raw : sensor_) raw = Clamp14(raw);
    sensorVersion_ = ++sceneVersion_;
    if (replay_->HasInternal(replayNext_)) {
        coreTemperature_ = EncodeInternalTemperature(replay_->Internal(replayNext_));
        internal_ = DecodeInternalTemperature(coreTemperature_);
    }
    return true;
}

// Writes the first `bytes` bytes of a transfer: the window's lines, then filler.
void Camera::Render(uint8_t *out, size_t bytes, bool noise, uint64_t frameIndex) {
    const bool sixteen = registers_[14] != 8;
    const size_t width = sixteen ? 2 : 1;
    const uint64_t samples = TransferSamples();
    const int x0 = 2 * registers_[16];
    const int y0 = 2 * registers_[17];
    const int height = 2 * (registers_[19] + 1);
    int w = 2 * registers_[18];
    for (int candidate : {w + 512, w}) {
        if (x0 + candidate <= kSensorWidth &&
            static_cast<uint64_t>(candidate) * static_cast<uint64_t>(height) <= samples) {
            w = candidate;
            break;
        }
    }
    uint64_t state = Mix(static_cast<uint64_t>(noiseSeed_) << 32 ^ frameIndex);
    size_t at = 0;
    auto put = [&](uint16_t value) {
        if (sixteen) {
            out[at] = static_cast<uint8_t>(value);
            if (at + 1 < bytes) out[at + 1] = static_cast<uint8_t>(value >> 8);
        } else {
            out[at] = static_cast<uint8_t>(value >> 6);
        }
        at += width;
    };
    uint64_t sent = 0;
    for (int line = 0; line < height && at < bytes && sent < samples; ++line) {
        const uint16_t *row =
            &sensor_[static_cast<size_t>(std::min(y0 + line, kSensorHeight - 1)) * kSensorWidth];
        for (int col = 0; col < w && at < bytes && sent < samples; ++col, ++sent) {
            uint16_t value = row[std::min(x0 + col, kSensorWidth - 1)];
            if (noise) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                value = Clamp14(static_cast<int64_t>(value) + Spread(state, noiseAmplitude_));
            }
            put(value);
        }
    }
    for (; at < bytes && sent < samples; ++sent) put(KALVEX_SIM_FILLER);
}

Camera &CameraAt(int number) {
    static Camera *cameras = [] {
        // Never destroyed: devices and streaming threads may outlive static teardown.
        auto *all = static_cast<Camera *>(::operator new(sizeof(Camera) * KALVEX_SIM_CAMERAS));
        for (int n = 0; n < KALVEX_SIM_CAMERAS; ++n) new (&all[n]) Camera(n);
        return all;
    }();
    return cameras[number];
}

// ---- Driver callbacks -------------------------------------------------------------

void *DriverOpen(void *context) {
    auto *camera = static_cast<Camera *>(context);
    uint64_t generation = 0;
    if (camera == nullptr || !camera->Open(&generation)) return nullptr;
    auto *handle = new (std::nothrow) Link{camera, generation, {}};
    if (handle == nullptr) camera->Close();
    return handle;
}

bool DriverIoControl(void *, void *device, uint32_t code, uint32_t pipe, void *buffer,
                     uint32_t length, uint32_t *returned) {
    *returned = 0;
    auto *handle = static_cast<Link *>(device);
    if (handle == nullptr) return false;
    return handle->camera->IoControl(handle->generation, handle->cancelled, code, pipe, buffer,
                                     length, returned);
}

bool DriverCancel(void *, void *device) {
    auto *handle = static_cast<Link *>(device);
    if (handle == nullptr) return false;
    return handle->camera->Cancel(handle->cancelled);
}

void DriverClose(void *, void *device) {
    auto *handle = static_cast<Link *>(device);
    if (handle == nullptr) return;
    handle->camera->Close();
    delete handle;
}

}  // namespace kalvex::sim
