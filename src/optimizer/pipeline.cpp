#include "optimizer/pipeline.hpp"

#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "eqsat/hash.hpp"
#include "eqsat/symbol.hpp"
#include "fault.hpp"
#include "id_table.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/flat_index.hpp"
#include "optimizer/fusion.hpp"
#include "table_view.hpp"
#include "token.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace corvane {
namespace {

// glibc keeps the many small blocks a phase frees (the engine's, the symbols') in its
// heap, where the large arrays the next phase allocates (mapped on their own) cannot
// reuse them; from this many live nodes on, handing those pages back lowers the
// reduction's peak resident size by about a tenth for well under 1% of its time. Below it
// the pages are few and the walk costs more.
constexpr std::size_t kReturnPagesFrom = std::size_t{1} << 21;

void return_freed_pages(std::size_t live_nodes) noexcept {
#if defined(__GLIBC__)
    if (live_nodes >= kReturnPagesFrom) ::malloc_trim(0);
#else
    (void)live_nodes;
#endif
}

}  // namespace

// The one marking (live_index) hands each live node to this read as it passes it, last
// node first, so that a node is read once however large the arena: its symbol, kind and
// input ids go to flat buffers in that order. The inputs are renumbered, and the buffers
// put in forward order, once the live nodes are numbered.
PipelineInput read_pipeline_input(const NodeTable& nodes, std::span<const NodeId> outputs) {
    PipelineInput input;
    input.input_nodes = nodes.size();
    std::vector<std::uint8_t> non_op_rev;     // per live node, last first
    std::vector<NodeId> inputs_rev;           // input ids, node by node, last node first
    std::vector<std::size_t> inputs_end_rev;  // end of each node's inputs in inputs_rev
    ViewScratch scratch;
    const auto inputs_of = [&](std::size_t i) { return nodes.inputs(i); };
    input.live = live_index(nodes.size(), inputs_of, outputs,
                            [&](std::size_t i, std::span<const NodeId> ins) {
                                const NodeView view = table_view(nodes, i, scratch);
                                for (NodeId x : ins) inputs_rev.push_back(x);
                                inputs_end_rev.push_back(inputs_rev.size());
                                non_op_rev.push_back(view.kind == NodeKey::Kind::Op ? 0 : 1);
                                append_optimizer_symbol(input.texts, view);
                                input.text_end.push_back(input.texts.size());
                            });
    const LiveIndex& live = input.live;
    const std::size_t kept = live.ids.size();

    SymbolGraph& graph = input.graph;
    graph.non_op.assign(non_op_rev.rbegin(), non_op_rev.rend());
    graph.first.reserve(kept + 1);
    graph.children.reserve(inputs_rev.size());
    for (std::size_t k = kept; k-- > 0;) {
        const std::size_t begin = k == 0 ? 0 : inputs_end_rev[k - 1];
        for (std::size_t c = begin; c < inputs_end_rev[k]; ++c) {
            graph.children.push_back(as_index(live.remap[static_cast<std::size_t>(inputs_rev[c])]));
        }
        graph.first.push_back(as_index(graph.children.size()));
    }
    graph.outputs.reserve(live.kept_outputs.size());
    for (std::uint64_t o : live.kept_outputs) graph.outputs.push_back(as_index(o));

    // Only non-Op nodes are ever rebuilt, so only they are copied; the first live node
    // with a symbol gives the copy. A symbol names a node apart from its inputs, which
    // the rebuild replaces, so one copy per symbol serves every node that carries it.
    input.boundary_of.assign(kept, kNoIndex);
    // Keyed by the process's random seed: the texts come from user data, which must not
    // be able to choose colliding hashes.
    IdTable first_with;  // live indices of the first node of each non-Op symbol
    for (std::size_t i = 0; i < kept; ++i) {
        if (graph.non_op[i] == 0) continue;
        const std::string_view text = input.text(i);
        const std::uint64_t hash = eqsat::hash_text(eqsat::process_hash_seed(), text);
        const auto hit = first_with.find(
            hash, [&](std::uint64_t j) { return input.text(static_cast<std::size_t>(j)) == text; });
        if (hit) {
            input.boundary_of[i] = input.boundary_of[static_cast<std::size_t>(*hit)];
            continue;
        }
        input.boundary_of[i] = as_index(input.boundary.size());
        NodeView view = table_view(nodes, static_cast<std::size_t>(live.ids[i]), scratch);
        view.inputs = {};
        input.boundary.append(view);
        first_with.insert(hash, i);
    }
    return input;
}

namespace {

// CSE merges canonical node c into the first one with the same symbol over the same
// deduplicated children. Each class is represented by its first input node, so the merge
// is a congruence of those two input nodes, resting on their children's equality; in
// canonical order, the merges below them are logged first.
void log_cse(const SymbolGraph& graph, const CanonicalGraph& canon,
             std::span<const std::uint32_t> remap, ReductionProofs& proofs) {
    const std::size_t k = remap.size();
    std::vector<std::uint32_t> first_input(k, kNoIndex);
    for (std::size_t i = 0; i < canon.class_of.size(); ++i) {
        std::uint32_t& f = first_input[canon.class_of[i]];
        if (f == kNoIndex) f = as_index(i);
    }
    std::vector<std::uint32_t> first_canonical(k, kNoIndex);
    std::vector<eqsat::IdPair> pairs;
    const std::vector<eqsat::Id>& added = proofs.node_of;
    for (std::size_t c = 0; c < k; ++c) {
        std::uint32_t& into = first_canonical[remap[c]];
        if (into == kNoIndex) {
            into = as_index(c);
            continue;
        }
        const std::uint32_t mine = first_input[c];
        const std::uint32_t theirs = first_input[into];
        const auto my_children = graph.children_of(mine);
        const auto their_children = graph.children_of(theirs);
        fault_unless(my_children.size() == their_children.size(),
                     "merged nodes differ in their children");
        pairs.clear();
        for (std::size_t j = 0; j < my_children.size(); ++j)
            pairs.push_back({added[their_children[j]], added[my_children[j]]});
        proofs.proofs.add(added[theirs], added[mine], eqsat::Reason::of_congruence(), pairs);
    }
}

}  // namespace

