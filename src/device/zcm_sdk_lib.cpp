#include "device/zcm_sdk_lib.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace kalvex {

namespace {

constexpr int kSensorWidth = 640;
constexpr int kSensorHeight = 480;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void FormatDevicePath(char *out, size_t size, const char *baseName, int n) {
    std::snprintf(out, size, "\\\\.\\%s-%d", baseName, n);
}

uint8_t Low8(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

// A camera queues its replies per camera, not per handle: two exchanges that
// interleave would take each other's replies. One lock for the process keeps
// every command-and-reply exchange whole (they take microseconds).
std::mutex &ExchangeLock() {
    static std::mutex lock;
    return lock;
}

// Streaming runs per camera, over every device object of the process.
std::array<std::atomic<int32_t>, kCameraCount> &StreamingRuns() {
    static std::array<std::atomic<int32_t>, kCameraCount> runs{};
    return runs;
}

}  // namespace

// ---- Slot arithmetic ------------------------------------------------------------------

int StreamFramesAvailable(int writeIndex, int readIndex, int slotCount) {
    int available = writeIndex - readIndex;
    if (writeIndex < readIndex) available += slotCount;
    return available;
}

int StreamNewestSlot(int writeIndex, int slotCount) {
    return writeIndex == 0 ? slotCount - 1 : writeIndex - 1;
}

int StreamNextWriteIndex(int writeIndex, int readIndex, int slotCount) {
    int next = writeIndex + 1;
    if (next >= slotCount) next = 0;
    if (next == readIndex) {
        ++next;
        if (next >= slotCount) next = 0;
    }
    return next;
}

// ---- Construction ------------------------------------------------------------------------

CZCMSdkLib::CZCMSdkLib()
    : singleJob_(std::make_shared<SingleTransferJob>()),
      streamJob_(std::make_shared<StreamTransferJob>()) {
    for (auto &p : present_) p.store(0);
}

CZCMSdkLib::~CZCMSdkLib() {
    StopStreaming();
    {
        std::lock_guard guard(singleLock_);
        if (singleThread_.joinable()) {
            // The job and its buffer are shared with the thread, so one stuck in
            // the driver can be left behind safely.
            const auto job = CurrentSingleJob();
            EndTransferThread(singleThread_, job->links, job->completion, job->hold.get(),
                              stopWaitMs_.load());
        }
    }
    FreeFrameBuffers();
}

void CZCMSdkLib::SetDeviceBaseName(const char *name) {
    deviceBaseName_.fill('\0');
    if (name == nullptr) return;
    std::strncpy(deviceBaseName_.data(), name, deviceBaseName_.size() - 1);
}

std::string CZCMSdkLib::DevicePath() const {
    std::lock_guard guard(jobsLock_);
    return std::string(devicePath_.data());
}

bool CZCMSdkLib::CameraStreaming(int n) {
    if (n < 0 || n >= kCameraCount) return false;
    return StreamingRuns()[static_cast<size_t>(n)].load() > 0;
}

void CZCMSdkLib::CountStreaming(int camera) {
    if (streamingCamera_ >= 0) StreamingRuns()[static_cast<size_t>(streamingCamera_)].fetch_sub(1);
    streamingCamera_ = camera;
    if (camera >= 0) StreamingRuns()[static_cast<size_t>(camera)].fetch_add(1);
}

std::shared_ptr<SingleTransferJob> CZCMSdkLib::CurrentSingleJob() const {
    std::lock_guard guard(jobsLock_);
    return singleJob_;
}

std::shared_ptr<StreamTransferJob> CZCMSdkLib::CurrentStreamJob() const {
    std::lock_guard guard(jobsLock_);
    return streamJob_;
}

std::shared_ptr<FrameBuffers> CZCMSdkLib::CurrentBuffers() const {
    std::lock_guard guard(jobsLock_);
    return buffers_;
}

// ---- Commands, registers and core values ------------------------------------------------------

int CZCMSdkLib::SendCommand(const CommandBlock &block) {
    if (muted_.load()) return 0;
    const ScopedLink link(commandLinks_, DevicePath().c_str());
    CommandBlock copy = block;
    const int result = PipeTransferInDirect(link.get(), kCommandPipe, kBlockBytes, copy.data());
    return result == kTransferOk ? 1 : 0;
}

// Sends a command that is answered by two reply blocks; only the second counts.
int CZCMSdkLib::ReadWithReplies(const CommandBlock &command, CommandBlock *second) {
    if (muted_.load()) return 0;
    std::lock_guard exchange(ExchangeLock());
    const ScopedLink link(commandLinks_, DevicePath().c_str());
    DeviceHandle handle = link.get();
    CommandBlock copy = command;
    int ok = 0;
    if (PipeTransferInDirect(handle, kCommandPipe, kBlockBytes, copy.data()) == kTransferOk) {
        CommandBlock first{};
        (void)PipeTransferOutDirect(handle, kReplyPipe, kBlockBytes, first.data());
        second->fill(0);
        ok = PipeTransferOutDirect(handle, kReplyPipe, kBlockBytes, second->data()) == kTransferOk
                 ? 1
                 : 0;
    }
    return ok;
}

int CZCMSdkLib::ReadRegister(int reg, int *value) {
    CommandBlock reply{};
    const int ok = ReadWithReplies(MakeCommand(kOpReadRegister, {Low8(reg)}), &reply);
    if (value != nullptr) *value = ok ? reply[0] : 0;
    return ok;
}

int CZCMSdkLib::WriteRegister(int reg, int value) {
    return SendCommand(MakeCommand(kOpWriteRegister, {Low8(reg), Low8(value)}));
}

int CZCMSdkLib::ReadCoreValue(int item, uint16_t *value) {
    CommandBlock reply{};
    const int ok = ReadWithReplies(MakeCommand(kOpReadCore, {Low8(item)}), &reply);
    if (value != nullptr) *value = ok ? static_cast<uint16_t>((reply[0] << 8) | reply[1]) : 0;
    return ok;
}

int CZCMSdkLib::WriteCoreValue(int item, uint16_t value) {
    return SendCommand(MakeCommand(
        kOpWriteCore, {kWriteCoreSelect, kWriteCoreLength, Low8(item),
                       static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)}));
}

