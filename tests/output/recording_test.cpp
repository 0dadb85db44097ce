// AVI layout byte for byte, the raw and temperature streams, and what a full
// disk leaves behind.
#include <gtest/gtest.h>

#include <cstring>

#include "output/output_test_support.h"
#include "output/recorder.h"
#include "platform/platform.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

using test::Le32;
using test::ReadAll;
using test::Tag;
using test::TmpFile;
using test::Wide;

CDibImage Patterned(int32_t width, int32_t height, uint16_t bits, uint8_t seed) {
    CDibImage image;
    EXPECT_EQ(image.Create(width, height, bits), 1);
    for (size_t i = 0; i < image.ByteSize(); ++i)
        image.Pixels()[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return image;
}

struct WriteLimit {
    explicit WriteLimit(int64_t bytes) { platform::SetFileWriteLimitForTests(bytes); }
    ~WriteLimit() { platform::SetFileWriteLimitForTests(-1); }
};

// Records frames of colour through the recorder as the capture loop would.
std::vector<uint8_t> RecordAvi(const std::string &path, const std::vector<CDibImage> &frames,
                               uint32_t elapsedMs, bool slotOrder = false) {
    CRecorder recorder;
    const CThermoTableState table;
    CDibImage raw;
    EXPECT_EQ(recorder.Start(kRecordAvi, Wide(path).c_str(), raw, frames.at(0)), 1);
    for (const CDibImage &frame : frames) {
        bool failed = true;
        EXPECT_EQ(recorder.Write(kRecordAvi, raw, frame, table, slotOrder, 0, &failed), 1);
        EXPECT_FALSE(failed);
    }
    EXPECT_EQ(recorder.Stop(kRecordAvi, elapsedMs), 1);
    EXPECT_FALSE(recorder.Avi().IsOpen());
    return ReadAll(path);
}

TEST(Recording, AviOfThreeFullFramesByteForByte) {
    std::vector<CDibImage> frames;
    for (uint8_t s = 0; s < 3; ++s) frames.push_back(Patterned(640, 480, 24, s));
    const std::string path = TmpFile("three.avi");
    const auto b = RecordAvi(path, frames, 100);
    ASSERT_EQ(b.size(), 2765112u);
    EXPECT_EQ(Tag(b, 0), "RIFF");
    EXPECT_EQ(Le32(b, 4), 2765104u);
    EXPECT_EQ(Tag(b, 8), "AVI ");
    EXPECT_EQ(Tag(b, 12), "LIST");
    EXPECT_EQ(Le32(b, 16), 200u);
    EXPECT_EQ(Tag(b, 20), "hdrl");
    EXPECT_EQ(Tag(b, 24), "avih");
    EXPECT_EQ(Le32(b, 28), 56u);
    EXPECT_EQ(Le32(b, 32), 100000000u / 3000u);  // 3 frames in 100 ms
    EXPECT_EQ(Le32(b, 36), 0xC1E10040u);
    EXPECT_EQ(Le32(b, 40), 0u);
    EXPECT_EQ(Le32(b, 44), 0x00010010u);
    EXPECT_EQ(Le32(b, 48), 3u);
    EXPECT_EQ(Le32(b, 52), 0u);
    EXPECT_EQ(Le32(b, 56), 1u);
    EXPECT_EQ(Le32(b, 60), 921608u);
    EXPECT_EQ(Le32(b, 64), 640u);
    EXPECT_EQ(Le32(b, 68), 480u);
    EXPECT_EQ(Tag(b, 88), "LIST");
    EXPECT_EQ(Le32(b, 92), 124u);
    EXPECT_EQ(Tag(b, 96), "strl");
    EXPECT_EQ(Tag(b, 100), "strh");
    EXPECT_EQ(Le32(b, 104), 64u);
    EXPECT_EQ(Tag(b, 108), "vids");
    EXPECT_EQ(Tag(b, 112), "DIB ");
    EXPECT_EQ(Le32(b, 128), 1000000000u / 3000u);
    EXPECT_EQ(Le32(b, 132), 10000000u);
    EXPECT_EQ(Le32(b, 140), 3u);
    EXPECT_EQ(Le32(b, 144), 921608u);
    EXPECT_EQ(Tag(b, 172), "strf");
    EXPECT_EQ(Le32(b, 176), 40u);
    EXPECT_EQ(Le32(b, 180), 40u);
    EXPECT_EQ(Le32(b, 184), 640u);
    EXPECT_EQ(Le32(b, 188), 480u);
    EXPECT_EQ(test::Le16(b, 192), 1);
    EXPECT_EQ(test::Le16(b, 194), 24);
    EXPECT_EQ(Tag(b, 220), "LIST");
    EXPECT_EQ(Le32(b, 224), 2764828u);
    EXPECT_EQ(Tag(b, 228), "movi");
    for (size_t k = 0; k < 3; ++k) {
        const size_t chunk = 232 + k * 921608;
        EXPECT_EQ(Tag(b, chunk), "00db");
        EXPECT_EQ(Le32(b, chunk + 4), 921600u);
        EXPECT_EQ(std::memcmp(b.data() + chunk + 8, frames[k].Pixels(), 921600), 0) << k;
    }
    const size_t idx = 232 + 3 * 921608;
    EXPECT_EQ(Tag(b, idx), "idx1");
    EXPECT_EQ(Le32(b, idx + 4), 48u);
    const uint32_t offsets[3] = {4, 921612, 1843220};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(Tag(b, idx + 8 + 16 * k), "00db");
        EXPECT_EQ(Le32(b, idx + 12 + 16 * k), 0x10u);
        EXPECT_EQ(Le32(b, idx + 16 + 16 * k), offsets[k]);
        EXPECT_EQ(Le32(b, idx + 20 + 16 * k), 921600u);
    }
    KALVEX_EXPECT_AVI_PLAYS(path, 640, 480, 3);
}

