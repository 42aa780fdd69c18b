// Stage fusion: groups Op nodes of the deduplicated graph into Stage nodes (single-use
// rule or maximal rule) and rebuilds every other node as one boundary node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"
#include "optimizer/engine.hpp"
#include "reduction.hpp"

namespace corvane {

struct Fused {
    std::vector<NodeKey> nodes;
    std::vector<std::uint64_t> outputs;
    std::vector<Landing> landing_of;  // one per engine node
    std::uint64_t stages = 0;
    std::uint64_t boundary_nodes = 0;
};

// key_of[i] is the key a non-Op node i is rebuilt from (its inputs replaced); it is not
// read for Op nodes.
Fused stage_fusion(const SymbolGraph& deduplicated, std::span<const NodeKey* const> key_of, bool maximal_fusion);

}  // namespace corvane
