#include "api/sdk_chain.h"

#include <new>

#include "platform/platform.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {

int32_t CSdkChain::CreateInstance() {
    std::shared_ptr<CKalvex> instance;
    int32_t handle;
    {
        std::lock_guard guard(lock_);
        handle = DrawHandle();
    }
    try {
        instance = std::make_shared<CKalvex>();
    } catch (const std::bad_alloc &) {
        return 0;
    }
    if (handle == 0) return 0;
    std::lock_guard guard(lock_);
    // Threads started together draw the same tick count and the same per-thread
    // random number, and every thread's generator starts from the same seed. A
    // value issued before, even one released since, may still be held by some
    // thread: draw again until the value is new (each draw advances the
    // generator, and the set is far from covering the 32-bit range).
    if (issued_.Full()) return 0;
    while (handle == 0 || issued_.Contains(handle)) handle = DrawHandle();
    try {
        // Recorded first: a value burnt by a failed insert is never issued.
        issued_.Insert(handle);
        Insert(CSDKDATA{handle, instance});
    } catch (const std::bad_alloc &) {
        return 0;
    }
    return handle;
}

int32_t CSdkChain::DrawHandle() const {
    return static_cast<int32_t>(platform::TickCount() + static_cast<uint32_t>(platform::Rand()) +
                                static_cast<uint32_t>(count_));
}

std::shared_ptr<CKalvex> CSdkChain::Acquire(int32_t handle) {
    std::lock_guard guard(lock_);
    Node *node = Lookup(handle);
    return node != nullptr ? node->data.instance : nullptr;
}

int CSdkChain::Release(int32_t handle) {
    std::shared_ptr<CKalvex> instance;
    {
        std::lock_guard guard(lock_);
        Node *node = Lookup(handle);
        if (node == nullptr) return 0;
        instance = std::move(node->data.instance);
        Remove(handle);
    }
    // Stopped outside the lock: stopping capture takes time and must not hold
    // up calls on other handles. A call still in flight on another thread
    // (a single frame waiting on a silent camera, say) is ended by the stop and
    // then drops the last reference.
    instance->Uninitialize();
    instance.reset();
    return 1;
}

CSdkChain &Registry() {
    // Never destroyed: instances still registered at unload are not stopped
    // either, and capture threads must not find a dead registry.
    static CSdkChain *chain = new CSdkChain;
    return *chain;
}

}  // namespace kalvex
