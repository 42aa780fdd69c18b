// The error value of every call that takes node ids: an id the graph it names does not
// hold (a store, or the part of one an incremental reducer has consumed), and the one
// check that finds it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "node.hpp"

namespace corvane {

struct BadNodeId {
    NodeId id;
    friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

// The first of `ids` that a graph of `count` nodes does not hold, if any.
inline std::optional<BadNodeId> first_bad_id(std::span<const NodeId> ids,
                                             std::uint64_t count) noexcept {
    for (NodeId id : ids) {
        if (id >= count) return BadNodeId{id};
    }
    return std::nullopt;
}

}  // namespace corvane
