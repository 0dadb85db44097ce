// The instance's frame ring: the slots the capture loop fills in turn, which
// one is newest, and the locks that keep a reader off a slot being rewritten.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/thread_annotations.h"
#include "kalvex_frame.h"
#include "output/dib_image.h"

namespace kalvex {

// One frame: everything taken with it lives in its slot, so that whoever
// copies the slot copies all of it.
struct RingSlot {
    uint32_t id = 0;
    CDibImage raw;
    CDibImage colour;
    // What was known when the frame was taken; rawMin and rawMax are left to
    // whoever asks, so that the capture loop does not pay for them.
    KalvexFrameInfo info{};
};

// Sets info.rawMin and rawMax from the frame's pixels.
void FillRawRange(const CDibImage &raw, KalvexFrameInfo &info);

// frameLock_ is held while a slot's images are written, read or (re)made: a
// reader sees a whole frame or none. It is held for a whole copy-out, colour
// mapping or file write. indexLock_ guards which slot is newest and its id;
// it is held for a few instructions only, so that asking for the newest id
// never waits for a copy in progress. Taken after frameLock_ where both are.
class FrameRing {
  public:
    enum class WriteResult { kNoSlots, kDropped, kPublished };

    // Replaces every slot with count empty ones (no images yet).
    void Resize(size_t count) EXCLUDES(frameLock_, indexLock_);
    void Clear() EXCLUDES(frameLock_, indexLock_) { Resize(0); }
    // Clears every id and makes each slot's images width x height, 16-bit raw
    // and 24-bit colour. False when memory ran out.
    bool Allocate(int32_t width, int32_t height) EXCLUDES(frameLock_, indexLock_);

    bool Empty() const EXCLUDES(indexLock_);
    size_t Size() const EXCLUDES(indexLock_);
    // The newest frame's id; 0 when there is none.
    uint32_t NewestId() const EXCLUDES(indexLock_);
    int32_t NewestIndex() const EXCLUDES(indexLock_);
    // The id the slot at index holds (0 out of range).
    uint32_t IdAt(size_t index) const EXCLUDES(frameLock_);

    // Runs read(const RingSlot *) under the frame lock, with the slot holding
    // id, or null for id 0 and for an id no slot holds; returns its result.
    template <class Reader>
    auto Read(uint32_t id, Reader read) const EXCLUDES(frameLock_) {
        MutexLock frames(frameLock_);
        return read(FindLocked(id));
    }
    // The same with the newest slot (null when there are no slots).
    template <class Reader>
    auto ReadNewest(Reader read) const EXCLUDES(frameLock_, indexLock_) {
        MutexLock frames(frameLock_);
        return read(NewestLocked());
    }
    // Deep copies of a slot: false when none holds the id / there is none.
    bool Copy(uint32_t id, RingSlot *out) const EXCLUDES(frameLock_);
    bool CopyNewest(RingSlot *out) const EXCLUDES(frameLock_, indexLock_);

    // Rewrites the slot after the newest under the frame lock: its id becomes
    // id, then write(RingSlot &) fills it and says whether it is to be kept.
    // A kept slot becomes the newest after write returns, so that the newest
    // id never names a half-written frame. With publishFirst it becomes the
    // newest before write runs (a single frame: the id is handed out at once).
    template <class Write>
    WriteResult WriteNext(uint32_t id, bool publishFirst, Write write)
        EXCLUDES(frameLock_, indexLock_) {
        MutexLock frames(frameLock_);
        RingSlot *slot = BeginWriteLocked(id, publishFirst);
        if (slot == nullptr) return WriteResult::kNoSlots;
        if (!write(*slot)) return WriteResult::kDropped;
        if (!publishFirst) PublishLocked();
        return WriteResult::kPublished;
    }

  private:
    const RingSlot *FindLocked(uint32_t id) const REQUIRES(frameLock_);
    const RingSlot *NewestLocked() const REQUIRES(frameLock_) EXCLUDES(indexLock_);
    RingSlot *BeginWriteLocked(uint32_t id, bool publish) REQUIRES(frameLock_) EXCLUDES(indexLock_);
    void PublishLocked() REQUIRES(frameLock_) EXCLUDES(indexLock_);

    mutable Mutex frameLock_ ACQUIRED_BEFORE(indexLock_);
    std::vector<RingSlot> slots_ GUARDED_BY(frameLock_);
    // The slot being written and the id it takes, until published.
    int32_t writing_ GUARDED_BY(frameLock_) = 0;

    mutable Mutex indexLock_;
    size_t count_ GUARDED_BY(indexLock_) = 0;
    int32_t newest_ GUARDED_BY(indexLock_) = 0;
    uint32_t newestId_ GUARDED_BY(indexLock_) = 0;
};

}  // namespace kalvex
