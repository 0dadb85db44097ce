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

void OpenLinks::Add(DeviceHandle link) {
    std::lock_guard guard(lock_);
    links_.emplace_back(link, std::this_thread::get_id());
}

void OpenLinks::Remove(DeviceHandle link) {
    std::lock_guard guard(lock_);
    for (auto it = links_.begin(); it != links_.end(); ++it) {
        if (it->first == link) {
            links_.erase(it);
            return;
        }
    }
}

bool OpenLinks::Cancel(std::thread::id thread) {
    std::lock_guard guard(lock_);
    bool all = true;
    for (const auto &[link, opener] : links_) {
        if (thread != std::thread::id{} && opener != thread) continue;
        if (!platform::DeviceCancel(link)) all = false;
    }
    return all;
}

ScopedLink::ScopedLink(OpenLinks &links, const char *path)
    : links_(links), handle_(OpenDeviceHandle(path)) {
    if (handle_ != nullptr) {
        try {
            links_.Add(handle_);
        } catch (...) {
            CloseDeviceHandle(&handle_);
            throw;
        }
    }
}

ScopedLink::~ScopedLink() {
    Close();
}

void ScopedLink::Close() {
    if (handle_ == nullptr) return;
    links_.Remove(handle_);
    CloseDeviceHandle(&handle_);
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
