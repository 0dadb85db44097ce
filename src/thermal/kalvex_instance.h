// CKalvex: the object behind one instance handle. It owns the camera link,
// the frame ring, the colour mapping, the recording and, while it previews,
// the capture thread.
//
// Lock order (a lock is only ever taken while holding locks above it):
//   1. the registry's list lock (CSdkChain), never held across a call into an
//      instance except the construction of one;
//   2. the instance lock (stateLock_), one state change at a time;
//   3. the capture thread's end and stop locks (endLock_, stopLock_), each
//      held alone, for a flag and its wake-up;
//   4. the scene lock (sceneLock_), then the table's own lock;
//   5. the recording request lock, then the frame lock (FrameRing), held for
//      a copy-out, a colour mapping or a file write;
//   6. the ring's index lock (newest slot and id), held for a few instructions;
//   7. the device's locks (CZCMSdkLib: transfer serialisation, then its job
//      lock, jobsLock_), never held across a wait for the camera;
//   8. process-wide leaves: the driver table and the debug log, which call
//      nothing that locks.
// The capture thread takes 5 to 7 while the instance lock is held by the
// thread that stops it: stopping never waits for the capture thread under a
// lock that thread takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error_stack.h"
#include "base/thread_annotations.h"
#include "device/zorcam_sdk.h"
#include "kalvex.h"
#include "kalvex_scene.h"
#include "output/dib_image.h"
#include "thermal/colour_map.h"
#include "thermal/frame_ring.h"
#include "thermal/instance_parameters.h"
#include "thermal/recording_control.h"
#include "thermal/thermo_table.h"

namespace kalvex {

namespace test {
class CKalvexTestPeer;
}

class CKalvex;

// Told of every frame the capture loop publishes, on the capture thread, just
// after its frame message. Modules above this layer (measurement) watch the
// stream through it without the loop knowing them.
class FrameObserver {
  public:
    virtual ~FrameObserver() = default;
    virtual void FramePublished(CKalvex &instance, uint32_t frameId) = 0;
    // Called for every frame taken (streamed or single), on the thread that
    // fills its slot and under the frame lock, right after the library's own
    // colour map wrote colour with the range (low, high): may colour it anew.
    // The frame's colour image is what Kalvex_GetColor, the colour save types
    // and AVI recordings read. Must take no lock that is held while the frame
    // lock is taken.
    virtual void RecolourFrame(CKalvex &instance, const CDibImage &raw, CDibImage &colour,
                               int32_t low, int32_t high) {
        (void)instance, (void)raw, (void)colour, (void)low, (void)high;
    }
};

// The capture mode: idle, or previewing with a capture thread running.
enum class CaptureMode : int32_t { kIdle = 0, kPreview = 1 };

class CKalvex {
  public:
    static constexpr int32_t kFrameWidth = 640;
    static constexpr int32_t kFrameHeight = 480;
    static constexpr uint32_t kDriftCheckMs = 30000;
    static constexpr uint32_t kTriggerWaitMs = 3000;

    CKalvex();
    CKalvex(const CKalvex &) = delete;
    CKalvex &operator=(const CKalvex &) = delete;
    virtual ~CKalvex();

    // ---- Lifecycle ----------------------------------------------------------------
    // Every call that changes the instance's state (Initialize, SetCameraNumber,
    // SetTable, ApplyNuc, Preview, CloseCamera, OneShot, Trigger,
    // RequestRecording, Uninitialize) runs under one instance lock, so that
    // concurrent calls give the results of the same calls one after the other.
    int Initialize(KalvexHwnd window) EXCLUDES(stateLock_);
    int IsCameraEnable(int index, wchar_t *name, int size);
    int SetCameraNumber(int number) EXCLUDES(stateLock_);
    float ReadInternalTemperature(int *ok);
    int SetTable(const wchar_t *fileName) EXCLUDES(stateLock_);
    int ApplyNuc() EXCLUDES(stateLock_);
    // Kalvex_Close. Ends a single frame or trigger wait in progress on another
    // thread (that call fails with code 3) and cancels what the camera has
    // pending before it takes the instance lock.
    int CloseCamera() EXCLUDES(stateLock_);
    // Stops everything and frees the frames; readers then get code 5. Ends
    // waits in progress like CloseCamera. Safe to call more than once.
    void Uninitialize() EXCLUDES(stateLock_);

    // Kalvex_Preview: StartCapture, closing again on failure.
    int Preview() EXCLUDES(stateLock_);
    int Pause(int on) {
        params_.pause.store(on);
        return 1;
    }

