// The interned graph store: an arena of node keys in insertion order, hash-consed, with
// output marks and (for a store that came out of a reduction) a node map. One mutex
// guards everything; every operation holds it for one short step and returns copies.
// A fault thrown while the lock is held poisons the store for good. Each store carries
// a process-wide serial number that no other store, live or dead, ever has.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bad_node_id.hpp"
#include "guarded.hpp"
#include "id_table.hpp"
#include "node.hpp"
#include "node_table.hpp"
#include "reduction.hpp"

namespace corvane {

class RewriteEngine;

inline constexpr const char* kStorePoisoned = "corvane-core store mutex poisoned";

class GraphStore;
using ReducedStore = std::pair<GraphStore, ReductionReport>;

class GraphStore {
public:
    GraphStore();
    GraphStore(GraphStore&&) noexcept;
    GraphStore& operator=(GraphStore&&) noexcept;
    ~GraphStore();

    struct Snapshot {
        std::vector<NodeKey> arena;
        std::vector<NodeId> outputs;
    };
    // The arena in its dense form with the marks, copied under one lock.
    struct TableSnapshot {
        NodeTable nodes;
        std::vector<NodeId> outputs;
    };

    // Records `key` (consumed) and returns its id, existing or new; BadNodeId for the
    // first input id that is not a node yet (the store is then unchanged).
    std::expected<NodeId, BadNodeId> intern(NodeKey key);
    // The same for a borrowed view; the key is built only when the node is new, so a
    // repeat allocates nothing. A view that is not well-formed is an internal fault.
    std::expected<NodeId, BadNodeId> intern(const NodeView& view);
    // Makes room for `count` nodes in total with `inputs` input ids and `params`
    // parameters, so that bulk interning does not regrow.
    void reserve(std::size_t count, std::size_t inputs = 0, std::size_t params = 0);
    // Marks `id` as an output once, in first-mark order.
    std::expected<void, BadNodeId> mark_output(NodeId id);
    // Marks every id in order, each once; checks all ids first, so on BadNodeId (the
    // first bad id) nothing is marked. Linear in the list, however long it is.
    std::expected<void, BadNodeId> mark_outputs(std::span<const NodeId> ids);

    std::uint64_t node_count() const;
    std::vector<NodeId> outputs() const;
    NodeMap node_map() const;
    Snapshot snapshot() const;
    TableSnapshot table_snapshot() const;
    // Copies of the keys with ids min(watermark, count) .. count-1.
    std::vector<NodeKey> snapshot_from(std::uint64_t watermark) const;
    // A copy of the whole arena, after checking every listed id against it.
    std::expected<std::vector<NodeKey>, BadNodeId> arena_holding(std::span<const NodeId> ids) const;

    // Reductions (the source store is only read).
    ReducedStore reduce_with(const RewriteEngine& engine, bool maximal_fusion) const;
    std::expected<ReducedStore, BadNodeId> reduce_with_outputs(std::span<const NodeId> outputs,
                                                               const RewriteEngine& engine,
                                                               bool maximal_fusion) const;
    static ReducedStore from_reduced(Reduced reduced);
    // A store made of a table that its builder indexed privately, without a lock per node
    // (the blob reader): `index` holds every node of `nodes` once, under hash_key(node,
    // seed), and no node repeats another. The store hashes under `seed` from then on.
    static GraphStore adopt(const HashSeed& seed, NodeTable nodes, CompactIdTable index);

    // The unoptimised dependency cone of `outputs` as a fresh store with a node map.
    std::expected<GraphStore, BadNodeId> cone(std::span<const NodeId> outputs) const;
    // The Graphviz DOT rendering of the whole store.
    std::string to_dot() const;

    // This store's serial number: unique in the process and never reused, so it tells
    // stores apart where an address could be recycled. A moved-to store keeps it.
    std::uint64_t identity() const noexcept { return identity_; }
    // An independent store with the same nodes, ids, marks and node map, copied under
    // the lock in one step.
    GraphStore copy() const;
    // Sets the node map of a store that has none (a store restored from a blob, with the
    // map kept beside it). Refused, changing nothing, when the store already has a map or
    // an entry names a node the store lacks, or a member position of a node that is not
    // a Stage or that its Stage lacks.
    bool adopt_node_map(NodeMap map);

private:
    // Declared only: the tests' support library defines it to run code under the lock,
    // so that a fault can escape the locked section and poison the store.
    friend struct GraphStoreProbe;

    explicit GraphStore(const HashSeed& seed);
    // Written once, by the builder of a reduced store.
    void set_node_map(NodeMap map);

    struct Inner;
    HashSeed seed_;  // fixed at construction; keys are hashed before the lock is taken
    std::uint64_t identity_;
    std::unique_ptr<Guarded<Inner>> inner_;
};

}  // namespace corvane
