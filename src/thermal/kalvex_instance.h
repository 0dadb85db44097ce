// CKalvex: the object behind one instance handle. It owns the camera link,
// the frame ring, the colour mapping and, while it previews, the capture thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/error_stack.h"
#include "device/zorcam_sdk.h"
#include "kalvex.h"
#include "kalvex_scene.h"
#include "output/dib_image.h"
#include "output/recorder.h"
#include "thermal/colour_map.h"
#include "thermal/thermo_table.h"

namespace kalvex {

// One entry of the frame ring. The id is read by application threads while
// the capture thread writes it, hence atomic; copies deep-copy the images.
struct RingSlot {
    std::atomic<uint32_t> id{0};
    CDibImage raw;
    CDibImage colour;

    RingSlot() = default;
    RingSlot(const RingSlot &other) : id(other.id.load()), raw(other.raw), colour(other.colour) {}
    RingSlot &operator=(const RingSlot &other) {
        id.store(other.id.load());
        raw = other.raw;
        colour = other.colour;
        return *this;
    }
};

class CKalvex;

// Told of every frame the capture loop publishes, on the capture thread, just
// after its frame message. Modules above this layer (measurement) watch the
// stream through it without the loop knowing them.
class FrameObserver {
  public:
    virtual ~FrameObserver() = default;
    virtual void FramePublished(CKalvex &instance, uint32_t frameId) = 0;
};

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
    int Initialize(KalvexHwnd window);
    int IsCameraEnable(int index, wchar_t *name, int size);
    int SetCameraNumber(int number);
    float ReadInternalTemperature(int *ok);
    int SetTable(const wchar_t *fileName);
    int ApplyNuc();
    // Kalvex_Close. Ends a single frame or trigger wait in progress on another
    // thread (that call fails with code 3) and cancels what the camera has
    // pending before it takes the instance lock.
    int CloseCamera();
    // Stops everything and frees the frames; readers then get code 5. Ends
    // waits in progress like CloseCamera. Safe to call more than once.
    void Uninitialize();

    // Kalvex_Preview: StartCapture, closing again on failure.
    int Preview();
    int Pause(int on) {
        pause_.store(on);
        return 1;
    }

    // ---- Frames ----------------------------------------------------------------------
    uint32_t GetNewID();
    const CDibImage &CurrentRawImage();
    const CDibImage &CurrentColorImage();
    // The slot holding id; null with code 5 for id 0 or an id no slot holds.
    RingSlot *FindSlot(uint32_t id);
    int GetColor(int frameId, void *buffer, int bufferSize);
    int GetRaw(int frameId, void *buffer, int bufferSize);
    int GetTemperature(int frameId, float *buffer, int bufferSize);
    // A copy of the raw frame with this id as stored (buffer row 0 first,
    // whatever the row-order flags say) and the table in effect, taken
    // together under the frame lock; false (nothing recorded) when no slot
    // holds the id.
    bool CopyFrame(uint32_t id, std::vector<uint16_t> &raw, int32_t &width, int32_t &height,
                   std::shared_ptr<const CThermoTableState> &table);
    // The observer of published frames: the one installed, or make()'s
    // result installed now when there is none.
    template <class Make>
    std::shared_ptr<FrameObserver> ObserverOr(Make make) {
        std::lock_guard guard(observerLock_);
        if (!observer_) observer_ = make();
        return observer_;
    }
    std::shared_ptr<FrameObserver> Observer() {
        std::lock_guard guard(observerLock_);
        return observer_;
    }
    // Width x height temperatures of a raw image, rows in the order the
    // row-order flag asks for.
    void ConvertFrameToTemperatures(const CDibImage &raw, float *out);
    int OneShot();
    int Trigger();

    // ---- Still images and recording (instance_output.cpp) -----------------------------
    // Kalvex_SaveW: the newest frame in one of the save types 0-13.
    int Save(const wchar_t *fileName, int type);
    // Kalvex_RecW: what to record (kind 0 stops); the capture loop acts on it.
    int RequestRecording(const wchar_t *name, int kind);
    int StartRecording(int kind, const wchar_t *name);
    int WriteRecordingFrame(int kind);
    int StopRecording(int kind);
    const CRecorder &Recorder() const { return recorder_; }

    // ---- Scene compensation (instance_scene.cpp) ------------------------------------------
    // KalvexScene_Set (null: the default scene), _Get and _SetEmissivityMap;
    // 1, or 0 with code 5 for a bad argument.
    int SetScene(const KalvexScene *scene);
    int GetScene(KalvexScene *scene);
    int SetEmissivityMap(const float *map, int32_t count);

    // ---- Events ----------------------------------------------------------------------
    // Records an event code: pushes it and posts it to the notification window.
    int ReportError(int32_t code);
    int32_t PopLastError() { return errors_.Pop(); }
    void SetNotificationWindow(KalvexHwnd window) { window_.store(window); }
    KalvexHwnd NotificationWindow() const { return window_.load(); }

    // ---- Parameters --------------------------------------------------------------------
    int GetParam(int id);
    int SetParam(int id, int value);

    // ---- For tests and tools ---------------------------------------------------------------
    CZorcamN7KTHERMOSdk &Device() { return device_; }
    int Mode() const { return mode_.load(); }
    int CurrentIndex() const { return currentIndex_.load(); }
    size_t RingSize() const { return ring_.size(); }
    RingSlot &Slot(size_t index) { return ring_[index]; }
    float ReferenceTemperature() const { return reference_.load(); }
    void SetReferenceTemperature(float celsius) { reference_.store(celsius); }
    uint32_t NucStartTime() const { return nucStartTime_.load(); }
    uint32_t LastDriftCheck() const { return lastDriftCheck_.load(); }
    const HueTable &Hue() const { return hue_; }
    CThermoTable &Table() { return table_; }
    ColourRange &Range() { return range_; }
    // Frames the capture loop has taken from the camera, dropped ones included.
    uint32_t FramesTaken() const { return framesTaken_.load(); }
    // Whether the capture thread has ended by itself (capture ended by the camera).
    bool CaptureThreadEnded() const { return threadEnded_.load(); }

