// The reversed row copy that reads every frame out of a slot, against a plain
// memcpy of the same 614,400 bytes, hot (one buffer pair) and cold (cycling
// through buffers larger than the last-level cache).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/row_copy.h"

namespace {

constexpr int kW = 640;
constexpr int kH = 480;
constexpr size_t kFrameBytes = static_cast<size_t>(kW) * kH * 2;

size_t ColdPoolFrames() {
    long llc = sysconf(_SC_LEVEL3_CACHE_SIZE);
    if (llc <= 0) llc = 64L << 20;
    const size_t bytes = std::clamp<size_t>(static_cast<size_t>(llc) * 2, 256u << 20, 1u << 30);
    return bytes / kFrameBytes + 1;
}

struct Pool {
    std::vector<uint8_t> src, dst;
    size_t frames;
    explicit Pool(size_t n) : src(n * kFrameBytes), dst(n * kFrameBytes), frames(n) {
        for (size_t i = 0; i < src.size(); i += 64) src[i] = static_cast<uint8_t>(i >> 6);
        std::fill(dst.begin(), dst.end(), uint8_t{1});
    }
};

Pool &Hot() {
    static Pool pool(1);
    return pool;
}
Pool &Cold() {
    static Pool pool(ColdPoolFrames());
    return pool;
}

template <typename Copy>
void Run(benchmark::State &state, Pool &pool, Copy copy) {
    size_t i = 0;
    for (auto _ : state) {
        uint8_t *dst = pool.dst.data() + i * kFrameBytes;
        const uint8_t *src = pool.src.data() + i * kFrameBytes;
        copy(dst, src);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        if (++i == pool.frames) i = 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}

void Reversed(uint8_t *d, const uint8_t *s) {
    kalvex::CopyRowsReversed(d, s, kW, kH);
}
void Memcpy(uint8_t *d, const uint8_t *s) {
    std::memcpy(d, s, kFrameBytes);
}
void Literal(uint8_t *d, const uint8_t *s) {
    kalvex::CopyRowsReversedLiteral(d, s, kW, kH);
}

void BM_ReversedHot(benchmark::State &s) {
    Run(s, Hot(), Reversed);
}
void BM_MemcpyHot(benchmark::State &s) {
    Run(s, Hot(), Memcpy);
}
void BM_LiteralHot(benchmark::State &s) {
    Run(s, Hot(), Literal);
}
void BM_ReversedCold(benchmark::State &s) {
    Run(s, Cold(), Reversed);
}
void BM_MemcpyCold(benchmark::State &s) {
    Run(s, Cold(), Memcpy);
}

// Interleaved so that both sides of each comparison see the same machine state.
BENCHMARK(BM_MemcpyHot);
BENCHMARK(BM_ReversedHot);
BENCHMARK(BM_LiteralHot);
BENCHMARK(BM_MemcpyCold)->MinTime(1.0);
BENCHMARK(BM_ReversedCold)->MinTime(1.0);
BENCHMARK(BM_MemcpyCold)->MinTime(1.0);
BENCHMARK(BM_ReversedCold)->MinTime(1.0);

}  // namespace
