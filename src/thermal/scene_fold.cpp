#include "thermal/scene_fold.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "thermal/temperature_rows.h"
#include "thermal/thermo_table.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define KALVEX_SCENE_AVX2 1
#endif

namespace kalvex {

namespace {

constexpr uint16_t kSentinel = 16384;

bool SameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// out[i] = Compensate(in[i], e), computing each run of equal inputs once.
void CompensateAll(const SceneModel &model, double emissivity, const std::vector<float> &in,
                   std::vector<float> &out) {
    out.resize(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        out[i] =
            i > 0 && SameBits(in[i], in[i - 1]) ? out[i - 1] : model.Compensate(in[i], emissivity);
    }
}

void ClassRowScalar(const float *tables, const uint8_t *classOf, const uint16_t *src, float *dst,
                    int n) {
    for (int c = 0; c < n; ++c) {
        dst[c] = tables[size_t{classOf[c]} * SceneFold::kLookupSize + std::min(src[c], kSentinel)];
    }
}

#ifdef KALVEX_SCENE_AVX2
// The default row's gather with the class's table offset added to each index.
__attribute__((target("avx2"))) void ClassRowAvx2(const float *tables, const uint8_t *classOf,
                                                  const uint16_t *src, float *dst, int n) {
    const __m256i sentinel = _mm256_set1_epi16(static_cast<short>(kSentinel));
    const __m256i stride = _mm256_set1_epi32(static_cast<int>(SceneFold::kLookupSize));
    int c = 0;
    for (; c + 16 <= n; c += 16) {
        __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + c));
        raw = _mm256_min_epu16(raw, sentinel);
        const __m128i cls = _mm_loadu_si128(reinterpret_cast<const __m128i *>(classOf + c));
        const __m256i clsLo = _mm256_mullo_epi32(_mm256_cvtepu8_epi32(cls), stride);
        const __m256i clsHi =
            _mm256_mullo_epi32(_mm256_cvtepu8_epi32(_mm_srli_si128(cls, 8)), stride);
        const __m256i lo =
            _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(raw)), clsLo);
        const __m256i hi =
            _mm256_add_epi32(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(raw, 1)), clsHi);
        _mm256_storeu_ps(dst + c, _mm256_i32gather_ps(tables, lo, 4));
        _mm256_storeu_ps(dst + c + 8, _mm256_i32gather_ps(tables, hi, 4));
    }
    ClassRowScalar(tables, classOf + c, src + c, dst + c, n - c);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

std::shared_ptr<const EmissivityMap> EmissivityMap::FromOutputRows(const float *values,
                                                                   bool reversed) {
    auto map = std::make_shared<EmissivityMap>();
    const size_t pixels = size_t{kWidth} * kHeight;
    map->values.resize(pixels);
    map->classOf.resize(pixels);
    bool classed = true;
    for (int32_t r = 0; r < kHeight; ++r) {
        const float *in = values + size_t(r) * kWidth;
        const size_t row = static_cast<size_t>(reversed ? kHeight - 1 - r : r);
        for (int32_t x = 0; x < kWidth; ++x) {
            const double e = ClampFraction(in[x]);
            const size_t p = row * kWidth + static_cast<size_t>(x);
            map->values[p] = static_cast<float>(e);
            if (!classed) continue;
            auto it = std::find(map->classes.begin(), map->classes.end(), e);
            if (it == map->classes.end()) {
                if (map->classes.size() == kMaxClasses) {
                    classed = false;
                    continue;
                }
                it = map->classes.insert(map->classes.end(), e);
            }
            map->classOf[p] = static_cast<uint8_t>(it - map->classes.begin());
        }
    }
    if (!classed) {
        map->classOf.clear();
        map->classes.clear();
    }
    return map;
}

