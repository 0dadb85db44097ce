// CZCMSdkLib: the camera device of the family. It opens the driver's device
// path per operation, sends 64-byte command blocks, reads and writes camera
// registers and core values, and moves frames into host memory on two kinds of
// transfer thread (one frame on request, or streaming into four slots).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/driver_link.h"
#include "device/transfer_event.h"

namespace kalvex {

// Status codes of the device layer (never seen by applications directly).
inline constexpr int kDevOk = 0;
inline constexpr int kDevWindowRefused = 1;  // SetWindow; SetFrameGeometry: slot count < 2
inline constexpr int kDevBadWidth = 3;       // SetFrameGeometry
inline constexpr int kDevBadHeight = 4;      // SetFrameGeometry
inline constexpr int kDevNoMemory = 7;       // SetFrameGeometry
inline constexpr int kDevOpenFailed = 10;    // transfer threads: device path not openable
inline constexpr int kDevNullBuffer = 14;    // null destination or source
inline constexpr int kDevFrameFailed = 19;   // transfer threads: failed or repeated short frame
inline constexpr int kDevBusy = 21;          // a transfer of that kind already runs
inline constexpr int kDevBadCamera = 22;     // camera number outside 0 to 7
inline constexpr int kDevWaitCut = 23;       // single frame: wait bounded or abandoned

// GetStreamState results.
inline constexpr int kStreamIdle = 0;
inline constexpr int kStreamFailed = 1;
inline constexpr int kStreamNoFrame = 2;
inline constexpr int kStreamFrameReady = 3;

inline constexpr int kCameraCount = 8;
inline constexpr int kLargeTransferSamples = 3072000;
inline constexpr uint32_t kFrameWaitMs = 6000;
// How long a stop waits, after cancelling the request a transfer thread has
// pending in the driver, for the thread to finish before it leaves the thread
// behind (the thread keeps its job, its buffers and the module alive). A
// cancelled request ends at once; a driver that cannot cancel is not waited for
// longer, so Kalvex_Close on a camera that has gone silent stays quick.
inline constexpr uint32_t kStopWaitMs = 50;
// How long a stop waits for a thread whose request the driver did cancel: the
// thread ends at once then, and is left behind only if it does not.
inline constexpr uint32_t kCancelledWaitMs = 1000;
// How often a stop cancels again while it waits: a request issued just after a
// cancel was not pending yet.
inline constexpr uint32_t kCancelRepeatMs = 2;

// One ring slot: a zeroed block held for its whole life.
struct FrameSlot {
    std::unique_ptr<uint8_t[]> block;
    uint8_t *data = nullptr;  // null when the allocation failed
    // Stamped by the streaming thread when the frame in it was stored, before
    // it is published (the same hand-over as the pixels).
    uint32_t frameNumber = 0;  // the run's count of frames received, this one included
    int64_t endNs = 0;         // end of its transfer, platform::MonotonicNanoseconds
    int64_t utcNs = 0;         // the same moment, platform::UtcNanoseconds
};

// When and as which of the run's frames a frame was received.
struct FrameStamp {
    uint32_t frameNumber = 0;
    int64_t endNs = 0;
    int64_t utcNs = 0;
};

// The frame buffers of one geometry. Shared with the transfer threads, so a
// thread left behind by a bounded stop never writes into freed memory.
struct FrameBuffers {
    std::unique_ptr<uint8_t[]> single;  // the single-frame buffer
    uint32_t singleBytes = 0;
    uint32_t slotBytes = 0;
    std::vector<FrameSlot> slots;
};

// The single-frame thread's parameter block.
struct SingleTransferJob {
    std::shared_ptr<FrameBuffers> target;
    uint32_t lengthBytes = 0;
    TransferEvent completion{true};
    std::atomic<uint32_t> elapsedMs{0};
    std::atomic<int32_t> status{0};
    std::atomic<int32_t> idle{1};
    int32_t sixteenBit = 0;
    int32_t large = 0;
    std::string devicePath;
    OpenLinks links;
    std::shared_ptr<platform::ThreadModuleHold> hold;
};

// The streaming thread's parameter block.
struct StreamTransferJob {
    uint32_t lengthBytes = 0;
    TransferEvent frameEvent{false};  // one signal per stored frame
    TransferEvent doneEvent{true};    // the thread has finished
    std::atomic<uint32_t> elapsedMs{0};
    std::atomic<int32_t> framesTransferred{0};
    std::atomic<int32_t> status{0};
    std::atomic<int32_t> stopped{1};  // 1 when no streaming runs or a stop is requested
    std::atomic<int32_t> error{0};
    int32_t sixteenBit = 0;
    int32_t slotCount = 0;
    std::shared_ptr<FrameBuffers> slots;
    std::atomic<int32_t> writeIndex{0};
    std::atomic<int32_t> readIndex{0};
    // The slot that received the newest frame (-1 before the first). It is
    // writeIndex - 1 except right after the writer passed over the read slot.
    std::atomic<int32_t> newestIndex{-1};
    // Serialises index updates, so the writer can never pick the slot that the
    // reader has just been pointed at (the skip rule) while it is being read.
    std::mutex indexLock;
    int32_t large = 0;
    std::string devicePath;
    OpenLinks links;
    std::shared_ptr<platform::ThreadModuleHold> hold;
};

// Ends a transfer thread: cancels what it has pending in the driver and waits
// for it to finish (done set), cancelling again meanwhile, then joins it. When
// the driver cannot cancel, the wait ends after waitMs; after a cancel, after
// kCancelledWaitMs. A thread that has not finished by then is left behind for
// good (it owns its job, its buffers and a hold on the module) and is never
// waited for again. True when it was joined.
bool EndTransferThread(std::thread &thread, OpenLinks &links, TransferEvent &done,
                       platform::ThreadModuleHold *hold, uint32_t waitMs);

// Slot arithmetic of the stream ring (slotCount ≥ 1, indices in 0..slotCount-1).
// Frames stored and not yet read.
int StreamFramesAvailable(int writeIndex, int readIndex, int slotCount);
// The newest complete slot: writeIndex - 1, wrapped.
int StreamNewestSlot(int writeIndex, int slotCount);
// The writer's next slot: writeIndex + 1, wrapped, passing over readIndex.
int StreamNextWriteIndex(int writeIndex, int readIndex, int slotCount);

class CZCMSdkLib {
  public:
    CZCMSdkLib();
    CZCMSdkLib(const CZCMSdkLib &) = delete;
    CZCMSdkLib &operator=(const CZCMSdkLib &) = delete;
    // Stops streaming, waits for the single-frame thread and frees the buffers.
    virtual ~CZCMSdkLib();

