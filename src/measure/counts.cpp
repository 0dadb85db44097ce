#include "measure/counts.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KALVEX_COUNTS_SSE2 1
#endif

namespace kalvex::measure {

RawRange CountSamples(const uint16_t *src, int n, uint32_t *counts) {
    uint32_t *c0 = counts, *c1 = c0 + kCountIndices, *c2 = c1 + kCountIndices,
             *c3 = c2 + kCountIndices;
    const auto count4 = [&](uint64_t w) {  // four indices; their order does not matter
        ++c0[w & 0xFFFFu];
        ++c1[w >> 16 & 0xFFFFu];
        ++c2[w >> 32 & 0xFFFFu];
        ++c3[w >> 48];
    };
    uint16_t low = 0xFFFF, high = 0;
    int i = 0;
#if defined(KALVEX_COUNTS_SSE2) && (defined(__x86_64__) || defined(_M_X64))
    if (n >= 8) {
        // One load of eight serves both: the range in signed lanes (the top
        // bit flipped), the counts of the samples clamped to the last index.
        const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
        const __m128i last = _mm_set1_epi16(static_cast<short>(kLookupEntries));
        __m128i vlow = _mm_set1_epi16(0x7FFF), vhigh = _mm_set1_epi16(static_cast<short>(0x8000));
        for (; i + 8 <= n; i += 8) {
            const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i flipped = _mm_xor_si128(raw, flip);
            vlow = _mm_min_epi16(vlow, flipped);
            vhigh = _mm_max_epi16(vhigh, flipped);
            const __m128i index = _mm_sub_epi16(raw, _mm_subs_epu16(raw, last));
            count4(static_cast<uint64_t>(_mm_cvtsi128_si64(index)));
            count4(static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(index, index))));
        }
        // Halves folded onto each other down to one lane.
        vlow = _mm_min_epi16(vlow, _mm_shuffle_epi32(vlow, 0x4E));
        vhigh = _mm_max_epi16(vhigh, _mm_shuffle_epi32(vhigh, 0x4E));
        vlow = _mm_min_epi16(vlow, _mm_shuffle_epi32(vlow, 0xB1));
        vhigh = _mm_max_epi16(vhigh, _mm_shuffle_epi32(vhigh, 0xB1));
        vlow = _mm_min_epi16(vlow, _mm_srli_epi32(vlow, 16));
        vhigh = _mm_max_epi16(vhigh, _mm_srli_epi32(vhigh, 16));
        low = static_cast<uint16_t>(_mm_cvtsi128_si32(vlow) ^ 0x8000);
        high = static_cast<uint16_t>(_mm_cvtsi128_si32(vhigh) ^ 0x8000);
    }
#endif
    for (; i + 4 <= n; i += 4) {
        uint64_t w = 0;
        for (int k = 0; k < 4; ++k) {
            low = std::min(low, src[i + k]), high = std::max(high, src[i + k]);
            w |= uint64_t{CountIndex(src[i + k])} << (16 * k);
        }
        count4(w);
    }
    for (; i < n; ++i) {
        low = std::min(low, src[i]), high = std::max(high, src[i]);
        ++c0[CountIndex(src[i])];
    }
    return {low, high};
}

void AddUpParts(uint32_t *counts, size_t first, size_t last, uint32_t *total) {
    const uint32_t *c0 = counts, *c1 = c0 + kCountIndices, *c2 = c1 + kCountIndices,
                   *c3 = c2 + kCountIndices;
    for (size_t v = first; v <= last; ++v) total[v] = c0[v] + c1[v] + c2[v] + c3[v];
    for (size_t part = 0; part < kCountParts; ++part)
        std::fill(counts + part * kCountIndices + first, counts + part * kCountIndices + last + 1,
                  0u);
}

}  // namespace kalvex::measure
