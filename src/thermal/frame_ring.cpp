#include "thermal/frame_ring.h"

#include <algorithm>

namespace kalvex {

void FillRawRange(const CDibImage &raw, KalvexFrameInfo &info) {
    uint16_t low = 0xFFFF, high = 0;
    for (int32_t r = 0; r < raw.Height(); ++r) {
        const auto *row = reinterpret_cast<const uint16_t *>(raw.Row(r));
        const auto [lo, hi] = std::minmax_element(row, row + raw.Width());
        low = std::min(low, *lo);
        high = std::max(high, *hi);
    }
    info.rawMin = raw.Height() > 0 ? low : 0;
    info.rawMax = high;
}

void FrameRing::Resize(size_t count) {
    MutexLock frames(frameLock_);
    MutexLock index(indexLock_);
    slots_.clear();
    slots_.resize(count);
    count_ = count;
    // The newest index stays where it was: a ring made again continues after it.
    newestId_ = 0;
}

bool FrameRing::Allocate(int32_t width, int32_t height) {
    MutexLock frames(frameLock_);
    {
        MutexLock index(indexLock_);
        newestId_ = 0;
    }
    for (RingSlot &slot : slots_) {
        slot.id = 0;
        if (slot.raw.Create(width, height, 16) == 0 || slot.colour.Create(width, height, 24) == 0)
            return false;
    }
    return true;
}

bool FrameRing::Empty() const {
    MutexLock index(indexLock_);
    return count_ == 0;
}

size_t FrameRing::Size() const {
    MutexLock index(indexLock_);
    return count_;
}

uint32_t FrameRing::NewestId() const {
    MutexLock index(indexLock_);
    return newestId_;
}

int32_t FrameRing::NewestIndex() const {
    MutexLock index(indexLock_);
    return newest_;
}

uint32_t FrameRing::IdAt(size_t index) const {
    MutexLock frames(frameLock_);
    return index < slots_.size() ? slots_[index].id : 0;
}

bool FrameRing::Copy(uint32_t id, RingSlot *out) const {
    MutexLock frames(frameLock_);
    const RingSlot *slot = FindLocked(id);
    if (slot == nullptr || out == nullptr) return false;
    *out = *slot;
    return true;
}

bool FrameRing::CopyNewest(RingSlot *out) const {
    MutexLock frames(frameLock_);
    const RingSlot *slot = NewestLocked();
    if (slot == nullptr || out == nullptr) return false;
    *out = *slot;
    return true;
}

const RingSlot *FrameRing::FindLocked(uint32_t id) const {
    if (id == 0) return nullptr;
    for (const RingSlot &slot : slots_)
        if (slot.id == id) return &slot;
    return nullptr;
}

const RingSlot *FrameRing::NewestLocked() const {
    int32_t newest = 0;
    {
        MutexLock index(indexLock_);
        newest = newest_;
    }
    if (newest < 0 || static_cast<size_t>(newest) >= slots_.size()) return nullptr;
    return &slots_[static_cast<size_t>(newest)];
}

RingSlot *FrameRing::BeginWriteLocked(uint32_t id, bool publish) {
    if (slots_.empty()) return nullptr;
    MutexLock index(indexLock_);
    int32_t next = newest_ + 1;
    if (next >= static_cast<int32_t>(slots_.size())) next = 0;
    writing_ = next;
    RingSlot &slot = slots_[static_cast<size_t>(next)];
    slot.id = id;
    if (publish) {
        newest_ = next;
        newestId_ = id;
    }
    return &slot;
}

void FrameRing::PublishLocked() {
    MutexLock index(indexLock_);
    newest_ = writing_;
    newestId_ = slots_[static_cast<size_t>(writing_)].id;
}

}  // namespace kalvex
