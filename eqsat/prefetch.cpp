#include "eqsat/prefetch.hpp"

#include <array>
#include <vector>

namespace corvane::eqsat {

namespace {

constexpr std::size_t kMaxArity = 8;  // wider e-nodes are not hinted
constexpr std::size_t kRepairAhead = 4;
constexpr std::size_t kBatchAhead = 4;

}  // namespace

void Prefetch::members(Id id) const noexcept {
    if (id >= egraph_.classes_.size()) return;
    const EClass& eclass = egraph_.classes_[id];
    for (std::size_t i = 0; i < eclass.nodes.size() && i < 2; ++i)
        address(memo_.records_.data() + eclass.nodes[i]);
}

// The canonical children of a hinted e-node, or false when they cannot be known yet.
bool Prefetch::canonical(std::span<const Id> children, std::span<Id> out,
                         bool touch_classes) const noexcept {
    if (children.size() > kMaxArity) return false;
    const std::vector<Id>& parent = egraph_.parent_;
    for (std::size_t k = 0; k < children.size(); ++k) {
        Id c = children[k];
        if (c >= parent.size()) return false;  // a guess beyond the ids handed out so far
        if (egraph_.ever_merged_) {
            while (parent[c] != c) c = parent[c];
        }
        out[k] = c;
        if (touch_classes) address_for_write(&egraph_.classes_[c]);
    }
    return true;
}

void Prefetch::add(Symbol op, std::span<const Id> children) const noexcept {
    std::array<Id, kMaxArity> ids;
    if (!canonical(children, ids, true)) return;
    slot(memo_.hash({op, std::span<const Id>(ids.data(), children.size())}));
}

void Prefetch::add_candidate(Symbol op, std::span<const Id> children) const noexcept {
    std::array<Id, kMaxArity> ids;
    if (!canonical(children, ids, false)) return;
    const std::uint64_t hash = memo_.hash({op, std::span<const Id>(ids.data(), children.size())});
    const Memo::Slot& slot = memo_.slots_[static_cast<std::uint32_t>(hash) & memo_.mask_];
    if (slot.key != Memo::kNoRecord) address(memo_.records_.data() + slot.key);
}

void Prefetch::repairs(std::span<const ParentRef> pending) const noexcept {
    const std::size_t size = pending.size();
    if (size > 4 * kRepairAhead)
        address(memo_.records_.data() + pending[size - 1 - 4 * kRepairAhead].node);
    if (size > 2 * kRepairAhead) {
        const NodeRef ahead = memo_.node(pending[size - 1 - 2 * kRepairAhead].node);
        if (ahead.children.size() <= kMaxArity) {
            for (Id c : ahead.children) address(&egraph_.parent_[c]);
        }
    }
    if (size > kRepairAhead) {
        const NodeRef ahead = memo_.node(pending[size - 1 - kRepairAhead].node);
        add(ahead.op, ahead.children);
    }
    if (size > kRepairAhead / 2) {
        const NodeRef ahead = memo_.node(pending[size - 1 - kRepairAhead / 2].node);
        add_candidate(ahead.op, ahead.children);
    }
}

void Prefetch::batch(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                     std::span<const std::uint32_t> children, std::span<const Id> ids,
                     std::size_t i) const noexcept {
    const std::size_t n = ops.size();
    const auto children_of = [&](std::size_t j) {
        return children.subspan(first[j], first[j + 1] - first[j]);
    };
    if (const std::size_t k = i + 2 * kBatchAhead; k < n) {
        for (std::uint32_t c : children_of(k)) {
            if (c < n) address(&ids[c]);
        }
    }
    if (const std::size_t j = i + kBatchAhead; j < n && children_of(j).size() <= 4) {
        std::array<Id, 4> upcoming;
        std::size_t count = 0;
        for (std::uint32_t c : children_of(j)) {
            upcoming[count++] = c < i ? ids[c] : static_cast<Id>(egraph_.parent_.size() + (c - i));
        }
        add(ops[j], std::span<const Id>(upcoming.data(), count));
    }
}

}  // namespace corvane::eqsat
