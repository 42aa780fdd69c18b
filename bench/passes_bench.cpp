// The reduction passes one by one and composed, on random pipeline graphs; the
// engine's saturation iterations; the incremental reducer's per-node step.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"
#include "eqsat/scheduler.hpp"
#include "eqsat/symbol.hpp"
#include "optimizer/cse.hpp"
#include "optimizer/dce.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/fusion.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/rules.hpp"
#include "support/engine_graph.hpp"
#include "support/keys.hpp"
#include "support/random_graph.hpp"
#include "support/store_keys.hpp"

namespace corvane::bench {
namespace {

using namespace corvane::testing;

// Every stage's input, computed once per size, in the flat form the pipeline passes on.
struct Stages {
    RandomGraph graph;
    LiveIndex live;
    std::vector<NodeKey> kept;  // the live keys, inputs renumbered
    SymbolGraph engine_graph;
    CanonicalGraph canon;
    DeduplicatedGraph dedup;
    NodeTable boundary;                 // one row per non-Op symbol, inputs emptied
    std::vector<std::uint32_t> row_of;  // per deduplicated node
};

const Stages& stages_of(std::size_t n) {
    static std::map<std::size_t, std::unique_ptr<Stages>> cache;
    auto& slot = cache[n];
    if (!slot) {
        slot = std::make_unique<Stages>();
        Stages& s = *slot;
        s.graph = pipeline_graph(n);
        s.live = live_index(s.graph.nodes, s.graph.outputs);
        s.kept = live_keys(s.graph.nodes, s.live);
        s.engine_graph = to_symbol_graph(to_engine_graph(s.kept, s.live.kept_outputs));
        s.canon = SaturationEngine().canonicalize(s.engine_graph);
        s.dedup = cse(s.canon.canonical);
        // Any node with the symbol serves as the rebuild key in a benchmark.
        s.row_of.assign(s.dedup.graph.size(), kNoIndex);
        for (std::size_t i = 0; i < s.kept.size(); ++i) {
            const std::uint32_t d = s.dedup.remap[s.canon.class_of[i]];
            if (s.dedup.graph.non_op[d] == 0 || s.row_of[d] != kNoIndex) continue;
            s.row_of[d] = static_cast<std::uint32_t>(s.boundary.size());
            testing::append(s.boundary, testing::with_inputs(s.kept[i], {}));
        }
    }
    return *slot;
}

void set_nodes(benchmark::State& state, std::size_t nodes) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(nodes));
    state.counters["nodes"] = static_cast<double>(nodes);
}

// The pipeline's pass: the live nodes found without copying a key.
void BM_LiveIndex(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(live_index(s.graph.nodes, s.graph.outputs));
    set_nodes(state, s.graph.nodes.size());
}

void BM_EngineGraph(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(to_engine_graph(s.kept, s.live.kept_outputs));
    set_nodes(state, s.kept.size());
}

void BM_Canonicalize(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    const SaturationEngine engine;
    for (auto _ : state) benchmark::DoNotOptimize(engine.canonicalize(s.engine_graph));
    set_nodes(state, s.engine_graph.size());
}

void BM_Cse(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(cse(s.canon.canonical));
    set_nodes(state, s.canon.canonical.size());
}

void BM_Fusion(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(stage_fusion(s.dedup.graph, s.boundary, s.row_of, false));
    set_nodes(state, s.dedup.graph.size());
}

void BM_Pipeline(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    const SaturationEngine engine;
    const NodeTable table = testing::table_of(s.graph.nodes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            reduce_input(read_pipeline_input(table, s.graph.outputs), engine, false));
    }
    set_nodes(state, s.graph.nodes.size());
}

#define CORVANE_PASS_BENCH(fn)                                                                     \
    BENCHMARK(fn)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(10);                    \
    BENCHMARK(fn)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3)
CORVANE_PASS_BENCH(BM_LiveIndex);
CORVANE_PASS_BENCH(BM_EngineGraph);
CORVANE_PASS_BENCH(BM_Canonicalize);
CORVANE_PASS_BENCH(BM_Cse);
CORVANE_PASS_BENCH(BM_Fusion);
CORVANE_PASS_BENCH(BM_Pipeline);

