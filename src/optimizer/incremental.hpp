// The incremental reducer: canonicalises each newly recorded node of a store once
// (identity elimination, commutativity deduplication, hash-consing) and finishes with
// one run of the reduction pipeline on its canonical form. Not synchronised: its owner
// serialises access.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <unordered_map>
#include <vector>

#include "node.hpp"
#include "optimizer/pipeline.hpp"
#include "store.hpp"

namespace corvane {

class RewriteEngine;

class IncrementalReducer {
public:
    IncrementalReducer() = default;

    // Consumes `delta`, the keys with store ids watermark(), watermark()+1, ...
    std::expected<std::uint64_t, BadNodeId> step(std::span<const NodeKey> delta);
    // Reduces the canonical form against store ids `outputs`; node map by store id.
    std::expected<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs,
                                               const RewriteEngine& engine,
                                               bool maximal_fusion) const;

    std::uint64_t watermark() const noexcept { return remap_.size(); }
    std::uint64_t total_work() const noexcept { return total_work_; }
    std::uint64_t canonical_count() const noexcept { return canon_.size(); }
    const std::vector<NodeKey>& canon() const noexcept { return canon_; }
    const std::vector<std::uint64_t>& remap() const noexcept { return remap_; }

private:
    std::vector<NodeKey> canon_;
    std::vector<std::uint64_t> remap_;
    std::unordered_map<NodeKey, std::uint64_t, NodeKeyHash> memo_;
    std::uint64_t total_work_ = 0;
};

}  // namespace corvane
