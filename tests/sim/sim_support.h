// Talks to the simulated camera through the OS seam, as the device layer does.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "kalvex_sim.h"
#include "platform/platform.h"

namespace kalvex::simtest {

constexpr uint32_t kCommandCode = 0x00222051;
constexpr uint32_t kOutCode = 0x0022204E;
constexpr uint32_t kLargeCode = 0x002220A9;
constexpr const char *kCamera0 = "\\\\.\\ZcamN7KTHM-0";

using Block = std::array<uint8_t, 64>;

inline Block MakeBlock(std::initializer_list<uint8_t> bytes) {
    Block block{};
    size_t i = 0;
    for (uint8_t b : bytes) block[i++] = b;
    return block;
}

// A device handle that closes itself.
class Link {
  public:
    explicit Link(const char *path = kCamera0) : link_(platform::DeviceOpen(path)), path_(path) {}
    ~Link() { platform::DeviceClose(link_); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    bool ok() const { return link_ != nullptr; }

    // The request's own result; *got receives the byte count.
    bool Io(uint32_t code, uint32_t pipe, void *buffer, uint32_t length, uint32_t *got) {
        return platform::DeviceIoControl(link_, code, pipe, buffer, length, got);
    }
    // A command in full on pipe 0 with the code the protocol asks for.
    bool Send(Block block) {
        uint32_t got = 0;
        uint32_t code = block[0] == 0x02 ? kOutCode : kCommandCode;
        return Io(code, 0, block.data(), 64, &got) && got == 64;
    }
    bool ReadReply(Block *block) {
        uint32_t got = 0;
        return Io(kOutCode, 1, block->data(), 64, &got) && got == 64;
    }
    // The second of two replies, or -1.
    int Ask(Block command, int bytes) {
        Block first{}, second{};
        if (!Send(command)) return -1;
        ReadReply(&first);
        if (!ReadReply(&second)) return -1;
        return bytes == 1 ? second[0] : second[0] << 8 | second[1];
    }
    int ReadRegister(int reg) { return Ask(MakeBlock({0x26, static_cast<uint8_t>(reg)}), 1); }
    bool WriteRegister(int reg, int value) {
        return Send(MakeBlock({0x25, static_cast<uint8_t>(reg), static_cast<uint8_t>(value)}));
    }
    int ReadCore(int item) { return Ask(MakeBlock({0x0C, static_cast<uint8_t>(item)}), 2); }
    // A start-frame command, then one frame request of length bytes; empty on
    // failure, shorter when short. A camera powers on without a window and a
    // transfer length; unless the test programmed them, the full 640 x 480
    // window and its 307,200 samples are set first (through the control API, so
    // no command is counted), as the library would have done.
    std::vector<uint8_t> Frame(uint32_t length, uint32_t code = kCommandCode) {
        const int camera = CameraNumber();
        if (camera >= 0 && KalvexSim_ReadRegister(camera, 18) == 0 &&
            KalvexSim_ReadRegister(camera, 1) == 0 && KalvexSim_ReadRegister(camera, 2) == 0) {
            const int window[][2] = {{16, 0},   {17, 0},   {18, 64},  {19, 239},
                                     {0, 0x00}, {1, 0xB0}, {2, 0x04}, {3, 0x00}};
            for (const auto &[reg, value] : window) KalvexSim_WriteRegister(camera, reg, value);
        }
        if (!Send(MakeBlock({0x02}))) return {};
        return FrameRequest(length, code);
    }
    // The frame request alone.
    std::vector<uint8_t> FrameRequest(uint32_t length, uint32_t code = kCommandCode) {
        std::vector<uint8_t> frame(length);
        uint32_t got = 0;
        if (!Io(code, 2, frame.data(), length, &got)) return {};
        frame.resize(got);
        return frame;
    }

    // The driver's cancel entry, as a stop on another thread would call it.
    bool Cancel() { return platform::DeviceCancel(link_); }
    // The camera number at the end of the device path, or -1.
    int CameraNumber() const {
        const std::string path = path_ != nullptr ? path_ : "";
        if (path.empty() || path.back() < '0' || path.back() > '7') return -1;
        return path.back() - '0';
    }

  private:
    platform::DeviceLink *link_;
    const char *path_;
};

inline uint16_t Sample16(const std::vector<uint8_t> &frame, size_t index) {
    return static_cast<uint16_t>(frame[2 * index] | frame[2 * index + 1] << 8);
}

inline KalvexSimCounters Counters(int camera = 0) {
    KalvexSimCounters counters{};
    KalvexSim_GetCounters(camera, &counters);
    return counters;
}

}  // namespace kalvex::simtest
