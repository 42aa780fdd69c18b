// Common-subexpression elimination over a canonical engine graph: one node per distinct
// (symbol, renumbered children) pair, first occurrence wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "optimizer/engine.hpp"

namespace corvane {

struct DeduplicatedGraph {
    SymbolGraph graph;
    std::vector<std::uint32_t> remap;  // canonical index -> index in graph
};

DeduplicatedGraph cse(const SymbolGraph& canonical);

}  // namespace corvane
