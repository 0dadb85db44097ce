#include "frame_counts.h"

#include <algorithm>

namespace kalvex_tool {

void FrameCounts::Read(const KalvexFrameInfo &info) {
    ++read_;
    // Sequence numbers only grow within a run: a smaller one starts a new run.
    if (havePrevious_ && info.sequence <= sequence_) havePrevious_ = false;
    // Against the frame read before, or the start of the run (both numbers
    // count from 1 there).
    const uint32_t sequenceStep = havePrevious_ ? info.sequence - sequence_ : info.sequence;
    const uint32_t cameraStep = havePrevious_ ? info.cameraFrame - camera_ : info.cameraFrame;

    // Frames the library took between the two that the host did not read:
    // overwritten, held back after a NUC, or published but never seen.
    const long unseen = sequenceStep > 0 ? static_cast<long>(sequenceStep - 1) : 0;
    const long overwritten = std::min(overwrittenSinceRead_, unseen);
    overwrittenSinceRead_ = 0;
    long held = 0;
    if (info.framesSinceNuc != KALVEX_FRAME_NO_NUC && info.framesSinceNuc < sequenceStep)
        held = std::min(unseen - overwritten, static_cast<long>(info.framesSinceNuc));
    held_ += held;
    lost_ += unseen - overwritten - held;

    // Frames the camera sent that the library never took: paused across a
    // pause, lost anywhere else.
    const long notTaken =
        cameraStep > sequenceStep ? static_cast<long>(cameraStep - sequenceStep) : 0;
    const bool acrossPause = resumedAfterNs_ && info.timestampNs > *resumedAfterNs_;
    if (acrossPause) {
        paused_ += notTaken;
        resumedAfterNs_.reset();
    } else {
        lost_ += notTaken;
    }

    if (havePrevious_ && held == 0 && !acrossPause && info.timestampNs > timestampNs_) {
        spanFrames_ += sequenceStep;
        spanNs_ += info.timestampNs - timestampNs_;
    }
    havePrevious_ = true;
    sequence_ = info.sequence;
    camera_ = info.cameraFrame;
    timestampNs_ = info.timestampNs;
}

void FrameCounts::OverwrittenBeforeRead() {
    ++overwritten_;
    ++overwrittenSinceRead_;
}

void FrameCounts::Resuming(int64_t newestNs) {
    resumedAfterNs_ = newestNs;
}

void FrameCounts::NewRun() {
    havePrevious_ = false;
    overwrittenSinceRead_ = 0;
}

double FrameCounts::Fps() const {
    if (spanFrames_ == 0 || spanNs_ <= 0) return 0.0;
    return static_cast<double>(spanFrames_) * 1e9 / static_cast<double>(spanNs_);
}

}  // namespace kalvex_tool
