// The guarded contents of a GraphStore. Internal to the store's implementation files.
#pragma once

#include <vector>

#include "hash_cons_table.hpp"
#include "node.hpp"
#include "store.hpp"

namespace corvane {

struct GraphStore::Inner {
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;

    explicit Inner(const HashSeed& seed) noexcept : table(seed) {}

    HashConsTable table;  // the arena in its dense form, hash-consed
    std::vector<NodeId> outputs;
    NodeMap node_map;
};

}  // namespace corvane
