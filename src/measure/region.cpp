#include "measure/region.h"

#include "measure/counts.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KALVEX_REGION_SSE2 1
#endif

namespace kalvex::measure {

namespace {

bool Inside(int64_t x, int64_t y, int32_t width, int32_t height) {
    return x >= 0 && y >= 0 && x < width && y < height;
}

int64_t FloorDiv(int64_t n, int64_t d) {  // d > 0
    return n >= 0 ? n / d : -((-n + d - 1) / d);
}
int64_t CeilDiv(int64_t n, int64_t d) {
    return -FloorDiv(-n, d);
}

// The largest k >= 0 with k * k <= v (v >= 0).
int64_t Isqrt(int64_t v) {
    auto k = static_cast<int64_t>(std::sqrt(static_cast<double>(v)));
    while (k * k > v) --k;
    while ((k + 1) * (k + 1) <= v) ++k;
    return k;
}

// (x - cx)^2 ry^2 + (y - cy)^2 rx^2 <= rx^2 ry^2, line by line; a disc is rx = ry.
void EllipseSpans(int64_t cx, int64_t cy, int64_t rx, int64_t ry, std::vector<Span> &spans) {
    for (int64_t dy = -ry; dy <= ry; ++dy) {
        int64_t half = 0;
        if (rx == ry) {
            half = Isqrt(rx * rx - dy * dy);
        } else {
            const int64_t rest = rx * rx * ry * ry - dy * dy * rx * rx;
            half = Isqrt(rest / (ry * ry));
            while (half > 0 && half * half * ry * ry > rest) --half;
            while ((half + 1) * (half + 1) * ry * ry <= rest) ++half;
        }
        spans.push_back({static_cast<int32_t>(cy + dy), static_cast<int32_t>(cx - half),
                         static_cast<int32_t>(cx + half)});
    }
}

void LineSpans(int64_t x0, int64_t y0, int64_t x1, int64_t y1, std::vector<Span> &spans) {
    const int64_t dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int64_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
        spans.push_back(
            {static_cast<int32_t>(y0), static_cast<int32_t>(x0), static_cast<int32_t>(x0)});
        if (x0 == x1 && y0 == y1) break;
        const int64_t e2 = 2 * err;
        if (e2 >= dy) err += dy, x0 += sx;
        if (e2 <= dx) err += dx, y0 += sy;
    }
}

void PolygonSpans(const int32_t *v, int32_t n, std::vector<Span> &spans) {
    int32_t minX = v[0], maxX = v[0], minY = v[1], maxY = v[1];
    for (int32_t i = 1; i < n; ++i) {
        minX = std::min(minX, v[2 * i]), maxX = std::max(maxX, v[2 * i]);
        minY = std::min(minY, v[2 * i + 1]), maxY = std::max(maxY, v[2 * i + 1]);
    }
    const auto w = static_cast<size_t>(maxX - minX + 1);
    std::vector<uint8_t> row(w);
    struct Crossing {
        int64_t num, den, ax;  // x = ax + num / den, den > 0
        double Value() const {
            return static_cast<double>(ax) + static_cast<double>(num) / static_cast<double>(den);
        }
    };
    std::vector<Crossing> xs;
    for (int32_t y = minY; y <= maxY; ++y) {
        std::fill(row.begin(), row.end(), uint8_t{0});
        xs.clear();
        for (int32_t i = 0; i < n; ++i) {
            const int64_t ax = v[2 * i], ay = v[2 * i + 1];
            const int64_t bx = v[2 * ((i + 1) % n)], by = v[2 * ((i + 1) % n) + 1];
            if (ay == by) {
                if (y == ay)
                    for (int64_t x = std::min(ax, bx); x <= std::max(ax, bx); ++x)
                        row[static_cast<size_t>(x - minX)] = 1;
                continue;
            }
            int64_t num = (y - ay) * (bx - ax), den = by - ay;
            if (den < 0) num = -num, den = -den;
            // Edge pixels belong to the region.
            if (y >= std::min(ay, by) && y <= std::max(ay, by) && num % den == 0)
                row[static_cast<size_t>(ax + num / den - minX)] = 1;
            // Half-open in y, so that a vertex between two edges counts once.
            if ((ay > y) != (by > y)) xs.push_back({num, den, ax});
        }
        std::sort(xs.begin(), xs.end(),
                  [](const Crossing &a, const Crossing &b) { return a.Value() < b.Value(); });
        for (size_t k = 0; k + 1 < xs.size(); k += 2) {
            const int64_t from = xs[k].ax + CeilDiv(xs[k].num, xs[k].den);
            const int64_t to = xs[k + 1].ax + FloorDiv(xs[k + 1].num, xs[k + 1].den);
            for (int64_t x = from; x <= to; ++x) row[static_cast<size_t>(x - minX)] = 1;
        }
        for (size_t x = 0; x < w;) {
            if (!row[x]) {
                ++x;
                continue;
            }
            size_t end = x;
            while (end + 1 < w && row[end + 1]) ++end;
            spans.push_back({y, static_cast<int32_t>(x) + minX, static_cast<int32_t>(end) + minX});
            x = end + 1;
        }
    }
}

}  // namespace

