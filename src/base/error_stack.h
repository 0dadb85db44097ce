// An instance's event codes, popped newest first. Pushed from the capture
// thread and from application threads, hence locked.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

namespace kalvex {

class CErrorStack {
  public:
    void Push(int32_t code) {
        std::lock_guard guard(lock_);
        codes_.push_back(code);
    }

    // The newest code, or 0 when none is pending.
    int32_t Pop() {
        std::lock_guard guard(lock_);
        if (codes_.empty()) return 0;
        int32_t code = codes_.back();
        codes_.pop_back();
        return code;
    }

    size_t Size() const {
        std::lock_guard guard(lock_);
        return codes_.size();
    }

  private:
    mutable std::mutex lock_;
    std::deque<int32_t> codes_;
};

}  // namespace kalvex
