#include "output/avi_writer.h"

#include <atomic>
#include <cstring>
#include <new>

#include "output/dib_image.h"

namespace kalvex {

namespace {
void Put32(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}
void PutTag(uint8_t *at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
}

// Offsets of the fields that Finish patches.
constexpr uint32_t kRiffSizeOffset = 4;
constexpr uint32_t kMicroSecPerFrameOffset = 32;
constexpr uint32_t kFlagsOffset = 44;
constexpr uint32_t kTotalFramesOffset = 48;
constexpr uint32_t kScaleOffset = 128;
constexpr uint32_t kLengthOffset = 140;

// The largest file whose RIFF size (file size - 8) a 32-bit field holds.
constexpr uint64_t kFileCap = uint64_t{1} << 32;
std::atomic<uint64_t> gFileCap{kFileCap};
}  // namespace

void AviWriter::SetFileCapForTests(uint64_t bytes) {
    gFileCap.store(bytes != 0 ? bytes : kFileCap);
}

bool AviWriter::RoomForFrame() const {
    // RIFF header, what is written, the frame's chunk, then "idx1", its size
    // and one entry per frame with the new one.
    const uint64_t after = 8 + uint64_t{riffSize_} + 8 + FrameBytes() + 8 +
                           16 * (static_cast<uint64_t>(index_.size()) + 1);
    return after <= gFileCap.load();
}

void AviWriter::Reset() {
    file_.Close();
    index_.clear();
    index_.shrink_to_fit();
    std::memset(mainHeader_, 0, sizeof mainHeader_);
    std::memset(streamHeader_, 0, sizeof streamHeader_);
    std::memset(format_, 0, sizeof format_);
    riffSize_ = moviSize_ = moviSizePosition_ = 0;
    rate_ = frameCount_ = 0;
    failed_ = false;
}

bool AviWriter::WriteCounted(const void *data, uint32_t size) {
    riffSize_ += size;
    return file_.Write(data, size) == 1;
}

bool AviWriter::Patch(uint32_t offset, uint32_t value) {
    uint8_t bytes[4];
    Put32(bytes, value);
    return file_.Seek(offset) == 1 && file_.Write(bytes, 4) == 1;
}

int AviWriter::Open(const wchar_t *name) {
    // Reset clears the format and the rate too; keep what the caller set.
    const int32_t width = width_, height = height_;
    const uint16_t bitCount = bitCount_;
    const uint32_t rate = rate_ != 0 ? rate_ : kDefaultRate;
    const uint32_t frames = frameCount_;
    Reset();
    width_ = width;
    height_ = height;
    bitCount_ = bitCount;
    rate_ = rate;
    frameCount_ = frames;
    if (file_.OpenWrite(name) == nullptr) return 0;

    const uint32_t frameBytes = FrameBytes();
    const uint32_t bufferSize = frameBytes + 8;

    uint8_t *m = mainHeader_;
    Put32(m + 0, 1000000u / rate_);
    Put32(m + 4, bufferSize * bufferSize);  // the product, as stored files carry it
    Put32(m + 8, 0);
    Put32(m + 12, kFlagsWithIndex);
    Put32(m + 16, frameCount_);
    Put32(m + 20, 0);
    Put32(m + 24, 1);
    Put32(m + 28, bufferSize);
    Put32(m + 32, static_cast<uint32_t>(width_));
    Put32(m + 36, static_cast<uint32_t>(height_));

    uint8_t *s = streamHeader_;
    PutTag(s + 0, "vids");
    PutTag(s + 4, "DIB ");
    Put32(s + 20, 10000000u / rate_);
    Put32(s + 24, 10000000u);
    Put32(s + 32, frameCount_);
    Put32(s + 36, bufferSize);

    AppendInfoHeader(DibHeader(width_, height_, bitCount_), format_);

    uint8_t header[kHeaderBytes] = {};
    uint8_t *h = header;
    PutTag(h + 0, "RIFF");
    PutTag(h + 8, "AVI ");
    PutTag(h + 12, "LIST");
    Put32(h + 16, 200);
    PutTag(h + 20, "hdrl");
    PutTag(h + 24, "avih");
    Put32(h + 28, 56);
    std::memcpy(h + 32, mainHeader_, 56);
    PutTag(h + 88, "LIST");
    Put32(h + 92, 124);
    PutTag(h + 96, "strl");
    PutTag(h + 100, "strh");
    Put32(h + 104, 64);
    std::memcpy(h + 108, streamHeader_, 64);
    PutTag(h + 172, "strf");
    Put32(h + 176, 40);
    std::memcpy(h + 180, format_, 40);
    PutTag(h + 220, "LIST");
    PutTag(h + 228, "movi");

    riffSize_ = 0;
    const bool ok = file_.Write(header, 8) == 1 && WriteCounted(header + 8, 216);
    moviSizePosition_ = 8 + riffSize_;  // 224
    if (!ok || !WriteCounted(header + 224, 8)) {
        Reset();
        return 0;
    }
    moviSize_ = 4;
    return 1;
}

int AviWriter::WriteFrame(const void *pixels) {
    if (!file_.IsOpen() || failed_ || pixels == nullptr) return 0;
    if (!RoomForFrame()) {
        failed_ = true;
        return 0;
    }
    const uint32_t frameBytes = FrameBytes();
    try {
        index_.push_back(IndexEntry{0x62643030u /* "00db" */, 0x10, moviSize_, frameBytes});
    } catch (const std::bad_alloc &) {
        failed_ = true;
        return 0;
    }
    uint8_t chunk[8];
    PutTag(chunk, "00db");
    Put32(chunk + 4, frameBytes);
    const bool ok = file_.Write(chunk, 8) == 1 && file_.Write(pixels, frameBytes) == 1;
    if (!ok) {
        // A full disk: drop the partial chunk so that the file ends with the
        // last whole frame, and stop taking frames.
        index_.pop_back();
        file_.Seek(static_cast<int64_t>(kMoviIdOffset) + moviSize_);
        file_.Truncate();
        failed_ = true;
        return 0;
    }
    riffSize_ += 8 + frameBytes;
    moviSize_ += 8 + frameBytes;
    return 0;
}

int AviWriter::Finish() {
    if (!file_.IsOpen()) return 0;
    if (rate_ == 0) rate_ = kDefaultRate * 100;  // never divide by zero below
    const auto entries = static_cast<uint32_t>(index_.size());
    std::vector<uint8_t> idx;
    bool indexed = false;
    try {
        idx.resize(8 + static_cast<size_t>(entries) * 16);
        PutTag(idx.data(), "idx1");
        Put32(idx.data() + 4, entries * 16);
        for (uint32_t i = 0; i < entries; ++i) {
            uint8_t *e = idx.data() + 8 + static_cast<size_t>(i) * 16;
            Put32(e, index_[i].chunkId);
            Put32(e + 4, index_[i].flags);
            Put32(e + 8, index_[i].offset);
            Put32(e + 12, index_[i].size);
        }
        const int64_t end = 8 + static_cast<int64_t>(riffSize_);
        indexed =
            file_.Seek(end) == 1 && file_.Write(idx.data(), static_cast<uint32_t>(idx.size())) == 1;
        if (indexed) {
            riffSize_ += static_cast<uint32_t>(idx.size());
        } else {
            // No room for the index: the file stays a valid AVI without one.
            file_.Seek(end);
            file_.Truncate();
        }
    } catch (const std::bad_alloc &) {
        indexed = false;
    }
    Patch(kRiffSizeOffset, riffSize_);
    Patch(moviSizePosition_, moviSize_);
    Patch(kTotalFramesOffset, frameCount_);
    Patch(kLengthOffset, frameCount_);
    Patch(kMicroSecPerFrameOffset, 100000000u / rate_);
    Patch(kScaleOffset, 1000000000u / rate_);
    if (!indexed) Patch(kFlagsOffset, kFlagsWithoutIndex);
    file_.Close();
    return 0;
}

}  // namespace kalvex