int64_t Region::Pixels() const {
    int64_t n = 0;
    for (const Span &s : spans) n += s.x1 - s.x0 + 1;
    return n;
}

bool BuildRegion(const KalvexRoi &roi, int32_t width, int32_t height, Region &out) {
    Region r;
    r.kind = roi.kind;
    const int64_t a = roi.v[0], b = roi.v[1], c = roi.v[2], d = roi.v[3];
    switch (roi.kind) {
        case KALVEX_ROI_SPOT:
            if (c < 0 || !Inside(a - c, b - c, width, height) ||
                !Inside(a + c, b + c, width, height))
                return false;
            EllipseSpans(a, b, c, c, r.spans);
            break;
        case KALVEX_ROI_BOX:
            if (c < 1 || d < 1 || !Inside(a, b, width, height) ||
                !Inside(a + c - 1, b + d - 1, width, height))
                return false;
            for (int64_t y = b; y < b + d; ++y)
                r.spans.push_back({static_cast<int32_t>(y), static_cast<int32_t>(a),
                                   static_cast<int32_t>(a + c - 1)});
            break;
        case KALVEX_ROI_ELLIPSE:
            if (c < 1 || d < 1 || !Inside(a - c, b - d, width, height) ||
                !Inside(a + c, b + d, width, height))
                return false;
            EllipseSpans(a, b, c, d, r.spans);
            break;
        case KALVEX_ROI_LINE:
            if (!Inside(a, b, width, height) || !Inside(c, d, width, height) || (a == c && b == d))
                return false;
            LineSpans(a, b, c, d, r.spans);
            break;
        case KALVEX_ROI_POLYGON: {
            if (roi.count < 3 || roi.count > KALVEX_ROI_MAX_VERTICES) return false;
            int64_t twiceArea = 0;
            for (int32_t i = 0; i < roi.count; ++i) {
                if (!Inside(roi.v[2 * i], roi.v[2 * i + 1], width, height)) return false;
                const int32_t j = (i + 1) % roi.count;
                twiceArea += int64_t{roi.v[2 * i]} * roi.v[2 * j + 1] -
                             int64_t{roi.v[2 * j]} * roi.v[2 * i + 1];
            }
            if (twiceArea == 0) return false;
            PolygonSpans(roi.v, roi.count, r.spans);
            break;
        }
        default:
            return false;
    }
    if (roi.flags & ~uint32_t{KALVEX_ROI_EMISSIVITY | KALVEX_ROI_REFLECTED}) return false;
    if (roi.flags & KALVEX_ROI_EMISSIVITY) {
        if (!(roi.emissivity > 0.0f && roi.emissivity <= 1.0f)) return false;
        r.ownEmissivity = true;
        r.emissivity = roi.emissivity;
    }
    if (roi.flags & KALVEX_ROI_REFLECTED) {
        if (!(roi.reflected >= kRadianceLowCelsius && roi.reflected <= kRadianceHighCelsius))
            return false;
        r.ownReflected = true;
        r.reflected = roi.reflected;
    }
    out = std::move(r);
    return true;
}

namespace {

constexpr uint32_t kSpecialExponent = 0xFFu;  // infinities and NaN

uint32_t ExponentOf(uint32_t bits) {
    return bits >> 23 & 0xFFu;
}

// The value as a signed integer times 2^(max(exponent, 1) - 150).
int64_t SignedMantissa(uint32_t bits, uint32_t exponent) {
    const int64_t mantissa = int64_t{bits & 0x7FFFFFu} | (exponent != 0 ? 0x800000 : 0);
    return bits >> 31 ? -mantissa : mantissa;
}

}  // namespace

