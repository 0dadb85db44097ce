#include "sim_replay.h"

#include <algorithm>
#include <new>

#include "kalvex_sequence.h"

namespace kalvex::sim {

namespace {
// A camera sends 30 frames per second; the pace of a one-frame recording.
constexpr double kSinglePeriod = 1.0 / 30.0;
constexpr int kFrameSamples = 640 * 480;
}  // namespace

std::shared_ptr<Recording> Recording::OpenNarrow(const char *path, int *code) {
    return Load(KalvexSeq_OpenA(path), code);
}

std::shared_ptr<Recording> Recording::OpenWide(const wchar_t *path, int *code) {
    return Load(KalvexSeq_OpenW(path), code);
}

std::shared_ptr<Recording> Recording::Load(int32_t handle, int *code) {
    if (handle <= 0) {
        *code = handle < 0 ? handle : KALVEX_SEQ_E_OPEN;
        return nullptr;
    }
    std::shared_ptr<Recording> recording(new (std::nothrow) Recording(handle));
    if (!recording) {
        KalvexSeq_Close(handle);
        *code = KALVEX_SEQ_E_NO_MEMORY;
        return nullptr;
    }
    const int32_t count = KalvexSeq_Count(handle);
    if (count <= 0) {
        *code = count < 0 ? count : KALVEX_SEQ_E_NOT_TIFF;
        return nullptr;
    }
    for (int32_t i = 0; i < count; ++i) {
        KalvexFrameInfo info{};
        info.size = sizeof info;
        const int32_t got = KalvexSeq_GetInfo(handle, i, &info);
        if (got != 1) {
            *code = got < 0 ? got : KALVEX_SEQ_E_METADATA;
            return nullptr;
        }
        recording->times_.push_back(info.timestampNs);
        recording->hasInternal_.push_back((info.flags & KALVEX_FRAME_INTERNAL_VALID) != 0);
        recording->internal_.push_back(info.internalTemperature);
    }
    *code = 1;
    return recording;
}

Recording::~Recording() {
    KalvexSeq_Close(handle_);
}

double Recording::GapBefore(int index) const {
    const int n = Frames();
    double gap = kSinglePeriod;
    if (index > 0) {
        gap = static_cast<double>(times_[static_cast<size_t>(index)] -
                                  times_[static_cast<size_t>(index) - 1]) *
              1e-9;
    } else if (n > 1) {
        gap = static_cast<double>(times_.back() - times_.front()) * 1e-9 / (n - 1);
    }
    return std::clamp(gap, 0.0, kLongestGap);
}

bool Recording::Read(int index, uint16_t *raw) const {
    return KalvexSeq_ReadRaw(handle_, index, raw, kFrameSamples * 2) == 1;
}

}  // namespace kalvex::sim
