// Dead-code elimination: keep the nodes the outputs reach, renumbered densely in
// ascending old-id order. `live_index` is the one marking, shared by every user: it reads
// any node list through the input ids of each node, copies nothing, and can hand each
// live node to a reader as it passes. The reduction pipeline reads the live nodes into
// its flat form on the way (read_pipeline_input), and the cone copies them into a table.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "fault.hpp"
#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

// The remap entry of a node the outputs do not reach: it lands nowhere, so its node-map
// entry is empty.
inline constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();

struct LiveIndex {
    std::vector<NodeId> ids;                  // old id of each live node, ascending
    std::vector<std::uint64_t> kept_outputs;  // outputs renumbered, order and duplicates kept
    std::vector<std::uint32_t> remap;         // new index per old node, or kDropped
};

// The live nodes among `n` nodes (inputs before users; node i reads `inputs_of(i)`) that
// `outputs` reach. Inputs always
// precede their users, so one backward scan marks them all: a node is final once the
// scan has passed all its possible users. The scan calls `visit(i, inputs)` for each
// live node i as it passes it, last node first, so that a caller that needs more of the
// node reads it once, while it is in cache (an arena is read in order, which matters
// once it no longer fits in cache). The live nodes are then numbered in ascending order.
template <class InputsOf, class Visit>
LiveIndex live_index(std::size_t n, const InputsOf& inputs_of, std::span<const NodeId> outputs,
                     Visit&& visit) {
    LiveIndex out;
    // remap doubles as the mark: kDropped until a node is reached, then 0 until numbered.
    // A table holds fewer than kMaxU32 nodes, so every index stays below kDropped.
    fault_unless(n < kDropped, "too many nodes for dead-code elimination");
    out.remap.assign(n, kDropped);
    for (NodeId o : outputs) {
        fault_unless(o < n, "node reference out of range in dead-code elimination");
        out.remap[static_cast<std::size_t>(o)] = 0;
    }
    std::size_t live_count = 0;
    for (std::size_t i = n; i-- > 0;) {
        if (out.remap[i] == kDropped) continue;
        ++live_count;
        const std::span<const NodeId> inputs = inputs_of(i);
        for (NodeId input : inputs) {
            fault_unless(input < i, "live node reads a node that is not an earlier live node");
            out.remap[static_cast<std::size_t>(input)] = 0;
        }
        visit(i, inputs);
    }

    out.ids.reserve(live_count);
    for (std::size_t i = 0; i < n; ++i) {
        if (out.remap[i] == kDropped) continue;
        out.remap[i] = static_cast<std::uint32_t>(out.ids.size());
        out.ids.push_back(i);
    }
    out.kept_outputs.reserve(outputs.size());
    for (NodeId o : outputs) out.kept_outputs.push_back(out.remap[static_cast<std::size_t>(o)]);
    return out;
}

// The live nodes of a table, with no visitor.
LiveIndex live_index(const NodeTable& nodes, std::span<const NodeId> outputs);

}  // namespace corvane
