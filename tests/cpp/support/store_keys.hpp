// Owning keys in and out of a store, for tests that state graphs as keys: the store
// itself takes views and hands out its dense table.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "node.hpp"
#include "node_table.hpp"
#include "store.hpp"
#include "support/keys.hpp"

namespace corvane::testing {

inline std::expected<NodeId, BadNodeId> intern(GraphStore& store, const NodeView& view) {
    return store.intern(view);
}
inline std::expected<NodeId, BadNodeId> intern(GraphStore& store, const NodeKey& key) {
    return store.intern(HeldView(key).view());
}

// The store's nodes as keys, and with its marks, copied under one lock.
inline std::vector<NodeKey> keys_of(const GraphStore& store) {
    return store.table_snapshot().nodes.keys();
}
struct Snapshot {
    std::vector<NodeKey> arena;
    std::vector<NodeId> outputs;
};
inline Snapshot snapshot(const GraphStore& store) {
    GraphStore::TableSnapshot copy = store.table_snapshot();
    return Snapshot{copy.nodes.keys(), std::move(copy.outputs)};
}

inline void append(NodeTable& table, const NodeKey& key) { table.append(HeldView(key).view()); }

}  // namespace corvane::testing
