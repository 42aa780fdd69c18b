// The guarded contents of a GraphStore. Internal to the store's implementation files.
#pragma once

#include <vector>

#include "id_table.hpp"
#include "node.hpp"
#include "node_table.hpp"
#include "store.hpp"

namespace corvane {

struct GraphStore::Inner {
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;

    explicit Inner(const HashSeed& string_seed) : nodes(string_seed) {}

    NodeTable nodes;  // the arena, in its dense form
    std::vector<NodeId> outputs;
    NodeMap node_map;
    // The hash-consing index: node ids with (the low bits of) their seeded key hashes;
    // equality looks through to the arena, so every node is stored once.
    CompactIdTable index;
};

}  // namespace corvane