int CZCMSdkLib::ReadInternalTemperatureRaw(uint16_t *value) {
    return ReadCoreValue(kCoreInternalTemperature, value);
}

int CZCMSdkLib::PerformNuc() {
    return WriteCoreValue(kCoreNuc, kCoreNucRequest);
}

int CZCMSdkLib::SetControlBit(int mask, int on, std::atomic<int32_t> &state) {
    int current = 0;
    if (ReadRegister(kRegControl, &current) != 1) return -1;
    const int next = on != 0 ? (current | mask) : (current & ~mask);
    if (WriteRegister(kRegControl, next) != 1) return -1;
    state.store(on);
    return 0;
}

int CZCMSdkLib::SetControlBit2(int on) {
    return SetControlBit(kControlBit2, on, controlBit2_);
}
int CZCMSdkLib::SetControlBit3(int on) {
    return SetControlBit(kControlBit3, on, controlBit3_);
}

// ---- Cameras ------------------------------------------------------------------------------------

void CZCMSdkLib::ProbeCameras() {
    for (int n = 0; n < kCameraCount; ++n) {
        char path[128];
        FormatDevicePath(path, sizeof path, deviceBaseName_.data(), n);
        DeviceHandle handle = OpenDeviceHandle(path);
        present_[static_cast<size_t>(n)].store(handle != nullptr ? 1 : 0);
        CloseDeviceHandle(&handle);
    }
    cameraIndex_.store(0);
}

int CZCMSdkLib::IsCameraPresent(int n) const {
    if (n < 0 || n >= kCameraCount) return 0;
    return present_[static_cast<size_t>(n)].load();
}

int CZCMSdkLib::SetCameraIndex(int n) {
    if (n < 0 || n >= kCameraCount) return kDevBadCamera;
    cameraIndex_.store(n);
    std::lock_guard guard(jobsLock_);
    FormatDevicePath(devicePath_.data(), devicePath_.size(), deviceBaseName_.data(), n);
    return kDevOk;
}

void CZCMSdkLib::ResetDeviceState() {
    sixteenBit_.store(0);
    linePitch_ = 1339;
    lineOffset_ = 50;
    width_ = 1280;
    totalLines_ = 1040;
    firstLine_ = 10;
    height_ = 1028;
    lastTransferMs_.store(0);
    waitLimitMs_ = 3000;
    waitLimitEnabled_.store(0);
    interlaced_ = 0;
    windowMode_ = 0;
    initialised_ = 1;
}

int CZCMSdkLib::SelectCamera(int n) {
    ResetDeviceState();
    if (SetCameraIndex(n) != kDevOk) return kDevBadCamera;
    SetPixelDepth(0);
    return kDevOk;
}

int CZCMSdkLib::InitCamera(int n) {
    const int selected = SelectCamera(n);
    if (selected != kDevOk) return selected;
    SendCommand(MakeCommand(kOpInit));
    InitRegisters();
    SetWindow(0, 0, kSensorWidth, kSensorHeight, 0);
    return kDevOk;
}

void CZCMSdkLib::InitRegisters() {
    WriteRegister(kRegInitA, 0);
    WriteRegister(kRegInitB, 0);
    SleepMs(22);
    WriteRegister(kRegInitB, kInitBPulse);
    SleepMs(22);
    WriteRegister(kRegInitB, 0);
    SetControlBit2(1);
    SetControlBit3(1);
}

// ---- Virtual slots ------------------------------------------------------------------------------

int CZCMSdkLib::SetPixelDepth(int sixteenBit) {
    StoreSixteenBit(sixteenBit);
    SendCommand(MakeCommand(kOpPixelDepth, {static_cast<uint8_t>(sixteenBit != 0 ? 1 : 0)}));
    return 1;
}

// ---- Geometry and buffers
// ------------------------------------------------------------------------