// The structural check stands in for a decoder where none can run, so it must
// see damage a decoder would.
TEST(Recording, AviCheckSeesBrokenHeadersFramesAndIndex) {
    const std::vector<CDibImage> frames(3, Patterned(8, 4, 24, 1));
    const std::string path = TmpFile("checked.avi");
    const std::vector<uint8_t> good = RecordAvi(path, frames, 100);
    ASSERT_EQ(test::CheckAvi(path, 8, 4, 3), "");
    EXPECT_NE(test::CheckAvi(path, 8, 4, 2), "");
    EXPECT_NE(test::CheckAvi(path, 4, 8, 3), "");
    const size_t idx = 232 + 3 * (8 + 96);
    const auto damaged = [&](size_t at, uint32_t value, size_t keep) {
        std::vector<uint8_t> b = good;
        if (at + 4 <= b.size()) std::memcpy(b.data() + at, &value, 4);
        b.resize(keep);
        const std::string broken = TmpFile("broken.avi");
        std::FILE *f = std::fopen(broken.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f == nullptr) return std::string("not written");
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
        return test::CheckAvi(broken, 8, 4, 3);
    };
    EXPECT_EQ(damaged(0, 0x46464952u /* "RIFF" */, good.size()), "");
    EXPECT_NE(damaged(48, 2, good.size()), "");             // avih total frames
    EXPECT_NE(damaged(140, 4, good.size()), "");            // strh length
    EXPECT_NE(damaged(128, 1, good.size()), "");            // strh scale against avih
    EXPECT_NE(damaged(232 + 4, 95, good.size()), "");       // a frame's chunk size
    EXPECT_NE(damaged(idx + 16 + 16, 5, good.size()), "");  // the second entry's offset
    EXPECT_NE(damaged(44, 0x10000, good.size()), "");       // "indexed" flag gone
    EXPECT_NE(damaged(4, static_cast<uint32_t>(good.size() - 12), good.size() - 4), "");
}

TEST(Recording, RateFieldsFromFramesOverElapsedTime) {
    const std::vector<CDibImage> frames(100, Patterned(8, 4, 24, 1));
    const std::string path = TmpFile("rate.avi");
    const auto b = RecordAvi(path, frames, 4000);
    EXPECT_EQ(Le32(b, 32), 40000u);
    EXPECT_EQ(Le32(b, 128), 400000u);
    EXPECT_EQ(Le32(b, 48), 100u);
    EXPECT_EQ(CRecorder::FinishRate(100, 4000), 2500u);
    KALVEX_EXPECT_AVI_PLAYS(path, 8, 4, 100);
}

