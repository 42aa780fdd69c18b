#include "optimizer/dce.hpp"

#include "fault.hpp"

namespace corvane {

LiveNodes dead_code_elimination(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    const std::size_t n = nodes.size();
    std::vector<bool> live(n, false);

    // Depth-first marking with an explicit stack: last output first, last input next.
    std::vector<NodeId> stack(outputs.begin(), outputs.end());
    while (!stack.empty()) {
        const NodeId p = stack.back();
        stack.pop_back();
        fault_unless(p < n, "node reference out of range in dead-code elimination");
        if (live[static_cast<std::size_t>(p)]) continue;
        live[static_cast<std::size_t>(p)] = true;
        for (NodeId input : nodes[static_cast<std::size_t>(p)].inputs()) stack.push_back(input);
    }

    LiveNodes out;
    out.remap.assign(n, kDead);
    std::size_t live_count = 0;
    for (bool b : live) live_count += b ? 1 : 0;
    out.kept.reserve(live_count);
    for (std::size_t i = 0; i < n; ++i) {
        if (!live[i]) continue;
        out.remap[i] = out.kept.size();
        std::span<const NodeId> inputs = nodes[i].inputs();
        std::vector<NodeId> mapped;
        mapped.reserve(inputs.size());
        for (NodeId x : inputs) {
            fault_unless(x < i && out.remap[static_cast<std::size_t>(x)] != kDead,
                         "live node reads a node that is not an earlier live node");
            mapped.push_back(out.remap[static_cast<std::size_t>(x)]);
        }
        out.kept.push_back(nodes[i].with_inputs(std::move(mapped)));
    }
    out.kept_outputs.reserve(outputs.size());
    for (NodeId o : outputs) out.kept_outputs.push_back(out.remap[static_cast<std::size_t>(o)]);
    return out;
}

}  // namespace corvane
