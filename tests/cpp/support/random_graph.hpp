// Random recorded graphs for the tests and the benchmarks, all from one generator: a
// list of sources, then one node per step, each reading earlier nodes, all drawn from
// one seeded sequence. A recipe says what a step records; the generator keeps the
// bookkeeping: the worlds (interleaved halves of the graph, of which only the first
// feeds the outputs), the window of newest nodes a step may read, and whether a key
// equal to an earlier one is recorded again or, as a store records it, only once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "node.hpp"

namespace corvane::testing {

// SplitMix64; bench/bench.py draws the same sequence.
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

// What a step sees: the sequence, and the nodes recorded so far in its world.
class GraphDraw {
public:
    GraphDraw(Rng& rng, std::size_t world, const std::vector<NodeId>& pool, std::size_t window)
        : rng_(rng),
          world_(world),
          pool_(pool),
          window_(window) {}

    std::uint64_t below(std::uint64_t n) { return rng_.below(n); }
    std::size_t world() const noexcept { return world_; }
    // The newest node of the step's world.
    NodeId last() const;
    // One of the window's newest nodes of the step's world, uniformly.
    NodeId recent();

private:
    Rng& rng_;
    std::size_t world_;
    const std::vector<NodeId>& pool_;
    std::size_t window_;
};

struct GraphRecipe {
    std::size_t nodes = 0;         // steps run until the graph holds this many nodes
    std::vector<NodeKey> sources;  // recorded first; source i joins world i % worlds
    std::size_t worlds = 1;        // with more than one, each step draws its world first
    std::size_t window = std::numeric_limits<std::size_t>::max();  // for GraphDraw::recent
    bool distinct = true;  // record a key equal to an earlier one only once
    // Draws one node reading earlier nodes; nullopt records nothing this step.
    std::function<std::optional<NodeKey>(GraphDraw&)> step;
};

struct RandomGraph {
    std::vector<NodeKey> nodes;   // inputs before users
    std::vector<NodeId> outputs;  // the nodes of world 0 that no node reads, ascending
};

RandomGraph random_graph(const GraphRecipe& recipe, Rng& rng);

// Pipeline-shaped graphs of `n` distinct nodes: chains of unary ops, fan-outs, binary
// ops and their commuted duplicates, identity ops, joins, reductions and exchange
// boundaries, in two worlds, reading within a window of 64. bench/bench.py's
// `pipeline_graph` builds the same graphs, so the C++ and Python figures describe one
// workload.
RandomGraph pipeline_graph(std::size_t n, std::uint64_t seed = 42);

// Graphs of `n` nodes over the engine's vocabulary, for checking it against slower
// oracles: three sources; add, mul, eq, minimum and maximum (also over three inputs);
// sub and neg; the four identity ops and a near miss (add 2.0); a join. Each node reads
// uniformly drawn earlier nodes, repeats included, and equal nodes are recorded again,
// so hash-consing has work to do.
RandomGraph operator_graph(std::size_t n, Rng& rng);

}  // namespace corvane::testing