    // ---- Virtual slots ----------------------------------------------------------------
    // Stores the flag and sends kOpPixelDepth (byte 1 = 1 for 16-bit, 0 for 8-bit).
    // Returns 1 whatever the transfers gave.
    virtual int SetPixelDepth(int sixteenBit);

    // ---- Registers and core values --------------------------------------------------
    // Each opens the device path, exchanges its blocks and closes it again.
    // 1 and *value = byte 0 of the second reply; 0 and *value = 0 on any failure.
    int ReadRegister(int reg, int *value);
    // Sends (reg & 0xFF, value & 0xFF). 1 when the block went out in full, else 0.
    int WriteRegister(int reg, int value);
    // 1 and *value = (byte 0 << 8) | byte 1 of the second reply; 0 on failure (value 0).
    int ReadCoreValue(int item, uint16_t *value);
    // Sends kOpWriteCore kWriteCoreSelect kWriteCoreLength item high low. 1 or 0.
    int WriteCoreValue(int item, uint16_t value);
    // ReadCoreValue(kCoreInternalTemperature): the raw internal temperature. 1 or 0.
    int ReadInternalTemperatureRaw(uint16_t *value);
    // WriteCoreValue(kCoreNuc, kCoreNucRequest): asks the camera for a
    // non-uniformity correction. 1 or 0.
    int PerformNuc();
    // Read-modify-write of kControlBit2, respectively kControlBit3, of kRegControl.
    // 0 on success (the state field then holds on), -1 when the read or the write
    // fails (register and state unchanged).
    int SetControlBit2(int on);
    int SetControlBit3(int on);

    // ---- Cameras ------------------------------------------------------------------------
    // Opens and closes each of the eight paths, fills the present table, selects 0.
    void ProbeCameras();
    int GetCameraCount() const { return kCameraCount; }  // always 8
    int GetCameraIndex() const { return cameraIndex_.load(); }
    // present[n] from the last probe; 0 for n outside 0 to 7.
    int IsCameraPresent(int n) const;
    // 22 for n outside 0 to 7; else selects n, formats the device path, returns 0.
    int SetCameraIndex(int n);
    void ResetDeviceState();
    // ResetDeviceState, SetCameraIndex (22 passed on), SetPixelDepth(0). 0 or 22.
    int SelectCamera(int n);
    // SelectCamera, kOpInit, InitRegisters, SetWindow(0, 0, 640, 480, 0). 0 or 22.
    int InitCamera(int n);
    // kRegInitA cleared, kRegInitB pulsed 22 ms apart, both control bits on.
    void InitRegisters();

