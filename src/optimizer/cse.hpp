// Common-subexpression elimination over a canonical engine graph: one node per distinct
// (symbol, renumbered children) pair, first occurrence wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "optimizer/engine.hpp"

namespace corvane {

struct Deduplicated {
    EngineGraph graph;
    std::vector<std::size_t> remap;  // canonical index -> index in graph.nodes
};

struct DeduplicatedGraph {
    SymbolGraph graph;
    std::vector<std::uint32_t> remap;  // canonical index -> index in graph
};

DeduplicatedGraph cse(const SymbolGraph& canonical);
// The same over the string form.
Deduplicated cse(const EngineGraph& canonical);

}  // namespace corvane
