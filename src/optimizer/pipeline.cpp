#include "optimizer/pipeline.hpp"

#include <functional>
#include <numeric>
#include <string_view>
#include <utility>

#include "eqsat/hash.hpp"
#include "eqsat/symbol.hpp"
#include "fault.hpp"
#include "id_table.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/flat_index.hpp"
#include "optimizer/fusion.hpp"
#include "token.hpp"

namespace corvane {

// The one marking (live_index) hands each live key to this read as it passes it, last
// node first, so that a key is read once however large the arena: its symbol, opacity
// and input ids go to flat buffers in that order. The inputs are renumbered, and the
// buffers put in forward order, once the live nodes are numbered.
PipelineInput read_pipeline_input(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    PipelineInput input;
    input.input_nodes = nodes.size();
    std::vector<std::uint8_t> opaque_rev;     // per live node, last first
    std::vector<NodeId> inputs_rev;           // input ids, node by node, last node first
    std::vector<std::size_t> inputs_end_rev;  // end of each node's inputs in inputs_rev
    input.live = live_index(nodes, outputs, [&](const NodeKey& key, std::span<const NodeId> inputs) {
        for (NodeId x : inputs) inputs_rev.push_back(x);
        inputs_end_rev.push_back(inputs_rev.size());
        opaque_rev.push_back(key.is_op() ? 0 : 1);
        append_optimizer_symbol(input.texts, key);
        input.text_end.push_back(input.texts.size());
    });
    const LiveIndex& live = input.live;
    const std::size_t kept = live.ids.size();

    SymbolGraph& graph = input.graph;
    graph.opaque.assign(opaque_rev.rbegin(), opaque_rev.rend());
    graph.first.reserve(kept + 1);
    graph.children.reserve(inputs_rev.size());
    for (std::size_t k = kept; k-- > 0;) {
        const std::size_t begin = k == 0 ? 0 : inputs_end_rev[k - 1];
        for (std::size_t c = begin; c < inputs_end_rev[k]; ++c) {
            graph.children.push_back(as_index(live.remap[static_cast<std::size_t>(inputs_rev[c])]));
        }
        graph.first.push_back(as_index(graph.children.size()));
    }
    graph.outputs.reserve(live.kept_outputs.size());
    for (std::uint64_t o : live.kept_outputs) graph.outputs.push_back(as_index(o));

    // Only non-Op nodes are ever rebuilt, so only they get a key; the first live node
    // with a symbol gives it. A symbol names a key apart from its inputs, which the
    // rebuild replaces, so one copy per symbol serves every node that carries it.
    input.boundary_of.assign(kept, kNoIndex);
    // Keyed by the process's random seed: the texts come from user data, which must not
    // be able to choose colliding hashes.
    IdTable first_with;  // live indices of the first node of each non-Op symbol
    for (std::size_t i = 0; i < kept; ++i) {
        if (graph.opaque[i] == 0) continue;
        const std::string_view text = input.text(i);
        const std::uint64_t hash = eqsat::hash_text(eqsat::process_hash_seed(), text);
        const auto hit = first_with.find(hash, [&](std::uint64_t j) { return input.text(static_cast<std::size_t>(j)) == text; });
        if (hit) {
            input.boundary_of[i] = input.boundary_of[static_cast<std::size_t>(*hit)];
            continue;
        }
        input.boundary_of[i] = as_index(input.boundary_keys.size());
        input.boundary_keys.push_back(nodes[static_cast<std::size_t>(live.ids[i])].with_inputs({}));
        first_with.insert(hash, i);
    }
    return input;
}

Reduced reduce_nodes(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                     const RewriteEngine& engine, bool maximal_fusion) {
    return reduce_input(read_pipeline_input(nodes, outputs), engine, maximal_fusion);
}

Reduced reduce_input(PipelineInput input, const RewriteEngine& engine, bool maximal_fusion) {
    Reduced reduced;
    reduced.report.input_nodes = input.input_nodes;
    const LiveIndex& live = input.live;
    const std::size_t kept = live.ids.size();
    reduced.report.reachable_nodes = kept;

    // The reduction's own symbols, released when it returns: only the fused nodes'
    // tokens outlive it, as strings.
    eqsat::SymbolScope symbols;
    SymbolGraph& graph = input.graph;
    {
        std::vector<std::string_view> texts(kept);
        for (std::size_t i = 0; i < kept; ++i) texts[i] = input.text(i);
        graph.ops.resize(kept);
        symbols.intern_all(texts, graph.ops);
        input.texts = std::string();
        input.text_end = std::vector<std::size_t>();
    }

    CanonicalGraph canon = engine.canonicalize(graph);
    graph = SymbolGraph{};
    fault_unless(canon.class_of.size() == kept, "engine class table has the wrong length");

    // CSE runs unless the engine vouches that it would change nothing.
    DeduplicatedGraph dedup;
    if (canon.deduplicated) {
        dedup.graph = std::move(canon.canonical);
        dedup.remap.resize(dedup.graph.size());
        std::iota(dedup.remap.begin(), dedup.remap.end(), std::uint32_t{0});
    } else {
        dedup = cse(canon.canonical);
    }
    canon.canonical = SymbolGraph{};
    reduced.report.canonical_nodes = dedup.graph.size();

    // A deduplicated node carries the symbol of the first live node that lands in it, so
    // that node's key is the one to rebuild a boundary node from.
    const std::size_t m = dedup.graph.size();
    std::vector<const NodeKey*> key_of(m, nullptr);
    std::vector<std::uint8_t> seen(m, 0);
    for (std::size_t i = 0; i < kept; ++i) {
        const std::uint32_t cls = canon.class_of[i];
        fault_unless(cls < dedup.remap.size(), "engine class index out of range");
        const std::uint32_t d = dedup.remap[cls];
        if (seen[d]) continue;
        seen[d] = 1;
        if (dedup.graph.opaque[d] == 0) continue;
        const std::uint32_t key = input.boundary_of[i];
        fault_unless(key != kNoIndex, "non-Op node has no boundary key");
        key_of[d] = &input.boundary_keys[key];
    }

    Fused fused = stage_fusion(dedup.graph, key_of, maximal_fusion);
    reduced.report.stages = fused.stages;
    reduced.report.boundary_nodes = fused.boundary_nodes;
    reduced.report.reduced_nodes = fused.nodes.size();

    reduced.node_map.resize(live.remap.size());
    for (std::size_t i = 0; i < live.remap.size(); ++i) {
        const std::uint64_t k = live.remap[i];
        if (k == kDropped) continue;
        const std::size_t cls = canon.class_of[static_cast<std::size_t>(k)];
        fault_unless(cls < dedup.remap.size(), "engine class index out of range");
        const std::size_t d = dedup.remap[cls];
        fault_unless(d < fused.landing_of.size(), "deduplicated index out of range");
        reduced.node_map[i] = fused.landing_of[d];
    }
    reduced.nodes = std::move(fused.nodes);
    reduced.outputs = std::move(fused.outputs);
    return reduced;
}

}  // namespace corvane
