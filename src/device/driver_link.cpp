#include "device/driver_link.h"

namespace kalvex {

CommandBlock MakeCommand(uint8_t opcode, std::initializer_list<uint8_t> bytes) {
    CommandBlock block{};
    block[0] = opcode;
    size_t i = 1;
    for (uint8_t b : bytes) {
        if (i >= block.size()) break;
        block[i++] = b;
    }
    return block;
}

DeviceHandle OpenDeviceHandle(const char *path) {
    return platform::DeviceOpen(path);
}

void CloseDeviceHandle(DeviceHandle *handle) {
    if (handle == nullptr || *handle == nullptr) return;
    platform::DeviceClose(*handle);
    *handle = nullptr;
}

int RawDeviceRequest(DeviceHandle handle, uint32_t code, uint32_t pipe, void *buffer,
                     uint32_t length, uint32_t *returned) {
    if (returned != nullptr) *returned = 0;
    if (handle == nullptr) return -3;
    if (buffer == nullptr) return -2;
    uint32_t got = 0;
    const bool ok = platform::DeviceIoControl(handle, code, pipe, buffer, length, &got);
    if (returned != nullptr) *returned = ok ? got : 0;
    return ok ? 0 : -1;
}

namespace {

int PipeTransfer(DeviceHandle handle, uint32_t code, uint32_t pipe, uint32_t length, void *buffer,
                 uint32_t *returned) {
    if (returned != nullptr) *returned = 0;
    if (handle == nullptr) return kTransferNoHandle;
    uint32_t got = 0;
    const int raw = RawDeviceRequest(handle, code, pipe, buffer, length, &got);
    if (returned != nullptr) *returned = got;
    return raw == 0 && got == length ? kTransferOk : kTransferFailed;
}

}  // namespace

int PipeTransferOutDirect(DeviceHandle handle, uint32_t pipe, uint32_t length, void *buffer,
                          uint32_t *returned) {
    return PipeTransfer(handle, kIoctlOutDirect, pipe, length, buffer, returned);
}

int PipeTransferInDirect(DeviceHandle handle, uint32_t pipe, uint32_t length, void *buffer,
                         uint32_t *returned, uint32_t code) {
    return PipeTransfer(handle, code, pipe, length, buffer, returned);
}

}  // namespace kalvex
