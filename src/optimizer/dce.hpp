// Dead-code elimination: keep the nodes the outputs reach, renumbered densely in
// ascending old-id order.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "node.hpp"

namespace corvane {

inline constexpr std::uint64_t kDead = std::numeric_limits<std::uint64_t>::max();

struct LiveNodes {
    std::vector<NodeKey> kept;                // live keys with inputs renumbered
    std::vector<std::uint64_t> kept_outputs;  // outputs renumbered, order and duplicates kept
    std::vector<std::uint64_t> remap;         // new index per old node, kDead when dropped
};

LiveNodes dead_code_elimination(std::span<const NodeKey> nodes, std::span<const NodeId> outputs);

}  // namespace corvane
