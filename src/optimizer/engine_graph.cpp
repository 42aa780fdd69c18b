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

}  // namespace corvane
