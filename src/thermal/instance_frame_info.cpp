// Frame metadata: what the capture loop and single frames stamp into a
// ring slot as they keep it, and KalvexFrame_GetInfo's copy of it. The
// stamp is a few loads and stores; the raw range is left to the reader.
#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {

uint32_t CKalvex::TakeFrame() {
    const uint32_t taken = framesTaken_.fetch_add(1) + 1;
    // The first frame to see a new NUC start: frames since it count from here.
    const uint32_t nuc = nucStartTime_.load();
    if (nuc != nucSeen_.load()) {
        nucSeen_.store(nuc);
        framesAtNuc_.store(taken - 1);
        firstAfterNuc_.store(true);
    }
    return sequence_.fetch_add(1) + 1;
}

void CKalvex::NoteInternalTemperature(float celsius) {
    internalCelsius_.store(celsius);
    internalNs_.store(platform::MonotonicNanoseconds());
}

void CKalvex::StampSlot(RingSlot &slot, uint32_t sequence, const FrameStamp &stamp,
                        uint32_t origin) {
    KalvexFrameInfo info{};
    info.size = sizeof info;
    info.frameId = slot.id;
    info.sequence = sequence;
    info.cameraFrame = stamp.frameNumber;
    info.timestampNs = stamp.endNs;
    info.utcNs = stamp.utcNs;
    info.internalTemperature = internalCelsius_.load();
    info.internalTemperatureNs = internalNs_.load();
    const uint32_t nuc = nucSeen_.load();
    if (nuc != 0) {
        info.framesSinceNuc = framesTaken_.load() - 1 - framesAtNuc_.load();
        info.msSinceNuc = platform::TimeGetTime() - nuc;
    } else {
        info.framesSinceNuc = KALVEX_FRAME_NO_NUC;
        info.msSinceNuc = KALVEX_FRAME_NO_NUC;
    }
    info.origin = origin;
    if (nuc != 0 && firstAfterNuc_.exchange(false)) info.flags |= KALVEX_FRAME_FIRST_AFTER_NUC;
    if (info.internalTemperatureNs != 0) info.flags |= KALVEX_FRAME_INTERNAL_VALID;
    info.tableCrc = table_.State()->fileCrc;
    if (info.tableCrc != 0) info.flags |= KALVEX_FRAME_HAS_TABLE;
    {
        MutexLock guard(stampSceneLock_);
        info.scene = stampScene_;
    }
    slot.info = info;
}

int CKalvex::GetFrameInfo(uint32_t frameId, KalvexFrameInfo *info) {
    if (info == nullptr || info->size < KALVEX_FRAME_INFO_MIN_SIZE) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    KalvexFrameInfo found{};
    const bool held = ring_.Read(frameId, [&](const RingSlot *slot) {
        if (slot == nullptr || slot->raw.Empty()) return false;
        found = slot->info;
        FillRawRange(slot->raw, found);
        return true;
    });
    if (!held) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    // A caller built against a shorter struct gets the fields it knows; one
    // built against a longer one keeps what lies beyond ours.
    const uint32_t size = std::min<uint32_t>(info->size, sizeof found);
    found.size = size;
    std::memcpy(info, &found, size);
    return 1;
}

}  // namespace kalvex