int CZCMSdkLib::SetWindow(int x, int y, int width, int height, int mode) {
    if (x < 0 || y < 0 || width < 4 || height < 3) return kDevWindowRefused;
    if (x > kSensorWidth - width || y > kSensorHeight - height) return kDevWindowRefused;
    if (!((mode >= 0 && mode <= 3) || mode == 17 || mode == 18)) return kDevWindowRefused;

    windowX_ = x;
    windowY_ = y;
    windowWidth_ = width;
    windowHeight_ = height;
    windowMode_ = mode;
    SetFrameGeometry(width, 0, width, 481, 0, height, 4);

    WriteRegister(kRegWindowX, x / 2);
    WriteRegister(kRegWindowY, y / 2);
    WriteRegister(kRegWindowWidth, width / 2);
    WriteRegister(kRegWindowHeight, height / 2 - 1);

    const auto samples = static_cast<uint32_t>(transferSamples_);
    WriteRegister(kRegTransferLength0, 0xFF);
    WriteRegister(kRegTransferLength1, static_cast<int>((samples >> 8) & 0xFF));
    WriteRegister(kRegTransferLength2, static_cast<int>((samples >> 16) & 0xFF));
    WriteRegister(kRegTransferLength3, static_cast<int>((samples >> 24) & 0xFF));
    WriteRegister(kRegTransferLength0, static_cast<int>(samples & 0xFF));
    SleepMs(100);

    RememberWindowTransfer(transferSamples_);
    largeTransfer_.store(transferSamples_ >= kLargeTransferSamples ? 1 : 0);
    return kDevOk;
}

std::shared_ptr<FrameBuffers> CZCMSdkLib::AllocateBuffers() const {
    if (slotBytes_ <= 0) return nullptr;
    auto buffers = std::make_shared<FrameBuffers>();
    const auto bytes = static_cast<uint32_t>(slotBytes_);
    buffers->single.reset(new (std::nothrow) uint8_t[bytes]());
    if (!buffers->single) return nullptr;
    buffers->singleBytes = bytes;
    buffers->slotBytes = bytes;
    // A slot that cannot be allocated stays null; transfers into it then fail.
    try {
        buffers->slots.resize(static_cast<size_t>(slotCount_));
    } catch (const std::bad_alloc &) {
        buffers->slots.clear();
    }
    for (FrameSlot &slot : buffers->slots) {
        slot.block.reset(new (std::nothrow) uint8_t[bytes]());
        slot.data = slot.block.get();
    }
    return buffers;
}

int CZCMSdkLib::SetFrameGeometry(int pitch, int lineOffset, int width, int totalLines,
                                 int firstLine, int height, int slotCount) {
    if (pitch < 1 || width < 1 || width > pitch || lineOffset < 0 || lineOffset > pitch - width)
        return kDevBadWidth;
    if (totalLines < 1 || height < 1 || firstLine < 0 || firstLine > totalLines - height)
        return kDevBadHeight;
    if (slotCount < 2) return kDevWindowRefused;

    FreeFrameBuffers();
    linePitch_ = pitch;
    lineOffset_ = lineOffset;
    width_ = width;
    totalLines_ = totalLines;
    firstLine_ = firstLine;
    height_ = height;
    slotCount_ = slotCount;
    const int64_t sensor = static_cast<int64_t>(pitch) * totalLines;
    const int64_t frame = static_cast<int64_t>(pitch) * (height + firstLine);
    const int64_t transfer = (frame + 1023) / 1024 * 1024;
    // Every length must fit the 32-bit requests (two bytes per sample).
    if (transfer > INT32_MAX / 2) {
        sensorSamples_ = frameSamples_ = transferSamples_ = 0;
        slotBytes_ = 0;
        return kDevNoMemory;
    }
    sensorSamples_ = static_cast<int32_t>(std::min<int64_t>(sensor, INT32_MAX));
    frameSamples_ = static_cast<int32_t>(frame);
    transferSamples_ = static_cast<int32_t>(transfer);
    largeTransfer_.store(transferSamples_ >= kLargeTransferSamples ? 1 : 0);
    slotBytes_ = transferSamples_ * 2;

    auto buffers = AllocateBuffers();
    if (!buffers) return kDevNoMemory;
    {
        std::lock_guard guard(jobsLock_);
        buffers_ = std::move(buffers);
    }
    const auto samples = static_cast<uint32_t>(transferSamples_);
    SendCommand(MakeCommand(kOpTransferLength, {static_cast<uint8_t>(samples & 0xFF),
                                                static_cast<uint8_t>((samples >> 8) & 0xFF),
                                                static_cast<uint8_t>((samples >> 16) & 0xFF),
                                                static_cast<uint8_t>((samples >> 24) & 0xFF)}));
    return kDevOk;
}

void CZCMSdkLib::FreeFrameBuffers() {
    std::shared_ptr<FrameBuffers> old;
    std::lock_guard guard(jobsLock_);
    old.swap(buffers_);
}

void CZCMSdkLib::ReplaceBuffers() {
    auto fresh = AllocateBuffers();
    std::lock_guard guard(jobsLock_);
    buffers_ = std::move(fresh);
}

}  // namespace kalvex
