// Looks inside a store for the tests: runs code under its lock, so that a test can make a
// fault escape the store's locked section and watch the store poison itself, and reads
// what a failed call must leave as it was. GraphStore names this struct a friend and
// leaves its definition to the tests.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "store.hpp"

namespace corvane {

struct GraphStoreProbe {
    // Runs `fn` while holding the lock of `store`; what it throws propagates unchanged
    // and, unless it is an allocation failure, poisons the store.
    static void run_locked(const GraphStore& store, const std::function<void()>& fn);

    // The store's dense table (its keys and its string table's counts) and the number of
    // ids in its index, read under one lock.
    struct Dense {
        std::vector<NodeKey> keys;
        std::size_t strings = 0;
        std::size_t string_bytes = 0;
        std::size_t indexed = 0;
        friend bool operator==(const Dense&, const Dense&) = default;
    };
    static Dense dense(const GraphStore& store);
};

}  // namespace corvane
