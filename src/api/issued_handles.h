// Every handle this process has issued, so that none is issued twice: a
// thread still holding a released handle must find it dead, never someone
// else's instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kalvex {

// An open-addressing set of 32-bit values (0 is never a handle and marks an
// empty slot), four bytes a slot, at most half full. Memory grows with the
// handles issued and is bounded: at kCapacity handles the table holds
// 2 x kCapacity slots (32 MiB), and no further handle is accepted.
class IssuedHandles {
  public:
    static constexpr size_t kCapacity = size_t{1} << 22;

    bool Contains(int32_t handle) const;
    // Records the handle: true when it is new and there was room, false when
    // it was issued before, is 0, or the set is full.
    bool Insert(int32_t handle);
    size_t Size() const { return size_; }
    bool Full() const { return size_ >= kCapacity; }

  private:
    size_t SlotOf(uint32_t value) const;
    void Grow();

    std::vector<uint32_t> slots_;
    size_t size_ = 0;
};

}  // namespace kalvex
