#include "optimizer/incremental.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "fault.hpp"
#include "grow.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/rules.hpp"

namespace corvane {

// Equivalent to comparing the Op's optimizer symbol with the identity rules' symbols,
// without building it: params are sorted, so "scalar" precedes "side".
bool is_identity_op(const NodeView& view) noexcept {
    if (view.kind != NodeKey::Kind::Op || view.inputs.size() != 1 || view.params.size() != 2) {
        return false;
    }
    const ParamEntryView& scalar = view.params[0];
    const ParamEntryView& side = view.params[1];
    if (scalar.key() != "scalar" || scalar.kind != ParamValue::Kind::Float ||
        side.key() != "side" || side.kind != ParamValue::Kind::Str) {
        return false;
    }
    const std::uint64_t scalar_bits = canonical_float_bits(std::bit_cast<double>(scalar.bits));
    return std::ranges::any_of(kIdentityRules, [&](const IdentityRule& rule) {
        return view.name == rule.op && scalar_bits == rule.scalar_bits && side.text() == rule.side;
    });
}

bool is_commutative_op(const NodeView& view) noexcept {
    if (view.kind != NodeKey::Kind::Op || view.inputs.size() != 2 || !view.params.empty()) {
        return false;
    }
    return std::ranges::find(kCommutativeNames, view.name) != kCommutativeNames.end();
}

std::uint64_t IncrementalReducer::place(const NodeView& view, const NodeTable& nodes,
                                        std::size_t i) {
    const std::uint64_t hash = canon_.hash(view);
    if (const auto found = canon_.find(view, hash)) return *found;
    if (is_commutative_op(view)) {
        // Only the form met first is stored; its commuted twin finds it here.
        const std::array<NodeId, 2> swapped_inputs{view.inputs[1], view.inputs[0]};
        NodeView swapped = view;
        swapped.inputs = swapped_inputs;
        if (const auto found = canon_.find(swapped, canon_.hash(swapped))) return *found;
    }
    // canon_'s rows all come from the store's table, so its strings are the store's.
    return canon_.append_row(nodes, i, view.inputs, hash);
}

std::expected<void, BadNodeId> IncrementalReducer::consume(const NodeTable& nodes, std::size_t i) {
    NodeView view = table_view(nodes, i, scratch_);
    // Inputs may name nodes consumed earlier in the same step.
    translated_.clear();
    for (const NodeId id : view.inputs) {
        if (id >= remap_.size()) return std::unexpected(BadNodeId{id});
        translated_.push_back(remap_[static_cast<std::size_t>(id)]);
    }
    view.inputs = translated_;
    // An identity op never enters canon: its users see its input directly, so
    // hash-consing merges them with nodes that used that input from the start.
    const std::uint64_t index = is_identity_op(view) ? view.inputs.front() : place(view, nodes, i);
    remap_.push_back(index);  // room was made by step
    return {};
}

std::expected<std::uint64_t, StepError> IncrementalReducer::step(const NodeTable& nodes,
                                                                 std::uint64_t store) {
    if (store_ != 0 && store_ != store) return std::unexpected(OtherStore{});
    const std::size_t from = remap_.size();
    const std::size_t to = std::max(from, nodes.size());
    grow_to(remap_, to);  // may throw: nothing has changed yet
    if (to == from + 1) {
        // One node, the common case while recording: consume changes canon_ only in its
        // last act, which gives the strong guarantee itself, so no mark is needed.
        if (auto done = consume(nodes, from); !done) return std::unexpected(done.error());
        store_ = store;
        ++total_work_;
        return 1;
    }
    const std::uint64_t bound = store_;
    const HashConsTable::Mark mark = canon_.mark();
    // Bound before the first node is consumed; a failure takes back the binding with
    // every node of the step.
    store_ = store;
    const auto undo = [&] {
        canon_.rollback(mark);
        remap_.resize(from);
        store_ = bound;
    };
    try {
        for (std::size_t i = from; i < to; ++i) {
            if (auto done = consume(nodes, i); !done) {
                undo();
                return std::unexpected(done.error());
            }
        }
    } catch (...) {
        undo();
        throw;
    }
    total_work_ += to - from;
    return to - from;
}

std::expected<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const NodeId> outputs,
                                                               const RewriteEngine& engine,
                                                               bool maximal_fusion) const {
    std::vector<NodeId> canon_outputs;
    canon_outputs.reserve(outputs.size());
    if (const auto bad = first_bad_id(outputs, remap_.size())) return std::unexpected(*bad);
    for (const NodeId o : outputs) {
        canon_outputs.push_back(remap_[static_cast<std::size_t>(o)]);
    }

    Reduced reduced =
        reduce_input(read_pipeline_input(canon_.nodes(), canon_outputs), engine, maximal_fusion);

    // The pipeline's node map is indexed by canon entry; a store node lands where
    // its canonical representative landed.
    fault_unless(reduced.node_map.size() == canon_.size(),
                 "reduction node map does not cover the canonical form");
    NodeMap by_store;
    by_store.reserve(remap_.size());
    for (const std::uint64_t c : remap_) {
        by_store.push_back(reduced.node_map[static_cast<std::size_t>(c)]);
    }
    reduced.node_map = std::move(by_store);
    return reduced;
}

}  // namespace corvane
