// The sequence writer, checked through libtiff's own reader: pages, their
// metadata and table, splitting, and a disk that fills up mid-recording.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstring>
#include <string>
#include <vector>

#include "output/output_test_support.h"
#include "output/sequence_writer.h"
#include "platform/platform.h"

namespace kalvex {
namespace {

using test::TmpFile;
using test::Wide;

// A frame whose samples encode frame, row and column, so that row order and
// every page's identity can be checked exactly.
std::vector<uint16_t> Pattern(uint32_t frame) {
    std::vector<uint16_t> v(size_t{kSequenceWidth} * kSequenceHeight);
    for (uint32_t r = 0; r < kSequenceHeight; ++r)
        for (uint32_t c = 0; c < kSequenceWidth; ++c)
            v[size_t{r} * kSequenceWidth + c] =
                static_cast<uint16_t>((frame * 7919 + r * 31 + c) & 0x3FFF);
    return v;
}

SequenceFrame FrameOf(const std::vector<uint16_t> &pixels, uint32_t sequence) {
    SequenceFrame f;
    f.topRow = reinterpret_cast<const uint8_t *>(pixels.data());
    f.stride = kSequenceWidth * 2;
    f.info.size = sizeof(KalvexFrameInfo);
    f.info.sequence = sequence;
    f.info.frameId = 0x80000000u + sequence;  // above INT32_MAX: printed unsigned
    f.info.cameraFrame = sequence * 2;
    f.info.timestampNs = 1000000000ll * sequence;
    f.info.utcNs = 1765259539123456789ll + 100000000ll * sequence;
    f.info.internalTemperature = 25.5f;
    KalvexScene_Default(&f.info.scene);
    return f;
}

SequenceContext Context() {
    SequenceContext c;
    c.table = {'V', 'E', 'L', 0, 1, 2, 3, 255};
    c.tableVersion = 4;
    c.tablePoints = 1;
    c.tableCrc = 0xDEADBEEF;
    KalvexScene_Default(&c.scene);
    c.libraryVersion = 2032717;
    return c;
}

struct TiffFile {
    explicit TiffFile(const std::string &path) {
        RegisterSequenceTags();
        tiff = TIFFOpen(path.c_str(), "r");
    }
    ~TiffFile() {
        if (tiff != nullptr) TIFFClose(tiff);
    }
    std::vector<uint16_t> Page() const {
        std::vector<uint16_t> v(size_t{kSequenceWidth} * kSequenceHeight);
        for (uint32_t r = 0; r < kSequenceHeight; ++r)
            if (TIFFReadScanline(tiff, v.data() + size_t{r} * kSequenceWidth, r) != 1) return {};
        return v;
    }
    std::string Text(uint32_t tag) const {
        char *text = nullptr;
        return TIFFGetField(tiff, tag, &text) == 1 && text != nullptr ? text : "";
    }
    TIFF *tiff = nullptr;
};

TEST(SequenceWriter, PagesCarryTheRowsTopFirstWithTheirMetadataAndTheTableOnce) {
    for (const bool compress : {true, false}) {
        const std::string path = TmpFile(compress ? "seqw_deflate.tiff" : "seqw_plain.tiff");
        CSequenceWriter writer;
        ASSERT_EQ(writer.Open(Wide(path).c_str(), Context(), compress), 1);
        std::vector<std::vector<uint16_t>> frames;
        for (uint32_t k = 0; k < 3; ++k) frames.push_back(Pattern(k));
        // The second frame given bottom-up, as a slot's image lies.
        std::vector<uint16_t> flipped(frames[1].size());
        for (uint32_t r = 0; r < kSequenceHeight; ++r)
            std::memcpy(&flipped[size_t{r} * kSequenceWidth],
                        &frames[1][size_t{kSequenceHeight - 1 - r} * kSequenceWidth],
                        kSequenceWidth * 2);
        ASSERT_EQ(writer.WriteFrame(FrameOf(frames[0], 1)), 1);
        SequenceFrame bottomUp = FrameOf(flipped, 2);
        bottomUp.topRow += ptrdiff_t{kSequenceHeight - 1} * bottomUp.stride;
        bottomUp.stride = -bottomUp.stride;
        ASSERT_EQ(writer.WriteFrame(bottomUp), 1);
        ASSERT_EQ(writer.WriteFrame(FrameOf(frames[2], 3)), 1);
        EXPECT_EQ(writer.Pages(), 3u);
        ASSERT_EQ(writer.Close(), 1);

        TiffFile file(path);
        ASSERT_NE(file.tiff, nullptr);
        EXPECT_EQ(TIFFNumberOfDirectories(file.tiff), 3);
        for (uint32_t k = 0; k < 3; ++k) {
            ASSERT_EQ(TIFFSetDirectory(file.tiff, static_cast<tdir_t>(k)), 1);
            uint16_t bits = 0, compression = 0;
            TIFFGetField(file.tiff, TIFFTAG_BITSPERSAMPLE, &bits);
            TIFFGetField(file.tiff, TIFFTAG_COMPRESSION, &compression);
            EXPECT_EQ(bits, 16);
            EXPECT_EQ(compression, compress ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE);
            EXPECT_EQ(file.Page(), frames[k]) << "page " << k;
            const std::string json = file.Text(TIFFTAG_IMAGEDESCRIPTION);
            EXPECT_NE(json.find("\"sequence\":" + std::to_string(k + 1) + ","), std::string::npos);
            EXPECT_NE(json.find("\"frame_id\":" + std::to_string(0x80000000u + k + 1)),
                      std::string::npos);
            EXPECT_EQ(json.find("\"kalvex\"") != std::string::npos, k == 0) << json;
            uint32_t count = 0;
            void *data = nullptr;
            const bool hasTable = TIFFGetField(file.tiff, kSequenceTableTag, &count, &data) == 1;
            EXPECT_EQ(hasTable, k == 0);
            if (hasTable) {
                const std::vector<uint8_t> expected = Context().table;
                ASSERT_EQ(count, expected.size());
                EXPECT_EQ(std::memcmp(data, expected.data(), count), 0);
            }
        }
        ASSERT_EQ(TIFFSetDirectory(file.tiff, 0), 1);
        EXPECT_EQ(file.Text(TIFFTAG_DATETIME), "2025:12:09 05:52:19");
        EXPECT_NE(
            file.Text(TIFFTAG_IMAGEDESCRIPTION).find("\"utc\":\"2025-12-09T05:52:19.223456Z\""),
            std::string::npos);
    }
}

TEST(SequenceWriter, UtcTextAroundEpochsAndLeapDays) {
    EXPECT_EQ(CSequenceWriter::IsoUtc(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(CSequenceWriter::IsoUtc(-1000), "1969-12-31T23:59:59.999999Z");
    EXPECT_EQ(CSequenceWriter::IsoUtc(951782400000000000ll + 999999999),
              "2000-02-29T00:00:00.999999Z");
    EXPECT_EQ(CSequenceWriter::TiffDateTime(4107542399000000000ll), "2100:02:28 23:59:59");
}

TEST(SequenceWriter, PartsAreFullAtTheSplitLimitAndBeforeTheCap) {
    const std::vector<uint16_t> pixels = Pattern(0);
    CSequenceWriter writer;
    ASSERT_EQ(writer.Open(Wide(TmpFile("seqw_split.tiff")).c_str(), Context(), false), 1);
    EXPECT_FALSE(writer.PieceFull(1));
    ASSERT_EQ(writer.WriteFrame(FrameOf(pixels, 1)), 1);
    EXPECT_FALSE(writer.PieceFull(1));  // 0.6 MiB
    EXPECT_FALSE(writer.PieceFull(-1));
    ASSERT_EQ(writer.WriteFrame(FrameOf(pixels, 2)), 1);
    EXPECT_TRUE(writer.PieceFull(1));  // 1.2 MiB
    EXPECT_FALSE(writer.PieceFull(2));
    EXPECT_FALSE(writer.PieceFull(-1));  // a negative limit never splits
    CSequenceWriter::SetPartCapForTests(writer.Bytes() + 2 * kSequenceFrameBytes - 1);
    EXPECT_TRUE(writer.PieceFull(2000));
    CSequenceWriter::SetPartCapForTests(0);
    EXPECT_FALSE(writer.PieceFull(2000));
}

// The disk fills at every kind of place: inside the first page, inside a
// later page's strips and inside its directory. What was complete before
// stays readable, and nothing of the failed page remains.
TEST(SequenceWriter, AFullDiskLeavesEveryCompletePageReadable) {
    const std::vector<uint16_t> pixels = Pattern(5);
    const std::string path = TmpFile("seqw_full.tiff");
    // Sizes of a clean recording after each page.
    std::vector<int64_t> ends;
    {
        CSequenceWriter writer;
        ASSERT_EQ(writer.Open(Wide(path).c_str(), Context(), false), 1);
        for (uint32_t k = 1; k <= 3; ++k) {
            ASSERT_EQ(writer.WriteFrame(FrameOf(pixels, k)), 1);
            ends.push_back(writer.Bytes());
        }
    }
    const int64_t limits[] = {100, ends[0] - 10, ends[0] + 5000, ends[1] - 300, ends[1] - 2};
    const uint32_t complete[] = {0, 0, 1, 1, 1};
    for (size_t i = 0; i < std::size(limits); ++i) {
        CSequenceWriter writer;
        ASSERT_EQ(writer.Open(Wide(path).c_str(), Context(), false), 1);
        platform::SetFileWriteLimitForTests(limits[i]);
        uint32_t written = 0;
        while (written < 3 && writer.WriteFrame(FrameOf(pixels, written + 1)) == 1) ++written;
        platform::SetFileWriteLimitForTests(-1);
        EXPECT_EQ(written, complete[i]) << "limit " << limits[i];
        EXPECT_FALSE(writer.IsOpen());
        EXPECT_EQ(test::ReadAll(path).size(),
                  complete[i] == 0 ? 8u : static_cast<size_t>(ends[complete[i] - 1]));
        if (complete[i] == 0) continue;
        TiffFile file(path);
        ASSERT_NE(file.tiff, nullptr) << "limit " << limits[i];
        EXPECT_EQ(TIFFNumberOfDirectories(file.tiff), complete[i]);
        EXPECT_EQ(file.Page(), pixels);
    }
}

}  // namespace
}  // namespace kalvex