    // ---- Geometry and buffers ---------------------------------------------------------------
    // 0, or 1 when refused: needs x, y >= 0, width >= 4, height >= 3, the window
    // inside 640 x 480 and mode 0 to 3 or 17 to 18. Must not run during a transfer.
    int SetWindow(int x, int y, int width, int height, int mode);
    // 0; 3 bad width/pitch/offset, 4 bad lines, 1 slot count < 2, 7 no memory.
    int SetFrameGeometry(int pitch, int lineOffset, int width, int totalLines, int firstLine,
                         int height, int slotCount);
    void FreeFrameBuffers();

    // ---- Single frames -----------------------------------------------------------------------
    // Stores the flag; returns 1. With the limit on, single-frame waits end after
    // waitLimitMs (3000).
    int SetWaitLimitEnabled(int on);
    // Fetches one frame into the single-frame buffer on a transfer thread and waits
    // for it. 0 when the frame arrived, 21 when a single transfer already runs, 10
    // when the device path does not open, 19 when the transfer failed (or the
    // enabled wait limit ended the wait first; the thread then runs on).
    int CaptureSingleFrame();
    // The same, giving up with 23 as soon as abandon() is true. With the wait
    // limit off the wait still ends, with 23, after kFrameWaitMs: a camera that
    // never delivers must not hold the caller forever. Those two cancel the
    // transfer; the enabled limit does not.
    int CaptureSingleFrame(const std::function<bool()> &abandon);
    // Makes a waiting CaptureSingleFrame look at its abandon condition now.
    void WakeSingleFrameWaiter();
    // Copies the single-frame buffer, rows reversed, as width x height 16-bit
    // samples. 0; 14 for a null destination or no buffer; 21 while a single
    // transfer still runs.
    int ReadSingleFrame(uint8_t *destination);

    // ---- Streaming -----------------------------------------------------------------------------
    // 0 when the streaming thread was started, 21 when streaming already runs.
    int StartStreaming();
    // 0 not streaming; 1 transfer failed (or the device path did not open) or no
    // frame within 6000 ms; 2 no new frame yet (poll again); 3 a new frame is ready
    // and the read index points at the newest complete slot. Waits at most 6000 ms
    // and wakes at once when streaming stops or fails.
    int GetStreamState();
    // The same, giving up with 2 (no new frame) as soon as abandon() is true, so
    // that a caller asked to stop is not held by a silent camera.
    int GetStreamState(const std::function<bool()> &abandon);
    // Makes waiting GetStreamState calls look at their abandon condition now.
    void WakeStreamWaiters();
    // Copies the slot at the read index, rows reversed, as width x height 16-bit
    // samples, then advances the read index; stamp, when given, receives the
    // slot's stamp. 0, or 14 for a null destination or no buffer.
    int ReadStreamFrame(uint8_t *destination, FrameStamp *stamp = nullptr);
    // 0 when nothing ran, else the run's status: 0, 10 (device path not openable)
    // or 19 (frame transfer failed, or the thread stayed in the driver longer than
    // kStopWaitMs after its request was cancelled). A request that the stop
    // cancels is not a failure of the run.
    int StopStreaming();

    // ---- Cancellation -----------------------------------------------------------------------
    // Cancel what is pending in the driver: the single-frame thread's request,
    // or the command exchanges of one thread. False when a driver could not
    // cancel.
    bool CancelSingleTransfer();
    bool CancelRequestsOf(std::thread::id thread);

