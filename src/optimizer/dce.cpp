#include "optimizer/dce.hpp"

namespace corvane {

LiveIndex live_index(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    return live_index(KeyList{nodes}, outputs, [](std::size_t, std::span<const NodeId>) {});
}

LiveNodes dead_code_elimination(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    LiveIndex index = live_index(nodes, outputs);
    LiveNodes out;
    out.kept.reserve(index.ids.size());
    for (NodeId id : index.ids) {
        const NodeKey& key = nodes[static_cast<std::size_t>(id)];
        std::span<const NodeId> inputs = key.inputs();
        std::vector<NodeId> mapped;
        mapped.reserve(inputs.size());
        for (NodeId x : inputs) mapped.push_back(index.remap[static_cast<std::size_t>(x)]);
        out.kept.push_back(key.with_inputs(std::move(mapped)));
    }
    out.kept_outputs = std::move(index.kept_outputs);
    out.remap = std::move(index.remap);
    return out;
}

}  // namespace corvane