Reduced reduce_input(PipelineInput input, const RewriteEngine& engine, bool maximal_fusion,
                     ReductionProofs* proofs) {
    Reduced reduced;
    reduced.report.input_nodes = input.input_nodes;
    const LiveIndex& live = input.live;
    const std::size_t kept = live.ids.size();
    reduced.report.reachable_nodes = kept;
    // Each phase's working memory is released as soon as the next no longer reads it,
    // so that the peak is one phase's, not their sum.
    input.live.ids = std::vector<NodeId>();

    // The reduction's own symbols, released once fusion has written the fused nodes'
    // tokens as strings.
    std::optional<eqsat::SymbolScope> symbols(std::in_place);
    SymbolGraph& graph = input.graph;
    {
        std::vector<std::string_view> texts(kept);
        for (std::size_t i = 0; i < kept; ++i) texts[i] = input.text(i);
        graph.ops.resize(kept);
        symbols->intern_all(texts, graph.ops);
        symbols->freeze();                // every symbol is made: the passes after only read texts
        std::string().swap(input.texts);  // assigning an empty string may keep the buffer
        input.text_end = std::vector<std::size_t>();
    }

    CanonicalGraph canon;
    if (proofs != nullptr) {
        ProvedGraph proved = engine.canonicalize_proved(graph);
        canon = std::move(proved.graph);
        proofs->proofs = std::move(proved.proofs);
        proofs->node_of = std::move(proved.added);
        fault_unless(proofs->node_of.size() == kept, "engine proof ids have the wrong length");
        proofs->live_of = input.live.remap;
    } else {
        canon = engine.canonicalize(graph);
        graph = SymbolGraph{};
    }
    return_freed_pages(kept);
    fault_unless(canon.class_of.size() == kept, "engine class table has the wrong length");

    // CSE runs unless the engine vouches that it would change nothing.
    DeduplicatedGraph dedup;
    if (canon.deduplicated) {
        dedup.graph = std::move(canon.canonical);
        dedup.remap.resize(dedup.graph.size());
        std::iota(dedup.remap.begin(), dedup.remap.end(), std::uint32_t{0});
    } else {
        dedup = cse(canon.canonical);
        if (proofs != nullptr) log_cse(graph, canon, dedup.remap, *proofs);
    }
    graph = SymbolGraph{};
    canon.canonical = SymbolGraph{};
    reduced.report.canonical_nodes = dedup.graph.size();

    // A deduplicated node carries the symbol of the first live node that lands in it, so
    // that node's boundary row is the one to rebuild a boundary node from.
    const std::size_t m = dedup.graph.size();
    std::vector<std::uint32_t> row_of(m, kNoIndex);
    std::vector<std::uint8_t> seen(m, 0);
    for (std::size_t i = 0; i < kept; ++i) {
        const std::uint32_t cls = canon.class_of[i];
        fault_unless(cls < dedup.remap.size(), "engine class index out of range");
        const std::uint32_t d = dedup.remap[cls];
        if (seen[d]) continue;
        seen[d] = 1;
        if (dedup.graph.non_op[d] == 0) continue;
        const std::uint32_t row = input.boundary_of[i];
        fault_unless(row != kNoIndex, "non-Op node has no boundary row");
        row_of[d] = row;
    }
    seen = std::vector<std::uint8_t>();
    input.boundary_of = std::vector<std::uint32_t>();

    // Each input node's deduplicated index, written over its live index so that the
    // engine's and CSE's renumbering tables are gone before fusion allocates; the node
    // map then reads only this (a dropped node keeps kDropped).
    std::vector<std::uint32_t>& dedup_of = input.live.remap;
    for (std::uint32_t& k : dedup_of) {
        if (k == kDropped) continue;
        const std::uint32_t cls = canon.class_of[k];
        fault_unless(cls < dedup.remap.size(), "engine class index out of range");
        k = dedup.remap[cls];
    }
    canon.class_of = std::vector<std::uint32_t>();
    dedup.remap = std::vector<std::uint32_t>();

    Fused fused = stage_fusion(dedup.graph, input.boundary, row_of, maximal_fusion);
    reduced.report.stages = fused.stages;
    reduced.report.boundary_nodes = fused.boundary_nodes;
    reduced.report.reduced_nodes = fused.nodes.size();
    dedup.graph = SymbolGraph{};
    symbols.reset();
    return_freed_pages(kept);
    input.boundary = NodeTable();
    row_of = std::vector<std::uint32_t>();

    reduced.node_map.resize(dedup_of.size());
    for (std::size_t i = 0; i < dedup_of.size(); ++i) {
        const std::uint32_t d = dedup_of[i];
        if (d == kDropped) continue;
        fault_unless(d < fused.landing_of.size(), "deduplicated index out of range");
        reduced.node_map.set(i, fused.landing_of[d]);
    }
    reduced.nodes = std::move(fused.nodes);
    reduced.outputs = std::move(fused.outputs);
    return reduced;
}

}  // namespace corvane