    // ---- Read-only views ------------------------------------------------------------------------
    int Initialised() const { return initialised_; }
    int SixteenBit() const { return sixteenBit_.load(); }
    int WindowX() const { return windowX_; }
    int WindowY() const { return windowY_; }
    int WindowWidth() const { return windowWidth_; }
    int WindowHeight() const { return windowHeight_; }
    int WindowMode() const { return windowMode_; }
    int LinePitch() const { return linePitch_; }
    int LineOffset() const { return lineOffset_; }
    int Width() const { return width_; }
    int TotalLines() const { return totalLines_; }
    int FirstLine() const { return firstLine_; }
    int Height() const { return height_; }
    int SensorSamples() const { return sensorSamples_; }
    int FrameSamples() const { return frameSamples_; }
    int TransferSamples() const { return transferSamples_; }
    int LargeTransfer() const { return largeTransfer_.load(); }
    uint32_t LastTransferMs() const { return lastTransferMs_.load(); }
    uint32_t WaitLimitMs() const { return waitLimitMs_; }
    int WaitLimitEnabled() const { return waitLimitEnabled_.load(); }
    int Interlaced() const { return interlaced_; }
    int SlotBytes() const { return slotBytes_; }
    int SlotCount() const { return slotCount_; }
    int ControlBit2State() const { return controlBit2_.load(); }
    int ControlBit3State() const { return controlBit3_.load(); }
    const char *DeviceBaseName() const { return deviceBaseName_.data(); }
    std::string DevicePath() const;
    // The stream ring's indices and the current run's counters.
    int StreamWriteIndex() const;
    int StreamReadIndex() const;
    int StreamFramesTransferred() const;

    // Whether some device object of this process streams from camera n now.
    static bool CameraStreaming(int n);

    // Test hook: how long a stop waits, after cancelling, for a transfer thread.
    void SetStopWaitLimit(uint32_t ms) { stopWaitMs_.store(ms); }

  protected:
    void SetDeviceBaseName(const char *name);
    void StoreSixteenBit(int on) { sixteenBit_.store(on != 0 ? 1 : 0); }
    // Sends one command block on pipe 0. 1 when it went out in full.
    int SendCommand(const CommandBlock &block);
    // While muted, commands and register exchanges are not sent (they fail):
    // the device's settings change only here.
    void SetMuted(bool on) { muted_.store(on); }
    // Called by SetWindow with the transfer length it sent to the camera.
    virtual void RememberWindowTransfer(int32_t /*transferSamples*/) {}

  private:
    int SetControlBit(int mask, int on, std::atomic<int32_t> &state);
    int ReadWithReplies(const CommandBlock &command, CommandBlock *second);
    std::shared_ptr<StreamTransferJob> CurrentStreamJob() const;
    std::shared_ptr<FrameBuffers> CurrentBuffers() const;
    // Replaces the buffers with fresh ones of the same geometry (null on failure).
    void ReplaceBuffers();
    std::shared_ptr<FrameBuffers> AllocateBuffers() const;
    // The single-frame job as it stands.
    std::shared_ptr<SingleTransferJob> CurrentSingleJob() const;

    int32_t initialised_ = 0;
    std::atomic<int32_t> sixteenBit_{0};
    int32_t windowX_ = 0, windowY_ = 0, windowWidth_ = 0, windowHeight_ = 0;
    int32_t linePitch_ = 0, lineOffset_ = 0, width_ = 0, totalLines_ = 0, firstLine_ = 0,
            height_ = 0;
    int32_t sensorSamples_ = 0, frameSamples_ = 0, transferSamples_ = 0;
    std::atomic<int32_t> largeTransfer_{0};
    std::atomic<uint32_t> lastTransferMs_{0};
    uint32_t waitLimitMs_ = 3000;
    int32_t interlaced_ = 0;
    int32_t slotBytes_ = 0, slotCount_ = 0;
    std::array<char, 16> deviceBaseName_{};
    int32_t windowMode_ = 0;
    std::atomic<int32_t> controlBit3_{0}, controlBit2_{0};
    std::array<std::atomic<int32_t>, kCameraCount> present_{};
    std::atomic<int32_t> cameraIndex_{0};
    std::atomic<int32_t> waitLimitEnabled_{0};
    std::atomic<uint32_t> stopWaitMs_{kStopWaitMs};

    // Guards the pointers below and the device path; never held across a transfer.
    mutable std::mutex jobsLock_;
    std::shared_ptr<FrameBuffers> buffers_;
    std::shared_ptr<SingleTransferJob> singleJob_;
    std::shared_ptr<StreamTransferJob> streamJob_;
    std::array<char, 128> devicePath_{};

    // Serialise the starting and collecting of each kind of transfer thread.
    std::mutex singleLock_;
    std::mutex streamLock_;
    std::thread singleThread_;
    std::thread streamThread_;
    // The command exchanges in progress on application and capture threads.
    OpenLinks commandLinks_;
    std::atomic<bool> muted_{false};
    // The camera this object's streaming run counts in CameraStreaming (-1: none).
    int32_t streamingCamera_ = -1;  // under streamLock_
    void CountStreaming(int camera);
};

}  // namespace kalvex
