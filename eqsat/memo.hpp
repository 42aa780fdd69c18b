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
    using Key = std::uint32_t;
    static constexpr Key kNone = std::numeric_limits<Key>::max();

    Memo();

    // Prepares room for `nodes` keys with `children` child ids in total.
    void reserve(std::size_t nodes, std::size_t children);

    std::size_t size() const noexcept { return heads_.size(); }

    NodeRef node(Key key) const noexcept {
        const Head& h = heads_[key];
        return {h.op, {children_.data() + h.offset, h.arity}};
    }
    Id value(Key key) const noexcept { return values_[key]; }
    void set_value(Key key, Id id) noexcept { values_[key] = id; }

    // The key of `node`, or kNone.
    Key find(NodeRef node) const noexcept;

    struct Found {
        Key key;
        bool inserted;
    };
    // The key of `node`; when absent, stores it with `value` first. `hash` is hash(node).
    Found find_or_insert(NodeRef node, Id value, std::uint64_t hash);
    Found find_or_insert(NodeRef node, Id value) { return find_or_insert(node, value, hash(node)); }

    std::uint64_t hash(NodeRef node) const noexcept { return hash_node(seed_, node.op, node.children); }
    // Starts loading the slot where a lookup of `hash` begins.
    void prefetch(std::uint64_t hash) const noexcept {
        __builtin_prefetch(slots_.data() + (static_cast<std::uint32_t>(hash) & mask_));
    }

private:
    struct Head {
        Symbol op;
        std::uint32_t arity;
        std::uint32_t offset;
    };
    struct Slot {
        std::uint32_t hash;
        Key key;
    };

    bool same(Key key, NodeRef node) const noexcept;
    void grow_slots(std::size_t min_keys);

    std::uint64_t seed_;
    std::vector<Head> heads_;
    std::vector<Id> children_;
    std::vector<Id> values_;
    std::vector<Slot> slots_;  // power-of-two size, at most 3/4 full
    std::size_t mask_ = 0;
};

}  // namespace corvane::eqsat
