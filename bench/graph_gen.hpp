// Random pipeline graphs for the benchmarks: chains of unary ops, fan-outs, binary
// joins, commuted duplicates of commutative ops, identity ops, reductions and exchange
// boundaries, in two interleaved halves of which only the first feeds the outputs.
// bench/bench.py builds the same graphs from the same generator (same seeded sequence),
// so the C++ and Python figures describe one workload.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "node.hpp"
#include "store.hpp"

namespace corvane::bench {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }

private:
    std::uint64_t state_;
};

inline ParamMap params_of(std::vector<ParamMap::Entry> entries) { return ParamMap(std::move(entries)); }

struct PipelineGraph {
    std::vector<NodeKey> arena;   // interned, inputs before users
    std::vector<NodeId> outputs;  // the sinks of the live half
};

// Records about `n` nodes into a fresh store (hash-consing may merge a few) and returns
// its arena and outputs. The step sequence is mirrored by bench.py's `pipeline_graph`.
inline PipelineGraph pipeline_graph(std::size_t n, std::uint64_t seed = 42) {
    GraphStore store;
    Rng rng(seed);
    constexpr std::uint64_t kWindow = 64;
    std::array<std::vector<NodeId>, 2> pool;
    struct Binary {
        const char* name;
        NodeId a;
        NodeId b;
    };
    std::array<std::vector<Binary>, 2> binaries;
    std::vector<NodeId> world_of;
    auto add = [&](NodeKey key, std::size_t w) {
        const NodeId id = *store.intern(std::move(key));
        if (id == world_of.size()) {
            world_of.push_back(w);
            pool[w].push_back(id);
        }
        return id;
    };
    auto recent = [&](std::size_t w) {
        const std::vector<NodeId>& p = pool[w];
        const std::uint64_t span = p.size() < kWindow ? p.size() : kWindow;
        return p[p.size() - 1 - rng.below(span)];
    };

    const std::size_t sources = n / 1000 < 4 ? 4 : n / 1000;
    for (std::size_t i = 0; i < sources; ++i) {
        add(node::Source{"s" + std::to_string(i), params_of({{"path", ParamValue::of_str("p" + std::to_string(i))}})},
            i % 2);
    }
    while (world_of.size() < n) {
        const std::size_t w = rng.below(2);
        const NodeId last = pool[w].back();
        const std::uint64_t r = rng.below(100);
        if (r < 45) {
            add(node::Op{"map", params_of({{"f", ParamValue::of_int(static_cast<std::int64_t>(rng.below(1u << 20)))}}), {last}}, w);
        } else if (r < 60) {
            add(node::Op{"filter", params_of({{"p", ParamValue::of_int(static_cast<std::int64_t>(rng.below(1u << 20)))}}),
                         {recent(w)}},
                w);
        } else if (r < 73) {
            const NodeId a = recent(w);
            const NodeId b = recent(w);
            const char* name = rng.below(2) == 0 ? "add" : "mul";
            binaries[w].push_back({name, a, b});
            add(node::Op{name, ParamMap(), {a, b}}, w);
        } else if (r < 78) {
            // A commuted duplicate of a recent binary op.
            const std::vector<Binary>& done = binaries[w];
            if (done.empty()) continue;
            const std::uint64_t span = done.size() < kWindow ? done.size() : kWindow;
            const Binary& bin = done[done.size() - 1 - rng.below(span)];
            add(node::Op{bin.name, ParamMap(), {bin.b, bin.a}}, w);
        } else if (r < 86) {
            if (rng.below(2) == 0) {
                add(node::Op{"add", params_of({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("r")}}), {last}}, w);
            } else {
                add(node::Op{"mul", params_of({{"scalar", ParamValue::of_float(1.0)}, {"side", ParamValue::of_str("l")}}), {last}}, w);
            }
        } else if (r < 92) {
            add(node::Join{params_of({{"how", ParamValue::of_str("inner")}}), {last, recent(w)}}, w);
        } else if (r < 96) {
            add(node::Reduction{"sum", params_of({{"axis", ParamValue::of_int(static_cast<std::int64_t>(rng.below(2)))}}), {last}}, w);
        } else {
            add(node::Exchange{params_of({{"scheme", ParamValue::of_str("hash")}}), {last}}, w);
        }
    }

    PipelineGraph graph;
    graph.arena = store.snapshot().arena;
    std::vector<bool> used(graph.arena.size(), false);
    for (const NodeKey& key : graph.arena)
        for (NodeId x : key.inputs()) used[static_cast<std::size_t>(x)] = true;
    for (NodeId i = 0; i < graph.arena.size(); ++i) {
        if (world_of[static_cast<std::size_t>(i)] == 0 && !used[static_cast<std::size_t>(i)]) graph.outputs.push_back(i);
    }
    return graph;
}

}  // namespace corvane::bench
