// One hash-consing table: the nodes in their dense form, the index that finds a node by
// its content, and the seed the index hashes under, kept together. The type holds the
// invariant that ties them: the index has exactly one entry per node, under the node's
// hash with this seed, and no node repeats another. Interning gives the strong
// guarantee, and a mark taken before a series of interns can take the series back.
// The store's arena, the blob reader's private table, the reduced store and the
// incremental reducer's canonical form are each one of these.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "id_table.hpp"
#include "node.hpp"
#include "node_table.hpp"

namespace corvane {

class HashConsTable {
public:
    explicit HashConsTable(const HashSeed& seed = HashSeed::random()) noexcept;
    // A table of `nodes` as they are, when no node repeats an earlier one (the nodes are
    // then moved in); nothing otherwise, and `nodes` is left as it was.
    static std::optional<HashConsTable> of_distinct(NodeTable& nodes, const HashSeed& seed);

    const NodeTable& nodes() const noexcept { return nodes_; }
    std::size_t size() const noexcept { return nodes_.size(); }
    const HashSeed& seed() const noexcept { return seed_; }
    std::uint64_t hash(const NodeView& view) const noexcept { return hash_key(view, seed_); }

    // The id of the node `view` stands for; `hash` is hash(view).
    std::optional<NodeId> find(const NodeView& view, std::uint64_t hash) const noexcept {
        return index_.find(hash, [&](std::uint64_t id) {
            return nodes_.matches(static_cast<std::size_t>(id), view);
        });
    }

    struct Interned {
        NodeId id;
        bool inserted;  // the node is new: id is the last one
    };
    // The id of the node `view` (well-formed, inputs already valid) stands for, appended
    // when new; `hash` is hash(view). On failure nothing changes.
    Interned intern(const NodeView& view, std::uint64_t hash) {
        if (const std::optional<NodeId> hit = find(view, hash)) return {*hit, false};
        return {append_new(view, hash), true};
    }
    Interned intern(const NodeView& view) { return intern(view, hash(view)); }
    // Appends a node known to be new (find gave nothing for it under `hash`).
    NodeId append_new(const NodeView& view, std::uint64_t hash);

    // Appends row i of `from` with `inputs` in place of its own, known to be new under
    // `hash` (NodeTable::append_row says which tables can be read so).
    NodeId append_row(const NodeTable& from, std::size_t i, std::span<const NodeId> inputs,
                      std::uint64_t hash);

    // Room for `count` nodes in all, `inputs` input ids and `params` parameters.
    void reserve(std::size_t count, std::size_t inputs = 0, std::size_t params = 0);

    using Mark = NodeTable::Mark;
    Mark mark() const noexcept { return nodes_.mark(); }
    // Takes back every node interned since `mark`. Allocates nothing.
    void rollback(const Mark& mark) noexcept;

private:
    HashConsTable(const HashSeed& seed, NodeTable nodes, CompactIdTable index) noexcept
        : seed_(seed),
          nodes_(std::move(nodes)),
          index_(std::move(index)) {}

    HashSeed seed_;
    NodeTable nodes_;
    CompactIdTable index_;
};

}  // namespace corvane
