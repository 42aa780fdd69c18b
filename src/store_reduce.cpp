// The stores derived from a store: reductions, the cone, and the construction of a
// fresh store from a reduction record.
#include "fault.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/pipeline.hpp"
#include "store.hpp"
#include "store_inner.hpp"

namespace corvane {

// A reduction reads the live part of the arena in place while holding the lock, which
// costs less than copying the arena out; everything after that runs unlocked.
ReducedStore GraphStore::reduce_with(const RewriteEngine& engine, bool maximal_fusion) const {
    PipelineInput input =
        inner_->with_lock([](const Inner& in) { const std::vector<NodeKey> arena = in.nodes.keys(); return read_pipeline_input(arena, in.outputs); });
    return from_reduced(reduce_input(std::move(input), engine, maximal_fusion));
}

std::expected<ReducedStore, BadNodeId> GraphStore::reduce_with_outputs(
    std::span<const NodeId> outputs, const RewriteEngine& engine, bool maximal_fusion) const {
    std::expected<PipelineInput, BadNodeId> input =
        inner_->with_lock([&](const Inner& in) -> std::expected<PipelineInput, BadNodeId> {
            for (NodeId id : outputs) {
                if (id >= in.nodes.size()) return std::unexpected(BadNodeId{id});
            }
            const std::vector<NodeKey> arena = in.nodes.keys();
            return read_pipeline_input(arena, outputs);
        });
    if (!input) return std::unexpected(input.error());
    return from_reduced(reduce_input(std::move(*input), engine, maximal_fusion));
}

ReducedStore GraphStore::from_reduced(Reduced reduced) {
    GraphStore store;
    store.reserve(reduced.nodes.size());
    std::vector<NodeId> ids;
    ids.reserve(reduced.nodes.size());
    for (NodeKey& key : reduced.nodes) {
        // Reduced nodes are normally all distinct, so each lands at its own index and its
        // inputs stay as they are; only a node whose inputs moved is rebuilt.
        std::span<const NodeId> inputs = key.inputs();
        bool moved = false;
        for (NodeId x : inputs) {
            fault_unless(x < ids.size(), "reduced graph references only earlier nodes");
            moved |= ids[static_cast<std::size_t>(x)] != x;
        }
        if (moved) {
            std::vector<NodeId> mapped;
            mapped.reserve(inputs.size());
            for (NodeId x : inputs) mapped.push_back(ids[static_cast<std::size_t>(x)]);
            key = std::move(key).with_inputs(std::move(mapped));
        }
        auto id = store.intern(std::move(key));
        fault_unless(id.has_value(), "reduced graph references only earlier nodes");
        ids.push_back(*id);
    }
    std::vector<NodeId> outputs;
    outputs.reserve(reduced.outputs.size());
    for (std::uint64_t o : reduced.outputs) {
        fault_unless(o < ids.size(), "reduced output is valid");
        outputs.push_back(ids[static_cast<std::size_t>(o)]);
    }
    fault_unless(store.mark_outputs(outputs).has_value(), "reduced output is valid");
    for (std::optional<Landing>& landing : reduced.node_map) {
        if (!landing) continue;
        fault_unless(landing->reduced_node_id < ids.size(), "node map names a reduced node");
        landing->reduced_node_id = ids[static_cast<std::size_t>(landing->reduced_node_id)];
    }
    store.set_node_map(std::move(reduced.node_map));
    return {std::move(store), reduced.report};
}

std::expected<GraphStore, BadNodeId> GraphStore::cone(std::span<const NodeId> outputs) const {
    auto arena = arena_holding(outputs);
    if (!arena) return std::unexpected(arena.error());
    LiveNodes live = dead_code_elimination(*arena, outputs);

    Reduced reduced;
    reduced.nodes = std::move(live.kept);
    reduced.outputs = std::move(live.kept_outputs);
    reduced.node_map.resize(live.remap.size());
    for (std::size_t i = 0; i < live.remap.size(); ++i) {
        if (live.remap[i] != kDropped) reduced.node_map[i] = Landing{live.remap[i], std::nullopt};
    }
    return from_reduced(std::move(reduced)).first;
}

}  // namespace corvane
