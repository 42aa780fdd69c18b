// The guarded contents of a GraphStore. Internal to the store's implementation files.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace corvane {

struct GraphStore::Inner {
    // The hash-consing index holds node ids; hashing and equality look through to the
    // arena, so every key is stored once. Lookups by a key not yet stored are
    // heterogeneous (the key itself with its precomputed hash).
    struct Probe {
        const NodeKey* key;
        std::uint64_t hash;
    };
    struct IdHash {
        using is_transparent = void;
        const Inner* inner;
        std::size_t operator()(NodeId id) const noexcept {
            return static_cast<std::size_t>(inner->hashes[static_cast<std::size_t>(id)]);
        }
        std::size_t operator()(const Probe& p) const noexcept { return static_cast<std::size_t>(p.hash); }
    };
    struct IdEq {
        using is_transparent = void;
        const Inner* inner;
        bool operator()(NodeId a, NodeId b) const noexcept { return a == b; }
        bool operator()(const Probe& p, NodeId id) const noexcept {
            return *p.key == inner->arena[static_cast<std::size_t>(id)];
        }
        bool operator()(NodeId id, const Probe& p) const noexcept { return (*this)(p, id); }
    };

    Inner() : index(0, IdHash{this}, IdEq{this}) {}
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;

    std::vector<NodeKey> arena;
    std::vector<std::uint64_t> hashes;  // the seeded hash of arena[i]
    std::vector<NodeId> outputs;
    NodeMap node_map;
    std::unordered_set<NodeId, IdHash, IdEq> index;
};

}  // namespace corvane
