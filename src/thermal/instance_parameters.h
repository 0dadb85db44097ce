// The settings of an instance that parameters 1-18 name, beside the device's
// registers. Each is read by the capture thread while the application may set
// it, hence atomic; they keep their values for the instance's life.
#pragma once

#include <atomic>
#include <cstdint>

namespace kalvex {

struct InstanceParameters {
    std::atomic<uint32_t> frameInterval{10};  // ms slept at the top of each pass
    std::atomic<uint32_t> nucHoldTime{1200};  // ms of frames dropped after a NUC
    std::atomic<int32_t> ringLength{30};
    std::atomic<int32_t> autoNuc{1};
    std::atomic<int32_t> reserved{0};
    std::atomic<int32_t> pause{0};
    std::atomic<int32_t> rowOrder{0};
    std::atomic<int32_t> outputRowOrder{0};
    std::atomic<int32_t> splitLimit{2000};  // MiB per recording piece
    std::atomic<int32_t> frameRate{0};      // frames per second x 100
};

}  // namespace kalvex