TEST(Recording, RateIsTimedFromTheFirstFrame) {
    // Ten frames 100 ms apart after a 1200 ms hold, stopped 100 ms after the last.
    CRecorder recorder;
    const CThermoTableState table;
    CDibImage raw;
    const CDibImage colour = Patterned(8, 4, 24, 1);
    const std::string path = TmpFile("first_frame.avi");
    ASSERT_EQ(recorder.Start(kRecordAvi, Wide(path).c_str(), raw, colour), 1);
    for (uint32_t n = 0; n < 10; ++n)
        recorder.Write(kRecordAvi, raw, colour, table, false, 1200 + 100 * n, nullptr);
    ASSERT_EQ(recorder.Stop(kRecordAvi, 2200), 1);
    const auto b = ReadAll(path);
    EXPECT_EQ(Le32(b, 32), 100000u);  // 10.00 frames per second
    // One frame: the time from it to the stop.
    ASSERT_EQ(recorder.Start(kRecordAvi, Wide(path).c_str(), raw, colour), 1);
    recorder.Write(kRecordAvi, raw, colour, table, false, 1200, nullptr);
    ASSERT_EQ(recorder.Stop(kRecordAvi, 1450), 1);
    EXPECT_EQ(Le32(ReadAll(path), 32), 250000u);
}

TEST(Recording, PiecesSplitAtTheUnsignedLimitOrBefore4GiB) {
    CRecorder recorder;
    const CThermoTableState table;
    CDibImage raw;
    const CDibImage colour = Patterned(64, 48, 24, 2);
    const uint32_t chunk = 64 * 48 * 3 + 8;
    ASSERT_EQ(recorder.Start(kRecordAvi, Wide(TmpFile("cap.avi")).c_str(), raw, colour), 1);
    recorder.Write(kRecordAvi, raw, colour, table, false, 0, nullptr);
    EXPECT_FALSE(recorder.PieceFull(-1));  // as unsigned: above any size
    EXPECT_FALSE(recorder.PieceFull(INT32_MIN));
    EXPECT_FALSE(recorder.PieceFull(1));
    EXPECT_TRUE(recorder.PieceFull(0));
    // Room for exactly one more frame and the index, then none.
    AviWriter::SetFileCapForTests(8 + 224 + 2 * chunk + 8 + 32);
    EXPECT_FALSE(recorder.PieceFull(-1));
    bool failed = true;
    recorder.Write(kRecordAvi, raw, colour, table, false, 0, &failed);
    EXPECT_FALSE(failed);
    EXPECT_TRUE(recorder.PieceFull(-1));
    // A writer driven past the guard refuses the frame and keeps a valid file.
    recorder.Write(kRecordAvi, raw, colour, table, false, 0, &failed);
    AviWriter::SetFileCapForTests(0);
    EXPECT_TRUE(failed);
    const auto b = ReadAll(TmpFile("cap.avi"));
    ASSERT_EQ(b.size(), 8u + 224 + 2 * chunk + 8 + 32);
    EXPECT_EQ(Le32(b, 48), 2u);
    KALVEX_EXPECT_AVI_PLAYS(TmpFile("cap.avi"), 64, 48, 2);
}

TEST(Recording, OpenHeaderAssumesThirtyFramesPerSecond) {
    AviWriter avi;
    avi.SetFormat(8, 4, 24);
    avi.SetRate(30);
    const std::string path = TmpFile("open.avi");
    ASSERT_EQ(avi.Open(Wide(path).c_str()), 1);
    EXPECT_EQ(avi.RiffSize(), 224u);
    avi.Reset();
    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 232u);
    EXPECT_EQ(Le32(b, 4), 0u);
    EXPECT_EQ(Le32(b, 32), 33333u);
    EXPECT_EQ(Le32(b, 128), 333333u);
    EXPECT_EQ(Le32(b, 224), 0u);
}

TEST(Recording, NoFramesOrNoElapsedTimeFinishAtThirtyFramesPerSecond) {
    EXPECT_EQ(CRecorder::FinishRate(0, 500), 3000u);
    EXPECT_EQ(CRecorder::FinishRate(5, 0), 3000u);
    EXPECT_EQ(CRecorder::FinishRate(1, 200000), 1u);          // never 0: the header divides by it
    EXPECT_EQ(CRecorder::FinishRate(50000, 1000), 5000000u);  // no 32-bit overflow

    const std::string empty = TmpFile("empty.avi");
    CRecorder recorder;
    CDibImage raw;
    ASSERT_EQ(recorder.Start(kRecordAvi, Wide(empty).c_str(), raw, Patterned(8, 4, 24, 0)), 1);
    ASSERT_EQ(recorder.Stop(kRecordAvi, 1234), 1);
    auto b = ReadAll(empty);
    ASSERT_EQ(b.size(), 240u);
    EXPECT_EQ(Le32(b, 32), 33333u);
    EXPECT_EQ(Le32(b, 128), 333333u);
    EXPECT_EQ(Le32(b, 48), 0u);

    const std::vector<CDibImage> frames(2, Patterned(8, 4, 24, 3));
    b = RecordAvi(TmpFile("instant.avi"), frames, 0);
    EXPECT_EQ(Le32(b, 32), 33333u);
    EXPECT_EQ(Le32(b, 48), 2u);
}

