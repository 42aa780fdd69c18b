#include "optimizer/cse.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "fault.hpp"
#include "id_table.hpp"

namespace corvane {
namespace {

std::uint64_t hash_node(eqsat::Symbol op, std::span<const std::uint32_t> children) noexcept {
    std::uint64_t h = op.id();
    for (std::uint32_t c : children) h = (h ^ (c + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2)));
    // Final avalanche: the table indexes slots by the low bits.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

DeduplicatedGraph cse(const SymbolGraph& canonical) {
    const std::size_t k = canonical.size();
    DeduplicatedGraph out;
    out.remap.assign(k, 0);
    SymbolGraph& graph = out.graph;
    graph.ops.reserve(k);
    graph.non_op.reserve(k);
    graph.first.reserve(k + 1);
    graph.children.reserve(canonical.children.size());
    // Indices into the deduplicated list with their hashes; each candidate is hashed
    // once and compared only against entries with the same hash.
    IdTable memo;
    memo.reserve(k);

    std::vector<std::uint32_t> mapped;
    for (std::size_t i = 0; i < k; ++i) {
        mapped.clear();
        for (std::uint32_t ch : canonical.children_of(i)) {
            fault_unless(ch < i, "canonical node reads a later node");
            mapped.push_back(out.remap[ch]);
        }
        const eqsat::Symbol op = canonical.ops[i];
        const std::uint64_t hash = hash_node(op, mapped);
        const auto hit = memo.find(hash, [&](std::uint64_t index) {
            const auto j = static_cast<std::size_t>(index);
            return graph.ops[j] == op && std::ranges::equal(graph.children_of(j), mapped);
        });
        if (hit) {
            out.remap[i] = static_cast<std::uint32_t>(*hit);
            continue;
        }
        const auto index = static_cast<std::uint32_t>(graph.size());
        graph.add_node(op, canonical.non_op[i] != 0);
        for (std::uint32_t c : mapped) graph.add_child(c);
        memo.insert(hash, index);
        out.remap[i] = index;
    }
    graph.outputs.reserve(canonical.outputs.size());
    for (std::uint32_t o : canonical.outputs) {
        fault_unless(o < k, "canonical output out of range");
        graph.outputs.push_back(out.remap[o]);
    }
    return out;
}

}  // namespace corvane