std::shared_ptr<const SceneFold> SceneFold::Build(const std::shared_ptr<const SceneModel> &model,
                                                  const std::shared_ptr<const EmissivityMap> &map,
                                                  const std::vector<float> &lookup,
                                                  const std::vector<float> &interpolated) {
    if (!model) return nullptr;
    const bool uniform = !model->Identity(model->Emissivity());
    if (!uniform && !map) return nullptr;
    auto fold = std::make_shared<SceneFold>();
    fold->model_ = model;
    fold->map_ = map;
    if (uniform) {
        CompensateAll(*model, model->Emissivity(), lookup, fold->lookup_);
        // Most of the interpolation array repeats the lookup's temperatures.
        fold->interpolated_.resize(interpolated.size());
        for (size_t i = 0; i < interpolated.size(); ++i) {
            if (i < kSentinel && i < lookup.size() && SameBits(interpolated[i], lookup[i])) {
                fold->interpolated_[i] = fold->lookup_[i];
            } else if (i > 0 && SameBits(interpolated[i], interpolated[i - 1])) {
                fold->interpolated_[i] = fold->interpolated_[i - 1];
            } else {
                fold->interpolated_[i] = model->Compensate(interpolated[i], model->Emissivity());
            }
        }
    }
    if (map) {
        fold->blackBody_ = lookup;
        fold->blackBody_.resize(kLookupSize, kNoTemperature);
        if (!map->classOf.empty()) {
            // B depends on the raw value alone: once for every class.
            std::vector<double> offsets(kLookupSize);
            for (size_t i = 0; i < kLookupSize; ++i)
                offsets[i] = model->Offset(fold->blackBody_[i]);
            fold->classLookups_.resize(map->classes.size() * kLookupSize);
            for (size_t c = 0; c < map->classes.size(); ++c) {
                const double e = map->classes[c];
                float *out = fold->classLookups_.data() + c * kLookupSize;
                for (size_t i = 0; i < kLookupSize; ++i) {
                    const float bb = fold->blackBody_[i];
                    out[i] = model->Identity(e) || bb == kNoTemperature
                                 ? bb
                                 : model->FromOffset(offsets[i], e);
                }
            }
        }
    }
    return fold;
}

float SceneFold::AtPixel(float bb, int32_t lookupRaw, int32_t row, int32_t x) const {
    if (!map_ || row < 0 || row >= EmissivityMap::kHeight || x < 0 || x >= EmissivityMap::kWidth)
        return model_->Compensate(bb, model_->Emissivity());
    const size_t p = size_t(row) * EmissivityMap::kWidth + static_cast<size_t>(x);
    if (!map_->classOf.empty() && lookupRaw >= 0 && lookupRaw < static_cast<int32_t>(kLookupSize) &&
        SameBits(bb, blackBody_[static_cast<size_t>(lookupRaw)])) {
        return classLookups_[size_t{map_->classOf[p]} * kLookupSize +
                             static_cast<size_t>(lookupRaw)];
    }
    return model_->Compensate(bb, map_->values[p]);
}

void SceneFold::LookupRow(const uint16_t *src, int32_t row, float *dst, int n) const {
    if (row < 0 || row >= EmissivityMap::kHeight || n > EmissivityMap::kWidth ||
        map_->classOf.empty()) {
        LookupRowLiteral(src, row, dst, n);
        return;
    }
    const uint8_t *classOf = map_->classOf.data() + size_t(row) * EmissivityMap::kWidth;
#ifdef KALVEX_SCENE_AVX2
    if (HasAvx2()) {
        ClassRowAvx2(classLookups_.data(), classOf, src, dst, n);
        return;
    }
#endif
    ClassRowScalar(classLookups_.data(), classOf, src, dst, n);
}

void SceneFold::LookupRowLiteral(const uint16_t *src, int32_t row, float *dst, int n) const {
    for (int c = 0; c < n; ++c) {
        const uint16_t raw = std::min(src[c], kSentinel);
        const float bb = blackBody_[raw];
        if (row < 0 || row >= EmissivityMap::kHeight || c >= EmissivityMap::kWidth) {
            dst[c] = model_->Compensate(bb, model_->Emissivity());
        } else {
            dst[c] = model_->Compensate(
                bb, map_->values[size_t(row) * EmissivityMap::kWidth + static_cast<size_t>(c)]);
        }
    }
}

}  // namespace kalvex
