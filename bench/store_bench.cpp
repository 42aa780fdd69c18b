// Recording, key hashing and the blob: the per-node costs of building a store and of
// its byte form.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "blob.hpp"
#include "graph_gen.hpp"
#include "node.hpp"
#include "store.hpp"

namespace corvane::bench {
namespace {

// The recording workload: Op "map" over two sources with a two-entry parameter map,
// distinct per index.
std::vector<NodeKey> recorded_keys(std::size_t n) {
    std::vector<NodeKey> keys;
    keys.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys.emplace_back(node::Op{"map",
                                   ParamMap({{"k", ParamValue::of_int(static_cast<std::int64_t>(i))},
                                             {"side", ParamValue::of_str("r")}}),
                                   {0, 1}});
    }
    return keys;
}

GraphStore store_with_sources() {
    GraphStore store;
    (void)store.intern(node::Source{"x", ParamMap()});
    (void)store.intern(node::Source{"y", ParamMap()});
    return store;
}

void BM_InternNew(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<NodeKey> keys = recorded_keys(n);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<NodeKey> batch = keys;
        GraphStore store = store_with_sources();
        state.ResumeTiming();
        for (NodeKey& key : batch) benchmark::DoNotOptimize(store.intern(std::move(key)));
        state.PauseTiming();
        { GraphStore gone = std::move(store); }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InternNew)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_InternRepeat(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<NodeKey> keys = recorded_keys(n);
    GraphStore store = store_with_sources();
    for (const NodeKey& key : keys) (void)store.intern(key);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<NodeKey> batch = keys;
        state.ResumeTiming();
        for (NodeKey& key : batch) benchmark::DoNotOptimize(store.intern(std::move(key)));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InternRepeat)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HashKey(benchmark::State& state) {
    const std::vector<NodeKey> keys = recorded_keys(static_cast<std::size_t>(state.range(0)));
    const HashSeed seed = HashSeed::random();
    for (auto _ : state) {
        std::uint64_t acc = 0;
        for (const NodeKey& key : keys) acc ^= hash_key(key, seed);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HashKey)->Arg(100'000)->Unit(benchmark::kMicrosecond);

const PipelineGraph& graph_of(std::size_t n) {
    static std::map<std::size_t, PipelineGraph> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, pipeline_graph(n)).first;
    return it->second;
}

void BM_BlobWrite(benchmark::State& state) {
    const PipelineGraph& g = graph_of(static_cast<std::size_t>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto blob = serialize_nodes(g.arena, g.outputs);
        bytes = blob->size();
        benchmark::DoNotOptimize(blob->data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g.arena.size()));
}
BENCHMARK(BM_BlobWrite)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_BlobRead(benchmark::State& state) {
    const PipelineGraph& g = graph_of(static_cast<std::size_t>(state.range(0)));
    const std::vector<std::uint8_t> blob = *serialize_nodes(g.arena, g.outputs);
    for (auto _ : state) {
        auto store = deserialize(blob);
        benchmark::DoNotOptimize(store->node_count());
        state.PauseTiming();
        { auto gone = std::move(store); }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g.arena.size()));
}
BENCHMARK(BM_BlobRead)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace corvane::bench
