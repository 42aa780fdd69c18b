#include "optimizer/incremental.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "fault.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/rules.hpp"

namespace corvane {

// Equivalent to comparing the Op's optimizer symbol with the identity rules' symbols,
// without building it: params are sorted, so "scalar" precedes "side".
bool is_identity_op(const NodeKey& key) noexcept {
    const auto* op = key.get_if<node::Op>();
    if (op == nullptr || op->inputs.size() != 1) return false;
    const auto& entries = op->params.entries();
    if (entries.size() != 2) return false;
    const auto& [scalar_key, scalar] = entries[0];
    const auto& [side_key, side] = entries[1];
    if (scalar_key != "scalar" || scalar.kind() != ParamValue::Kind::Float || side_key != "side" ||
        side.kind() != ParamValue::Kind::Str) {
        return false;
    }
    const std::uint64_t scalar_bits = canonical_float_bits(scalar.as_float());
    return std::ranges::any_of(kIdentityRules, [&](const IdentityRule& rule) {
        return op->name == rule.op && scalar_bits == rule.scalar_bits && side.as_str() == rule.side;
    });
}

bool is_commutative_op(const NodeKey& key) noexcept {
    const auto* op = key.get_if<node::Op>();
    if (op == nullptr || op->inputs.size() != 2 || !op->params.empty()) return false;
    return std::ranges::find(kCommutativeNames, op->name) != kCommutativeNames.end();
}

std::optional<std::uint64_t> IncrementalReducer::lookup(const NodeKey& key,
                                                        std::uint64_t hash) const {
    return memo_.find(hash, [&](std::uint64_t index) { return canon_[static_cast<std::size_t>(index)] == key; });
}

std::uint64_t IncrementalReducer::place(NodeKey key) {
    const std::uint64_t hash = hasher_(key);
    if (const auto found = lookup(key, hash)) return *found;
    if (is_commutative_op(key)) {
        // Only the form met first is stored; its commuted twin finds it here.
        const auto& op = key.as<node::Op>();
        const NodeKey swapped(node::Op{op.name, op.params, {op.inputs[1], op.inputs[0]}});
        if (const auto found = lookup(swapped, hasher_(swapped))) return *found;
    }
    // Allocate first, publish last: nothing changes when an allocation fails.
    const std::uint64_t index = canon_.size();
    memo_.reserve(memo_.size() + 1);
    canon_.push_back(std::move(key));
    memo_.insert(hash, index);  // room was made above, so this cannot throw
    return index;
}

template <class Key>
std::expected<void, BadNodeId> IncrementalReducer::consume(Key&& key) {
    // Inputs may name keys consumed earlier in the same step.
    const std::span<const NodeId> inputs = key.inputs();
    if (const auto bad = first_bad_id(inputs, remap_.size())) return std::unexpected(*bad);
    const auto canonical = [&](NodeId id) { return remap_[static_cast<std::size_t>(id)]; };
    // An identity op never enters canon: its users see its input directly, so
    // hash-consing merges them with nodes that used that input from the start.
    std::uint64_t index = 0;
    if (is_identity_op(key)) {
        index = canonical(inputs.front());
    } else if constexpr (std::is_same_v<Key, NodeKey>) {
        // A key handed over by the caller is rewritten in place.
        index = place(std::move(key).with_inputs_mapped(canonical));
    } else {
        std::vector<NodeId> translated;
        translated.reserve(inputs.size());
        for (const NodeId id : inputs) translated.push_back(canonical(id));
        index = place(key.with_inputs(std::move(translated)));
    }
    remap_.push_back(index);
    return {};
}

std::expected<std::uint64_t, BadNodeId> IncrementalReducer::step(std::span<const NodeKey> delta) {
    for (const NodeKey& key : delta) {
        if (auto done = consume(key); !done) return std::unexpected(done.error());
    }
    total_work_ += delta.size();
    return delta.size();
}

std::expected<std::uint64_t, BadNodeId> IncrementalReducer::step(std::vector<NodeKey>&& delta) {
    for (NodeKey& key : delta) {
        if (auto done = consume(std::move(key)); !done) return std::unexpected(done.error());
    }
    total_work_ += delta.size();
    return delta.size();
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

    Reduced reduced = reduce_nodes(canon_, canon_outputs, engine, maximal_fusion);

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
