// Dead-code elimination: keep the nodes the outputs reach, renumbered densely in
// ascending old-id order. `live_index` is the one marking every user shares: it finds
// the live nodes without copying a key. `dead_code_elimination` also builds the kept
// keys with renumbered inputs (the cone), and the reduction pipeline reads the live keys
// into its own flat form (read_pipeline_input).
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "node.hpp"

namespace corvane {

// The remap entry of a node the outputs do not reach: it lands nowhere, so its node-map
// entry is empty.
inline constexpr std::uint64_t kDropped = std::numeric_limits<std::uint64_t>::max();

struct LiveIndex {
    std::vector<NodeId> ids;                  // old id of each live node, ascending
    std::vector<std::uint64_t> kept_outputs;  // outputs renumbered, order and duplicates kept
    std::vector<std::uint64_t> remap;         // new index per old node, or kDropped
};

struct LiveNodes {
    std::vector<NodeKey> kept;                // live keys with inputs renumbered
    std::vector<std::uint64_t> kept_outputs;  // outputs renumbered, order and duplicates kept
    std::vector<std::uint64_t> remap;         // new index per old node, or kDropped
};

LiveIndex live_index(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);
LiveNodes dead_code_elimination(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);

}  // namespace corvane
