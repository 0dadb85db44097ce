#include "output/file_object.h"

#include <cstdlib>

namespace kalvex {

void CFileObject::Clear() {
    file_ = nullptr;
    buffer_ = nullptr;
    begin_ = end_ = cursor_ = nullptr;
    stream_ = nullptr;
    sizeLow_ = 0;
    size_ = 0;
}

int CFileObject::Close() {
    sizeLow_ = 0;
    size_ = 0;
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    cursor_ = begin_ = end_ = nullptr;
    if (buffer_ != nullptr) {
        std::free(buffer_);
        buffer_ = nullptr;
    }
    if (file_ == nullptr) return 0;
    platform::FileClose(file_);
    file_ = nullptr;
    return 1;
}

int CFileObject::GetSize() {
    if (file_ == nullptr) return 0;
    const int64_t size = platform::FileSize(file_);
    if (size < 0) return 0;
    size_ = size;
    sizeLow_ = static_cast<uint32_t>(size);
    return 1;
}

const uint8_t *CFileObject::OpenRead(const wchar_t *name, void *module,
                                     const wchar_t *resourceType) {
    Close();
    if (name == nullptr) return nullptr;
    if (resourceType != nullptr) {
        const uint8_t *data = nullptr;
        uint32_t size = 0;
        if (!platform::LoadModuleResource(module, name, resourceType, &data, &size) ||
            data == nullptr)
            return nullptr;
        begin_ = data;  // the module's memory, never freed here
        sizeLow_ = size;
        size_ = size;
    } else {
        file_ = platform::FileOpenRead(name);
        if (file_ == nullptr) return nullptr;
        // The data is addressed through 32 bits of size, as on the 32-bit target.
        if (GetSize() == 0 || size_ > 0xFFFFFFFFll) {
            Close();
            return nullptr;
        }
        // One byte at least, so that an empty file still opens.
        buffer_ = static_cast<uint8_t *>(std::malloc(sizeLow_ != 0 ? sizeLow_ : 1));
        uint32_t got = 0;
        const bool read = buffer_ != nullptr && platform::FileRead(file_, buffer_, sizeLow_, &got);
        platform::FileClose(file_);  // only the memory copy is kept
        file_ = nullptr;
        if (!read || got != sizeLow_) {
            Close();
            return nullptr;
        }
        begin_ = buffer_;
    }
    cursor_ = begin_;
    end_ = begin_ + sizeLow_;
    return begin_;
}

platform::File *CFileObject::OpenWrite(const wchar_t *name) {
    Close();
    if (name == nullptr) return nullptr;
    file_ = platform::FileOpenWrite(name);
    if (file_ == nullptr) return nullptr;
    GetSize();
    return file_;
}

int CFileObject::Write(const void *data, uint32_t byteCount) {
    if (file_ == nullptr) return 0;
    uint32_t written = 0;
    return platform::FileWrite(file_, data, byteCount, &written) ? 1 : 0;
}

int CFileObject::Seek(int64_t offset) {
    return file_ != nullptr && platform::FileSeek(file_, offset) ? 1 : 0;
}

int CFileObject::Truncate() {
    return file_ != nullptr && platform::FileTruncate(file_) ? 1 : 0;
}

int CFileObject::SeekEnd() {
    return file_ != nullptr && platform::FileSeekEnd(file_) ? 1 : 0;
}

}  // namespace kalvex
