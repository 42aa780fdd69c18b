// The reduction pipeline: dead-code elimination, canonicalisation by a rewrite engine,
// common-subexpression elimination and stage fusion, composed into one pure function
// that returns the reduced node list, its outputs, the node map and the report.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node.hpp"
#include "node_table.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/flat_index.hpp"
#include "optimizer/fusion.hpp"
#include "reduction.hpp"

namespace corvane {

class RewriteEngine;

// Everything a reduction reads from the arena: the live nodes in flat engine form (their
// symbols still as text) and a copy of the first live node of each non-Op symbol, which
// fusion rebuilds boundary nodes from. Nothing later looks at the arena, so a store need
// hold its lock only while this is read.
struct PipelineInput {
    std::uint64_t input_nodes = 0;
    LiveIndex live;
    SymbolGraph graph;                  // ops left empty until the texts are interned
    std::string texts;                  // the live nodes' symbols, back to back, last node first
    std::vector<std::size_t> text_end;  // end of each symbol in texts, last node first
    NodeTable boundary;                 // inputs emptied; the rebuild replaces them
    std::vector<std::uint32_t>
        boundary_of;  // live node -> its symbol's boundary row, kNoIndex for Ops

    // The symbol text of live node i.
    std::string_view text(std::size_t i) const noexcept {
        const std::size_t k = text_end.size() - 1 - i;
        const std::size_t begin = k == 0 ? 0 : text_end[k - 1];
        return std::string_view(texts).substr(begin, text_end[k] - begin);
    }
};

// What a reduction proved, for explaining it: live_of[i] is input node i's live index
// (kDropped when dropped), node_of[k] the proof id of live node k, and proofs every union
// of the engine, then those of common-subexpression elimination as congruences.
struct ReductionProofs {
    std::vector<std::uint32_t> live_of;
    std::vector<eqsat::Id> node_of;
    eqsat::ProofLog proofs;
};

// `nodes` are inputs-before-users; every output is below nodes.size(). The table is read
// in place: no key is built.
PipelineInput read_pipeline_input(const NodeTable& nodes, std::span<const NodeId> outputs);
// The rest of the reduction, which reads nothing but `input`; maximal_fusion picks the
// maximal rule of stage fusion over the single-use one.
// With `proofs`, the same reduction also fills them in.
Reduced reduce_input(PipelineInput input, const RewriteEngine& engine, bool maximal_fusion,
                     ReductionProofs* proofs = nullptr);

}  // namespace corvane