    // ---- Frames ----------------------------------------------------------------------
    uint32_t GetNewID() { return ring_.NewestId(); }
    // Copies of the newest frame's images (empty when there is none).
    CDibImage CurrentRawImage() const;
    CDibImage CurrentColorImage() const;
    int GetColor(int frameId, void *buffer, int bufferSize);
    int GetRaw(int frameId, void *buffer, int bufferSize);
    int GetTemperature(int frameId, float *buffer, int bufferSize);
    // KalvexFrame_GetInfo: 0 with code 5 for a null info, a size under the
    // minimum or a frame id no slot holds; else the caller's size of the
    // struct filled.
    int GetFrameInfo(uint32_t frameId, KalvexFrameInfo *info);
    // A copy of the raw frame with this id as stored (buffer row 0 first,
    // whatever the row-order flags say) and the table in effect, taken
    // together under the frame lock; false (nothing recorded) when no slot
    // holds the id.
    bool CopyFrame(uint32_t id, std::vector<uint16_t> &raw, int32_t &width, int32_t &height,
                   std::shared_ptr<const CThermoTableState> &table);
    static void CopyRows(const RingSlot &slot, std::vector<uint16_t> &raw, int32_t &width,
                         int32_t &height);
    // Runs read(rows, width, height, table) on the raw frame with this id
    // where it lies in the ring (buffer row 0 first, width samples a row)
    // under the frame lock, as the copy-outs run: a measurement needs no copy
    // of its own. False (nothing recorded) when no slot holds the id.
    template <class Reader>
    bool ReadFrame(uint32_t id, Reader read) {
        return ring_.Read(id, [&](const RingSlot *slot) {
            if (slot == nullptr || slot->raw.Empty()) return false;
            const int32_t width = slot->raw.Width(), height = slot->raw.Height();
            const auto table = table_.State();
            if (slot->raw.Stride() == width * 2) {
                read(reinterpret_cast<const uint16_t *>(slot->raw.Row(0)), width, height, table);
                return true;
            }
            std::vector<uint16_t> rows;  // padded rows (an odd width): packed first
            int32_t w = 0, h = 0;
            CopyRows(*slot, rows, w, h);
            read(rows.data(), w, h, table);
            return true;
        });
    }
    // The observer of published frames: the one installed, or make()'s
    // result installed now when there is none.
    template <class Make>
    std::shared_ptr<FrameObserver> ObserverOr(Make make) EXCLUDES(observerLock_) {
        MutexLock guard(observerLock_);
        if (!observer_) observer_ = make();
        return observer_;
    }
    std::shared_ptr<FrameObserver> Observer() EXCLUDES(observerLock_) {
        MutexLock guard(observerLock_);
        return observer_;
    }
    // Width x height temperatures of a raw image, rows in the order the
    // row-order flag asks for.
    void ConvertFrameToTemperatures(const CDibImage &raw, float *out);
    int OneShot() EXCLUDES(stateLock_);
    int Trigger() EXCLUDES(stateLock_);
    // The ring, for readers that copy slots out.
    const FrameRing &Ring() const { return ring_; }

    // ---- Still images and recording (instance_output.cpp) -----------------------------
    // Kalvex_SaveW: the newest frame in one of the save types 0-13.
    int Save(const wchar_t *fileName, int type);
    // Kalvex_RecW: what to record (kind 0 stops); the capture loop acts on it.
    int RequestRecording(const wchar_t *name, int kind) EXCLUDES(stateLock_);
    // KalvexSeq_Record: a radiometric sequence into name.
    int RequestSequence(const wchar_t *name, int32_t options) EXCLUDES(stateLock_);
    int StartRecording(int kind, const wchar_t *name);
    int WriteRecordingFrame(int kind);
    int StopRecording(int kind);

    // ---- Scene compensation (instance_scene.cpp) ------------------------------------------
    // KalvexScene_Set (null: the default scene), _Get and _SetEmissivityMap;
    // 1, or 0 with code 5 for a bad argument.
    int SetScene(const KalvexScene *scene) EXCLUDES(sceneLock_);
    int GetScene(KalvexScene *scene) EXCLUDES(sceneLock_);
    int SetEmissivityMap(const float *map, int32_t count) EXCLUDES(sceneLock_);

    // ---- Events ----------------------------------------------------------------------
    // Records an event code: pushes it and posts it to the notification window.
    int ReportError(int32_t code);
    int32_t PopLastError() { return errors_.Pop(); }
    void SetNotificationWindow(KalvexHwnd window) { window_.store(window); }
    KalvexHwnd NotificationWindow() const { return window_.load(); }

    // ---- Parts that modules above read ---------------------------------------------
    const HueTable &Hue() const { return hue_; }
    ColourRange &Range() { return range_; }
    CThermoTable &Table() { return table_; }

    // ---- Parameters (instance_parameters.cpp) -------------------------------------------
    int GetParam(int id);
    int SetParam(int id, int value);

  private:
    // GetColor and GetRaw: one image of the slot holding frameId, with their checks.
    int CopySlotImage(int frameId, void *buffer, int bufferSize, CDibImage RingSlot::*image);
    friend class test::CKalvexTestPeer;

