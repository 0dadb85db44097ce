// What the application asks to record and the recording the capture loop
// keeps open for it: pieces of a split recording, the start time that
// parameter 7 reads, a failed write ending the recording but not the capture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/thread_annotations.h"
#include "output/recorder.h"
#include "output/sequence_writer.h"
#include "thermal/frame_ring.h"
#include "thermal/instance_parameters.h"
#include "thermal/thermo_table.h"

namespace kalvex {

// A radiometric sequence, asked for through its own export: a kind of the
// loop's beside 1-3 that Kalvex_RecW cannot name (a RecW of this number is
// refused like any unknown kind).
inline constexpr int32_t kRecordSequence = 0x7FFF5E00;
inline constexpr int32_t kRecordRefused = kRecordSequence + 1;

class RecordingControl {
  public:
    using Report = std::function<void(int32_t code)>;

    RecordingControl(const FrameRing &ring, CThermoTable &table, const InstanceParameters &params,
                     Report report)
        : ring_(ring), table_(table), params_(params), report_(std::move(report)) {}
    RecordingControl(const RecordingControl &) = delete;
    RecordingControl &operator=(const RecordingControl &) = delete;

    // Kalvex_RecW: what to record (kind 0 stops); the capture loop acts on it.
    // 0 with code 5 for a path that does not fit 260 units.
    int Request(const wchar_t *name, int kind) EXCLUDES(requestLock_);
    // KalvexSeq_Record: a sequence into name (Deflate unless uncompressed);
    // Request with kind 0 or another kind ends it. 0 with code 5 for a path
    // that does not fit 260 units or is empty.
    int RequestSequence(const wchar_t *name, bool compress) EXCLUDES(requestLock_);
    int32_t RequestedKind() const { return kind_.load(); }
    bool Recording() const { return start_.load() != 0; }

    // The recorder's operations on the newest frame of the ring.
    int Start(int kind, const wchar_t *name);
    int WriteFrame(int kind);
    int Stop(int kind);

    // The capture loop's side: at its start, after each published frame, at its end.
    void LoopStart() EXCLUDES(requestLock_);
    void Step() EXCLUDES(requestLock_);
    void LoopEnd();

    const CRecorder &Recorder() const { return recorder_; }
    const CSequenceWriter &Sequence() const { return sequence_; }

  private:
    // The sequence's side of Start, WriteFrame and PieceFull.
    int StartSequence(const wchar_t *name);
    int WriteSequenceFrame(bool *failed);
    bool PieceFull() const;
    // The requested kind (kRecordSequence for a sequence) and path, read together.
    int32_t Requested(std::wstring *path) const EXCLUDES(requestLock_);

    const FrameRing &ring_;
    CThermoTable &table_;
    const InstanceParameters &params_;
    Report report_;

    mutable Mutex requestLock_;
    std::wstring path_ GUARDED_BY(requestLock_);
    std::atomic<int32_t> kind_{0};
    // 0: no sequence asked for; 1: Deflate; 2: uncompressed.
    int32_t sequenceMode_ GUARDED_BY(requestLock_) = 0;
    // timeGetTime at the start of the open recording; 0 when none is open.
    std::atomic<uint32_t> start_{0};

    // The capture thread's: the recorder and the loop's open kind, path and
    // piece number (touched elsewhere only while no capture thread runs).
    CRecorder recorder_;
    CSequenceWriter sequence_;
    bool sequenceCompressed_ = true;
    int32_t openKind_ = 0;
    std::wstring openPath_;
    int32_t splitCounter_ = 0;
    // A split has finished a piece; the next opens with the next frame.
    bool nextPiecePending_ = false;
};

}  // namespace kalvex
