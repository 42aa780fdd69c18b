#include "eqsat/memo.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <vector>

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

std::size_t Memo::insert_distinct(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                                  std::span<const std::uint32_t> children) {
    if (count_ != 0) fail("a distinct batch needs an empty hash-cons");
    std::size_t n = ops.size();
    if (n == 0 || kChildren * n + children.size() >= kNoRecord) return 0;
    if (slots_for(n) > slots_.size()) grow_slots(n);

    // The records in input order, each node's slot hash beside them.
    records_.resize(kChildren * n + children.size());
    std::vector<std::uint32_t> hashes(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t* record = records_.data() + key_of_distinct(i, first);
        const std::span<const Id> kids = children.subspan(first[i], first[i + 1] - first[i]);
        record[kOp] = ops[i].id();
        record[kArity] = static_cast<std::uint32_t>(kids.size());
        record[kValue] = static_cast<Id>(i);
        std::ranges::copy(kids, record + kChildren);
        hashes[i] = static_cast<std::uint32_t>(hash_node(seed_, ops[i], kids));
    }

    // Nodes grouped by the top bits of their home slot (a stable counting sort), so that
    // the probes of one group stay within a few kilobytes of slots. Equal nodes share a
    // group, the earlier one first, so the later one finds it. When some do, the nodes
    // from the first such one on are dropped and the rest stored again.
    constexpr unsigned kGroupSlotBits = 11;
    const auto slot_bits = static_cast<unsigned>(std::countr_zero(slots_.size()));
    const unsigned shift = std::min(slot_bits, kGroupSlotBits);
    std::vector<std::uint32_t> starts((slots_.size() >> shift) + 1, 0);
    for (std::uint32_t h : hashes) ++starts[((h & mask_) >> shift) + 1];
    for (std::size_t g = 1; g < starts.size(); ++g) starts[g] += starts[g - 1];
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i)
        order[starts[(hashes[i] & mask_) >> shift]++] = static_cast<std::uint32_t>(i);

    for (;;) {
        std::size_t repeat = n;  // the first node equal to an earlier one
        for (std::uint32_t i : order) {
            if (i >= n) continue;
            const std::uint32_t hash = hashes[i];
            const NodeRef node{ops[i], children.subspan(first[i], first[i + 1] - first[i])};
            std::size_t s = hash & mask_;
            bool stored = false;
            for (; slots_[s].key != kNoRecord; s = (s + 1) & mask_) {
                stored = slots_[s].hash == hash && same(slots_[s].key, node);
                if (stored) break;
            }
            if (stored) {
                repeat = std::min<std::size_t>(repeat, i);
            } else {
                slots_[s] = {hash, key_of_distinct(i, first)};
            }
        }
        if (repeat == n) break;
        std::ranges::fill(slots_, Slot{0, kNoRecord});
        n = repeat;
    }
    records_.resize(n == ops.size() ? records_.size() : key_of_distinct(n, first));
    count_ = n;
    return n;
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
