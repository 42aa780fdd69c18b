// Small builders for node keys used across the C++ tests and benchmarks, and a key's
// token, label, symbol, hash and blob through the view-taking production routines.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "label.hpp"
#include "node.hpp"
#include "node_table.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/pipeline.hpp"
#include "token.hpp"

namespace corvane::testing {

inline ParamMap params(std::vector<ParamMap::Entry> entries = {}) {
    return ParamMap(std::move(entries));
}
inline ParamValue I(std::int64_t v) { return ParamValue::of_int(v); }
inline ParamValue F(double v) { return ParamValue::of_float(v); }
inline ParamValue S(std::string v) { return ParamValue::of_str(std::move(v)); }
inline ParamValue B(bool v) { return ParamValue::of_bool(v); }

inline NodeKey source(std::string name, ParamMap p = {}) {
    return node::Source{std::move(name), std::move(p)};
}

inline NodeKey op(std::string name, std::vector<NodeId> inputs, ParamMap p = {}) {
    return node::Op{std::move(name), std::move(p), std::move(inputs)};
}

inline NodeKey reduction(std::string name, std::vector<NodeId> inputs, ParamMap p = {}) {
    return node::Reduction{std::move(name), std::move(p), std::move(inputs)};
}

inline NodeKey join(std::vector<NodeId> inputs, ParamMap p = {}) {
    return node::Join{std::move(p), std::move(inputs)};
}

// The identity op `name` ("add" with scalar 0.0, "mul" with scalar 1.0) on the given
// side ("r" or "l"); it collapses only over exactly one input.
inline NodeKey identity_op(std::string_view name, const char* side, std::vector<NodeId> inputs) {
    const double scalar = name == "add" ? 0.0 : 1.0;
    return op(std::string(name), std::move(inputs),
              params({{"scalar", F(scalar)}, {"side", S(side)}}));
}

inline NodeKey add_zero(NodeId input, const char* side = "r") {
    return identity_op("add", side, {input});
}

// `key` with every input id replaced by `f(id)` (a Source stays unchanged; a Stage keeps
// its members).
template <class F>
NodeKey map_inputs(const NodeKey& key, F&& f) {
    NodeKey::Variant v = key.variant();
    return std::visit(
        [&](auto& n) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(n)>, node::Source>) {
                for (NodeId& id : n.inputs) id = f(id);
            }
            return NodeKey(std::move(n));
        },
        v);
}
// `key` with its input list replaced; the new length is not compared with the old one.
inline NodeKey with_inputs(const NodeKey& key, std::vector<NodeId> inputs) {
    NodeKey::Variant v = key.variant();
    return std::visit(
        [&](auto& n) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(n)>, node::Source>) {
                n.inputs = std::move(inputs);
            }
            return NodeKey(std::move(n));
        },
        v);
}

inline std::string token(const NodeKey& key) {
    ViewScratch scratch;
    return corvane::token(view_of(key, scratch));
}
inline std::string label(const NodeKey& key) {
    ViewScratch scratch;
    return corvane::label(view_of(key, scratch));
}
inline std::string optimizer_symbol(const NodeKey& key) {
    ViewScratch scratch;
    return corvane::optimizer_symbol(view_of(key, scratch));
}
inline std::uint64_t hash_key(const NodeKey& key, const HashSeed& seed) {
    ViewScratch scratch;
    return corvane::hash_key(view_of(key, scratch), seed);
}
// Hasher for unordered containers keyed by NodeKey: the hash of the key's view.
struct KeyHash {
    HashSeed seed = HashSeed::random();
    std::size_t operator()(const NodeKey& key) const {
        return static_cast<std::size_t>(hash_key(key, seed));
    }
};

// A key's view together with the scratch it borrows; neither copied nor moved.
class HeldView {
public:
    explicit HeldView(const NodeKey& key) : view_(view_of(key, scratch_)) {}
    HeldView(const HeldView&) = delete;
    HeldView& operator=(const HeldView&) = delete;
    const NodeView& view() const noexcept { return view_; }

private:
    ViewScratch scratch_;
    NodeView view_;
};

// The live nodes of a key list, and its live keys with their inputs renumbered.
inline LiveIndex live_index(std::span<const NodeKey> keys, std::span<const NodeId> outputs) {
    const auto inputs_of = [&](std::size_t i) { return keys[i].inputs(); };
    return corvane::live_index(keys.size(), inputs_of, outputs,
                               [](std::size_t, std::span<const NodeId>) {});
}
inline std::vector<NodeKey> live_keys(std::span<const NodeKey> keys, const LiveIndex& live) {
    std::vector<NodeKey> kept;
    kept.reserve(live.ids.size());
    for (NodeId id : live.ids) {
        const auto renumbered = [&](NodeId x) { return live.remap[x]; };
        kept.push_back(map_inputs(keys[id], renumbered));
    }
    return kept;
}

// An arena as a table, row for row (repeated nodes included).
inline NodeTable table_of(std::span<const NodeKey> arena) {
    NodeTable table;
    ViewScratch scratch;
    for (const NodeKey& key : arena) table.append(view_of(key, scratch));
    return table;
}

// The blob of an arena written as it is (repeated nodes included) with `outputs`.
inline std::expected<std::vector<std::uint8_t>, BlobTooLarge> serialize_nodes(
    std::span<const NodeKey> arena, std::span<const NodeId> outputs) {
    return serialize_table(table_of(arena), outputs);
}

// The whole reduction of an arena, through the table read the stores use.
inline Reduced reduce_keys(std::span<const NodeKey> arena, std::span<const NodeId> outputs,
                           const RewriteEngine& engine, bool maximal_fusion) {
    return reduce_input(read_pipeline_input(table_of(arena), outputs), engine, maximal_fusion);
}

}  // namespace corvane::testing
