// Runs the kalvex program and reads what it wrote.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kalvex.h"
#include "kalvex_sim.h"

namespace kalvex::tooltest {

struct Result {
    int status = -1;
    std::string out, err;
};

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string Quote(const std::string &arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A fresh folder per test, named after it.
inline std::string Folder(const std::string &name) {
    std::filesystem::path dir = std::filesystem::path(KALVEX_TEST_TMPDIR) / "tool" / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

// Runs the program in dir with args; stdout and stderr are files, not a terminal.
inline Result Kalvex(const std::string &dir, const std::vector<std::string> &args) {
    std::string command = "cd " + Quote(dir) + " && " + Quote(KALVEX_TOOL_PATH);
    for (const std::string &a : args) command += " " + Quote(a);
    command +=
        " >" + Quote(dir + "/stdout.txt") + " 2>" + Quote(dir + "/stderr.txt") + " </dev/null";
    Result run;
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadFile(dir + "/stdout.txt");
    run.err = ReadFile(dir + "/stderr.txt");
    return run;
}

inline int64_t Size(const std::string &path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

inline uint32_t Le32(const std::string &bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return v;
}

inline float TemperatureAt(const std::string &array, int row, int column) {
    float t = 0;
    std::memcpy(
        &t, array.data() + (static_cast<size_t>(row) * 640 + static_cast<size_t>(column)) * 4, 4);
    return t;
}

}  // namespace kalvex::tooltest
