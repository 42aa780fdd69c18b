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

    // A run of batch nodes stored by insert_run: nodes start .. start + count.
    struct Run {
        std::size_t count;
        std::size_t base;           // the key of the first node's record
        std::size_t start;          // the batch index of the first node
        std::uint32_t first_child;  // first[start]
        // The key of batch node j's record.
        Key key(std::size_t j, std::span<const std::uint32_t> first) const noexcept {
            return static_cast<Key>(base + kChildren * (j - start) + (first[j] - first_child));
        }
    };
    // Stores the leading run of a flat batch's nodes start .. end that are new, as
    // find_or_insert one node at a time would, when no id is merged: node j has the symbol
    // ops[j] and the children children[first[j] .. first[j+1]), batch indices, each c
    // meaning the class ids[c] when c < start and next_id + (c - start) otherwise; it is
    // stored with the value next_id + (j - start). Stops before the first node equal to
    // a stored one or an earlier one of the run (count 0 when the run could not fit).
    // The slots are filled group by group of nearby slots instead of by one random probe
    // per node.
    Run insert_run(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                   std::span<const std::uint32_t> children, std::size_t start, std::size_t end,
                   std::span<const Id> ids, Id next_id);

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
