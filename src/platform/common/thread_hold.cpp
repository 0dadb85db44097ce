// Module references for transfer threads that a stop may leave behind.
#include "platform/backend.h"
#include "platform/platform.h"

namespace kalvex::platform {

namespace {
constexpr int kRunning = 0;
constexpr int kFinished = 1;
constexpr int kAbandoned = 2;
}  // namespace

ThreadModuleHold::ThreadModuleHold() : module_(backend::AcquireModuleReference()) {}

void ThreadModuleHold::Finish() {
    int expected = kRunning;
    if (state_.compare_exchange_strong(expected, kFinished)) {
        // The owner will join this thread from inside a library call, so the
        // host's own reference keeps the module loaded past this release.
        backend::ReleaseModuleReference(module_, false);
        return;
    }
    // Nobody waits for this thread: the module may go with this reference,
    // so the thread must not return into it.
    backend::ReleaseModuleReference(module_, true);
}

bool ThreadModuleHold::Abandon() {
    int expected = kRunning;
    return state_.compare_exchange_strong(expected, kAbandoned);
}

}  // namespace kalvex::platform
