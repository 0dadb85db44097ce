// Helpers for the still-image and recording tests: files in the test folder,
// little-endian reads and a check of AVI files by an independent reader.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kalvex::test {

inline std::string TmpFile(const std::string &name) {
    std::filesystem::create_directories(KALVEX_TEST_TMPDIR);
    return std::string(KALVEX_TEST_TMPDIR) + "/" + name;
}
inline std::wstring Wide(const std::string &narrow) {
    return {narrow.begin(), narrow.end()};
}

inline std::vector<uint8_t> ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline uint32_t Le32(const std::vector<uint8_t> &b, size_t at) {
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 |
           static_cast<uint32_t>(b.at(at + 3)) << 24;
}
inline uint16_t Le16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
inline std::string Tag(const std::vector<uint8_t> &b, size_t at) {
    return std::string(reinterpret_cast<const char *>(b.data() + at), 4);
}

// An independent reading of an AVI file's RIFF structure: the headers agree
// with each other and with the expected size and frame count, every chunk
// lies inside the file, the frames are whole, and the index points at them.
// "" when it holds, else what is wrong.
inline std::string CheckAvi(const std::string &path, uint32_t width, uint32_t height,
                            uint32_t frames) {
    const std::vector<uint8_t> b = ReadAll(path);
    const auto fault = [](const std::string &what) { return what; };
    if (b.size() < 12 || Tag(b, 0) != "RIFF" || Tag(b, 8) != "AVI ") return fault("not RIFF AVI");
    if (Le32(b, 4) + 8ull != b.size()) return fault("RIFF size is not the file's");
    struct Chunk {
        std::string id;
        size_t data, size;
    };
    // The chunks of [from, to): a list's own id is its first four data bytes.
    const auto chunks = [&](size_t from, size_t to, std::vector<Chunk> &out) {
        while (from + 8 <= to) {
            const size_t size = Le32(b, from + 4);
            if (size > to - from - 8) return false;
            out.push_back({Tag(b, from), from + 8, size});
            from += 8 + size + (size & 1);
        }
        return from == to || from == to + 1;
    };
    std::vector<Chunk> top, hdrl, strl, movi;
    if (!chunks(12, b.size(), top)) return fault("a chunk runs past the file");
    const Chunk *hdrlList = nullptr, *moviList = nullptr, *idx1 = nullptr;
    for (const Chunk &c : top) {
        const std::string list = c.id == "LIST" && c.size >= 4 ? Tag(b, c.data) : "";
        if (list == "hdrl") hdrlList = &c;
        if (list == "movi") moviList = &c;
        if (c.id == "idx1") idx1 = &c;
    }
    if (hdrlList == nullptr || moviList == nullptr) return fault("no hdrl or movi list");
    if (!chunks(hdrlList->data + 4, hdrlList->data + hdrlList->size, hdrl) || hdrl.size() < 2 ||
        hdrl[0].id != "avih" || hdrl[0].size != 56 || hdrl[1].id != "LIST" ||
        Tag(b, hdrl[1].data) != "strl")
        return fault("hdrl is not avih and strl");
    if (!chunks(hdrl[1].data + 4, hdrl[1].data + hdrl[1].size, strl) || strl.size() < 2 ||
        strl[0].id != "strh" || strl[0].size < 56 || strl[1].id != "strf" || strl[1].size < 40)
        return fault("strl is not strh and strf");
    const size_t avih = hdrl[0].data, strh = strl[0].data, strf = strl[1].data;
    if (Le32(b, avih + 32) != width || Le32(b, avih + 36) != height || Le32(b, strf + 4) != width ||
        Le32(b, strf + 8) != height)
        return fault("size is not " + std::to_string(width) + "x" + std::to_string(height));
    if (Le32(b, avih + 16) != frames || Le32(b, strh + 32) != frames)
        return fault("frame counts say " + std::to_string(Le32(b, avih + 16)) + " and " +
                     std::to_string(Le32(b, strh + 32)));
    if (Le32(b, avih + 24) != 1 || Tag(b, strh) != "vids") return fault("not one video stream");
    const uint64_t scale = Le32(b, strh + 20), rate = Le32(b, strh + 24);
    const uint64_t perFrame = Le32(b, avih);
    // Microseconds per frame against the stream's rate: equal but for rounding.
    if (scale == 0 || rate == 0 || perFrame == 0 ||
        (perFrame * rate > scale * 1000000 + rate || scale * 1000000 > perFrame * rate + rate))
        return fault("avih and strh give different rates");
    const uint64_t bits = Le16(b, strf + 14);
    const uint64_t frameBytes = (width * bits + 31) / 32 * 4 * height;
    if (!chunks(moviList->data + 4, moviList->data + moviList->size, movi))
        return fault("a frame runs past movi");
    if (movi.size() != frames) return fault(std::to_string(movi.size()) + " frames in movi");
    for (const Chunk &c : movi)
        if (c.id != "00db" || c.size != frameBytes) return fault("a frame is not whole");
    const bool indexed = (Le32(b, avih + 12) & 0x10u) != 0;
    if (indexed != (idx1 != nullptr)) return fault("index flag and idx1 disagree");
    if (idx1 == nullptr) return "";
    if (idx1->size != 16ull * frames) return fault("index entries are not one a frame");
    for (size_t k = 0; k < frames; ++k) {
        const size_t e = idx1->data + 16 * k;
        // Offsets count from the "movi" id.
        if (Tag(b, e) != "00db" || Le32(b, e + 8) + moviList->data + 8 != movi[k].data ||
            Le32(b, e + 12) != movi[k].size)
            return fault("index entry " + std::to_string(k) + " misses its frame");
    }
    return "";
}

inline bool HaveFfprobe() {
    return std::system("ffprobe -version > /dev/null 2>&1") == 0;
}

// "width,height,frames" as ffprobe counts them after decoding every frame.
inline std::string ProbeAvi(const std::string &path) {
    const std::string report = path + ".probe.txt";
    const std::string command =
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=width,height,nb_read_frames -of csv=p=0 \"" +
        path + "\" > \"" + report + "\" 2>&1";
    if (std::system(command.c_str()) != 0) return "ffprobe failed";
    const std::vector<uint8_t> bytes = ReadAll(report);
    std::string out(bytes.begin(), bytes.end());
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// The file's own structure everywhere; where the build expects ffprobe (it is
// not reachable from the Windows build's programs), a decoder's reading too,
// and then a missing ffprobe fails.
#if KALVEX_TEST_FFPROBE
#define KALVEX_EXPECT_AVI_DECODES(path, width, height, frames)                                    \
    do {                                                                                          \
        ASSERT_TRUE(::kalvex::test::HaveFfprobe()) << "ffprobe is not installed";                 \
        EXPECT_EQ(                                                                                \
            ::kalvex::test::ProbeAvi(path),                                                       \
            std::to_string(width) + "," + std::to_string(height) + "," + std::to_string(frames)); \
    } while (0)
#else
#define KALVEX_EXPECT_AVI_DECODES(path, width, height, frames) \
    do {                                                       \
    } while (0)
#endif
#define KALVEX_EXPECT_AVI_PLAYS(path, width, height, frames)                  \
    do {                                                                      \
        EXPECT_EQ(::kalvex::test::CheckAvi(path, width, height, frames), ""); \
        KALVEX_EXPECT_AVI_DECODES(path, width, height, frames);               \
    } while (0)

}  // namespace kalvex::test