    // Under the instance lock.
    int ApplyNucLocked() REQUIRES(stateLock_);
    int PrepareAcquisition() REQUIRES(stateLock_);
    int StartCapture() REQUIRES(stateLock_);
    int StopCapture() REQUIRES(stateLock_);
    // Holds the instance lock for one state change and records its thread.
    // With interrupt, first ends the waits of a state change in progress on
    // another thread: its single-frame wait gives up, and what it and the
    // single-frame transfer have pending in the driver is cancelled, until the
    // lock is free.
    class SCOPED_CAPABILITY StateGuard {
      public:
        explicit StateGuard(CKalvex &owner, bool interrupt = false) ACQUIRE(owner.stateLock_);
        ~StateGuard() RELEASE();
        StateGuard(const StateGuard &) = delete;
        StateGuard &operator=(const StateGuard &) = delete;

      private:
        CKalvex &owner_;
    };
    int SingleFrameAcquisition(uint32_t interruptsSeen, uint32_t origin) REQUIRES(stateLock_);
    // Whether an interrupt came after the given count was read.
    bool Interrupted(uint32_t since) const { return interrupts_.load() != since; }
    bool Previewing() const { return mode_.load() == CaptureMode::kPreview; }

    void CaptureThreadMain();
    void CaptureLoop();
    // Sleeps up to ms, waking early when the run flag is cleared; false then.
    bool SleepWhileRunning(uint32_t ms) EXCLUDES(stopLock_);
    void DriftCheck();
    uint32_t NewFrameId();
    // A frame taken from the camera (published or not): its sequence number.
    uint32_t TakeFrame();
    // Fills slot.info for a frame that is about to be kept.
    void StampSlot(RingSlot &slot, uint32_t sequence, const FrameStamp &stamp, uint32_t origin);
    void NoteInternalTemperature(float celsius);
    void ColorizeSlot(RingSlot &slot);
    bool InHoldWindow();
    static float InternalTemperatureFromRaw(uint16_t raw);
    // The selected camera is absent but another one is plugged.
    bool OnlyOtherCamerasPresent();

    CZorcamN7KTHERMOSdk device_;
    std::unique_ptr<CDibImage> previewImage_ GUARDED_BY(stateLock_);
    // Where frames of the hold window go. Made and freed under the instance
    // lock while no capture thread runs; the capture thread's while it does.
    CDibImage discard_;
    FrameRing ring_;
    HueTable hue_{};
    ColourRange range_;
    CColourMapper mapper_{hue_};
    CThermoTable table_;
    InstanceParameters params_;

    // The instance lock (see Lifecycle) and the thread holding it.
    Mutex stateLock_;
    std::atomic<std::thread::id> stateOwner_{};
    // Raised by CloseCamera and Uninitialize before they wait for the lock.
    std::atomic<uint32_t> interrupts_{0};
    // Set when the capture thread has finished its loop.
    Mutex endLock_;
    std::condition_variable endWake_;

    std::atomic<CaptureMode> mode_{CaptureMode::kIdle};
    std::atomic<uint32_t> nucStartTime_{0};
    const int32_t frameWidth_ = kFrameWidth;
    const int32_t frameHeight_ = kFrameHeight;

    // Capture thread: the run flag is cleared under stopLock_ so that the
    // thread's waits wake at once.
    std::atomic<int32_t> run_{0};
    Mutex stopLock_;
    std::condition_variable stopWake_;
    std::thread captureThread_ GUARDED_BY(stateLock_);
    std::atomic<bool> threadEnded_{false};

    std::atomic<KalvexHwnd> window_{nullptr};
    Mutex observerLock_;  // held only to read or install observer_
    std::shared_ptr<FrameObserver> observer_ GUARDED_BY(observerLock_);
    std::atomic<uint32_t> framesTaken_{0};
    // Frame metadata: the run's sequence numbers (single frames go on from
    // the last), the NUC last seen by a frame and the count of frames taken
    // then, whether the next kept frame is the first after it, and the
    // internal temperature last read (0 ns: none yet).
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uint32_t> nucSeen_{0};
    std::atomic<uint32_t> framesAtNuc_{0};
    std::atomic<bool> firstAfterNuc_{false};
    std::atomic<float> internalCelsius_{0.0f};
    std::atomic<int64_t> internalNs_{0};
    // The capture thread's frame-rate window.
    int32_t frameCount_ = 0;
    uint32_t frameRateStart_;
    std::atomic<uint32_t> lastDriftCheck_{0};
    std::atomic<float> reference_{0.0f};
    CErrorStack errors_;

    // Scene compensation: the scene and map as set; the table carries what is
    // folded in.
    Mutex sceneLock_;
    KalvexScene scene_ GUARDED_BY(sceneLock_) = DefaultScene();
    // The same scene for the frames' metadata, behind a lock held only to copy
    // it: the capture loop never waits for a scene's table rebuild.
    Mutex stampSceneLock_;
    KalvexScene stampScene_ GUARDED_BY(stampSceneLock_) = DefaultScene();
    std::shared_ptr<const EmissivityMap> emissivityMap_ GUARDED_BY(sceneLock_);

    RecordingControl recording_{ring_, table_, params_,
                                [this](int32_t code) { ReportError(code); }};
};

}  // namespace kalvex
