// The interned graph store: a hash-consed table of nodes in insertion order (the dense
// form of hash_cons_table.hpp), with output marks and, for a store that came out of a
// reduction, a node map. One mutex guards everything; every operation holds it for one
// short step and returns copies. A fault thrown while the lock is held poisons the store
// for good. Each store carries a process-wide serial number that no other store, live or
// dead, ever has.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bad_node_id.hpp"
#include "guarded.hpp"
#include "hash_cons_table.hpp"
#include "node.hpp"
#include "node_table.hpp"
#include "optimizer/explain.hpp"
#include "optimizer/incremental.hpp"
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

    // The arena in its dense form with the marks, copied under one lock.
    struct TableSnapshot {
        NodeTable nodes;
        std::vector<NodeId> outputs;
    };

    // Records the node `view` stands for and returns its id, existing or new; BadNodeId
    // for the first input id that is not a node yet (the store is then unchanged). Nothing
    // is allocated for a repeat. A view that is not well-formed is an internal fault.
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
    TableSnapshot table_snapshot() const;
    // Feeds `reducer` the nodes recorded since its watermark, read in place under this
    // store's lock (the reducer's own lock, if any, is taken first by its owner). With
    // `at_most`, a longer delta is left alone and the result is nullopt.
    std::expected<std::uint64_t, StepError> feed(IncrementalReducer& reducer) const;
    std::optional<std::expected<std::uint64_t, StepError>> feed(IncrementalReducer& reducer,
                                                                std::uint64_t at_most) const;

    // Reductions (the source store is only read).
    ReducedStore reduce_with(const RewriteEngine& engine, bool maximal_fusion) const;
    std::expected<ReducedStore, BadNodeId> reduce_with_outputs(std::span<const NodeId> outputs,
                                                               const RewriteEngine& engine,
                                                               bool maximal_fusion) const;
    static ReducedStore from_reduced(Reduced reduced);
    // The same reductions, explained: each node's landing, as the reduced store's node map
    // gives it, with the node it equals and why.
    Explained explain_with(const RewriteEngine& engine, bool maximal_fusion) const;
    std::expected<Explained, BadNodeId> explain_with_outputs(std::span<const NodeId> outputs,
                                                             const RewriteEngine& engine,
                                                             bool maximal_fusion) const;
    // A store made of a table that its builder hash-consed privately, without a lock per
    // node (the blob reader). The store hashes under the table's seed from then on.
    static GraphStore adopt(HashConsTable table);

    // The unoptimised dependency cone of `outputs` as a fresh store with a node map.
    std::expected<GraphStore, BadNodeId> cone(std::span<const NodeId> outputs) const;
    // The Graphviz DOT rendering of the whole store.
    std::string to_dot() const;

    // This store's serial number: unique in the process and never reused, so it tells
    // stores apart where an address could be recycled. A moved-to store keeps it.
    std::uint64_t serial() const noexcept { return serial_; }
    // An independent store with the same nodes, ids, marks and node map, copied under
    // the lock in one step.
    GraphStore copy() const;
    // Sets the node map of a store that has none (a store restored from a blob, with the
    // map kept beside it). Refused, changing nothing, when the store already has a map or
    // an entry names a node the store lacks, or a member position of a node that is not
    // a Stage or that its Stage lacks.
    bool adopt_node_map(std::span<const std::optional<Landing>> map);

private:
    // The pipeline's input, read in place under the lock, for `outputs` or else the marks.
    std::expected<PipelineInput, BadNodeId> pipeline_input(
        std::optional<std::span<const NodeId>> outputs) const;
    // Declared only: the tests' support library defines it to run code under the lock,
    // so that a fault can escape the locked section and poison the store.
    friend struct GraphStoreProbe;

    explicit GraphStore(const HashSeed& seed);
    // Written once, by the builder of a reduced store.
    void set_node_map(NodeMap map);

    struct Inner;
    HashSeed seed_;  // the table's seed, kept outside the lock: keys are hashed before it is taken
    std::uint64_t serial_;
    std::unique_ptr<Guarded<Inner>> inner_;
};

}  // namespace corvane
