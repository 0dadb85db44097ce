#include "thermal/temperature_rows.h"

#include <algorithm>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define KALVEX_TEMPERATURE_AVX2 1
#endif

namespace kalvex {

namespace {
constexpr uint16_t kSentinel = 16384;

void ScalarRow(const float *lut, const uint16_t *src, float *dst, int n) {
    for (int c = 0; c < n; ++c) dst[c] = lut[std::min(src[c], kSentinel)];
}

#ifdef KALVEX_TEMPERATURE_AVX2
// Eight gathers at a time: the frame's writes, not the table reads, are what
// bound this loop, and the scalar loop cannot keep the stores busy.
__attribute__((target("avx2"))) void Avx2Row(const float *lut, const uint16_t *src, float *dst,
                                             int n) {
    const __m256i sentinel = _mm256_set1_epi16(static_cast<short>(kSentinel));
    int c = 0;
    for (; c + 16 <= n; c += 16) {
        __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + c));
        raw = _mm256_min_epu16(raw, sentinel);
        const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(raw));
        const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(raw, 1));
        _mm256_storeu_ps(dst + c, _mm256_i32gather_ps(lut, lo, 4));
        _mm256_storeu_ps(dst + c + 8, _mm256_i32gather_ps(lut, hi, 4));
    }
    ScalarRow(lut, src + c, dst + c, n - c);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif
}  // namespace

void LookupTemperatureRow(const float *lut, const uint16_t *src, float *dst, int n) {
#ifdef KALVEX_TEMPERATURE_AVX2
    if (HasAvx2()) {
        Avx2Row(lut, src, dst, n);
        return;
    }
#endif
    ScalarRow(lut, src, dst, n);
}

void LookupTemperatureRowLiteral(const float *lut, const uint16_t *src, float *dst, int n) {
    for (int c = 0; c < n; ++c) dst[c] = src[c] < kSentinel ? lut[src[c]] : lut[kSentinel];
}

}  // namespace kalvex
