#include "optimizer/dce.hpp"

#include "fault.hpp"

namespace corvane {

LiveIndex live_index(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    const std::size_t n = nodes.size();
    LiveIndex out;
    // remap doubles as the mark: kDead until a node is reached, then 0 until numbered.
    out.remap.assign(n, kDead);

    // Depth-first marking with an explicit stack: last output first, last input next.
    std::vector<NodeId> stack(outputs.begin(), outputs.end());
    std::size_t live_count = 0;
    while (!stack.empty()) {
        const NodeId p = stack.back();
        stack.pop_back();
        fault_unless(p < n, "node reference out of range in dead-code elimination");
        std::uint64_t& mark = out.remap[static_cast<std::size_t>(p)];
        if (mark != kDead) continue;
        mark = 0;
        ++live_count;
        for (NodeId input : nodes[static_cast<std::size_t>(p)].inputs()) stack.push_back(input);
    }

    out.ids.reserve(live_count);
    for (std::size_t i = 0; i < n; ++i) {
        if (out.remap[i] == kDead) continue;
        out.remap[i] = out.ids.size();
        for (NodeId x : nodes[i].inputs()) {
            fault_unless(x < i && out.remap[static_cast<std::size_t>(x)] != kDead,
                         "live node reads a node that is not an earlier live node");
        }
        out.ids.push_back(i);
    }
    out.kept_outputs.reserve(outputs.size());
    for (NodeId o : outputs) out.kept_outputs.push_back(out.remap[static_cast<std::size_t>(o)]);
    return out;
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
