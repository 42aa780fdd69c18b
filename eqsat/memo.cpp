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

Memo::Run Memo::insert_run(std::span<const Symbol> ops, std::span<const std::uint32_t> first,
                           std::span<const std::uint32_t> children, std::size_t start,
                           std::size_t end, std::span<const Id> ids, Id next_id) {
    Run run{0, records_.size(), start, first[start]};
    const std::size_t total = end - start;
    const std::size_t child_count = first[end] - first[start];
    if (total == 0 || run.base + kChildren * total + child_count >= kNoRecord) return run;
    if (slots_for(count_ + total) > slots_.size()) grow_slots(count_ + total);

    // The records in input order, children as classes, each node's slot hash beside them.
    records_.resize(run.base + kChildren * total + child_count);
    std::vector<std::uint32_t> hashes(total);
    for (std::size_t j = start; j < end; ++j) {
        std::uint32_t* record = records_.data() + run.key(j, first);
        const auto arity = static_cast<std::uint32_t>(first[j + 1] - first[j]);
        record[kOp] = ops[j].id();
        record[kArity] = arity;
        record[kValue] = static_cast<Id>(next_id + (j - start));
        for (std::uint32_t k = 0; k < arity; ++k) {
            const std::uint32_t c = children[first[j] + k];
            record[kChildren + k] = c < start ? ids[c] : static_cast<Id>(next_id + (c - start));
        }
        hashes[j - start] =
            static_cast<std::uint32_t>(hash_node(seed_, ops[j], {record + kChildren, arity}));
    }

    // Nodes grouped by the top bits of their home slot (a stable counting sort), so that
    // the probes of one group stay within a few kilobytes of slots. Equal nodes share a
    // group, the earlier one first, so the later one finds it, as does a node equal to
    // one stored before the run. When some node does, the slots this pass wrote are
    // emptied (which restores the table as it was: nothing stored earlier moved) and the
    // nodes before the first such one stored again.
    constexpr unsigned kGroupSlotBits = 11;
    const auto slot_bits = static_cast<unsigned>(std::countr_zero(slots_.size()));
    const unsigned shift = std::min(slot_bits, kGroupSlotBits);
    std::vector<std::uint32_t> starts((slots_.size() >> shift) + 1, 0);
    for (std::uint32_t h : hashes) ++starts[((h & mask_) >> shift) + 1];
    for (std::size_t g = 1; g < starts.size(); ++g) starts[g] += starts[g - 1];
    std::vector<std::uint32_t> order(total);
    for (std::size_t t = 0; t < total; ++t)
        order[starts[(hashes[t] & mask_) >> shift]++] = static_cast<std::uint32_t>(t);
    starts = {};

    std::size_t stored = total;
    std::vector<std::uint32_t> written;
    written.reserve(total);
    for (;;) {
        std::size_t repeat = stored;  // the first node equal to an earlier one
        written.clear();
        for (std::uint32_t t : order) {
            if (t >= stored) continue;
            const std::uint32_t hash = hashes[t];
            const Key key = run.key(start + t, first);
            const NodeRef node = this->node(key);
            std::size_t s = hash & mask_;
            bool found = false;
            for (; slots_[s].key != kNoRecord; s = (s + 1) & mask_) {
                found = slots_[s].hash == hash && same(slots_[s].key, node);
                if (found) break;
            }
            if (found) {
                repeat = std::min<std::size_t>(repeat, t);
            } else {
                slots_[s] = {hash, key};
                written.push_back(static_cast<std::uint32_t>(s));
            }
        }
        if (repeat == stored) break;
        for (std::uint32_t s : written) slots_[s] = Slot{0, kNoRecord};
        stored = repeat;
    }
    records_.resize(run.key(start + stored, first));
    count_ += stored;
    run.count = stored;
    return run;
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
