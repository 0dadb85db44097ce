#include "device/row_copy.h"

#include <cstddef>
#include <cstring>

namespace kalvex {

void CopyRowsReversed(uint8_t *destination, const uint8_t *source, int width, int height) {
    if (destination == nullptr || source == nullptr || width <= 0 || height <= 0) return;
    const size_t rowBytes = static_cast<size_t>(width) * 2;
    for (size_t i = 0, rows = static_cast<size_t>(height); i < rows; ++i)
        std::memcpy(destination + i * rowBytes, source + (rows - 1 - i) * rowBytes, rowBytes);
}

void CopyRowsReversedLiteral(uint8_t *destination, const uint8_t *source, int width, int height) {
    if (destination == nullptr || source == nullptr || width <= 0 || height <= 0) return;
    for (int i = 0; i < height; ++i) {
        const size_t dstRow = static_cast<size_t>(i) * static_cast<size_t>(width) * 2;
        const size_t srcRow = static_cast<size_t>(height - 1 - i) * static_cast<size_t>(width) * 2;
        for (size_t x = 0; x < static_cast<size_t>(width) * 2; x += 2) {
            destination[dstRow + x] = source[srcRow + x];
            destination[dstRow + x + 1] = source[srcRow + x + 1];
        }
    }
}

}  // namespace kalvex