void ExactSum::Add(float v, int64_t times) {
    const auto bits = std::bit_cast<uint32_t>(v);
    const uint32_t exponent = ExponentOf(bits);
    if (exponent == kSpecialExponent) {
        special_ += v;
        return;
    }
    // 24 bits of mantissa times at most 2^31 pixels: no total of a region
    // reaches 2^63.
    perExponent_[exponent] += SignedMantissa(bits, exponent) * times;
}

void ExactSum::AddAll(const float *t, int n) {
    // Neighbours mostly share an exponent: add their mantissas in a register.
    uint32_t current = 0;
    int64_t run = 0;
    for (int i = 0; i < n; ++i) {
        if (t[i] == kNoTemperature) continue;
        const auto bits = std::bit_cast<uint32_t>(t[i]);
        const uint32_t exponent = ExponentOf(bits);
        if (exponent == kSpecialExponent) {
            special_ += t[i];
            continue;
        }
        if (exponent != current) {
            perExponent_[current] += run;
            current = exponent, run = 0;
        }
        run += SignedMantissa(bits, exponent);
    }
    perExponent_[current] += run;
}

double ExactSum::Value() const {
    // Smallest first; the integers themselves are exact, so any fixed order
    // gives every caller the same double.
    double sum = 0;
    for (int e = 0; e < kExponents; ++e)
        if (perExponent_[e] != 0)
            sum += std::ldexp(static_cast<double>(perExponent_[e]), std::max(e, 1) - 150);
    return sum + special_;
}

void StatsAccumulator::Add(const float *t, int n, int32_t x0, int32_t y) {
    if (!haveReference_) {
        for (int i = 0; i < n; ++i) {
            if (t[i] == kNoTemperature) continue;
            reference_ = t[i];
            haveReference_ = true;
            break;
        }
    }
    // Sums of differences from the region's first temperature stay small, so
    // float partial sums over one run keep their precision; they are folded
    // into doubles per run. The loop has no branch the data decides.
    const float ref = reference_;
    float s[4] = {0, 0, 0, 0}, q[4] = {0, 0, 0, 0};
    float mn = std::numeric_limits<float>::infinity(), mx = -mn;
    int64_t missing = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const float v = t[i + k];
            const bool ok = v != kNoTemperature;
            const float d = ok ? v - ref : 0.0f;
            s[k] += d;
            q[k] += d * d;
            mn = ok && v < mn ? v : mn;
            mx = ok && v > mx ? v : mx;
            missing += !ok;
        }
    }
    for (; i < n; ++i) {
        const float v = t[i];
        const bool ok = v != kNoTemperature;
        const float d = ok ? v - ref : 0.0f;
        s[0] += d;
        q[0] += d * d;
        mn = ok && v < mn ? v : mn;
        mx = ok && v > mx ? v : mx;
        missing += !ok;
    }
    const int64_t valid = n - missing;
    exact_.AddAll(t, n);
    if (valid == 0) {
        missing_ += missing;
        return;
    }
    // The first pixel in reading order holding a new extreme. The search is
    // bounded: a run of nothing but NaN has no pixel equal to its extremes.
    if (count_ == 0 || mx > max_) {
        int k = 0;
        while (k < n - 1 && t[k] != mx) ++k;
        max_ = mx, maxX_ = x0 + k, maxY_ = y;
    }
    if (count_ == 0 || mn < min_) {
        int k = 0;
        while (k < n - 1 && t[k] != mn) ++k;
        min_ = mn, minX_ = x0 + k, minY_ = y;
    }
    sum_ += (static_cast<double>(s[0]) + s[1]) + (static_cast<double>(s[2]) + s[3]);
    squares_ += (static_cast<double>(q[0]) + q[1]) + (static_cast<double>(q[2]) + q[3]);
    count_ += valid;
    missing_ += missing;
}

