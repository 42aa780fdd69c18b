// The hash-cons: every e-node ever inserted, stored once (append-only, stale forms kept)
// with the class id last stored for it, found by open addressing on a seeded hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "eqsat/enode.hpp"
#include "eqsat/hash.hpp"

namespace corvane::eqsat {

class Memo {
public:
    // Where a stored e-node's record starts; records are never moved or removed.
    using Key = std::uint32_t;
    // The key of no record: an empty slot, a lookup that found nothing.
    static constexpr Key kNoRecord = std::numeric_limits<Key>::max();

    Memo();

    // Prepares room for `nodes` records with `children` child ids in total.
    void reserve(std::size_t nodes, std::size_t children);

    // Stored e-nodes, stale forms included.
    std::size_t size() const noexcept { return count_; }

    NodeRef node(Key key) const noexcept {
        const std::uint32_t* record = records_.data() + key;
        return {Symbol::from_id(record[kOp]), {record + kChildren, record[kArity]}};
    }
    Id value(Key key) const noexcept { return records_[key + kValue]; }
    void set_value(Key key, Id id) noexcept { records_[key + kValue] = id; }

    // The key of `node`, or kNoRecord.
    Key find(NodeRef node) const noexcept;

    struct Found {
        Key key;
        bool inserted;
    };
    // The key of `node`; when absent, stores it with `value` first. `hash` is hash(node).
    Found find_or_insert(NodeRef node, Id value, std::uint64_t hash);
    Found find_or_insert(NodeRef node, Id value) { return find_or_insert(node, value, hash(node)); }

    std::uint64_t hash(NodeRef node) const noexcept {
        return hash_node(seed_, node.op, node.children);
    }

    // Stores the leading distinct nodes of a flat batch into an empty hash-cons, as
    // find_or_insert one node at a time would: node i (symbol ops[i], children
    // children[first[i] .. first[i+1]) as ids) gets value i and the record at
    // key_of_distinct(i, first). Stops before the first node equal to an earlier one and
    // returns the number stored (0 when the batch could not fit). The slots are filled
    // group by group of nearby slots instead of by one random probe per node.
    std::size_t insert_distinct(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                                std::span<const std::uint32_t> children);
    static Key key_of_distinct(std::size_t i, std::span<const std::uint32_t> first) noexcept {
        return static_cast<Key>(kChildren * i + first[i]);
    }

private:
    friend class Prefetch;  // eqsat/prefetch.hpp: loads slots and records ahead

    // A record is [symbol id, arity, class id, children...], so that one load brings in
    // everything a comparison or a search needs.
    static constexpr std::size_t kOp = 0;
    static constexpr std::size_t kArity = 1;
    static constexpr std::size_t kValue = 2;
    static constexpr std::size_t kChildren = 3;

    struct Slot {
        std::uint32_t hash;
        Key key;
    };

    bool same(Key key, NodeRef node) const noexcept;
    void grow_slots(std::size_t min_keys);

    std::uint64_t seed_;
    std::vector<std::uint32_t> records_;
    std::size_t count_ = 0;
    std::vector<Slot> slots_;  // power-of-two size, at most 3/4 full
    std::size_t mask_ = 0;
};

}  // namespace corvane::eqsat
