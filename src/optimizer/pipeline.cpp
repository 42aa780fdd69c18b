#include "optimizer/pipeline.hpp"

#include "fault.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/engine_graph.hpp"
#include "optimizer/fusion.hpp"

namespace corvane {

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
    Reduced reduced;
    reduced.report.input_nodes = nodes.size();

    const LiveNodes live = dead_code_elimination(nodes, outputs);
    reduced.report.reachable_nodes = live.kept.size();

    EngineGraph graph = to_engine_graph(live.kept, live.kept_outputs);

    // Only non-Op nodes are ever rebuilt from the token map, so only they are entered;
    // the first kept node with a symbol wins.
    TokenMap token_map;
    for (std::size_t i = 0; i < live.kept.size(); ++i) {
        if (graph.nodes[i].opaque) token_map.try_emplace(graph.nodes[i].op, &live.kept[i]);
    }

    Canonicalized canon = engine.canonicalize(graph);
    graph = EngineGraph{};
    fault_unless(canon.class_of.size() == live.kept.size(), "engine class table has the wrong length");

    Deduplicated dedup = cse(canon.canonical);
    reduced.report.canonical_nodes = dedup.graph.nodes.size();

    Fused fused = stage_fusion(dedup.graph, token_map, maximal_fusion);
    reduced.report.stages = fused.stages;
    reduced.report.boundary_nodes = fused.boundary_nodes;
    reduced.report.reduced_nodes = fused.nodes.size();

    reduced.node_map.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
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
