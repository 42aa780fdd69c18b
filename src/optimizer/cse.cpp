#include "optimizer/cse.hpp"

#include <algorithm>
#include <functional>
#include <span>
#include <string_view>
#include <utility>

#include "fault.hpp"
#include "id_table.hpp"

namespace corvane {
namespace {

std::uint64_t hash_node(std::string_view op, std::span<const std::size_t> children) noexcept {
    std::uint64_t h = std::hash<std::string_view>{}(op);
    for (std::size_t c : children) h = (h ^ (c + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2)));
    // Final avalanche: the table indexes slots by the low bits.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

Deduplicated cse(EngineGraph&& canonical) {
    const std::size_t k = canonical.nodes.size();
    Deduplicated out;
    out.remap.assign(k, 0);
    std::vector<EngineNode>& nodes = out.graph.nodes;
    nodes.reserve(k);
    // Indices into the deduplicated list with their hashes; each candidate is hashed
    // once and compared only against entries with the same hash.
    IdTable memo;
    memo.reserve(k);

    for (std::size_t i = 0; i < k; ++i) {
        EngineNode& node = canonical.nodes[i];
        for (std::size_t& ch : node.children) {
            fault_unless(ch < i, "canonical node reads a later node");
            ch = out.remap[ch];
        }
        const std::uint64_t hash = hash_node(node.op, node.children);
        const auto hit = memo.find(hash, [&](std::uint64_t index) {
            const EngineNode& kept = nodes[static_cast<std::size_t>(index)];
            return kept.op == node.op && kept.children == node.children;
        });
        if (hit) {
            out.remap[i] = static_cast<std::size_t>(*hit);
            continue;
        }
        const std::size_t index = nodes.size();
        nodes.push_back(std::move(node));
        memo.insert(hash, index);
        out.remap[i] = index;
    }
    out.graph.outputs.reserve(canonical.outputs.size());
    for (std::size_t o : canonical.outputs) {
        fault_unless(o < k, "canonical output out of range");
        out.graph.outputs.push_back(out.remap[o]);
    }
    return out;
}

Deduplicated cse(const EngineGraph& canonical) { return cse(EngineGraph(canonical)); }

}  // namespace corvane
