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

// Waits for the lock with try_lock between cancels, which the analysis cannot follow.
CKalvex::StateGuard::StateGuard(CKalvex &owner, bool interrupt) NO_THREAD_SAFETY_ANALYSIS
    : owner_(owner) {
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

CKalvex::StateGuard::~StateGuard() NO_THREAD_SAFETY_ANALYSIS {
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
    return InternalTemperatureFromCore(raw);
}

// ---- Lifecycle ---------------------------------------------------------------------------

int CKalvex::Initialize(KalvexHwnd window) {
    StateGuard state(*this);
    try {
        previewImage_ = std::make_unique<CDibImage>();
    } catch (const std::bad_alloc &) {
        previewImage_.reset();
    }
    ring_.Resize(static_cast<size_t>(std::max(params_.ringLength.load(), 0)));
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
    if (temperature != 0.0f) NoteInternalTemperature(temperature);
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
    if (Previewing() || device_.IsCameraPresent(number) == 0) {
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
            NoteInternalTemperature(temperature);
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
    // Readers may be copying frames of the previous run out of these images:
    // the ring makes them again under its frame lock.
    if (!ring_.Allocate(frameWidth_, frameHeight_)) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
    discard_.Create(frameWidth_, frameHeight_, 16);
    device_.SetWindow(0, 0, frameWidth_, frameHeight_, 0);
    device_.SetPixelDepth(1);
    uint16_t raw = 0;
    if (device_.ReadInternalTemperatureRaw(&raw) != 1 || InternalTemperatureFromRaw(raw) == 0.0f)
        ReportError(KALVEX_EV_COMMUNICATION);
    else
        NoteInternalTemperature(InternalTemperatureFromRaw(raw));
    return 1;
}

int CKalvex::StartCapture() {
    if (Previewing()) return 1;
    if (PrepareAcquisition() == 0) return 0;
    sequence_.store(0);  // the run's frames are numbered from 1
    run_.store(1);
    threadEnded_.store(false);
    try {
        captureThread_ = std::thread([this] { CaptureThreadMain(); });
    } catch (const std::system_error &) {
        StopCapture();
        ReportError(KALVEX_EV_THREAD);
        return 0;
    }
    SetParam(KALVEX_PARAM_AUTO_NUC, params_.autoNuc.load());
    SetParam(KALVEX_PARAM_RESERVED, params_.reserved.load());
    device_.SetWaitLimitEnabled(0);
    if (device_.StartStreaming() != 0) {
        StopCapture();
        ReportError(KALVEX_EV_COMMUNICATION);
        return 0;
    }
    mode_.store(CaptureMode::kPreview);
    return 1;
}

int CKalvex::StopCapture() {
    {
        MutexLock guard(stopLock_);
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
        while (!threadEnded_.load()) {
            if (!device_.CancelRequestsOf(capture)) break;
            MutexLock lock(endLock_);
            lock.WaitFor(endWake_, std::chrono::milliseconds(kCancelRepeatMs),
                         [this] { return threadEnded_.load(); });
        }
        captureThread_.join();
    }
    // The stop collects the run's status: a run that the camera ended (a
    // failed transfer, repeated short ones, an unplug) fails here with code 8,
    // which a host reads after Kalvex_Close to learn that the camera failed.
    // The run is collected once, so a later stop records nothing.
    if (mode_.load() != CaptureMode::kIdle) {
        mode_.store(CaptureMode::kIdle);
        device_.SetWaitLimitEnabled(0);
        if (device_.StopStreaming() != 0) {
            ReportError(KALVEX_EV_COMMUNICATION);
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
    previewImage_.reset();
    discard_.Release();
    ring_.Clear();
}

// ---- Capture thread --------------------------------------------------------------------------

void CKalvex::CaptureThreadMain() {
    platform::RaiseThreadPriority();
    CaptureLoop();
    {
        MutexLock lock(endLock_);
        threadEnded_.store(true);
    }
    endWake_.notify_all();
}

bool CKalvex::SleepWhileRunning(uint32_t ms) {
    MutexLock lock(stopLock_);
    return !lock.WaitFor(stopWake_, std::chrono::milliseconds(ms),
                         [this] { return run_.load() == 0; });
}

bool CKalvex::InHoldWindow() {
    const uint32_t start = nucStartTime_.load();
    return start != 0 && platform::TimeGetTime() - start < params_.nucHoldTime.load();
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
    if (read == 1) {
        temperature = InternalTemperatureFromRaw(raw);
        NoteInternalTemperature(temperature);
    }
    if (std::fabs(temperature - reference_.load()) > 1.0f) {
        if (params_.autoNuc.load() != 0) {
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
    // The mapper moves the range for the next frame: a recolouring sees this one's.
    const int32_t low = range_.low.load(), high = range_.high.load();
    mapper_.ColorizeFrame(frame, range_);
    if (std::shared_ptr<FrameObserver> observer = Observer())
        observer->RecolourFrame(*this, slot.raw, slot.colour, low, high);
}

void CKalvex::CaptureLoop() {
    recording_.LoopStart();
    while (run_.load() != 0) {
        if (!SleepWhileRunning(params_.frameInterval.load())) break;
        if (run_.load() != 1) continue;
        DriftCheck();
        const int state = device_.GetStreamState([this] { return run_.load() == 0; });
        if (state == kStreamFailed) {
            run_.store(0);
            ReportError(KALVEX_EV_CAPTURE_ENDED);
            break;
        }
        if (state != kStreamFrameReady) continue;
        if (params_.pause.load() != 0) {
            SleepWhileRunning(kPauseSleepMs);
            continue;
        }
        if (InHoldWindow()) {
            device_.ReadStreamFrame(discard_.Pixels());
            TakeFrame();
            continue;
        }
        // The colour image is complete before the slot becomes the newest one:
        // Kalvex_GetNewID hands out the id as soon as it is published, and a
        // reader must not find the previous frame's colours in it.
        const uint32_t id = NewFrameId();
        const FrameRing::WriteResult written = ring_.WriteNext(id, false, [&](RingSlot &slot) {
            FrameStamp stamp;
            const int read = device_.ReadStreamFrame(slot.raw.Pixels(), &stamp);
            const uint32_t sequence = TakeFrame();
            if (read != 0) {
                ReportError(KALVEX_EV_ACQUISITION);
                return false;
            }
            if (InHoldWindow()) return false;
            ColorizeSlot(slot);
            StampSlot(slot, sequence, stamp, KALVEX_FRAME_STREAM);
            return true;
        });
        if (written != FrameRing::WriteResult::kPublished) continue;

        ++frameCount_;
        const uint32_t elapsed = platform::TimeGetTime() - frameRateStart_;
        if (elapsed > 1000) {
            params_.frameRate.store(static_cast<int32_t>(static_cast<double>(frameCount_) *
                                                         100000.0 / static_cast<double>(elapsed)));
            frameCount_ = 0;
            frameRateStart_ = platform::TimeGetTime();
        }

        recording_.Step();

        KalvexHwnd window = NotificationWindow();
        if (window != nullptr)
            platform::PostWindowMessage(window, KALVEX_WM_FRAME, 0, static_cast<int32_t>(id));
        if (std::shared_ptr<FrameObserver> observer = Observer())
            observer->FramePublished(*this, id);
    }
    recording_.LoopEnd();
}

// ---- Frames ----------------------------------------------------------------------------------

CDibImage CKalvex::CurrentRawImage() const {
    return ring_.ReadNewest(
        [](const RingSlot *slot) { return slot != nullptr ? slot->raw : CDibImage(); });
}

CDibImage CKalvex::CurrentColorImage() const {
    return ring_.ReadNewest(
        [](const RingSlot *slot) { return slot != nullptr ? slot->colour : CDibImage(); });
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

// The getters' checks, in order: a frame with that id (code 5), a buffer
// (code 5), room for the image (code 6).
int CKalvex::GetColor(int frameId, void *buffer, int bufferSize) {
    return CopySlotImage(frameId, buffer, bufferSize, &RingSlot::colour);
}

int CKalvex::GetRaw(int frameId, void *buffer, int bufferSize) {
    return CopySlotImage(frameId, buffer, bufferSize, &RingSlot::raw);
}

int CKalvex::CopySlotImage(int frameId, void *buffer, int bufferSize, CDibImage RingSlot::*image) {
    return ring_.Read(static_cast<uint32_t>(frameId), [&](const RingSlot *slot) {
        if (slot == nullptr || buffer == nullptr) {
            ReportError(KALVEX_EV_INVALID_ARGUMENT);
            return 0;
        }
        const CDibImage &source = slot->*image;
        if (bufferSize < 0 || static_cast<size_t>(bufferSize) < source.ByteSize() ||
            source.Empty()) {
            ReportError(KALVEX_EV_NO_MEMORY);
            return 0;
        }
        CopyImageOut(source, buffer, params_.rowOrder.load() != 0);
        return 1;
    });
}

bool CKalvex::CopyFrame(uint32_t id, std::vector<uint16_t> &raw, int32_t &width, int32_t &height,
                        std::shared_ptr<const CThermoTableState> &table) {
    return ring_.Read(id, [&](const RingSlot *slot) {
        if (slot == nullptr || slot->raw.Empty()) return false;
        CopyRows(*slot, raw, width, height);
        table = table_.State();
        return true;
    });
}

void CKalvex::CopyRows(const RingSlot &slot, std::vector<uint16_t> &raw, int32_t &width,
                       int32_t &height) {
    width = slot.raw.Width();
    height = slot.raw.Height();
    raw.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int32_t r = 0; r < height; ++r)
        std::memcpy(raw.data() + static_cast<size_t>(r) * static_cast<size_t>(width),
                    slot.raw.Row(r), static_cast<size_t>(width) * sizeof(uint16_t));
}

void CKalvex::ConvertFrameToTemperatures(const CDibImage &raw, float *out) {
    const std::shared_ptr<const CThermoTableState> table = table_.State();
    const bool reversed = params_.rowOrder.load() != 0;
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
    return ring_.Read(static_cast<uint32_t>(frameId), [&](const RingSlot *slot) {
        if (slot == nullptr || buffer == nullptr) {
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
    });
}

int CKalvex::SingleFrameAcquisition(uint32_t interruptsSeen, uint32_t origin) {
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
    uint32_t id = platform::TimeGetTime() * static_cast<uint32_t>(platform::Rand());
    // An id of 0 names no frame: no getter would accept the frame just taken.
    if (id == 0) id = 1;
    const FrameRing::WriteResult written = ring_.WriteNext(id, true, [&](RingSlot &slot) {
        if (device_.ReadSingleFrame(slot.raw.Pixels()) != 0) {
            ReportError(KALVEX_EV_ACQUISITION);
            return false;
        }
        // The single transfer has ended when its frame is read: its stamp is now.
        FrameStamp stamp;
        stamp.endNs = platform::MonotonicNanoseconds();
        stamp.utcNs = platform::UtcNanoseconds();
        const uint32_t sequence = TakeFrame();
        stamp.frameNumber = sequence;
        ColorizeSlot(slot);
        StampSlot(slot, sequence, stamp, origin);
        return true;
    });
    if (written != FrameRing::WriteResult::kPublished) return 0;
    return static_cast<int>(GetNewID());
}

int CKalvex::OneShot() {
    StateGuard state(*this);
    const uint32_t interruptsSeen = interrupts_.load();
    if (Previewing()) return 0;
    if (PrepareAcquisition() == 0) return 0;
    return SingleFrameAcquisition(interruptsSeen, KALVEX_FRAME_ONESHOT);
}

int CKalvex::Trigger() {
    StateGuard state(*this);
    const uint32_t interruptsSeen = interrupts_.load();
    if (Previewing()) return 0;
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
        device_.ReadRegister(kRegTrigger, &current);
        if ((previous & kTriggerInputBit) != 0 && (current & kTriggerInputBit) == 0) break;
        previous = current;
    }
    return SingleFrameAcquisition(interruptsSeen, KALVEX_FRAME_TRIGGERED);
}

// ---- Events ----------------------------------------------------------------------------------

int CKalvex::ReportError(int32_t code) {
    errors_.Push(code);
    KalvexHwnd window = NotificationWindow();
    if (window != nullptr) platform::PostWindowMessage(window, KALVEX_WM_EVENT, 0, code);
    return 1;
}

}  // namespace kalvex
