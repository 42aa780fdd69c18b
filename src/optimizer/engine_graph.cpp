#include "optimizer/engine_graph.hpp"

#include "token.hpp"

namespace corvane {

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

EngineGraph to_engine_graph(std::span<const NodeKey> nodes, const LiveIndex& live) {
    EngineGraph graph;
    graph.nodes.resize(live.ids.size());
    for (std::size_t i = 0; i < live.ids.size(); ++i) {
        const NodeKey& key = nodes[static_cast<std::size_t>(live.ids[i])];
        std::span<const NodeId> inputs = key.inputs();
        EngineNode& node = graph.nodes[i];
        node.op = optimizer_symbol(key);
        node.children.reserve(inputs.size());
        for (NodeId x : inputs) node.children.push_back(static_cast<std::size_t>(live.remap[static_cast<std::size_t>(x)]));
        node.opaque = !key.is_op();
    }
    graph.outputs.reserve(live.kept_outputs.size());
    for (std::uint64_t o : live.kept_outputs) graph.outputs.push_back(static_cast<std::size_t>(o));
    return graph;
}

}  // namespace corvane