// An engine graph of `n` nodes: chains and fan-outs of parameterised unary ops over a few
// sources, with `percent_commutative` percent of the nodes parameterless "add"s.
EngineGraph unary_graph(std::size_t n, std::uint64_t percent_commutative) {
    GraphRecipe recipe;
    recipe.nodes = n;
    for (std::size_t i = 0; i < 8; ++i)
        recipe.sources.push_back(node::Source{"s" + std::to_string(i), {}});
    recipe.window = 64;
    recipe.distinct = false;
    recipe.step = [&](GraphDraw& d) -> std::optional<NodeKey> {
        const NodeId last = d.last();
        const NodeId recent = d.recent();
        if (d.below(100) < percent_commutative) return node::Op{"add", {}, {last, recent}};
        ParamMap f({{"f", ParamValue::of_int(static_cast<std::int64_t>(d.below(1u << 20)))}});
        return node::Op{"map", std::move(f), {d.below(2) ? last : recent}};
    };
    Rng rng(7);
    const RandomGraph g = random_graph(recipe, rng);
    const NodeId outputs[] = {n - 1};
    return to_engine_graph(g.nodes, outputs);
}

const EngineGraph& unary_graph_of(std::uint64_t percent) {
    static std::map<std::uint64_t, EngineGraph> cache;
    auto it = cache.find(percent);
    if (it == cache.end()) it = cache.emplace(percent, unary_graph(1'000'000, percent)).first;
    return it->second;
}

// Compare the two arguments by the whole run (the benchmark's time): with commutative
// operators present the rules are banned and retried, so the runs differ in iteration
// count as well as in the cost of one iteration.
void BM_EngineCommutative(benchmark::State& state) {
    const EngineGraph& g = unary_graph_of(static_cast<std::uint64_t>(state.range(0)));
    const SymbolGraph flat = to_symbol_graph(g);
    const SaturationEngine engine;
    for (auto _ : state) benchmark::DoNotOptimize(engine.canonicalize(flat));
    set_nodes(state, g.nodes.size());

    // The same saturation through a Runner (canonicalize does not expose per-iteration
    // figures), over an e-graph built as canonicalize builds it, for the iteration count
    // and the time of the iterations alone, without the e-graph's construction.
    const std::vector<eqsat::Rewrite> rules = rewrite_rules();
    eqsat::EGraph egraph;
    egraph.reserve(flat.size() + flat.size() / 4, flat.children.size() + flat.children.size() / 4);
    std::vector<eqsat::Id> ids(flat.size());
    egraph.add_batch(flat.ops, flat.first, flat.children, ids);
    eqsat::Runner runner;
    runner.with_egraph(std::move(egraph))
        .with_iter_limit(engine.iter_limit())
        .with_node_limit(4 * g.nodes.size() + 1024)
        .with_time_limit(std::chrono::duration<double>(5.0))
        .with_scheduler(std::make_unique<eqsat::BackoffScheduler>(1000, 5));
    runner.run(rules);
    double total = 0;
    for (const eqsat::Iteration& it : runner.iterations())
        total += it.search_time + it.apply_time + it.rebuild_time;
    state.counters["iterations"] = static_cast<double>(runner.iterations().size());
    state.counters["iterations_ms"] = 1e3 * total;
}
BENCHMARK(BM_EngineCommutative)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// One step per recorded node, as a front end that reduces while it records would call it:
// the table grows by one node (the recording, timed too) and the reducer steps over it.
void BM_IncrementalStep(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    const std::vector<NodeKey>& arena = s.graph.nodes;
    for (auto _ : state) {
        NodeTable table;
        IncrementalReducer reducer;
        for (const NodeKey& key : arena) {
            testing::append(table, key);
            benchmark::DoNotOptimize(reducer.step(table, 1));
        }
    }
    set_nodes(state, arena.size());
}
BENCHMARK(BM_IncrementalStep)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_IncrementalFinalize(benchmark::State& state) {
    const Stages& s = stages_of(static_cast<std::size_t>(state.range(0)));
    NodeTable table;
    for (const NodeKey& key : s.graph.nodes) testing::append(table, key);
    IncrementalReducer reducer;
    (void)reducer.step(table, 1);
    const SaturationEngine engine;
    for (auto _ : state) benchmark::DoNotOptimize(reducer.finalize(s.graph.outputs, engine, false));
    set_nodes(state, reducer.canonical_count());
}
BENCHMARK(BM_IncrementalFinalize)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace corvane::bench
