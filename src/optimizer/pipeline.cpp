#include "optimizer/pipeline.hpp"

#include <utility>

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

    // The live nodes are read in place: no key is copied until fusion rebuilds the
    // boundary nodes from the token map.
    const LiveIndex live = live_index(nodes, outputs);
    const std::size_t kept = live.ids.size();
    reduced.report.reachable_nodes = kept;

    EngineGraph graph = to_engine_graph(nodes, live);

    // Only non-Op nodes are ever rebuilt from the token map, so only they are entered;
    // the first kept node with a symbol wins. A token names a key apart from its inputs,
    // which the rebuild replaces, so the map can point at the original keys.
    TokenMap token_map;
    for (std::size_t i = 0; i < kept; ++i) {
        if (graph.nodes[i].opaque) {
            token_map.try_emplace(graph.nodes[i].op, &nodes[static_cast<std::size_t>(live.ids[i])]);
        }
    }

    Canonicalized canon = engine.canonicalize(graph);
    graph = EngineGraph{};
    fault_unless(canon.class_of.size() == kept, "engine class table has the wrong length");

    Deduplicated dedup = cse(std::move(canon.canonical));
    reduced.report.canonical_nodes = dedup.graph.nodes.size();

    Fused fused = stage_fusion(std::move(dedup.graph), token_map, maximal_fusion);
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
