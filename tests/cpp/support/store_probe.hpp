// Runs code under a store's lock, so that a test can make a fault escape the store's
// locked section and watch the store poison itself. GraphStore names this struct a
// friend and leaves its definition to the tests.
#pragma once

#include <functional>

#include "store.hpp"

namespace corvane {

struct GraphStoreProbe {
    // Runs `fn` while holding the lock of `store`; what it throws propagates unchanged
    // and, unless it is an allocation failure, poisons the store.
    static void run_locked(const GraphStore& store, const std::function<void()>& fn);
};

}  // namespace corvane
