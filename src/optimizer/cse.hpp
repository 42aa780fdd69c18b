// Common-subexpression elimination over a canonical engine graph: one node per distinct
// (symbol, renumbered children) pair, first occurrence wins.
#pragma once

#include <cstddef>
#include <vector>

#include "optimizer/engine.hpp"

namespace corvane {

struct Deduplicated {
    EngineGraph graph;
    std::vector<std::size_t> remap;  // canonical index -> index in graph.nodes
};

Deduplicated cse(const EngineGraph& canonical);
// The same, taking the nodes over: kept nodes are moved, not copied.
Deduplicated cse(EngineGraph&& canonical);

}  // namespace corvane
