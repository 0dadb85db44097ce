// Reading a temperature-table file whole into memory.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace kalvex {

// Larger files are refused: even a version-2 file of many full tables stays
// far below this.
inline constexpr int64_t kMaxTableFileSize = int64_t{64} << 20;

// Reads the whole file; false when it cannot be opened, is empty or too
// large, or delivers fewer bytes than its size.
bool ReadTableFile(const wchar_t *path, std::vector<uint8_t> &out);

// The reading core: exactly `size` bytes through `read`, which reads up to
// `length` bytes into `buffer` and reports the count (0 at the end).
using TableChunkReader = std::function<bool(void *buffer, uint32_t length, uint32_t *got)>;
bool ReadTableBytes(int64_t size, const TableChunkReader &read, std::vector<uint8_t> &out);

}  // namespace kalvex