TEST(Recording, SlotOrderReversesAviFramesAndKeepsStreamRows) {
    const CDibImage colour = Patterned(8, 4, 24, 9);
    const auto b = RecordAvi(TmpFile("flipped.avi"), {colour}, 33, true);
    const auto stride = static_cast<size_t>(colour.Stride());
    for (int32_t k = 0; k < 4; ++k)
        EXPECT_EQ(std::memcmp(b.data() + 240 + k * stride, colour.Row(3 - k), stride), 0) << k;

    // Raw stream: camera line order (rows reversed) by default, slot order with the flag.
    const CDibImage raw = Patterned(8, 4, 16, 5);
    const CThermoTableState table;
    for (const bool slotOrder : {false, true}) {
        const std::string path = TmpFile(slotOrder ? "slot.raw" : "camera.raw");
        CRecorder recorder;
        ASSERT_EQ(recorder.Start(kRecordRaw, Wide(path).c_str(), raw, colour), 1);
        bool failed = true;
        EXPECT_EQ(recorder.Write(kRecordRaw, raw, colour, table, slotOrder, 0, &failed), 0);
        EXPECT_FALSE(failed);
        EXPECT_EQ(recorder.Write(kRecordRaw, raw, colour, table, slotOrder, 0, &failed), 0);
        EXPECT_EQ(recorder.Stop(kRecordRaw, 0), 1);
        const auto s = ReadAll(path);
        ASSERT_EQ(s.size(), 2 * raw.ByteSize());
        const auto rs = static_cast<size_t>(raw.Stride());
        for (int32_t k = 0; k < 4; ++k)
            EXPECT_EQ(
                std::memcmp(s.data() + raw.ByteSize() + k * rs, raw.Row(slotOrder ? k : 3 - k), rs),
                0);
    }
}

TEST(Recording, TemperatureStreamHoldsInterpolatedFloats) {
    CThermoTableState table;
    table.loaded = {{1000, 10.0f}, {3000, 30.0f}};
    table.count = 2;
    InterpolateAllRawValues(table.ActivePoints(), table.interpolated);
    CDibImage raw;
    ASSERT_EQ(raw.Create(4, 3, 16), 1);
    for (int32_t r = 0; r < 3; ++r)
        for (int32_t c = 0; c < 4; ++c)
            reinterpret_cast<uint16_t *>(raw.Row(r))[c] =
                static_cast<uint16_t>(1000 + 100 * (4 * r + c));
    const std::string path = TmpFile("temps.bin");
    CRecorder recorder;
    ASSERT_EQ(recorder.Start(kRecordTemperature, Wide(path).c_str(), raw, CDibImage()), 1);
    bool failed = true;
    EXPECT_EQ(recorder.Write(kRecordTemperature, raw, CDibImage(), table, false, 0, &failed), 0);
    EXPECT_FALSE(failed);
    EXPECT_EQ(recorder.Stop(kRecordTemperature, 0), 1);
    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 48u);
    std::vector<float> values(12);
    std::memcpy(values.data(), b.data(), 48);
    for (int32_t k = 0; k < 3; ++k)
        for (int32_t c = 0; c < 4; ++c) {
            const auto rawValue = reinterpret_cast<const uint16_t *>(raw.Row(2 - k))[c];
            EXPECT_EQ(values[static_cast<size_t>(4 * k + c)],
                      table.InterpolateTemperature(rawValue));
        }
    EXPECT_FLOAT_EQ(values[0], 18.0f);  // row 2, column 0: raw 1800
}

TEST(Recording, StopOfUnknownKindsChangesNothing) {
    CRecorder recorder;
    EXPECT_EQ(recorder.Stop(0, 0), 0);
    EXPECT_EQ(recorder.Stop(4, 0), 0);
    EXPECT_EQ(recorder.Stop(-1, 0), 0);
    CDibImage none;
    EXPECT_EQ(recorder.Start(4, Wide(TmpFile("kind4")).c_str(), none, none), 0);
    EXPECT_EQ(recorder.Start(kRecordAvi, Wide(TmpFile("no/dir/x.avi")).c_str(), none,
                             Patterned(8, 4, 24, 0)),
              0);
}

