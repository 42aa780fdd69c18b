// The error value of every call that takes node ids: an id the graph it names does not
// hold (a store, or the part of one an incremental reducer has consumed).
#pragma once

#include "node.hpp"

namespace corvane {

struct BadNodeId {
    NodeId id;
    friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

}  // namespace corvane
