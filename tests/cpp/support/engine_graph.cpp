#include "support/engine_graph.hpp"

#include <string_view>
#include <utility>

#include "fault.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/flat_index.hpp"
#include "support/keys.hpp"
#include "token.hpp"

namespace corvane::testing {
namespace {

// `intern_all(texts, ops)` interns the op texts.
template <class InternAll>
SymbolGraph to_symbol_graph_with(const EngineGraph& graph, InternAll intern_all) {
    SymbolGraph out;
    const std::size_t n = graph.nodes.size();
    std::vector<std::string_view> texts(n);
    for (std::size_t i = 0; i < n; ++i) texts[i] = graph.nodes[i].op;
    out.ops.resize(n);
    intern_all(std::span<const std::string_view>(texts), std::span<eqsat::Symbol>(out.ops));
    out.non_op.reserve(n);
    out.first.reserve(n + 1);
    for (const EngineNode& node : graph.nodes) {
        out.non_op.push_back(node.opaque ? 1 : 0);
        for (std::size_t c : node.children) out.children.push_back(as_index(c));
        out.first.push_back(as_index(out.children.size()));
    }
    out.outputs.reserve(graph.outputs.size());
    for (std::size_t o : graph.outputs) out.outputs.push_back(as_index(o));
    return out;
}

}  // namespace

EngineGraph to_engine_graph(std::span<const NodeKey> kept, std::span<const std::uint64_t> outputs) {
    EngineGraph graph;
    graph.nodes.reserve(kept.size());
    for (const NodeKey& key : kept) {
        std::span<const NodeId> inputs = key.inputs();
        EngineNode node;
        node.op = optimizer_symbol(key);
        node.children.reserve(inputs.size());
        for (NodeId x : inputs) node.children.push_back(static_cast<std::size_t>(x));
        node.opaque = !key.is_op();
        graph.nodes.push_back(std::move(node));
    }
    graph.outputs.reserve(outputs.size());
    for (std::uint64_t o : outputs) graph.outputs.push_back(static_cast<std::size_t>(o));
    return graph;
}

SymbolGraph to_symbol_graph(const EngineGraph& graph, eqsat::SymbolScope& symbols) {
    return to_symbol_graph_with(graph,
                                [&](auto texts, auto ops) { symbols.intern_all(texts, ops); });
}

SymbolGraph to_symbol_graph(const EngineGraph& graph) {
    return to_symbol_graph_with(
        graph, [](auto texts, auto ops) { eqsat::Symbol::intern_all(texts, ops); });
}

EngineGraph to_engine_graph(const SymbolGraph& graph) {
    EngineGraph out;
    out.nodes.reserve(graph.size());
    for (std::size_t i = 0; i < graph.size(); ++i) {
        const std::span<const std::uint32_t> children = graph.children_of(i);
        out.nodes.push_back(EngineNode{
            graph.ops[i].to_string(), {children.begin(), children.end()}, graph.non_op[i] != 0});
    }
    out.outputs.assign(graph.outputs.begin(), graph.outputs.end());
    return out;
}

Canonicalized canonicalize(const RewriteEngine& engine, const EngineGraph& graph) {
    eqsat::SymbolScope symbols;
    SymbolGraph input = to_symbol_graph(graph, symbols);
    for (std::size_t i = 0; i < graph.nodes.size(); ++i)
        input.non_op[i] = graph.nodes[i].op.starts_with("op|") ? 0 : 1;
    const CanonicalGraph flat = engine.canonicalize(input);
    return {to_engine_graph(flat.canonical), {flat.class_of.begin(), flat.class_of.end()}};
}

Deduplicated cse(const EngineGraph& canonical) {
    eqsat::SymbolScope symbols;
    const DeduplicatedGraph flat = corvane::cse(to_symbol_graph(canonical, symbols));
    return {to_engine_graph(flat.graph), {flat.remap.begin(), flat.remap.end()}};
}

Fused stage_fusion(const EngineGraph& graph, const TokenMap& token_map, bool maximal_fusion) {
    NodeTable boundary;
    std::vector<std::uint32_t> row_of(graph.nodes.size(), kNoIndex);
    for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
        const EngineNode& node = graph.nodes[i];
        if (!node.opaque) continue;
        auto found = token_map.find(node.op);
        fault_unless(found != token_map.end(), "boundary node symbol missing from the token map");
        row_of[i] = static_cast<std::uint32_t>(boundary.size());
        boundary.append(HeldView(found->second).view());
    }
    eqsat::SymbolScope symbols;
    return corvane::stage_fusion(to_symbol_graph(graph, symbols), boundary, row_of, maximal_fusion);
}

}  // namespace corvane::testing
