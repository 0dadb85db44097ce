// Window handles on POSIX: message queues owned by the library. A handle is a
// number, never dereferenced, so posting to a destroyed window fails quietly.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace kalvex::platform {

namespace {

constexpr size_t kQueueCapacity = 10000;

struct Queue {
    std::mutex lock;
    std::condition_variable ready;
    std::deque<KalvexMessage> messages;
};

struct Windows {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Queue>> queues;
    uintptr_t next = 0x10000;
};

Windows &AllWindows() {
    static Windows windows;
    return windows;
}

std::shared_ptr<Queue> FindQueue(KalvexHwnd window) {
    Windows &all = AllWindows();
    std::lock_guard guard(all.lock);
    auto it = all.queues.find(reinterpret_cast<uintptr_t>(window));
    return it == all.queues.end() ? nullptr : it->second;
}

}  // namespace

bool PostWindowMessage(KalvexHwnd window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (window == nullptr) return false;
    std::shared_ptr<Queue> queue = FindQueue(window);
    if (!queue) return false;
    {
        std::lock_guard guard(queue->lock);
        if (queue->messages.size() >= kQueueCapacity) return false;
        queue->messages.push_back(
            KalvexMessage{window, message, static_cast<size_t>(wParam), static_cast<long>(lParam)});
    }
    queue->ready.notify_one();
    return true;
}

namespace posix {

KalvexHwnd CreateWindowQueue() {
    Windows &all = AllWindows();
    auto queue = std::make_shared<Queue>();
    std::lock_guard guard(all.lock);
    all.next += 4;
    all.queues[all.next] = std::move(queue);
    return reinterpret_cast<KalvexHwnd>(all.next);
}

int GetWindowMessage(KalvexHwnd window, KalvexMessage *message, int timeoutMs) {
    if (message == nullptr) return -1;
    std::shared_ptr<Queue> queue = FindQueue(window);
    if (!queue) return -1;
    std::unique_lock guard(queue->lock);
    auto hasMessage = [&] { return !queue->messages.empty(); };
    if (timeoutMs < 0) {
        queue->ready.wait(guard, hasMessage);
    } else if (!queue->ready.wait_for(guard, std::chrono::milliseconds(timeoutMs), hasMessage)) {
        return 0;
    }
    *message = queue->messages.front();
    queue->messages.pop_front();
    return 1;
}

bool DestroyWindowQueue(KalvexHwnd window) {
    Windows &all = AllWindows();
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard guard(all.lock);
        auto it = all.queues.find(reinterpret_cast<uintptr_t>(window));
        if (it == all.queues.end()) return false;
        queue = std::move(it->second);
        all.queues.erase(it);
    }
    return true;
}

}  // namespace posix
}  // namespace kalvex::platform
