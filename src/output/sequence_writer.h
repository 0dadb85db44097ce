// The radiometric sequence writer: a recording that can be opened again. One
// classic multi-page TIFF per part, one page per frame (640 x 480, 16-bit
// MinIsBlack raw counts, top of the scene in the first row), each page's
// ImageDescription a JSON object with the frame's metadata; the first page of
// every part also carries the library, scene and table context and the
// calibration table file's bytes in a private tag, so one part is all that is
// needed to get temperatures back.
//
// A write that fails (a full disk) cuts the file back to its last complete
// page and closes it: every page written before stays readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kalvex_frame.h"
#include "kalvex_scene.h"
#include "output/tiff_messages.h"

struct tiff;

namespace kalvex {

namespace platform {
struct File;
}

// The private tag (type UNDEFINED, first page of each part) that holds the
// calibration table file's bytes as they were loaded.
inline constexpr uint32_t kSequenceTableTag = 65107;
inline constexpr uint32_t kSequenceWidth = 640;
inline constexpr uint32_t kSequenceHeight = 480;
inline constexpr uint32_t kSequenceRowsPerStrip = 32;
inline constexpr size_t kSequenceFrameBytes = size_t{kSequenceWidth} * kSequenceHeight * 2;
// Bytes past which no part grows: classic TIFF offsets are 32-bit.
inline constexpr int64_t kSequencePartCap = 0xFFFFFFFFll;

// Registers the table tag with libtiff for every TIFF opened from now on
// (readers and writers alike); idempotent and thread-safe.
void RegisterSequenceTags();

// What every part states about the recording (its first page).
// The scene's fields as a page's JSON names them, in the order they are
// written; the reader takes them back by the same names.
struct SceneField {
    const char *key;
    float KalvexScene::*member;
};
inline constexpr SceneField kSceneFields[] = {
    {"emissivity", &KalvexScene::emissivity},     {"reflected", &KalvexScene::reflected},
    {"transmission", &KalvexScene::transmission}, {"atmosphere", &KalvexScene::atmosphere},
    {"distance", &KalvexScene::distance},         {"humidity", &KalvexScene::humidity},
    {"band_low", &KalvexScene::bandLow},          {"band_high", &KalvexScene::bandHigh},
};

struct SequenceContext {
    std::vector<uint8_t> table;  // the table file's bytes; empty: no table
    int32_t tableVersion = 0;    // layout: 1-4, 0 headerless
    int32_t tablePoints = 0;
    uint32_t tableCrc = 0;
    int32_t correctionMode = 0;  // drift compensation mode (12 and 13: on)
    KalvexScene scene{};
    uint32_t libraryVersion = 0;
};

struct SequenceFrame {
    // 640 x 480 samples: the row at the top of the scene and the step in bytes
    // to the next row down (negative for bottom-up images).
    const uint8_t *topRow = nullptr;
    ptrdiff_t stride = 0;
    KalvexFrameInfo info{};
    // The internal temperature the table was last shifted for (version-4
    // drift compensation), so that a reader can rebuild the same lookup.
    float tableReference = 0.0f;
};

class CSequenceWriter {
  public:
    CSequenceWriter() = default;
    CSequenceWriter(const CSequenceWriter &) = delete;
    CSequenceWriter &operator=(const CSequenceWriter &) = delete;
    ~CSequenceWriter() { Close(); }

    // Creates (or truncates) the part; compress: Deflate with the horizontal
    // predictor, else uncompressed. 1 when open, else 0.
    int Open(const wchar_t *path, const SequenceContext &context, bool compress);
    // Appends one page. 1 written; 0 failed, the part then cut back to its
    // last complete page and closed.
    int WriteFrame(const SequenceFrame &frame);
    // 1 when the part was open and every page is complete.
    int Close();

    bool IsOpen() const { return tiff_ != nullptr; }
    uint32_t Pages() const { return pages_; }
    int64_t Bytes() const { return end_; }
    // Whether the part is to be finished after the page just written: its
    // size in MiB has reached the split limit (compared as unsigned, so a
    // negative limit never splits), or one more page might carry it past the
    // classic TIFF's 4 GiB.
    bool PieceFull(int32_t splitLimitMiB) const;

    // Test hook: the size at which parts stop instead of 4 GiB; <= 0 restores it.
    static void SetPartCapForTests(int64_t bytes);

    // The page's ImageDescription (exposed for tests and benchmarks).
    static std::string PageJson(const KalvexFrameInfo &info, float tableReference,
                                const SequenceContext *first);
    // ISO 8601 UTC with microseconds and 'Z', and TIFF's "YYYY:MM:DD HH:MM:SS".
    static std::string IsoUtc(int64_t utcNs);
    static std::string TiffDateTime(int64_t utcNs);

  private:
    friend struct SequenceWriterIo;  // libtiff's I/O callbacks
    // Cuts the file back to the last complete page, unlinks the page that
    // failed and closes everything.
    void Abandon();

    platform::File *file_ = nullptr;
    ::tiff *tiff_ = nullptr;
    int64_t position_ = 0;  // libtiff's position
    int64_t osPosition_ = 0;
    int64_t end_ = 0;
    // The end of the last complete page and the writes made below it since
    // (libtiff's link from the last complete page to the next), undone when
    // that next page fails.
    int64_t goodEnd_ = 0;
    std::vector<std::pair<int64_t, int64_t>> linkWrites_;
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> smallWrites_;
    bool failed_ = false;
    TiffMessages messages_;  // libtiff reports through it for the handle's life
    bool compress_ = true;
    uint32_t pages_ = 0;
    SequenceContext context_;
    std::vector<uint16_t> page_;
};

}  // namespace kalvex
