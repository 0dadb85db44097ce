// Copies of a frame of 16-bit samples with the row order reversed: destination
// row i is source row height - 1 - i. Rows are packed (width samples each).
#pragma once

#include <cstdint>

namespace kalvex {

// The fast copy used by the frame readers (one memcpy per row).
void CopyRowsReversed(uint8_t *destination, const uint8_t *source, int width, int height);

// The literal sample-by-sample form; the fast copy must match it bit for bit.
void CopyRowsReversedLiteral(uint8_t *destination, const uint8_t *source, int width, int height);

}  // namespace kalvex
