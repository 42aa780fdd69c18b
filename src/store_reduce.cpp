// The stores derived from a store: reductions, the cone, and the construction of a
// fresh store from a reduction record.
#include "fault.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/pipeline.hpp"
#include "store.hpp"
#include "store_inner.hpp"
#include "table_view.hpp"

namespace corvane {

// A reduction reads the live part of the arena in place while holding the lock, which
// costs less than copying the arena out; everything after that runs unlocked.
std::expected<PipelineInput, BadNodeId> GraphStore::pipeline_input(
    std::optional<std::span<const NodeId>> outputs) const {
    return inner_->with_lock([&](const Inner& in) -> std::expected<PipelineInput, BadNodeId> {
        if (!outputs) return read_pipeline_input(in.table.nodes(), in.outputs);
        if (const auto bad = first_bad_id(*outputs, in.table.nodes().size())) {
            return std::unexpected(*bad);
        }
        return read_pipeline_input(in.table.nodes(), *outputs);
    });
}

ReducedStore GraphStore::reduce_with(const RewriteEngine& engine, bool maximal_fusion) const {
    return from_reduced(reduce_input(*pipeline_input(std::nullopt), engine, maximal_fusion));
}

std::expected<ReducedStore, BadNodeId> GraphStore::reduce_with_outputs(
    std::span<const NodeId> outputs, const RewriteEngine& engine, bool maximal_fusion) const {
    std::expected<PipelineInput, BadNodeId> input = pipeline_input(outputs);
    if (!input) return std::unexpected(input.error());
    return from_reduced(reduce_input(std::move(*input), engine, maximal_fusion));
}

namespace {

Explained explain_input(PipelineInput input, const RewriteEngine& engine, bool maximal_fusion) {
    ReductionProofs proofs;
    Reduced reduced = reduce_input(std::move(input), engine, maximal_fusion, &proofs);
    // The landings are read from the store a reduction returns, renumbering included.
    const NodeMap landings = GraphStore::from_reduced(std::move(reduced)).first.node_map();
    return explain_landings(landings, std::move(proofs));
}

}  // namespace

Explained GraphStore::explain_with(const RewriteEngine& engine, bool maximal_fusion) const {
    return explain_input(*pipeline_input(std::nullopt), engine, maximal_fusion);
}

std::expected<Explained, BadNodeId> GraphStore::explain_with_outputs(
    std::span<const NodeId> outputs, const RewriteEngine& engine, bool maximal_fusion) const {
    std::expected<PipelineInput, BadNodeId> input = pipeline_input(outputs);
    if (!input) return std::unexpected(input.error());
    return explain_input(std::move(*input), engine, maximal_fusion);
}

ReducedStore GraphStore::from_reduced(Reduced reduced) {
    GraphStore store;
    const std::size_t n = reduced.nodes.size();
    // Reduced nodes are normally all distinct: then the store takes the table as it is,
    // every node keeps its index and `ids` stays empty.
    std::vector<NodeId> ids;
    for (std::size_t i = 0; i < n; ++i) {
        for (NodeId x : reduced.nodes.inputs(i)) {
            fault_unless(x < i, "reduced graph references only earlier nodes");
        }
    }
    std::optional<HashConsTable> table = HashConsTable::of_distinct(reduced.nodes, store.seed_);
    if (table) {
        store.inner_->with_lock([&](Inner& in) { in.table = std::move(*table); });
    } else {
        // A repeated node lands on the earlier one, so the inputs of later nodes move.
        store.reserve(n);
        ids.reserve(n);
        ViewScratch scratch;
        std::vector<NodeId> mapped;
        for (std::size_t i = 0; i < n; ++i) {
            NodeView view = table_view(reduced.nodes, i, scratch);
            mapped.clear();
            for (NodeId x : view.inputs) {
                fault_unless(x < ids.size(), "reduced graph references only earlier nodes");
                mapped.push_back(ids[static_cast<std::size_t>(x)]);
            }
            view.inputs = mapped;
            auto id = store.intern(view);
            fault_unless(id.has_value(), "reduced graph references only earlier nodes");
            ids.push_back(*id);
        }
    }
    const auto id_of = [&](std::uint64_t i, const char* what) -> NodeId {
        fault_unless(i < n, what);
        return ids.empty() ? i : ids[static_cast<std::size_t>(i)];
    };
    std::vector<NodeId> outputs;
    outputs.reserve(reduced.outputs.size());
    for (std::uint64_t o : reduced.outputs) outputs.push_back(id_of(o, "reduced output is valid"));
    fault_unless(store.mark_outputs(outputs).has_value(), "reduced output is valid");
    reduced.node_map.renumber(
        [&](std::uint64_t i) { return id_of(i, "node map names a reduced node"); });
    store.set_node_map(std::move(reduced.node_map));
    return {std::move(store), reduced.report};
}

// The cone copies the table out under the lock, then copies its live nodes, inputs
// renumbered, into the new store's table.
std::expected<std::uint64_t, StepError> GraphStore::feed(IncrementalReducer& reducer) const {
    return inner_->with_lock(
        [&](const Inner& in) { return reducer.step(in.table.nodes(), serial_); });
}

std::optional<std::expected<std::uint64_t, StepError>> GraphStore::feed(
    IncrementalReducer& reducer, std::uint64_t at_most) const {
    using Result = std::optional<std::expected<std::uint64_t, StepError>>;
    return inner_->with_lock([&](const Inner& in) -> Result {
        if (in.table.size() > reducer.watermark() + at_most) return std::nullopt;
        return reducer.step(in.table.nodes(), serial_);
    });
}

std::expected<GraphStore, BadNodeId> GraphStore::cone(std::span<const NodeId> outputs) const {
    const TableSnapshot snapshot = table_snapshot();
    const NodeTable& nodes = snapshot.nodes;
    if (const auto bad = first_bad_id(outputs, nodes.size())) return std::unexpected(*bad);
    LiveIndex live = live_index(nodes, outputs);

    Reduced reduced;
    ViewScratch scratch;
    std::vector<NodeId> mapped;
    for (NodeId id : live.ids) {
        NodeView view = table_view(nodes, static_cast<std::size_t>(id), scratch);
        mapped.clear();
        for (NodeId x : view.inputs) mapped.push_back(live.remap[static_cast<std::size_t>(x)]);
        view.inputs = mapped;
        reduced.nodes.append(view);
    }
    reduced.outputs = std::move(live.kept_outputs);
    reduced.node_map.resize(live.remap.size());
    for (std::size_t i = 0; i < live.remap.size(); ++i) {
        if (live.remap[i] != kDropped)
            reduced.node_map.set(i, Landing{live.remap[i], std::nullopt});
    }
    return from_reduced(std::move(reduced)).first;
}

}  // namespace corvane
