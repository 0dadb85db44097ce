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

#define KALVEX_EXPECT_AVI_PLAYS(path, width, height, frames)                                      \
    do {                                                                                          \
        if (!::kalvex::test::HaveFfprobe()) GTEST_SKIP() << "ffprobe is not installed";           \
        EXPECT_EQ(                                                                                \
            ::kalvex::test::ProbeAvi(path),                                                       \
            std::to_string(width) + "," + std::to_string(height) + "," + std::to_string(frames)); \
    } while (0)

}  // namespace kalvex::test
