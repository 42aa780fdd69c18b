// The string form of the optimizer's flat graph, for tests and benchmarks: each node's
// symbol as text, its children as indices. The passes over it convert to the flat form
// (SymbolGraph), run the pass the reduction runs and convert back, so a test written
// against readable texts checks the production code and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "eqsat/symbol.hpp"
#include "node.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/fusion.hpp"

namespace corvane::testing {

struct EngineNode {
    std::string op;                     // the node's symbol, compared as an exact string
    std::vector<std::size_t> children;  // indices of earlier nodes, in order
    bool opaque = false;                // true for every non-Op node

    friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

struct EngineGraph {
    std::vector<EngineNode> nodes;     // inputs before users
    std::vector<std::size_t> outputs;  // indices into nodes, duplicates kept

    friend bool operator==(const EngineGraph&, const EngineGraph&) = default;
};

// One EngineNode per key, in order: op = the key's optimizer symbol, children = its
// inputs, opaque = the key is not an Op. `outputs` become the graph's outputs.
EngineGraph to_engine_graph(std::span<const NodeKey> kept, std::span<const std::uint64_t> outputs);

// Conversions between the two forms. The first interns every op text in `symbols`,
// which must outlive the result; the second interns them permanently, for graphs kept
// for the life of the process.
SymbolGraph to_symbol_graph(const EngineGraph& graph, eqsat::SymbolScope& symbols);
SymbolGraph to_symbol_graph(const EngineGraph& graph);
EngineGraph to_engine_graph(const SymbolGraph& graph);

struct Canonicalized {
    EngineGraph canonical;              // one node per class, in order of first appearance
    std::vector<std::size_t> class_of;  // input node -> index of its class in canonical
};
// engine.canonicalize over the string form. Opacity follows the symbol text (an "op|"
// prefix), whatever the input's flags say.
Canonicalized canonicalize(const RewriteEngine& engine, const EngineGraph& graph);

struct Deduplicated {
    EngineGraph graph;
    std::vector<std::size_t> remap;  // canonical index -> index in graph.nodes
};
Deduplicated cse(const EngineGraph& canonical);

// Symbol -> the key a boundary node with that symbol is rebuilt from.
using TokenMap = std::unordered_map<std::string, NodeKey>;
// stage_fusion over the string form, looking each boundary node's symbol up in `token_map`.
Fused stage_fusion(const EngineGraph& deduplicated, const TokenMap& token_map, bool maximal_fusion);

}  // namespace corvane::testing
