// Reads radiometric sequences back: checks every page at open, then hands out
// a frame's raw counts, metadata and temperatures through the recorded table.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kalvex_frame.h"
#include "kalvex_scene.h"
#include "output/tiff_messages.h"
#include "thermal/thermo_table.h"

struct tiff;

namespace kalvex {

// A random-access byte source under the reader: a file or memory.
class SequenceSource {
  public:
    virtual ~SequenceSource() = default;
    virtual int64_t Size() const = 0;
    // Reads size bytes at offset; false unless all of them were read.
    virtual bool ReadAt(int64_t offset, void *buffer, int64_t size) = 0;
};
std::unique_ptr<SequenceSource> FileSource(const wchar_t *path);
std::unique_ptr<SequenceSource> MemorySource(const uint8_t *data, size_t size);

class CSequenceReader {
  public:
    CSequenceReader() = default;
    CSequenceReader(const CSequenceReader &) = delete;
    CSequenceReader &operator=(const CSequenceReader &) = delete;
    ~CSequenceReader();

    // 1, or a negative KALVEX_SEQ_E_ code.
    int Open(std::unique_ptr<SequenceSource> source);
    int32_t Count() const { return static_cast<int32_t>(pages_.size()); }
    // Top row first, 640 x 480.
    int ReadRaw(int32_t index, uint16_t *out);
    int GetInfo(int32_t index, KalvexFrameInfo *info) const;
    // scene null: the frame's own.
    int ReadTemperatures(int32_t index, const KalvexScene *scene, float *out);
    // The recorded table as it stood for that frame, with scene (null: the
    // frame's own): 1, or a negative KALVEX_SEQ_E_ code. The state stays
    // valid after the reader moves on to other frames.
    int PrepareTable(int32_t index, const KalvexScene *scene,
                     std::shared_ptr<const CThermoTableState> *state);
    const std::vector<uint8_t> &Table() const { return table_; }
    KalvexScene Scene() const;

    // libtiff's I/O callbacks.
    SequenceSource *Source() { return source_.get(); }
    int64_t position = 0;

  private:
    struct Page {
        KalvexFrameInfo info{};
        float tableReference = 0.0f;
    };
    std::unique_ptr<SequenceSource> source_;
    ::tiff *tiff_ = nullptr;
    TiffMessages messages_;
    std::vector<Page> pages_;
    std::vector<uint8_t> table_;
    int32_t correctionMode_ = 0;
    // The table as the recording had it, rebuilt when a frame's drift
    // reference differs from the last one's.
    std::unique_ptr<CThermoTable> thermo_;
    std::unique_ptr<std::atomic<float>> reference_;
    float builtReference_ = 0.0f;
    std::vector<uint16_t> raw_;
};

}  // namespace kalvex
