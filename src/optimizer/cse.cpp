#include "optimizer/cse.hpp"

#include <algorithm>
#include <functional>
#include <span>
#include <string_view>
#include <unordered_set>

#include "fault.hpp"

namespace corvane {
namespace {

std::size_t hash_node(std::string_view op, std::span<const std::size_t> children) noexcept {
    std::size_t h = std::hash<std::string_view>{}(op);
    for (std::size_t c : children) h = (h ^ (c + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2)));
    return h;
}

// The memo stores indices into the deduplicated node list; lookups probe with the
// candidate (symbol, children) pair so nothing is copied for a hit.
struct Probe {
    std::string_view op;
    std::span<const std::size_t> children;
};

struct MemoHash {
    using is_transparent = void;
    const std::vector<EngineNode>* nodes;
    std::size_t operator()(std::size_t i) const noexcept {
        const EngineNode& n = (*nodes)[i];
        return hash_node(n.op, n.children);
    }
    std::size_t operator()(const Probe& p) const noexcept { return hash_node(p.op, p.children); }
};

struct MemoEq {
    using is_transparent = void;
    const std::vector<EngineNode>* nodes;
    bool operator()(std::size_t a, std::size_t b) const noexcept { return a == b; }
    bool operator()(const Probe& p, std::size_t i) const noexcept {
        const EngineNode& n = (*nodes)[i];
        return p.op == n.op && std::equal(p.children.begin(), p.children.end(),
                                          n.children.begin(), n.children.end());
    }
    bool operator()(std::size_t i, const Probe& p) const noexcept { return (*this)(p, i); }
};

}  // namespace

Deduplicated cse(const EngineGraph& canonical) {
    const std::size_t k = canonical.nodes.size();
    Deduplicated out;
    out.remap.assign(k, 0);
    std::vector<EngineNode>& nodes = out.graph.nodes;
    nodes.reserve(k);
    std::unordered_set<std::size_t, MemoHash, MemoEq> memo(k, MemoHash{&nodes}, MemoEq{&nodes});

    std::vector<std::size_t> children;
    for (std::size_t i = 0; i < k; ++i) {
        const EngineNode& node = canonical.nodes[i];
        children.clear();
        for (std::size_t ch : node.children) {
            fault_unless(ch < i, "canonical node reads a later node");
            children.push_back(out.remap[ch]);
        }
        auto hit = memo.find(Probe{node.op, children});
        if (hit != memo.end()) {
            out.remap[i] = *hit;
            continue;
        }
        const std::size_t index = nodes.size();
        nodes.push_back(EngineNode{node.op, children, node.opaque});
        memo.insert(index);
        out.remap[i] = index;
    }
    out.graph.outputs.reserve(canonical.outputs.size());
    for (std::size_t o : canonical.outputs) {
        fault_unless(o < k, "canonical output out of range");
        out.graph.outputs.push_back(out.remap[o]);
    }
    return out;
}

}  // namespace corvane
