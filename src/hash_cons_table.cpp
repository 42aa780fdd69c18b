#include "hash_cons_table.hpp"

#include <new>

#include "table_view.hpp"

namespace corvane {
namespace {

// The string table's seed, drawn apart from the key seed so that a chosen name cannot
// line up both tables' probes.
HashSeed string_seed_of(const HashSeed& seed) noexcept {
    return HashSeed{seed.k0 ^ 0x6a09e667f3bcc908ULL, seed.k1 ^ 0xbb67ae8584caa73bULL};
}

}  // namespace

HashConsTable::HashConsTable(const HashSeed& seed) noexcept
    : seed_(seed),
      nodes_(string_seed_of(seed)) {}

std::optional<HashConsTable> HashConsTable::of_distinct(NodeTable& nodes, const HashSeed& seed) {
    CompactIdTable index;
    index.reserve(nodes.size());
    ViewScratch scratch;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const NodeView view = table_view(nodes, i, scratch);
        const std::uint64_t hash = hash_key(view, seed);
        const auto same = [&](std::uint64_t id) {
            return nodes.matches(static_cast<std::size_t>(id), view);
        };
        if (index.find(hash, same)) return std::nullopt;
        index.insert(hash, i);  // reserved above
    }
    return HashConsTable(seed, std::move(nodes), std::move(index));
}

NodeId HashConsTable::append_new(const NodeView& view, std::uint64_t hash) {
    const NodeId id = nodes_.size();
    if (id >= CompactIdTable::kMaxIds) throw std::bad_alloc();  // the index's id limit
    index_.reserve(index_.size() + 1);  // may throw; then nothing has changed
    nodes_.append(view);                // a failed append leaves the table as it was
    index_.insert(hash, id);            // room was made: cannot throw
    return id;
}

NodeId HashConsTable::append_row(const NodeTable& from, std::size_t i,
                                 std::span<const NodeId> inputs, std::uint64_t hash) {
    const NodeId id = nodes_.size();
    if (id >= CompactIdTable::kMaxIds) throw std::bad_alloc();
    index_.reserve(index_.size() + 1);
    nodes_.append_row(from, i, inputs);
    index_.insert(hash, id);
    return id;
}

void HashConsTable::reserve(std::size_t count, std::size_t inputs, std::size_t params) {
    nodes_.reserve(count, inputs, params);
    index_.reserve(count);
}

void HashConsTable::rollback(const Mark& mark) noexcept {
    index_.erase_from(mark.records);
    nodes_.rollback(mark);
}

}  // namespace corvane
