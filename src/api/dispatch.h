// How an export reaches its instance: the registry lends it for the call, and
// no exception crosses back into the host.
#pragma once

#include <memory>

#include "api/sdk_chain.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {

// Runs work on the instance behind handle, or returns notFound (also when
// anything escapes the work).
template <class R, class Work>
R Dispatch(int handle, R notFound, Work work) noexcept {
    try {
        std::shared_ptr<CKalvex> instance = Registry().Acquire(handle);
        if (!instance) return notFound;
        return work(*instance);
    } catch (...) {
        return notFound;
    }
}

}  // namespace kalvex