  private:
    // Under the instance lock.
    int ApplyNucLocked();
    int PrepareAcquisition();
    int StartCapture();
    int StopCapture();
    // Holds the instance lock for one state change and records its thread.
    // With interrupt, first ends the waits of a state change in progress on
    // another thread: its single-frame wait gives up, and what it and the
    // single-frame transfer have pending in the driver is cancelled, until the
    // lock is free.
    class StateGuard {
      public:
        explicit StateGuard(CKalvex &owner, bool interrupt = false);
        ~StateGuard();
        StateGuard(const StateGuard &) = delete;
        StateGuard &operator=(const StateGuard &) = delete;

      private:
        CKalvex &owner_;
    };
    int SingleFrameAcquisition(uint32_t interruptsSeen);
    // Whether an interrupt came after the given count was read.
    bool Interrupted(uint32_t since) const { return interrupts_.load() != since; }

    void CaptureThreadMain();
    void CaptureLoop();
    // Sleeps up to ms, waking early when the run flag is cleared; false then.
    bool SleepWhileRunning(uint32_t ms);
    void DriftCheck();
    uint32_t NewFrameId();
    void ColorizeSlot(RingSlot &slot);
    bool InHoldWindow();
    static float InternalTemperatureFromRaw(uint16_t raw);
    // The selected camera is absent but another one is plugged.
    bool OnlyOtherCamerasPresent();
    // The capture loop's recording: at its start, after each published frame, at its end.
    void RecordingLoopStart();
    void RecordingStep();
    void RecordingLoopEnd();
    // The requested kind and path, read together.
    int32_t RecordingRequest(std::wstring *path);

    CZorcamN7KTHERMOSdk device_;
    std::unique_ptr<CDibImage> recordingImage_;
    std::unique_ptr<CDibImage> previewImage_;
    CDibImage discard_;
    std::vector<RingSlot> ring_;
    HueTable hue_{};
    ColourRange range_;
    CColourMapper mapper_{hue_};
    CThermoTable table_;
    std::mutex ringLock_;

    // The instance lock (see Lifecycle) and the thread holding it.
    std::mutex stateLock_;
    std::atomic<std::thread::id> stateOwner_{};
    // Raised by CloseCamera and Uninitialize before they wait for the lock.
    std::atomic<uint32_t> interrupts_{0};
    // Held by frame readers while they copy a frame, and by whoever writes,
    // rebuilds or frees the ring's images: a reader sees a whole frame or none.
    // Taken before ringLock_ where both are held.
    std::mutex frameLock_;
    // Set when the capture thread has finished its loop.
    std::mutex endLock_;
    std::condition_variable endWake_;

    std::atomic<int32_t> mode_{0};
    std::atomic<uint32_t> frameInterval_{10};
    std::atomic<uint32_t> nucStartTime_{0};
    std::atomic<uint32_t> nucHoldTime_{1200};
    std::atomic<int32_t> ringLength_{30};
    std::atomic<int32_t> currentIndex_{0};
    std::atomic<int32_t> autoNuc_{1};
    std::atomic<int32_t> reserved_{0};
    std::atomic<int32_t> pause_{0};
    std::atomic<int32_t> rowOrder_{0};
    std::atomic<int32_t> outputRowOrder_{0};
    std::atomic<int32_t> recordKind_{0};
    std::atomic<uint32_t> recordStart_{0};
    std::atomic<int32_t> splitLimit_{2000};
    const int32_t frameWidth_ = kFrameWidth;
    const int32_t frameHeight_ = kFrameHeight;

    // Capture thread: the run flag is cleared under stopLock_ so that the
    // thread's waits wake at once.
    std::atomic<int32_t> run_{0};
    std::mutex stopLock_;
    std::condition_variable stopWake_;
    std::thread captureThread_;
    std::atomic<bool> threadEnded_{false};
    // The capture loop ended because the camera ended the run (code 4).
    std::atomic<bool> endedByCamera_{false};

    std::atomic<KalvexHwnd> window_{nullptr};
    std::mutex observerLock_;  // held only to read or install observer_
    std::shared_ptr<FrameObserver> observer_;
    std::atomic<int32_t> frameRate_{0};
    std::atomic<uint32_t> framesTaken_{0};
    int32_t frameCount_ = 0;
    uint32_t frameRateStart_;
    std::atomic<uint32_t> lastDriftCheck_{0};
    std::atomic<float> reference_{0.0f};
    CErrorStack errors_;

    // Scene compensation: the scene and map as set, under sceneLock_; the
    // table carries what is folded in.
    std::mutex sceneLock_;
    KalvexScene scene_ = DefaultScene();
    std::shared_ptr<const EmissivityMap> emissivityMap_;

    // Recording: the request (application threads) under recordLock_; the
    // recorder and the loop's open kind, path and piece number belong to the
    // capture thread.
    std::mutex recordLock_;
    std::wstring recordPath_;
    CRecorder recorder_;
    int32_t openKind_ = 0;
    std::wstring openPath_;
    int32_t splitCounter_ = 0;
    // A split has finished a piece; the next opens with the next frame.
    bool nextPiecePending_ = false;
};

}  // namespace kalvex
