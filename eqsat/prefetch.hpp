// Prefetch hints for the e-graph's scattered loads: class records, union-find entries,
// hash-cons slots and stored e-nodes, and the lookahead schedules that issue them a few
// steps before the loads. Private to eqsat/: no header of the library includes it. A hint
// never changes a result, and one about an id that does not exist yet is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "eqsat/egraph.hpp"

namespace corvane::eqsat {

class Prefetch {
public:
    explicit Prefetch(const EGraph& egraph) noexcept : egraph_(egraph), memo_(egraph.memo_) {}

    static void address(const void* p) noexcept { __builtin_prefetch(p); }
    static void address_for_write(const void* p) noexcept { __builtin_prefetch(p, 1); }

    // Class `id`'s record and union-find entry.
    void eclass(Id id) const noexcept {
        if (id < egraph_.classes_.size()) address(&egraph_.classes_[id]);
        if (id < egraph_.parent_.size()) address(&egraph_.parent_[id]);
    }
    // The stored forms of the first members of class `id`, once its record is loaded.
    void members(Id id) const noexcept;
    // The slot a hash-cons lookup of `hash` starts at.
    void slot(std::uint64_t hash) const noexcept {
        address(memo_.slots_.data() + (static_cast<std::uint32_t>(hash) & memo_.mask_));
    }
    // add(op, children) follows soon: the children's class records and the hash-cons slot.
    void add(Symbol op, std::span<const Id> children) const noexcept;
    // A later stage of the same hint, once add() has had time to work: the stored e-node
    // the lookup compares first.
    void add_candidate(Symbol op, std::span<const Id> children) const noexcept;

    // Before the repair at the back of `pending` (the queue is taken last first): entries
    // further back are advanced one link at a time along the chain a repair follows
    // (stored node, its children's roots, the hash-cons slot, the node stored there), so
    // that the links arrive together.
    void repairs(std::span<const ParentRef> pending) const noexcept;
    // Before add_batch adds node i: the hash-cons slot of node i + kAhead, guessing that
    // the nodes in between all get new ids, and the ids of node i + 2 kAhead's children.
    void batch(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
               std::span<const std::uint32_t> children, std::span<const Id> ids,
               std::size_t i) const noexcept;

private:
    bool canonical(std::span<const Id> children, std::span<Id> out,
                   bool touch_classes) const noexcept;

    const EGraph& egraph_;
    const Memo& memo_;
};

}  // namespace corvane::eqsat
