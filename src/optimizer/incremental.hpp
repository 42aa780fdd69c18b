// The incremental reducer: canonicalises each newly recorded node of a store once
// (identity elimination, commutativity deduplication, hash-consing) and finishes with
// one run of the reduction pipeline on its canonical form. Not synchronised: its owner
// serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "bad_node_id.hpp"
#include "id_table.hpp"
#include "node.hpp"
#include "reduction.hpp"

namespace corvane {

class RewriteEngine;

// The key is an Op that an identity rule of optimizer/rules.hpp makes equal to its one
// input (x + 0.0, x * 1.0 and their mirror images).
bool is_identity_op(const NodeKey& key) noexcept;
// A parameterless two-input Op whose operator a commutativity rule names.
bool is_commutative_op(const NodeKey& key) noexcept;

class IncrementalReducer {
public:
    IncrementalReducer() = default;

    // Consumes `delta`, the keys with store ids watermark(), watermark()+1, ...
    // Returns delta.size(), or the first input id that is not below the watermark at
    // the time its key is met; the keys before that one stay consumed, and total_work
    // is not increased for the failed step.
    std::expected<std::uint64_t, BadNodeId> step(std::span<const NodeKey> delta);
    // The same, taking the keys by value so that they are moved rather than copied.
    std::expected<std::uint64_t, BadNodeId> step(std::vector<NodeKey>&& delta);

    // Reduces the canonical form against store ids `outputs`; the node map is indexed
    // by store id. BadNodeId for an output at or beyond the watermark.
    std::expected<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs,
                                               const RewriteEngine& engine,
                                               bool maximal_fusion) const;

    std::uint64_t watermark() const noexcept { return remap_.size(); }
    std::uint64_t total_work() const noexcept { return total_work_; }
    std::uint64_t canonical_count() const noexcept { return canon_.size(); }
    const std::vector<NodeKey>& canon() const noexcept { return canon_; }
    const std::vector<std::uint64_t>& remap() const noexcept { return remap_; }

private:
    // Consumes one delta key (copied from a const key, moved from an rvalue): maps its
    // inputs through remap_, canonicalises it and records its canon index in remap_.
    // Nothing changes when an input is not consumed yet.
    template <class Key>
    std::expected<void, BadNodeId> consume(Key&& key);
    // The canon index of a translated, non-identity key: an equal (or, for a
    // commutative operator, commuted) entry already in canon_, or a new entry.
    std::uint64_t place(NodeKey key);
    std::optional<std::uint64_t> lookup(const NodeKey& key, std::uint64_t hash) const;

    std::vector<NodeKey> canon_;
    std::vector<std::uint64_t> remap_;
    // The hash-consing table holds canon indices with their key hashes, so each
    // canonical key is stored once (in canon_) and growing never rehashes a key. It
    // holds no pointer into the reducer, so copies and moves stay valid.
    IdTable memo_;
    NodeKeyHash hasher_;  // seeded per reducer
    std::uint64_t total_work_ = 0;
};

}  // namespace corvane