KalvexStats StatsAccumulator::Result() const {
    KalvexStats s{};
    s.count = static_cast<int32_t>(count_);
    s.missing = static_cast<int32_t>(missing_);
    if (count_ == 0) {
        s.min = s.max = s.mean = s.std = kNoTemperature;
        s.hottestX = s.hottestY = s.coldestX = s.coldestY = -1;
        return s;
    }
    const double n = static_cast<double>(count_);
    const double offset = sum_ / n;  // mean - reference
    s.min = min_;
    s.max = max_;
    s.mean = static_cast<float>(exact_.Value() / n);
    s.std = static_cast<float>(std::sqrt(std::max(0.0, squares_ / n - offset * offset)));
    s.hottestX = maxX_, s.hottestY = maxY_, s.coldestX = minX_, s.coldestY = minY_;
    return s;
}

KalvexScene RegionScene(const Region &region, const KalvexScene &base) {
    KalvexScene scene = base;
    if (region.ownEmissivity) scene.emissivity = region.emissivity;
    if (region.ownReflected) scene.reflected = region.reflected;
    return scene;
}

namespace {
template <class Row>
KalvexStats Walk(const Region &region, std::vector<float> *values, Row row) {
    StatsAccumulator acc;
    std::vector<float> t;
    if (values) values->clear();
    for (const Span &s : region.spans) {
        const int n = s.x1 - s.x0 + 1;
        t.resize(static_cast<size_t>(n));
        row(s, t.data());
        acc.Add(t.data(), n, s.x0, s.y);
        if (values) values->insert(values->end(), t.begin(), t.end());
    }
    return acc.Result();
}
}  // namespace

KalvexStats MeasureTableFrameLiteral(const TableFrame &frame, const Region &region,
                                     std::vector<float> *values) {
    const CThermoTableState &table = *frame.table;
    const auto rowOf = [&](int32_t y) {
        return frame.Pixels() +
               static_cast<size_t>(frame.height - 1 - y) * static_cast<size_t>(frame.width);
    };
    if (region.ownEmissivity || region.ownReflected) {
        // The region's own scene over the black-body lookup, one entry per raw value.
        const SceneModel model(RegionScene(region, frame.scene));
        std::vector<float> lut(SceneFold::kLookupSize);
        for (size_t v = 0; v < lut.size(); ++v)
            lut[v] = model.Compensate(table.lookup[v], model.Emissivity());
        return Walk(region, values, [&](const Span &s, float *t) {
            const uint16_t *src = rowOf(s.y) + s.x0;
            for (int32_t i = 0; i <= s.x1 - s.x0; ++i)
                t[i] = lut[std::min<uint16_t>(src[i], kLookupEntries)];
        });
    }
    if (table.scene && table.scene->HasMap()) {
        return Walk(region, values, [&](const Span &s, float *t) {
            const uint16_t *src = rowOf(s.y);
            const int32_t bufferRow = frame.height - 1 - s.y;
            for (int32_t x = s.x0; x <= s.x1; ++x)
                t[x - s.x0] = table.LookupTemperatureAt(src[x], bufferRow, x);
        });
    }
    const float *lut = table.LookupArray();
    return Walk(region, values, [&](const Span &s, float *t) {
        const uint16_t *src = rowOf(s.y) + s.x0;
        for (int32_t i = 0; i <= s.x1 - s.x0; ++i)
            t[i] = lut[std::min<uint16_t>(src[i], kLookupEntries)];
    });
}

