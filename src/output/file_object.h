// CFileObject: holds at most one open file for writing or one memory copy of a
// file (or module resource) read whole. Opening anything closes what it held.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace kalvex {

class CFileObject {
  public:
    CFileObject() { Clear(); }
    CFileObject(const CFileObject &) = delete;
    CFileObject &operator=(const CFileObject &) = delete;
    ~CFileObject() { Close(); }

    // Forgets everything held without closing or freeing it.
    void Clear();
    // Frees the memory copy and closes the file; 1 when a file handle was
    // closed, 0 when there was none.
    int Close();

    // The whole file (no resource type) or the module's resource; null on
    // failure, leaving the object closed. A file that cannot be read to its
    // full size fails.
    const uint8_t *OpenRead(const wchar_t *name, void *module = nullptr,
                            const wchar_t *resourceType = nullptr);
    // Truncates an existing file, else creates a new one; the handle, or null.
    platform::File *OpenWrite(const wchar_t *name);
    // Writes at the current position; 1 when every byte was written, 0 without a file.
    int Write(const void *data, uint32_t byteCount);
    // Refreshes the size fields from the open file; 1 on success, 0 without a file.
    int GetSize();
    // Moves the write position (for patching headers, then back to the end).
    int Seek(int64_t offset);
    int SeekEnd();
    // Cuts the file at the write position; 1 on success, 0 without a file.
    int Truncate();

    bool IsOpen() const { return file_ != nullptr; }
    // The data held by OpenRead: [Begin(), End()).
    const uint8_t *Begin() const { return begin_; }
    const uint8_t *End() const { return end_; }
    const uint8_t *Cursor() const { return cursor_; }
    void SetCursor(const uint8_t *cursor) { cursor_ = cursor; }
    uint32_t SizeLow() const { return sizeLow_; }
    int64_t Size() const { return size_; }

  private:
    platform::File *file_;
    uint8_t *buffer_;
    const uint8_t *begin_;
    const uint8_t *end_;
    const uint8_t *cursor_;
    FILE *stream_;
    uint32_t sizeLow_;
    int64_t size_;
};

}  // namespace kalvex
