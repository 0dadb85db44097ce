// A recorded radiometric sequence as the simulated camera's frame source. It
// reads through the library's public sequence reader, as any host would, so
// the simulator needs no TIFF code of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kalvex_frame.h"

namespace kalvex::sim {

class Recording {
  public:
    // A recording, or null with *code the reader's negative result.
    static std::shared_ptr<Recording> OpenNarrow(const char *path, int *code);
    static std::shared_ptr<Recording> OpenWide(const wchar_t *path, int *code);
    ~Recording();
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;

    int Frames() const { return static_cast<int>(times_.size()); }
    // Monotonic end-of-transfer time and internal temperature as recorded.
    int64_t TimeNs(int index) const { return times_[static_cast<size_t>(index)]; }
    bool HasInternal(int index) const { return hasInternal_[static_cast<size_t>(index)] != 0; }
    float Internal(int index) const { return internal_[static_cast<size_t>(index)]; }
    // The gap before frame index as recorded, in seconds: at most
    // kLongestGap, and for the first frame the recording's mean period.
    double GapBefore(int index) const;
    // 640 x 480 raw counts, top row first.
    bool Read(int index, uint16_t *raw) const;

    static constexpr double kLongestGap = 1.0;

  private:
    explicit Recording(int32_t handle) : handle_(handle) {}
    static std::shared_ptr<Recording> Load(int32_t handle, int *code);

    int32_t handle_;
    std::vector<int64_t> times_;
    std::vector<uint8_t> hasInternal_;
    std::vector<float> internal_;
};

}  // namespace kalvex::sim