namespace {

constexpr uint8_t kHottest = 1, kColdest = 2;

// One thread's scratch, reused from region to region: counts all zero
// between measurements, each span's lowest and highest raw value, and the
// values the region holds.
struct CountScratch {
    std::vector<uint32_t> counts = std::vector<uint32_t>(kCountParts * kCountIndices, 0);
    std::vector<uint32_t> total = std::vector<uint32_t>(kCountIndices, 0);  // the parts added up
    std::vector<uint8_t> marks = std::vector<uint8_t>(kCountIndices, 0);    // kHottest | kColdest
    std::vector<RawRange> spanRange;
    struct Held {
        float t;
        uint32_t count;
        uint16_t index;
    };
    std::vector<Held> held;
};

CountScratch &Scratch() {
    thread_local CountScratch scratch;
    return scratch;
}

// The first pixel in the region's order whose count index is hot, and the
// first whose index is cold; positions stay -1 when none is.
struct FirstPixels {
    int32_t hotX = -1, hotY = -1, coldX = -1, coldY = -1;
    // Pixel k of span s matched: true when both are now known.
    bool Take(const Span &s, int k, bool hot, bool cold) {
        if (hot && hotX < 0) hotX = s.x0 + k, hotY = s.y;
        if (cold && coldX < 0) coldX = s.x0 + k, coldY = s.y;
        return hotX >= 0 && coldX >= 0;
    }
};

// Each extreme at one raw value within the 14 bits (the usual case, a
// lookup that rises with the raw value): compare the samples themselves, in
// the spans whose range holds a value still looked for.
template <class RowOf>
FirstPixels FindTwoValues(const Region &region, const CountScratch &scratch, RowOf rowOf,
                          uint16_t hot, uint16_t cold) {
    FirstPixels found;
    for (size_t j = 0; j < region.spans.size(); ++j) {
        const Span &s = region.spans[j];
        const RawRange r = scratch.spanRange[j];
        const bool mayHot = found.hotX < 0 && r.low <= hot && hot <= r.high;
        const bool mayCold = found.coldX < 0 && r.low <= cold && cold <= r.high;
        if (!mayHot && !mayCold) continue;
        const uint16_t *src = rowOf(s.y) + s.x0;
        const int n = s.x1 - s.x0 + 1;
        int i = 0;
#ifdef KALVEX_REGION_SSE2
        const __m128i hv = _mm_set1_epi16(static_cast<short>(hot));
        const __m128i cv = _mm_set1_epi16(static_cast<short>(cold));
        for (; i + 8 <= n; i += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
            const __m128i match = _mm_or_si128(_mm_cmpeq_epi16(v, hv), _mm_cmpeq_epi16(v, cv));
            if (_mm_movemask_epi8(match) == 0) continue;
            for (int k = i; k < i + 8; ++k)
                if (found.Take(s, k, src[k] == hot, src[k] == cold)) return found;
        }
#endif
        for (; i < n; ++i)
            if (found.Take(s, i, src[i] == hot, src[i] == cold)) return found;
    }
    return found;
}

// Any other case: the count indices holding an extreme are marked, and the
// spans whose range reaches the marked ones looked through.
template <class RowOf>
FirstPixels FindMarked(const Region &region, const CountScratch &scratch, RowOf rowOf,
                       uint16_t lowMark, uint16_t highMark) {
    FirstPixels found;
    const uint8_t *marks = scratch.marks.data();
    for (size_t j = 0; j < region.spans.size(); ++j) {
        const Span &s = region.spans[j];
        const RawRange r = scratch.spanRange[j];
        if (CountIndex(r.high) < lowMark || CountIndex(r.low) > highMark) continue;
        const uint16_t *src = rowOf(s.y) + s.x0;
        for (int i = 0; i <= s.x1 - s.x0; ++i) {
            const uint8_t m = marks[CountIndex(src[i])];
            if (m != 0 && found.Take(s, i, m & kHottest, m & kColdest)) return found;
        }
    }
    return found;
}

// Statistics of the counted region; temperatureOf(index) is the temperature
// of the pixels counted at index. Leaves the counts zero.
template <class RowOf, class TemperatureOf>
KalvexStats FromCounts(const Region &region, CountScratch &scratch, RowOf rowOf, uint16_t low,
                       uint16_t high, TemperatureOf temperatureOf) {
    auto &held = scratch.held;
    held.clear();
    const size_t first = CountIndex(low), last = CountIndex(high);
    uint32_t *total = scratch.total.data();
    AddUpParts(scratch.counts.data(), first, last, total);
    for (size_t v = first; v <= last; ++v)
        if (total[v] != 0) held.push_back({temperatureOf(v), total[v], static_cast<uint16_t>(v)});

    // As the walk in order: extremes by strict comparison from infinities.
    ExactSum sum;
    int64_t count = 0, missing = 0;
    float mn = std::numeric_limits<float>::infinity(), mx = -mn;
    for (const CountScratch::Held &h : held) {
        if (h.t == kNoTemperature) {
            missing += h.count;
            continue;
        }
        count += h.count;
        sum.Add(h.t, h.count);
        mn = h.t < mn ? h.t : mn;
        mx = h.t > mx ? h.t : mx;
    }
    KalvexStats s{};
    s.count = static_cast<int32_t>(count);
    s.missing = static_cast<int32_t>(missing);
    s.hottestX = s.hottestY = s.coldestX = s.coldestY = -1;
    if (count == 0) {
        s.min = s.max = s.mean = s.std = kNoTemperature;
        return s;
    }
    const double n = static_cast<double>(count);
    const double mean = sum.Value() / n;
    double squares = 0;
    int hotValues = 0, coldValues = 0;
    uint16_t hot = 0, cold = 0;
    for (const CountScratch::Held &h : held) {
        if (h.t == kNoTemperature) continue;
        const double d = static_cast<double>(h.t) - mean;
        squares += d * d * h.count;
        if (h.t == mx) hot = h.index, ++hotValues;
        if (h.t == mn) cold = h.index, ++coldValues;
    }
    s.min = mn;
    s.max = mx;
    s.mean = static_cast<float>(mean);
    s.std = static_cast<float>(std::sqrt(squares / n));

    FirstPixels found;
    if (hotValues == 1 && coldValues == 1 && hot < kLookupEntries && cold < kLookupEntries) {
        found = FindTwoValues(region, scratch, rowOf, hot, cold);
    } else {
        uint8_t *marks = scratch.marks.data();
        uint16_t lowMark = kLookupEntries, highMark = 0;
        for (const CountScratch::Held &h : held) {
            const auto m =
                static_cast<uint8_t>((h.t == mx ? kHottest : 0) | (h.t == mn ? kColdest : 0));
            if (m == 0 || h.t == kNoTemperature) continue;
            marks[h.index] = m;
            lowMark = std::min(lowMark, h.index), highMark = std::max(highMark, h.index);
        }
        found = FindMarked(region, scratch, rowOf, lowMark, highMark);
        for (const CountScratch::Held &h : held) marks[h.index] = 0;
    }
    s.hottestX = found.hotX, s.hottestY = found.hotY;
    s.coldestX = found.coldX, s.coldestY = found.coldY;
    return s;
}

}  // namespace

