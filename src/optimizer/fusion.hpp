// Stage fusion: groups Op nodes of the deduplicated graph into Stage nodes (single-use
// rule or maximal rule) and rebuilds every other node as one boundary node.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "node.hpp"
#include "optimizer/engine.hpp"
#include "store.hpp"

namespace corvane {

// Symbol -> the first live node key carrying it. Only the key's non-input fields are
// read (its inputs are replaced on rebuild); the keys outlive the pass.
using TokenMap = std::unordered_map<std::string, const NodeKey*>;

struct Fused {
    std::vector<NodeKey> nodes;
    std::vector<std::uint64_t> outputs;
    std::vector<Landing> landing_of;  // one per engine node
    std::uint64_t stages = 0;
    std::uint64_t boundary_nodes = 0;
};

Fused stage_fusion(const EngineGraph& deduplicated, const TokenMap& token_map, bool maximal_fusion);
// The same, taking the nodes over: member symbols are moved into the stages.
Fused stage_fusion(EngineGraph&& deduplicated, const TokenMap& token_map, bool maximal_fusion);

}  // namespace corvane
