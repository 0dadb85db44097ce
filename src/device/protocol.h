// The camera's USB protocol as the driver carries it: I/O control codes, pipes,
// the 64-byte command block, opcodes, the registers and core items the SDK
// uses, and their bits.
#pragma once

#include <array>
#include <cstdint>

namespace kalvex {

// I/O control codes (device type 0x22, any access).
inline constexpr uint32_t kIoctlOutDirect = 0x0022204E;      // function 0x813, METHOD_OUT_DIRECT
inline constexpr uint32_t kIoctlInDirect = 0x00222051;       // function 0x814, METHOD_IN_DIRECT
inline constexpr uint32_t kIoctlLargeInDirect = 0x002220A9;  // function 0x82A, METHOD_IN_DIRECT

// Pipes: commands to the camera, replies from it, frame data from it.
inline constexpr uint32_t kCommandPipe = 0;
inline constexpr uint32_t kReplyPipe = 1;
inline constexpr uint32_t kFramePipe = 2;

inline constexpr uint32_t kBlockBytes = 64;
using CommandBlock = std::array<uint8_t, kBlockBytes>;

// Opcodes (byte 0 of a command block).
inline constexpr uint8_t kOpStartFrame = 0x02;
inline constexpr uint8_t kOpInit = 0x06;
inline constexpr uint8_t kOpTransferLength = 0x09;
inline constexpr uint8_t kOpPixelDepth = 0x0A;
inline constexpr uint8_t kOpReadCore = 0x0C;
inline constexpr uint8_t kOpWriteRegister = 0x25;
inline constexpr uint8_t kOpReadRegister = 0x26;
inline constexpr uint8_t kOpWriteCore = 0x40;
// Bytes 1 and 2 of a core write, before the item and its value.
inline constexpr uint8_t kWriteCoreSelect = 0x65;
inline constexpr uint8_t kWriteCoreLength = 0x03;

// Registers. The transfer length goes out a byte a register, low byte last:
// writing it latches the other three.
inline constexpr int kRegTransferLength0 = 0;  // bits 0-7; 0xFF while the rest is set
inline constexpr int kRegTransferLength1 = 1;  // bits 8-15
inline constexpr int kRegTransferLength2 = 2;  // bits 16-23
inline constexpr int kRegTransferLength3 = 3;  // bits 24-31
inline constexpr int kRegTrigger = 7;
inline constexpr int kTriggerInputBit = 0x04;  // the trigger input's level
inline constexpr int kRegSampleDepth = 14;
inline constexpr int kSampleDepth8 = 8;
inline constexpr int kSampleDepth16 = 9;
// The window, each in units of two pixels; the height register holds one less.
inline constexpr int kRegWindowX = 16;
inline constexpr int kRegWindowY = 17;
inline constexpr int kRegWindowWidth = 18;
inline constexpr int kRegWindowHeight = 19;
inline constexpr int kRegControl = 48;
inline constexpr int kControlBit2 = 0x04;
inline constexpr int kControlBit3 = 0x08;
// Written at initialisation: the first cleared, the second pulsed with its
// reset bit.
inline constexpr int kRegInitA = 84;
inline constexpr int kRegInitB = 80;
inline constexpr int kInitBPulse = 16;

// Core items.
inline constexpr int kCoreNuc = 6;  // write 1: a non-uniformity correction
inline constexpr uint16_t kCoreNucRequest = 1;
inline constexpr int kCoreInternalTemperature = 32;

// Degrees Celsius of a kCoreInternalTemperature value: the sensor's linear
// response, worked in double and handed out as float.
inline float InternalTemperatureFromCore(uint16_t value) {
    return static_cast<float>(static_cast<double>(value) * 3.0 / 32767.0 * (-207.9) + 478.17);
}

}  // namespace kalvex
