#include "api/issued_handles.h"

namespace kalvex {

namespace {
constexpr size_t kInitialSlots = 64;
}  // namespace

size_t IssuedHandles::SlotOf(uint32_t value) const {
    // Handles drawn close together differ in their low bits only (tick count
    // plus a small counter): mix every bit into the slot number.
    uint32_t mixed = value;
    mixed ^= mixed >> 16;
    mixed *= 0x85EBCA6Bu;
    mixed ^= mixed >> 13;
    mixed *= 0xC2B2AE35u;
    mixed ^= mixed >> 16;
    const size_t mask = slots_.size() - 1;
    size_t slot = mixed & mask;
    while (slots_[slot] != 0 && slots_[slot] != value) slot = (slot + 1) & mask;
    return slot;
}

bool IssuedHandles::Contains(int32_t handle) const {
    if (handle == 0 || slots_.empty()) return false;
    const auto value = static_cast<uint32_t>(handle);
    return slots_[SlotOf(value)] == value;
}

bool IssuedHandles::Insert(int32_t handle) {
    if (handle == 0 || Full()) return false;
    if (slots_.empty()) slots_.assign(kInitialSlots, 0);
    const auto value = static_cast<uint32_t>(handle);
    size_t slot = SlotOf(value);
    if (slots_[slot] == value) return false;
    if ((size_ + 1) * 2 > slots_.size()) {
        Grow();
        slot = SlotOf(value);
    }
    slots_[slot] = value;
    ++size_;
    return true;
}

void IssuedHandles::Grow() {
    std::vector<uint32_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    for (uint32_t value : old)
        if (value != 0) slots_[SlotOf(value)] = value;
}

}  // namespace kalvex
