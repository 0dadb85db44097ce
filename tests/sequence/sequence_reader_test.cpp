// Sequences read back through the public reader: raw counts and metadata as
// written, temperatures computed again with another scene equal to what the
// instance's table gives, and damaged or foreign files refused with a code.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kalvex_sequence.h"
#include "output/output_test_support.h"
#include "output/sequence_writer.h"
#include "sequence/sequence_reader.h"
#include "thermal/radiance.h"
#include "thermal/table_bytes.h"
#include "thermal/thermo_table.h"

namespace kalvex {
namespace {

using test::ReadAll;
using test::TmpFile;
using test::Wide;

std::vector<CalibrationPoint> Points() {
    std::vector<CalibrationPoint> p;
    for (int k = 0; k < 15; ++k)
        p.push_back({1000 + k * 1000, -20.0f + 30.0f * static_cast<float>(k)});
    return p;
}

// A table as an instance holds it: drift compensation on, shifted for 25 C.
struct InstanceTable {
    InstanceTable() {
        table.LinkReferenceTemperature(&reference);
        table.SetCorrectionMode(12);
        bytes = test::Version4Bytes(30.0f, 0.001f, 0.5f, Points());
        EXPECT_EQ(table.LoadTableFromMemory(bytes.data(), bytes.size()), 1);
    }
    ~InstanceTable() { table.LinkReferenceTemperature(nullptr); }
    std::atomic<float> reference{25.0f};
    CThermoTable table;
    std::vector<uint8_t> bytes;
};

std::vector<uint16_t> Ramp(uint32_t frame) {
    std::vector<uint16_t> v(size_t{kSequenceWidth} * kSequenceHeight);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<uint16_t>((i * 3 + frame * 101) % 16384);
    return v;
}

// Writes frames with the table's context; returns the frames written.
std::vector<std::vector<uint16_t>> Record(const std::string &path, const CThermoTableState &state,
                                          uint32_t frames, bool compress) {
    SequenceContext context;
    context.table = *state.fileBytes;
    context.tableCrc = state.fileCrc;
    context.tableVersion = state.version;
    context.tablePoints = state.count;
    context.correctionMode = 12;
    context.scene = DefaultScene();
    context.libraryVersion = 2032717;
    CSequenceWriter writer;
    EXPECT_EQ(writer.Open(Wide(path).c_str(), context, compress), 1);
    std::vector<std::vector<uint16_t>> out;
    for (uint32_t k = 0; k < frames; ++k) {
        out.push_back(Ramp(k));
        SequenceFrame f;
        f.topRow = reinterpret_cast<const uint8_t *>(out.back().data());
        f.stride = kSequenceWidth * 2;
        f.info.size = sizeof f.info;
        f.info.frameId = 0xF0000000u + k;
        f.info.sequence = k + 1;
        f.info.cameraFrame = 10 + 2 * k;
        f.info.timestampNs = 5000000000ll + 100000000ll * k;
        f.info.utcNs = 1765259539000000000ll + 100000000ll * k;
        f.info.internalTemperature = 25.25f;
        f.info.tableCrc = state.fileCrc;
        f.info.origin = k == 0 ? KALVEX_FRAME_ONESHOT : KALVEX_FRAME_STREAM;
        f.info.flags = KALVEX_FRAME_HAS_TABLE | (k == 0 ? KALVEX_FRAME_FIRST_AFTER_NUC : 0u);
        f.info.scene = DefaultScene();
        f.tableReference = state.driftReference;
        EXPECT_EQ(writer.WriteFrame(f), 1);
    }
    EXPECT_EQ(writer.Close(), 1);
    return out;
}

TEST(SequenceReader, RawMetadataAndTemperaturesComeBackAsRecorded) {
    InstanceTable instance;
    for (const bool compress : {true, false}) {
        const std::string path = TmpFile(compress ? "seqr_deflate.tiff" : "seqr_plain.tiff");
        const auto frames = Record(path, *instance.table.State(), 3, compress);
        const int32_t seq = KalvexSeq_OpenA(path.c_str());
        ASSERT_GT(seq, 0);
        EXPECT_EQ(KalvexSeq_Count(seq), 3);
        std::vector<uint16_t> raw(frames[0].size());
        std::vector<float> temps(raw.size());
        KalvexScene half = DefaultScene();
        half.emissivity = 0.5f;
        for (int32_t k = 0; k < 3; ++k) {
            ASSERT_EQ(KalvexSeq_ReadRaw(seq, k, raw.data(), static_cast<int32_t>(raw.size() * 2)),
                      1);
            EXPECT_EQ(raw, frames[static_cast<size_t>(k)]);
            KalvexFrameInfo info{};
            info.size = sizeof info;
            ASSERT_EQ(KalvexSeq_GetInfo(seq, k, &info), 1);
            EXPECT_EQ(info.frameId, 0xF0000000u + static_cast<uint32_t>(k));
            EXPECT_EQ(info.sequence, static_cast<uint32_t>(k + 1));
            EXPECT_EQ(info.cameraFrame, static_cast<uint32_t>(10 + 2 * k));
            EXPECT_EQ(info.timestampNs, 5000000000ll + 100000000ll * k);
            EXPECT_EQ(info.utcNs, 1765259539000000000ll + 100000000ll * k);
            EXPECT_EQ(info.internalTemperature, 25.25f);
            EXPECT_EQ(info.origin, k == 0 ? KALVEX_FRAME_ONESHOT : KALVEX_FRAME_STREAM);
            EXPECT_EQ(info.tableCrc, instance.table.State()->fileCrc);
        }
        // Measured again at emissivity 0.5: what the instance's table gives
        // with that scene, bit for bit; and as recorded without a scene.
        ASSERT_EQ(KalvexSeq_ReadTemperatures(seq, 2, &half, temps.data(),
                                             static_cast<int32_t>(temps.size() * 4)),
                  1);
        ASSERT_EQ(instance.table.SetScene(std::make_shared<const SceneModel>(half), nullptr), 1);
        auto state = instance.table.State();
        size_t same = 0, measured = 0;
        for (size_t i = 0; i < temps.size(); ++i) {
            const float expected = state->LookupTemperature(frames[2][i]);
            same += std::memcmp(&expected, &temps[i], 4) == 0;
            measured += expected != kNoTemperature;
        }
        EXPECT_EQ(same, temps.size());
        EXPECT_GT(measured, temps.size() / 2);
        ASSERT_EQ(instance.table.SetScene(nullptr, nullptr), 1);
        state = instance.table.State();
        ASSERT_EQ(KalvexSeq_ReadTemperatures(seq, 2, nullptr, temps.data(),
                                             static_cast<int32_t>(temps.size() * 4)),
                  1);
        same = 0;
        for (size_t i = 0; i < temps.size(); ++i) {
            const float expected = state->LookupTemperature(frames[2][i]);
            same += std::memcmp(&expected, &temps[i], 4) == 0;
        }
        EXPECT_EQ(same, temps.size());

        std::vector<uint8_t> table(instance.bytes.size());
        EXPECT_EQ(KalvexSeq_GetTable(seq, nullptr, 0), static_cast<int32_t>(table.size()));
        EXPECT_EQ(KalvexSeq_GetTable(seq, table.data(), static_cast<int32_t>(table.size())),
                  static_cast<int32_t>(table.size()));
        EXPECT_EQ(table, instance.bytes);
        // Bad arguments, and the handle once closed.
        EXPECT_EQ(KalvexSeq_ReadRaw(seq, 3, raw.data(), 614400), KALVEX_SEQ_E_ARGUMENT);
        EXPECT_EQ(KalvexSeq_ReadRaw(seq, -1, raw.data(), 614400), KALVEX_SEQ_E_ARGUMENT);
        EXPECT_EQ(KalvexSeq_ReadRaw(seq, 0, raw.data(), 614399), KALVEX_SEQ_E_ARGUMENT);
        EXPECT_EQ(KalvexSeq_ReadRaw(seq, 0, nullptr, 614400), KALVEX_SEQ_E_ARGUMENT);
        KalvexFrameInfo small{};
        small.size = KALVEX_FRAME_INFO_MIN_SIZE - 1;
        EXPECT_EQ(KalvexSeq_GetInfo(seq, 0, &small), KALVEX_SEQ_E_ARGUMENT);
        EXPECT_EQ(KalvexSeq_Close(seq), 1);
        EXPECT_EQ(KalvexSeq_Count(seq), KALVEX_SEQ_E_HANDLE);
        EXPECT_EQ(KalvexSeq_Close(seq), KALVEX_SEQ_E_HANDLE);
    }
}

void Replace(std::vector<uint8_t> &bytes, const std::string &from, const std::string &to) {
    ASSERT_EQ(from.size(), to.size());
    auto it = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(it, bytes.end()) << from;
    std::copy(to.begin(), to.end(), it);
}

int32_t OpenBytes(const std::vector<uint8_t> &bytes) {
    CSequenceReader reader;
    return reader.Open(MemorySource(bytes.data(), bytes.size()));
}

TEST(SequenceReader, DamagedAndForeignFilesAreRefusedWithTheirCode) {
    InstanceTable instance;
    const std::string path = TmpFile("seqr_hostile.tiff");
    Record(path, *instance.table.State(), 2, false);
    const std::vector<uint8_t> good = ReadAll(path);
    ASSERT_EQ(OpenBytes(good), 1);

    EXPECT_EQ(KalvexSeq_OpenA(TmpFile("seqr_absent.tiff").c_str()), KALVEX_SEQ_E_OPEN);
    EXPECT_EQ(KalvexSeq_OpenA(nullptr), KALVEX_SEQ_E_ARGUMENT);
    EXPECT_EQ(OpenBytes({'n', 'o', 't', ' ', 'a', ' ', 't', 'i', 'f', 'f'}), KALVEX_SEQ_E_NOT_TIFF);
    EXPECT_EQ(OpenBytes({}), KALVEX_SEQ_E_NOT_TIFF);
    EXPECT_EQ(OpenBytes({'I', 'I', 42, 0, 0, 0, 0, 0}), KALVEX_SEQ_E_NOT_TIFF);

    std::vector<uint8_t> bytes = good;
    Replace(bytes, "{\"sequence\":2,", "{\"sequence\":2;");
    EXPECT_EQ(OpenBytes(bytes), KALVEX_SEQ_E_METADATA);
    bytes = good;
    Replace(bytes, "\"sequence\":1,", "\"sequenc_\":1,");
    EXPECT_EQ(OpenBytes(bytes), KALVEX_SEQ_E_METADATA);
    bytes = good;
    Replace(bytes, "\"emissivity\":1,", "\"emissivity\":x,");
    EXPECT_EQ(OpenBytes(bytes), KALVEX_SEQ_E_METADATA);
    // A table whose bytes no longer match their CRC.
    bytes = good;
    Replace(bytes, "VELKAR THERMO", "VELKAR THERMA");
    EXPECT_EQ(OpenBytes(bytes), KALVEX_SEQ_E_TABLE);

    // A TIFF of another size or depth.
    const std::string other = TmpFile("seqr_small.tiff");
    {
        TIFF *t = TIFFOpen(other.c_str(), "w");
        ASSERT_NE(t, nullptr);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 2);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        uint8_t px[8] = {};
        TIFFWriteEncodedStrip(t, 0, px, 8);
        TIFFClose(t);
    }
    EXPECT_EQ(KalvexSeq_OpenA(other.c_str()), KALVEX_SEQ_E_FORMAT);

    // Cut anywhere: a clear code, or the pages that are still whole; every
    // page the reader keeps reads whole or reports truncation.
    std::vector<uint16_t> raw(size_t{kSequenceWidth} * kSequenceHeight);
    for (size_t cut = 4; cut < good.size(); cut += good.size() / 97) {
        const std::vector<uint8_t> part(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
        CSequenceReader reader;
        const int result = reader.Open(MemorySource(part.data(), part.size()));
        if (result != 1) {
            EXPECT_LT(result, 0);
            continue;
        }
        EXPECT_LE(reader.Count(), 2);
        for (int32_t k = 0; k < reader.Count(); ++k) {
            const int r = reader.ReadRaw(k, raw.data());
            EXPECT_TRUE(r == 1 || r == KALVEX_SEQ_E_TRUNCATED) << r;
        }
    }
}

}  // namespace
}  // namespace kalvex
