#include "eqsat/memo.hpp"

#include <algorithm>
#include <bit>

#include "eqsat/error.hpp"

namespace corvane::eqsat {

namespace {

constexpr std::size_t kMinSlots = 64;

std::size_t slots_for(std::size_t keys) {
    return std::max(kMinSlots, std::bit_ceil(keys + keys / 3 + 1));
}

}  // namespace

Memo::Memo() : seed_(process_hash_seed()) {
    slots_.assign(kMinSlots, Slot{0, kNoRecord});
    mask_ = kMinSlots - 1;
}

void Memo::reserve(std::size_t nodes, std::size_t children) {
    records_.reserve(kChildren * nodes + children);
    if (slots_for(nodes) > slots_.size()) grow_slots(nodes);
}

bool Memo::same(Key key, NodeRef node) const noexcept {
    const std::uint32_t* record = records_.data() + key;
    if (record[kOp] != node.op.id() || record[kArity] != node.children.size()) return false;
    return std::equal(node.children.begin(), node.children.end(), record + kChildren);
}

Memo::Key Memo::find(NodeRef node) const noexcept {
    const auto hash = static_cast<std::uint32_t>(this->hash(node));
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.key == kNoRecord) return kNoRecord;
        if (slot.hash == hash && same(slot.key, node)) return slot.key;
    }
}

Memo::Found Memo::find_or_insert(NodeRef node, Id value, std::uint64_t full_hash) {
    const auto hash = static_cast<std::uint32_t>(full_hash);
    std::size_t i = hash & mask_;
    for (;; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.key == kNoRecord) break;
        if (slot.hash == hash && same(slot.key, node)) return {slot.key, false};
    }
    const std::size_t start = records_.size();
    if (start + kChildren + node.children.size() >= kNoRecord) fail("e-graph hash-cons is full");
    const auto key = static_cast<Key>(start);
    const std::uint32_t* first = node.children.data();
    if (!node.children.empty() && first >= records_.data() && first < records_.data() + start) {
        // A view of a stored record: copy through a temporary, the records may move.
        const std::vector<Id> copy(node.children.begin(), node.children.end());
        records_.insert(records_.end(),
                        {node.op.id(), static_cast<std::uint32_t>(copy.size()), value});
        records_.insert(records_.end(), copy.begin(), copy.end());
    } else {
        records_.insert(records_.end(),
                        {node.op.id(), static_cast<std::uint32_t>(node.children.size()), value});
        records_.insert(records_.end(), node.children.begin(), node.children.end());
    }
    ++count_;
    if (slots_for(count_) > slots_.size()) {
        grow_slots(count_);
        i = hash & mask_;
        while (slots_[i].key != kNoRecord) i = (i + 1) & mask_;
    }
    slots_[i] = {hash, key};
    return {key, true};
}

// Rebuilds the slot array with room for `min_keys` keys, placing the current slots by
// their stored hashes.
void Memo::grow_slots(std::size_t min_keys) {
    const std::size_t count = slots_for(min_keys);
    std::vector<Slot> old(count, Slot{0, kNoRecord});
    old.swap(slots_);
    mask_ = count - 1;
    for (const Slot& slot : old) {
        if (slot.key == kNoRecord) continue;
        std::size_t i = slot.hash & mask_;
        while (slots_[i].key != kNoRecord) i = (i + 1) & mask_;
        slots_[i] = slot;
    }
}

}  // namespace corvane::eqsat
