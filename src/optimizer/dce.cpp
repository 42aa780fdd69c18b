#include "optimizer/dce.hpp"

#include "fault.hpp"

namespace corvane {

LiveIndex live_index(std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    const std::size_t n = nodes.size();
    LiveIndex out;
    // remap doubles as the mark: kDropped until a node is reached, then 0 until numbered.
    out.remap.assign(n, kDropped);

    // Inputs always precede their users, so one backward scan marks everything the
    // outputs reach: a node is final once the scan has passed all its possible users.
    // The scan reads the arena in order, which matters once it no longer fits in cache.
    std::size_t live_count = 0;
    auto mark = [&](NodeId p) {
        std::uint64_t& slot = out.remap[static_cast<std::size_t>(p)];
        if (slot == kDropped) {
            slot = 0;
            ++live_count;
        }
    };
    for (NodeId o : outputs) {
        fault_unless(o < n, "node reference out of range in dead-code elimination");
        mark(o);
    }
    for (std::size_t i = n; i-- > 0;) {
        if (out.remap[i] == kDropped) continue;
        for (NodeId input : nodes[i].inputs()) {
            fault_unless(input < i, "live node reads a node that is not an earlier live node");
            mark(input);
        }
    }

    out.ids.reserve(live_count);
    for (std::size_t i = 0; i < n; ++i) {
        if (out.remap[i] == kDropped) continue;
        out.remap[i] = out.ids.size();
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
