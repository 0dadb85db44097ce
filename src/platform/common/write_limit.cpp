// Test hook over the backends' file writes: a simulated full disk.
#include <atomic>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
std::atomic<int64_t> gWriteLimit{-1};
}  // namespace

void SetFileWriteLimitForTests(int64_t bytes) {
    gWriteLimit.store(bytes < 0 ? -1 : bytes);
}

namespace backend {

uint32_t WriteAllowance(int64_t position, uint32_t length) {
    const int64_t limit = gWriteLimit.load();
    if (limit < 0 || position < 0) return length;
    if (position >= limit) return 0;
    const int64_t room = limit - position;
    return room < static_cast<int64_t>(length) ? static_cast<uint32_t>(room) : length;
}

}  // namespace backend
}  // namespace kalvex::platform
