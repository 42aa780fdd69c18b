// What a reduction returns, as the optimizer builds it and the store takes it: the
// reduced nodes and outputs, the node map telling where every input node landed, and
// the six report counters. Plain values; the store turns a Reduced into a new store.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

// Where one node of a reduced arena landed: the reduced node and, for a stage member,
// its position in that stage's member list.
struct Landing {
    std::uint64_t reduced_node_id = 0;
    std::optional<std::uint64_t> member_index;
    friend bool operator==(const Landing&, const Landing&) = default;
};

// One entry per input node: where it landed, or empty when the outputs do not reach it.
using NodeMap = std::vector<std::optional<Landing>>;

// The six report counters, in report order.
struct ReductionReport {
    std::uint64_t input_nodes = 0;
    std::uint64_t reachable_nodes = 0;
    std::uint64_t canonical_nodes = 0;
    std::uint64_t stages = 0;
    std::uint64_t reduced_nodes = 0;
    std::uint64_t boundary_nodes = 0;
    friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct Reduced {
    NodeTable nodes;                     // Stage and boundary nodes, inputs before users
    std::vector<std::uint64_t> outputs;  // one per requested output, same order
    NodeMap node_map;                    // one entry per input node
    ReductionReport report;
};

}  // namespace corvane
