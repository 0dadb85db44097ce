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
        handle = static_cast<int32_t>(platform::TickCount() +
                                      static_cast<uint32_t>(platform::Rand()) +
                                      static_cast<uint32_t>(count_));
    }
    try {
        instance = std::make_shared<CKalvex>();
    } catch (const std::bad_alloc &) {
        return 0;
    }
    if (handle == 0) return 0;
    std::lock_guard guard(lock_);
    try {
        Insert(CSDKDATA{handle, instance});
    } catch (const std::bad_alloc &) {
        return 0;
    }
    return handle;
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
    // Destroyed outside the lock: stopping capture takes time and must not
    // hold up calls on other handles.
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