KalvexStats MeasureTableFrame(const TableFrame &frame, const Region &region,
                              std::vector<float> *values) {
    const CThermoTableState &table = *frame.table;
    const bool own = region.ownEmissivity || region.ownReflected;
    if (values != nullptr || (!own && table.scene && table.scene->HasMap()))
        return MeasureTableFrameLiteral(frame, region, values);
    const auto rowOf = [&](int32_t y) {
        return frame.Pixels() +
               static_cast<size_t>(frame.height - 1 - y) * static_cast<size_t>(frame.width);
    };
    CountScratch &scratch = Scratch();
    scratch.spanRange.resize(region.spans.size());
    uint16_t low = 0xFFFF, high = 0;
    for (size_t j = 0; j < region.spans.size(); ++j) {
        const Span &s = region.spans[j];
        const uint16_t *src = rowOf(s.y) + s.x0;
        const int n = s.x1 - s.x0 + 1;
        const RawRange r = CountSamples(src, n, scratch.counts.data());
        scratch.spanRange[j] = r;
        low = std::min(low, r.low), high = std::max(high, r.high);
    }
    if (own) {
        // The region's own scene, only for the raw values it holds.
        const SceneModel model(RegionScene(region, frame.scene));
        return FromCounts(region, scratch, rowOf, low, high, [&](size_t v) {
            return model.Compensate(table.lookup[v], model.Emissivity());
        });
    }
    const float *lut = table.LookupArray();
    return FromCounts(region, scratch, rowOf, low, high, [&](size_t v) { return lut[v]; });
}

KalvexStats MeasureTemperatures(const float *temps, int32_t width, const Region &region,
                                const KalvexScene &base, std::vector<float> *values) {
    std::unique_ptr<SceneModel> model;
    if (region.ownEmissivity || region.ownReflected)
        model = std::make_unique<SceneModel>(RegionScene(region, base));
    return Walk(region, values, [&](const Span &s, float *t) {
        const float *src = temps + static_cast<size_t>(s.y) * static_cast<size_t>(width) + s.x0;
        for (int32_t i = 0; i <= s.x1 - s.x0; ++i)
            t[i] = model ? model->Compensate(src[i], model->Emissivity()) : src[i];
    });
}

double StatisticOf(const KalvexStats &stats, int32_t statistic) {
    if (stats.count == 0) return std::numeric_limits<double>::quiet_NaN();
    switch (statistic) {
        case KALVEX_STAT_MIN:
            return stats.min;
        case KALVEX_STAT_MAX:
            return stats.max;
        case KALVEX_STAT_MEAN:
            return stats.mean;
        case KALVEX_STAT_STD:
            return stats.std;
        default:
            return std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace kalvex::measure