TEST(Recording, LongerExistingFileIsReplaced) {
    const std::string path = TmpFile("replace.avi");
    {
        std::vector<CDibImage> many(4, Patterned(64, 48, 24, 2));
        RecordAvi(path, many, 100);
    }
    const auto b = RecordAvi(path, {Patterned(8, 4, 24, 1)}, 100);
    EXPECT_EQ(b.size(), 240u + 96 + 24);  // 240 + frames x (frameBytes + 24)
}

TEST(Recording, FullDiskFinalisesTheFramesWritten) {
    const CDibImage colour = Patterned(64, 48, 24, 4);
    const uint32_t chunk = 64 * 48 * 3 + 8;
    const CThermoTableState table;
    CDibImage raw;
    // Room for two frames and part of a third (enough for the index), then
    // exactly two frames (no room for the index).
    for (const int64_t limit : {int64_t{232} + 2 * chunk + 500, int64_t{232} + 2 * chunk}) {
        const std::string path = TmpFile("full" + std::to_string(limit) + ".avi");
        CRecorder recorder;
        ASSERT_EQ(recorder.Start(kRecordAvi, Wide(path).c_str(), raw, colour), 1);
        int failures = 0;
        {
            WriteLimit full(limit);
            for (int n = 0; n < 5; ++n) {
                bool failed = false;
                recorder.Write(kRecordAvi, raw, colour, table, false, 100, &failed);
                failures += failed ? 1 : 0;
            }
        }
        EXPECT_EQ(failures, 1);
        EXPECT_FALSE(recorder.Avi().IsOpen());
        EXPECT_EQ(recorder.Stop(kRecordAvi, 100), 1);
        const auto b = ReadAll(path);
        const bool indexed = limit > 232 + 2 * chunk;
        ASSERT_EQ(b.size(), 232u + 2 * chunk + (indexed ? 40u : 0u)) << limit;
        EXPECT_EQ(Le32(b, 4), b.size() - 8);
        EXPECT_EQ(Le32(b, 48), 2u);
        EXPECT_EQ(Le32(b, 140), 2u);
        EXPECT_EQ(Le32(b, 224), 4u + 2 * chunk);
        EXPECT_EQ(Le32(b, 44), indexed ? 0x00010010u : 0x00010000u);
        KALVEX_EXPECT_AVI_PLAYS(path, 64, 48, 2);
    }
}

TEST(Recording, FullDiskCutsAStreamBackToWholeFrames) {
    const CDibImage raw = Patterned(16, 8, 16, 6);
    const CThermoTableState table;
    const std::string path = TmpFile("full.raw");
    CRecorder recorder;
    ASSERT_EQ(recorder.Start(kRecordRaw, Wide(path).c_str(), raw, CDibImage()), 1);
    int failures = 0;
    {
        WriteLimit full(static_cast<int64_t>(raw.ByteSize()) * 3 - 10);
        for (int n = 0; n < 5; ++n) {
            bool failed = false;
            recorder.Write(kRecordRaw, raw, CDibImage(), table, true, 0, &failed);
            failures += failed ? 1 : 0;
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(recorder.StreamOpen());
    EXPECT_EQ(ReadAll(path).size(), 2 * raw.ByteSize());
}

TEST(Recording, WindowsPathSplitting) {
    const struct {
        const wchar_t *path, *drive, *dir, *name, *ext;
    } cases[] = {
        {L"C:\\rec\\movie.avi", L"C:", L"\\rec\\", L"movie", L".avi"},
        {L"/tmp/a/b.c/name", L"", L"/tmp/a/b.c/", L"name", L""},
        {L"name.tar.gz", L"", L"", L"name.tar", L".gz"},
        {L"D:x.avi", L"D:", L"", L"x", L".avi"},
        {L"dir/sub\\.hidden", L"", L"dir/sub\\", L"", L".hidden"},
        {L"", L"", L"", L"", L""},
    };
    for (const auto &c : cases) {
        const PathParts p = SplitPath(c.path);
        EXPECT_EQ(p.drive, c.drive);
        EXPECT_EQ(p.directory, c.dir);
        EXPECT_EQ(p.name, c.name);
        EXPECT_EQ(p.extension, c.ext);
    }
    EXPECT_EQ(NumberedPath(SplitPath(L"C:\\rec\\movie.avi"), 2), L"C:\\rec\\movie_2.avi");
    EXPECT_EQ(NumberedPath(SplitPath(L"/tmp/out/rec"), 11), L"/tmp/out/rec_11");
}

}  // namespace
}  // namespace kalvex
