#include "thermal/kalvex_instance.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <new>
#include <system_error>

#include "base/log.h"
#include "platform/platform.h"
#include "thermal/temperature_rows.h"

namespace kalvex {

namespace {
constexpr uint32_t kPauseSleepMs = 10;
}  // namespace

// ---- The instance lock -------------------------------------------------------------------

CKalvex::StateGuard::StateGuard(CKalvex &owner, bool interrupt) : owner_(owner) {
    if (!interrupt) {
        owner_.stateLock_.lock();
    } else {
        owner_.interrupts_.fetch_add(1);
        while (!owner_.stateLock_.try_lock()) {
            const std::thread::id busy = owner_.stateOwner_.load();
            if (busy != std::thread::id{}) owner_.device_.CancelRequestsOf(busy);
            owner_.device_.CancelSingleTransfer();
            owner_.device_.WakeSingleFrameWaiter();
            std::this_thread::sleep_for(std::chrono::milliseconds(kCancelRepeatMs));
        }
    }
    owner_.stateOwner_.store(std::this_thread::get_id());
}

CKalvex::StateGuard::~StateGuard() {
    owner_.stateOwner_.store(std::thread::id{});
    owner_.stateLock_.unlock();
}

CKalvex::CKalvex() : frameRateStart_(platform::TimeGetTime()) {
    BuildHueTable(hue_);
}

CKalvex::~CKalvex() {
    Uninitialize();
}

float CKalvex::InternalTemperatureFromRaw(uint16_t raw) {
    return static_cast<float>(static_cast<double>(raw) * 3.0 / 32767.0 * (-207.9) + 478.17);
}

// ---- Lifecycle ---------------------------------------------------------------------------

int CKalvex::Initialize(KalvexHwnd window) {
    StateGuard state(*this);
    try {
        previewImage_ = std::make_unique<CDibImage>();
    } catch (const std::bad_alloc &) {
        previewImage_.reset();
    }
    {
        std::lock_guard frames(frameLock_);
        std::lock_guard ring(ringLock_);
        ring_.clear();
        ring_.resize(static_cast<size_t>(std::max(ringLength_.load(), 0)));
    }
    SetNotificationWindow(window);
    if (!previewImage_) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
    uint16_t raw = 0;
    float temperature = 0.0f;
    if (device_.ReadInternalTemperatureRaw(&raw) == 1)
        temperature = InternalTemperatureFromRaw(raw);
    // The reading goes to camera 0, selected at construction. When only other
    // cameras are plugged, its failure says nothing about them: the host will
    // select one of those, and acquiring from it reads the temperature again.
    if (temperature == 0.0f && !OnlyOtherCamerasPresent()) ReportError(KALVEX_EV_COMMUNICATION);
    reference_.store(temperature);
    table_.LinkReferenceTemperature(&reference_);
    LogDebug(L"GetInternalTemp %.2f", static_cast<double>(temperature));
    table_.SetCorrectionMode(13);
    return 1;
}

bool CKalvex::OnlyOtherCamerasPresent() {
    const int selected = device_.GetCameraIndex();
    if (device_.IsCameraPresent(selected) != 0) return false;
    for (int n = 0; n < device_.GetCameraCount(); ++n)
        if (device_.IsCameraPresent(n) != 0) return true;
    return false;
}

int CKalvex::IsCameraEnable(int index, wchar_t *name, int size) {
    if (size < 15) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    if (index < 0 || index >= device_.GetCameraCount()) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    if (device_.IsCameraPresent(index) == 0) return 0;
    if (name == nullptr) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    std::swprintf(name, static_cast<size_t>(size), L"%ls_%02d", L"KalvexN7K", index + 1);
    return 1;
}

int CKalvex::SetCameraNumber(int number) {
    StateGuard state(*this);
    // Reconfiguring the device while its streaming thread fills buffers would
    // pull them from under it: the camera cannot be selected now.
    if (mode_.load() == 1 || device_.IsCameraPresent(number) == 0) {
        ReportError(KALVEX_EV_NO_CAMERA);
        return 0;
    }
    if (device_.InitCamera(number) != 0) {
        ReportError(KALVEX_EV_NO_CAMERA);
        return 0;
    }
    return 1;
}

float CKalvex::ReadInternalTemperature(int *ok) {
    uint16_t raw = 0;
    if (device_.ReadInternalTemperatureRaw(&raw) == 1) {
        float temperature = InternalTemperatureFromRaw(raw);
        if (temperature != 0.0f) {
            if (ok != nullptr) *ok = 1;
            return temperature;
        }
    }
    if (ok != nullptr) *ok = 0;
    ReportError(KALVEX_EV_COMMUNICATION);
    return 0.0f;
}

int CKalvex::SetTable(const wchar_t *fileName) {
    StateGuard state(*this);
    if (fileName == nullptr || fileName[0] == L'\0') {
        ReportError(KALVEX_EV_FILE);
        return 0;
    }
    if (table_.LoadTable(fileName, 0) == 0) {
        ReportError(KALVEX_EV_FILE);
        return 0;
    }
    ApplyNucLocked();
    return 1;
}

int CKalvex::ApplyNuc() {
    StateGuard state(*this);
    return ApplyNucLocked();
}

int CKalvex::ApplyNucLocked() {
    nucStartTime_.store(platform::TimeGetTime());
    device_.PerformNuc();
    reference_.store(0.0f);
    return 1;
}

int CKalvex::PrepareAcquisition() {
    if (device_.IsCameraPresent(device_.GetCameraIndex()) == 0) {
        ReportError(KALVEX_EV_NO_CAMERA);
        return 0;
    }
    {
        // Readers may be copying frames of the previous run out of these images.
        std::lock_guard frames(frameLock_);
        for (RingSlot &slot : ring_) {
            slot.id.store(0);
            if (slot.raw.Create(frameWidth_, frameHeight_, 16) == 0 ||
                slot.colour.Create(frameWidth_, frameHeight_, 24) == 0) {
                ReportError(KALVEX_EV_NO_MEMORY);
                return 0;
            }
        }
        discard_.Create(frameWidth_, frameHeight_, 16);
    }
    device_.SetWindow(0, 0, frameWidth_, frameHeight_, 0);
    device_.SetPixelDepth(1);
    uint16_t raw = 0;
    if (device_.ReadInternalTemperatureRaw(&raw) != 1 || InternalTemperatureFromRaw(raw) == 0.0f)
        ReportError(KALVEX_EV_COMMUNICATION);
    return 1;
}

int CKalvex::StartCapture() {
    if (mode_.load() == 1) return 1;
    if (PrepareAcquisition() == 0) return 0;
    run_.store(1);
    threadEnded_.store(false);
    try {
        captureThread_ = std::thread([this] { CaptureThreadMain(); });
    } catch (const std::system_error &) {
        StopCapture();
        ReportError(KALVEX_EV_THREAD);
        return 0;
    }
    SetParam(KALVEX_PARAM_AUTO_NUC, autoNuc_.load());
    SetParam(KALVEX_PARAM_RESERVED, reserved_.load());
    device_.SetWaitLimitEnabled(0);
    if (device_.StartStreaming() != 0) {
        StopCapture();
        ReportError(KALVEX_EV_COMMUNICATION);
        return 0;
    }
    mode_.store(1);
    return 1;
}

int CKalvex::StopCapture() {
    {
        std::lock_guard guard(stopLock_);
        run_.store(0);
    }
    stopWake_.notify_all();
    if (captureThread_.joinable()) {
        // A pass waiting for a frame ends at once when woken; one held in an
        // exchange with a camera that stopped answering ends when cancelled.
        // Cancel until the loop has ended (an exchange begun just after a
        // cancel was not pending yet), unless the driver cannot cancel: then
        // only the exchange's own end lets the thread go.
        device_.WakeStreamWaiters();
        const std::thread::id capture = captureThread_.get_id();
        std::unique_lock lock(endLock_);
        while (!threadEnded_.load()) {
            lock.unlock();
            const bool cancelled = device_.CancelRequestsOf(capture);
            lock.lock();
            if (!cancelled) break;
            endWake_.wait_for(lock, std::chrono::milliseconds(kCancelRepeatMs),
                              [this] { return threadEnded_.load(); });
        }
        lock.unlock();
        captureThread_.join();
    }
    // A run that the camera ended (code 4, unplugged say) fails its stop too;
    // that is the same failure, already reported, not a new one.
    const bool endedByCamera = endedByCamera_.exchange(false);
    if (mode_.load() != 0) {
        mode_.store(0);
        device_.SetWaitLimitEnabled(0);
        if (device_.StopStreaming() != 0) {
            if (!endedByCamera) ReportError(KALVEX_EV_COMMUNICATION);
            return 0;
        }
    }
    return 1;
}

int CKalvex::CloseCamera() {
    StateGuard state(*this, true);
    StopCapture();
    return 1;
}

int CKalvex::Preview() {
    StateGuard state(*this);
    if (StartCapture() == 0) {
        StopCapture();
        return 0;
    }
    return 1;
}

void CKalvex::Uninitialize() {
    StateGuard state(*this, true);
    StopCapture();
    recordingImage_.reset();
    previewImage_.reset();
    std::lock_guard frames(frameLock_);
    std::lock_guard ring(ringLock_);
    discard_.Release();
    ring_.clear();
}

// ---- Capture thread --------------------------------------------------------------------------

void CKalvex::CaptureThreadMain() {
    platform::RaiseThreadPriority();
    CaptureLoop();
    {
        std::lock_guard lock(endLock_);
        threadEnded_.store(true);
    }
    endWake_.notify_all();
}

bool CKalvex::SleepWhileRunning(uint32_t ms) {
    std::unique_lock lock(stopLock_);
    return !stopWake_.wait_for(lock, std::chrono::milliseconds(ms),
                               [this] { return run_.load() == 0; });
}

bool CKalvex::InHoldWindow() {
    const uint32_t start = nucStartTime_.load();
    return start != 0 && platform::TimeGetTime() - start < nucHoldTime_.load();
}

uint32_t CKalvex::NewFrameId() {
    return platform::TimeGetTime() * static_cast<uint32_t>(platform::Rand()) + 1u;
}

void CKalvex::DriftCheck() {
    const uint32_t now = platform::TimeGetTime();
    if (now - lastDriftCheck_.load() <= kDriftCheckMs) return;
    uint16_t raw = 0;
    float temperature = 0.0f;
    const int read = device_.ReadInternalTemperatureRaw(&raw);
    // A read that a stop cancelled says nothing about the camera.
    if (read != 1 && run_.load() == 0) return;
    if (read == 1) temperature = InternalTemperatureFromRaw(raw);
    if (std::fabs(temperature - reference_.load()) > 1.0f) {
        if (autoNuc_.load() != 0) {
            device_.PerformNuc();
            LogDebug(L"Nuc");
        }
        // The new reference goes first: the rebuild reads it, so the table
        // matches the internal temperature just read, not the previous one.
        reference_.store(temperature);
        table_.RecreateTable();
        nucStartTime_.store(platform::TimeGetTime());
        LogDebug(L"RecreateTable");
    }
    LogDebug(L"AutoNuc fTemp=%.2f", static_cast<double>(temperature));
    lastDriftCheck_.store(now);
}

void CKalvex::ColorizeSlot(RingSlot &slot) {
    if (slot.raw.Empty() || slot.colour.Empty()) return;
    ColourFrame frame{reinterpret_cast<const uint16_t *>(slot.raw.Pixels()),
                      slot.raw.Stride(),
                      slot.colour.Pixels(),
                      slot.colour.Stride(),
                      slot.raw.Width(),
                      slot.raw.Height()};
    mapper_.ColorizeFrame(frame, range_);
}

void CKalvex::CaptureLoop() {
    RecordingLoopStart();
    while (run_.load() != 0) {
        if (!SleepWhileRunning(frameInterval_.load())) break;
        if (run_.load() != 1) continue;
        DriftCheck();
        const int state = device_.GetStreamState([this] { return run_.load() == 0; });
        if (state == 1) {
            run_.store(0);
            endedByCamera_.store(true);
            ReportError(KALVEX_EV_CAPTURE_ENDED);
            break;
        }
        if (state != 3) continue;
        if (pause_.load() != 0) {
            SleepWhileRunning(kPauseSleepMs);
            continue;
        }
        if (InHoldWindow()) {
            device_.ReadStreamFrame(discard_.Pixels());
            framesTaken_.fetch_add(1);
            continue;
        }
        int32_t m = 0;
        {
            // No reader copies out of the slot while it is rewritten.
            std::lock_guard frames(frameLock_);
            {
                std::lock_guard guard(ringLock_);
                if (ring_.empty()) continue;
                m = currentIndex_.load() + 1;
                if (m >= static_cast<int32_t>(ring_.size())) m = 0;
                RingSlot &slot = ring_[static_cast<size_t>(m)];
                slot.id.store(NewFrameId());
                const int read = device_.ReadStreamFrame(slot.raw.Pixels());
                framesTaken_.fetch_add(1);
                if (read != 0) {
                    ReportError(KALVEX_EV_ACQUISITION);
                    continue;
                }
                if (InHoldWindow()) continue;
            }
            // The colour image is complete before the slot becomes the newest
            // one: Kalvex_GetNewID hands out the id as soon as the index moves,
            // and a reader must not find the previous frame's colours in it.
            ColorizeSlot(ring_[static_cast<size_t>(m)]);
            std::lock_guard guard(ringLock_);
            currentIndex_.store(m);
        }
        RingSlot &current = ring_[static_cast<size_t>(m)];

        ++frameCount_;
        const uint32_t elapsed = platform::TimeGetTime() - frameRateStart_;
        if (elapsed > 1000) {
            frameRate_.store(static_cast<int32_t>(static_cast<double>(frameCount_) * 100000.0 /
                                                  static_cast<double>(elapsed)));
            frameCount_ = 0;
            frameRateStart_ = platform::TimeGetTime();
        }

        RecordingStep();

        KalvexHwnd window = NotificationWindow();
        if (window != nullptr)
            platform::PostWindowMessage(window, KALVEX_WM_FRAME, 0,
                                        static_cast<int32_t>(current.id.load()));
        if (std::shared_ptr<FrameObserver> observer = Observer())
            observer->FramePublished(*this, current.id.load());
    }
    RecordingLoopEnd();
}

// ---- Frames ----------------------------------------------------------------------------------

uint32_t CKalvex::GetNewID() {
    std::lock_guard guard(ringLock_);
    const int32_t index = currentIndex_.load();
    if (index < 0 || static_cast<size_t>(index) >= ring_.size()) return 0;
    return ring_[static_cast<size_t>(index)].id.load();
}

const CDibImage &CKalvex::CurrentRawImage() {
    std::lock_guard guard(ringLock_);
    return ring_.at(static_cast<size_t>(currentIndex_.load())).raw;
}

const CDibImage &CKalvex::CurrentColorImage() {
    std::lock_guard guard(ringLock_);
    return ring_.at(static_cast<size_t>(currentIndex_.load())).colour;
}

RingSlot *CKalvex::FindSlot(uint32_t id) {
    if (id != 0) {
        for (RingSlot &slot : ring_)
            if (slot.id.load() == id) return &slot;
    }
    ReportError(KALVEX_EV_INVALID_ARGUMENT);
    return nullptr;
}

namespace {
// Copies an image out, either as stored or with its rows in reverse order.
void CopyImageOut(const CDibImage &image, void *buffer, bool reversed) {
    auto *out = static_cast<uint8_t *>(buffer);
    if (!reversed) {
        std::memcpy(out, image.Pixels(), image.ByteSize());
        return;
    }
    const auto stride = static_cast<size_t>(image.Stride());
    for (int32_t r = 0; r < image.Height(); ++r)
        std::memcpy(out + static_cast<size_t>(r) * stride, image.Row(image.Height() - 1 - r),
                    stride);
}
}  // namespace

int CKalvex::GetColor(int frameId, void *buffer, int bufferSize) {
    std::lock_guard frames(frameLock_);
    RingSlot *slot = FindSlot(static_cast<uint32_t>(frameId));
    if (slot == nullptr) return 0;
    if (buffer == nullptr) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    if (bufferSize < 0 || static_cast<size_t>(bufferSize) < slot->colour.ByteSize() ||
        slot->colour.Empty()) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
    CopyImageOut(slot->colour, buffer, rowOrder_.load() != 0);
    return 1;
}

int CKalvex::GetRaw(int frameId, void *buffer, int bufferSize) {
    std::lock_guard frames(frameLock_);
    RingSlot *slot = FindSlot(static_cast<uint32_t>(frameId));
    if (slot == nullptr) return 0;
    if (buffer == nullptr) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    if (bufferSize < 0 || static_cast<size_t>(bufferSize) < slot->raw.ByteSize() ||
        slot->raw.Empty()) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
    CopyImageOut(slot->raw, buffer, rowOrder_.load() != 0);
    return 1;
}

bool CKalvex::CopyFrame(uint32_t id, std::vector<uint16_t> &raw, int32_t &width, int32_t &height,
                        std::shared_ptr<const CThermoTableState> &table) {
    std::lock_guard frames(frameLock_);
    if (id == 0) return false;
    for (RingSlot &slot : ring_) {
        if (slot.id.load() != id || slot.raw.Empty()) continue;
        width = slot.raw.Width();
        height = slot.raw.Height();
        raw.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
        for (int32_t r = 0; r < height; ++r)
            std::memcpy(raw.data() + static_cast<size_t>(r) * static_cast<size_t>(width),
                        slot.raw.Row(r), static_cast<size_t>(width) * sizeof(uint16_t));
        table = table_.State();
        return true;
    }
    return false;
}

void CKalvex::ConvertFrameToTemperatures(const CDibImage &raw, float *out) {
    const std::shared_ptr<const CThermoTableState> table = table_.State();
    const bool reversed = rowOrder_.load() != 0;
    const int32_t width = raw.Width(), height = raw.Height();
    for (int32_t r = 0; r < height; ++r) {
        const auto *src =
            reinterpret_cast<const uint16_t *>(raw.Row(reversed ? height - 1 - r : r));
        float *dst = out + static_cast<size_t>(r) * static_cast<size_t>(width);
        // The table's row conversion carries the scene, when one is set.
        table->LookupRow(src, reversed ? height - 1 - r : r, dst, width);
    }
}

int CKalvex::GetTemperature(int frameId, float *buffer, int bufferSize) {
    std::lock_guard frames(frameLock_);
    RingSlot *slot = FindSlot(static_cast<uint32_t>(frameId));
    if (slot == nullptr) return 0;
    if (buffer == nullptr) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    const int64_t needed = int64_t{slot->raw.Width()} * slot->raw.Height() * 4;
    if (slot->raw.Empty() || bufferSize < needed) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
    ConvertFrameToTemperatures(slot->raw, buffer);
    return 1;
}

int CKalvex::SingleFrameAcquisition(uint32_t interruptsSeen) {
    device_.SetWaitLimitEnabled(0);
    const int captured =
        device_.CaptureSingleFrame([this, interruptsSeen] { return Interrupted(interruptsSeen); });
    // A stop may end the wait, or cancel the transfer first and so end it.
    if (captured == kDevWaitCut || (captured != 0 && Interrupted(interruptsSeen))) {
        // No frame in time, or a stop ended the wait.
        ReportError(KALVEX_EV_ACQUISITION);
        return 0;
    }
    if (captured != 0) return 0;
    {
        std::lock_guard frames(frameLock_);
        if (ring_.empty()) return 0;
        int32_t m = currentIndex_.load() + 1;
        if (m >= static_cast<int32_t>(ring_.size())) m = 0;
        {
            std::lock_guard guard(ringLock_);
            currentIndex_.store(m);
        }
        RingSlot &slot = ring_[static_cast<size_t>(m)];
        uint32_t id = platform::TimeGetTime() * static_cast<uint32_t>(platform::Rand());
        // An id of 0 names no frame: no getter would accept the frame just taken.
        if (id == 0) id = 1;
        slot.id.store(id);
        if (device_.ReadSingleFrame(slot.raw.Pixels()) != 0) {
            ReportError(KALVEX_EV_ACQUISITION);
            return 0;
        }
        ColorizeSlot(slot);
    }
    return static_cast<int>(GetNewID());
}

int CKalvex::OneShot() {
    StateGuard state(*this);
    const uint32_t interruptsSeen = interrupts_.load();
    if (mode_.load() == 1) return 0;
    if (PrepareAcquisition() == 0) return 0;
    return SingleFrameAcquisition(interruptsSeen);
}

int CKalvex::Trigger() {
    StateGuard state(*this);
    const uint32_t interruptsSeen = interrupts_.load();
    if (mode_.load() == 1) return 0;
    ReportError(KALVEX_EV_NOT_SUPPORTED);
    if (PrepareAcquisition() == 0) return 0;
    const uint32_t start = platform::TimeGetTime();
    int previous = 0;
    for (;;) {
        if (platform::TimeGetTime() - start >= kTriggerWaitMs || Interrupted(interruptsSeen)) {
            ReportError(KALVEX_EV_ACQUISITION);
            return 0;
        }
        int current = 0;
        device_.ReadRegister(7, &current);
        if ((previous & 0x04) != 0 && (current & 0x04) == 0) break;
        previous = current;
    }
    return SingleFrameAcquisition(interruptsSeen);
}

// ---- Events ----------------------------------------------------------------------------------

int CKalvex::ReportError(int32_t code) {
    errors_.Push(code);
    KalvexHwnd window = NotificationWindow();
    if (window != nullptr) platform::PostWindowMessage(window, KALVEX_WM_EVENT, 0, code);
    return 1;
}

}  // namespace kalvex
