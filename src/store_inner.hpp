// The guarded contents of a GraphStore. Internal to the store's implementation files.
#pragma once

#include <vector>

#include "id_table.hpp"
#include "node.hpp"
#include "store.hpp"

namespace corvane {

struct GraphStore::Inner {
    Inner() = default;
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;

    std::vector<NodeKey> arena;
    std::vector<NodeId> outputs;
    NodeMap node_map;
    // The hash-consing index: node ids with their seeded key hashes; equality looks
    // through to the arena, so every key is stored once.
    IdTable index;
};

}  // namespace corvane
