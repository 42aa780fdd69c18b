// Stage fusion: groups Op nodes of the deduplicated graph into Stage nodes (single-use
// rule or maximal rule) and rebuilds every other node as one boundary node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"
#include "node_table.hpp"
#include "optimizer/engine.hpp"
#include "reduction.hpp"

namespace corvane {

struct Fused {
    NodeTable nodes;
    std::vector<std::uint64_t> outputs;
    NodeMap landing_of;  // one per engine node
    std::uint64_t stages = 0;
    std::uint64_t boundary_nodes = 0;
};

// A non-Op node i is rebuilt from row row_of[i] of `boundary` (its inputs replaced);
// row_of is not read for Op nodes. The nodes are written straight into the table.
Fused stage_fusion(const SymbolGraph& deduplicated, const NodeTable& boundary,
                   std::span<const std::uint32_t> row_of, bool maximal_fusion);

}  // namespace corvane
