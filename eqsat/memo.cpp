#include "eqsat/memo.hpp"

#include <algorithm>
#include <bit>

#include "eqsat/error.hpp"
#include "eqsat/hash.hpp"

namespace corvane::eqsat {

namespace {

constexpr std::size_t kMinSlots = 64;

std::size_t slots_for(std::size_t keys) {
    return std::max(kMinSlots, std::bit_ceil(keys + keys / 3 + 1));
}

}  // namespace

Memo::Memo() : seed_(process_hash_seed()) {
    slots_.assign(kMinSlots, Slot{0, kNone});
    mask_ = kMinSlots - 1;
}

void Memo::reserve(std::size_t nodes, std::size_t children) {
    heads_.reserve(nodes);
    values_.reserve(nodes);
    children_.reserve(children);
    if (slots_for(nodes) > slots_.size()) grow_slots(nodes);
}

bool Memo::same(Key key, NodeRef node) const noexcept {
    const Head& h = heads_[key];
    if (h.op != node.op || h.arity != node.children.size()) return false;
    return std::equal(node.children.begin(), node.children.end(), children_.begin() + h.offset);
}

Memo::Key Memo::find(NodeRef node) const noexcept {
    const auto hash = static_cast<std::uint32_t>(this->hash(node));
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.key == kNone) return kNone;
        if (slot.hash == hash && same(slot.key, node)) return slot.key;
    }
}

Memo::Found Memo::find_or_insert(NodeRef node, Id value, std::uint64_t full_hash) {
    const auto hash = static_cast<std::uint32_t>(full_hash);
    std::size_t i = hash & mask_;
    for (;; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.key == kNone) break;
        if (slot.hash == hash && same(slot.key, node)) return {slot.key, false};
    }
    if (heads_.size() >= kNone - 1) fail("e-graph hash-cons is full");
    const std::size_t offset = children_.size();
    if (offset + node.children.size() > std::numeric_limits<std::uint32_t>::max()) {
        fail("e-graph hash-cons child table is full");
    }
    const Id* first = node.children.data();
    if (!node.children.empty() && first >= children_.data() && first < children_.data() + offset) {
        // A view of a stored key: copy through a temporary, the table may move.
        const std::vector<Id> copy(node.children.begin(), node.children.end());
        children_.insert(children_.end(), copy.begin(), copy.end());
    } else {
        children_.insert(children_.end(), node.children.begin(), node.children.end());
    }
    const auto key = static_cast<Key>(heads_.size());
    heads_.push_back({node.op, static_cast<std::uint32_t>(node.children.size()),
                      static_cast<std::uint32_t>(offset)});
    values_.push_back(value);
    if (slots_for(heads_.size()) > slots_.size()) {
        grow_slots(heads_.size());
        i = hash & mask_;
        while (slots_[i].key != kNone) i = (i + 1) & mask_;
    }
    slots_[i] = {hash, key};
    return {key, true};
}

// Rebuilds the slot array with room for `min_keys` keys, placing the current slots by
// their stored hashes.
void Memo::grow_slots(std::size_t min_keys) {
    const std::size_t count = slots_for(min_keys);
    std::vector<Slot> old(count, Slot{0, kNone});
    old.swap(slots_);
    mask_ = count - 1;
    for (const Slot& slot : old) {
        if (slot.key == kNone) continue;
        std::size_t i = slot.hash & mask_;
        while (slots_[i].key != kNone) i = (i + 1) & mask_;
        slots_[i] = slot;
    }
}

}  // namespace corvane::eqsat
