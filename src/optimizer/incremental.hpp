// The incremental reducer: canonicalises each newly recorded node of a store once
// (identity elimination, commutativity deduplication, hash-consing) and finishes with
// one run of the reduction pipeline on its canonical form, which it keeps in the dense
// form of a hash-consing table. It reads the store's nodes in place (the store hands it
// its table under its lock) and builds no owning key. A reducer reads one store: the
// first step binds it to that store's serial number, before any node is consumed.
// Every call gives the strong guarantee: a failed step (an error value or an exception,
// allocation failure included) leaves watermark, total work, canonical form and binding
// as they were. Not synchronised: its owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <variant>
#include <vector>

#include "bad_node_id.hpp"
#include "hash_cons_table.hpp"
#include "node.hpp"
#include "node_table.hpp"
#include "reduction.hpp"
#include "table_view.hpp"

namespace corvane {

class RewriteEngine;

// The view is an Op that an identity rule of optimizer/rules.hpp makes equal to its one
// input (x + 0.0, x * 1.0 and their mirror images).
bool is_identity_op(const NodeView& view) noexcept;
// A parameterless two-input Op whose operator a commutativity rule names.
bool is_commutative_op(const NodeView& view) noexcept;

// The reducer was fed a store other than the one its first step read.
struct OtherStore {
    friend bool operator==(const OtherStore&, const OtherStore&) = default;
};
using StepError = std::variant<BadNodeId, OtherStore>;

class IncrementalReducer {
public:
    IncrementalReducer() = default;

    // Consumes nodes watermark() .. nodes.size()-1 of `nodes`, the table of the store
    // whose serial number is `store` (GraphStore::feed calls this under the store's
    // lock). Returns how many were consumed; OtherStore when the reducer is bound to
    // another store; BadNodeId for an input id not below its node's position.
    std::expected<std::uint64_t, StepError> step(const NodeTable& nodes, std::uint64_t store);

    // Reduces the canonical form against store ids `outputs`; the node map is indexed
    // by store id. BadNodeId for an output at or beyond the watermark. Changes nothing.
    std::expected<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs,
                                               const RewriteEngine& engine,
                                               bool maximal_fusion) const;

    std::uint64_t watermark() const noexcept { return remap_.size(); }
    std::uint64_t total_work() const noexcept { return total_work_; }
    std::uint64_t canonical_count() const noexcept { return canon_.size(); }
    // The serial number of the store this reducer reads; 0 before the first step.
    std::uint64_t store() const noexcept { return store_; }
    const NodeTable& canon() const noexcept { return canon_.nodes(); }
    const std::vector<std::uint64_t>& remap() const noexcept { return remap_; }

private:
    // Consumes node i of `nodes`: maps its inputs through remap_, canonicalises it and
    // records its canon index in remap_.
    std::expected<void, BadNodeId> consume(const NodeTable& nodes, std::size_t i);
    // The canon index of a translated, non-identity node (row i of `nodes`, its inputs
    // translated in `view`): an equal (or, for a commutative operator, commuted) entry
    // already in canon_, or a new entry copied from the row.
    std::uint64_t place(const NodeView& view, const NodeTable& nodes, std::size_t i);

    HashConsTable canon_;
    std::vector<std::uint64_t> remap_;
    std::uint64_t total_work_ = 0;
    std::uint64_t store_ = 0;
    // Reused from node to node, so that a step allocates nothing per node.
    ViewScratch scratch_;
    std::vector<NodeId> translated_;
};

}  // namespace corvane
