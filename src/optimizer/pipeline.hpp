// The reduction pipeline: dead-code elimination, canonicalisation by a rewrite engine,
// common-subexpression elimination and stage fusion, composed into one pure function
// that returns the reduced node list, its outputs, the node map and the report.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace corvane {

class RewriteEngine;

struct Reduced {
    std::vector<NodeKey> nodes;          // Stage and boundary nodes, inputs before users
    std::vector<std::uint64_t> outputs;  // one per requested output, same order
    NodeMap node_map;                    // one entry per input node
    ReductionReport report;
};

// `nodes` are inputs-before-users; every output is below nodes.size().
Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion);

}  // namespace corvane
