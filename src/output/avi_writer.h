// AviWriter: an uncompressed AVI file of equal-sized DIB frames ("00db"
// chunks) with an idx1 index. The header is written with provisional counts
// and patched by Finish.
#pragma once

#include <cstdint>
#include <vector>

#include "output/file_object.h"

namespace kalvex {

class AviWriter {
  public:
    static constexpr uint32_t kHeaderBytes = 232;  // up to the first frame chunk
    static constexpr uint32_t kMoviIdOffset = 228;
    static constexpr uint32_t kDefaultRate = 30;  // frames per second, while open
    static constexpr uint32_t kFlagsWithIndex = 0x00010010;
    static constexpr uint32_t kFlagsWithoutIndex = 0x00010000;

    struct IndexEntry {
        uint32_t chunkId, flags, offset, size;
    };

    AviWriter() = default;
    AviWriter(const AviWriter &) = delete;
    AviWriter &operator=(const AviWriter &) = delete;
    ~AviWriter() { Reset(); }

    // Frame format; set before Open.
    void SetFormat(int32_t width, int32_t height, uint16_t bitCount) {
        width_ = width;
        height_ = height;
        bitCount_ = bitCount;
    }
    // Frames per second while open; frames per second x 100 before Finish.
    void SetRate(uint32_t rate) { rate_ = rate; }
    void SetFrameCount(uint32_t count) { frameCount_ = count; }

    // 1 when the file was created and the header written, else 0.
    int Open(const wchar_t *name);
    // Appends one frame of width x height x bitCount / 8 bytes. Always 0. A
    // frame that cannot be written whole is not counted: the file is cut back
    // to the last whole chunk and Failed() turns true; later frames are
    // ignored. The same holds for a frame that would carry the file past the
    // 4 GiB its 32-bit sizes can describe (nothing is written then).
    int WriteFrame(const void *pixels);
    // Whether one more frame, its index entry included, still fits within
    // 4 GiB once the index is written. Recorders split before it does not.
    bool RoomForFrame() const;
    // Test hook: the file size in place of 4 GiB (0 restores it), so that the
    // guard is tested without writing gigabytes. Process-wide.
    static void SetFileCapForTests(uint64_t bytes);
    // Appends the index, patches the header and closes the file. Always 0.
    int Finish();
    // Closes the file, empties the index, zeroes the header and the counters.
    void Reset();

    bool IsOpen() const { return file_.IsOpen(); }
    bool Failed() const { return failed_; }
    uint32_t RiffSize() const { return riffSize_; }
    uint32_t MoviSize() const { return moviSize_; }
    uint32_t FrameCount() const { return frameCount_; }
    uint32_t Rate() const { return rate_; }
    uint32_t FrameBytes() const {
        return static_cast<uint32_t>(static_cast<uint32_t>(bitCount_) *
                                     static_cast<uint32_t>(height_) *
                                     static_cast<uint32_t>(width_) / 8u);
    }
    const std::vector<IndexEntry> &Index() const { return index_; }

  private:
    bool WriteCounted(const void *data, uint32_t size);
    bool Patch(uint32_t offset, uint32_t value);

    CFileObject file_;
    uint8_t mainHeader_[56] = {};
    uint8_t streamHeader_[64] = {};
    uint8_t format_[40] = {};
    uint32_t riffSize_ = 0;
    uint32_t moviSize_ = 0;
    uint32_t moviSizePosition_ = 0;
    std::vector<IndexEntry> index_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    uint16_t bitCount_ = 0;
    uint32_t rate_ = 0;
    uint32_t frameCount_ = 0;
    bool failed_ = false;
};

}  // namespace kalvex
