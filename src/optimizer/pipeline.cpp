#include "optimizer/pipeline.hpp"

#include <utility>

#include "fault.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/engine_graph.hpp"
#include "optimizer/fusion.hpp"

namespace corvane {

PipelineInput read_pipeline_input(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    PipelineInput input;
    input.input_nodes = nodes.size();
    input.live = live_index(nodes, outputs);
    input.graph = to_engine_graph(nodes, input.live);

    // Only non-Op nodes are ever rebuilt from the token map, so only they are entered;
    // the first live node with a symbol wins. A token names a key apart from its inputs,
    // which the rebuild replaces, so one copy per symbol serves every such node. The
    // copies are reserved up front: the map points into them.
    const std::size_t kept = input.live.ids.size();
    std::size_t opaque = 0;
    for (const EngineNode& node : input.graph.nodes) opaque += node.opaque ? 1 : 0;
    input.boundary_keys.reserve(opaque);
    for (std::size_t i = 0; i < kept; ++i) {
        const EngineNode& node = input.graph.nodes[i];
        if (!node.opaque || input.token_map.contains(node.op)) continue;
        const NodeKey& key = nodes[static_cast<std::size_t>(input.live.ids[i])];
        input.boundary_keys.push_back(key.with_inputs({}));
        input.token_map.emplace(node.op, &input.boundary_keys.back());
    }
    return input;
}

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
    return reduce_input(read_pipeline_input(nodes, outputs), engine, maximal_fusion);
}

Reduced reduce_input(PipelineInput input, const RewriteEngine& engine, bool maximal_fusion) {
    Reduced reduced;
    reduced.report.input_nodes = input.input_nodes;
    const LiveIndex& live = input.live;
    const std::size_t kept = live.ids.size();
    reduced.report.reachable_nodes = kept;
    EngineGraph& graph = input.graph;
    const TokenMap& token_map = input.token_map;

    Canonicalized canon = engine.canonicalize(graph);
    graph = EngineGraph{};
    fault_unless(canon.class_of.size() == kept, "engine class table has the wrong length");

    Deduplicated dedup = cse(std::move(canon.canonical));
    reduced.report.canonical_nodes = dedup.graph.nodes.size();

    Fused fused = stage_fusion(std::move(dedup.graph), token_map, maximal_fusion);
    reduced.report.stages = fused.stages;
    reduced.report.boundary_nodes = fused.boundary_nodes;
    reduced.report.reduced_nodes = fused.nodes.size();

    reduced.node_map.resize(live.remap.size());
    for (std::size_t i = 0; i < live.remap.size(); ++i) {
        const std::uint64_t k = live.remap[i];
        if (k == kDead) continue;
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
