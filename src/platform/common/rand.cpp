// The Microsoft C runtime's rand, one state per thread, seed 1.
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
thread_local uint32_t tState = 1;
}

int Rand() {
    tState = tState * 214013u + 2531011u;
    return static_cast<int>((tState >> 16) & 0x7FFFu);
}

void SeedRand(uint32_t seed) { tState = seed; }

}  // namespace kalvex::platform
