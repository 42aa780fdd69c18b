// Recording, key hashing and the blob: the per-node costs of building a store and of
// its byte form.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "blob.hpp"
#include "node.hpp"
#include "store.hpp"
#include "support/keys.hpp"
#include "support/random_graph.hpp"
#include "support/store_keys.hpp"

namespace corvane::bench {
namespace {

using testing::pipeline_graph;
using testing::RandomGraph;
using testing::serialize_nodes;

// The recording workload: Op "map" over two sources with a two-entry parameter map,
// distinct per index.
std::vector<NodeKey> recorded_keys(std::size_t n) {
    std::vector<NodeKey> keys;
    keys.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        keys.emplace_back(
            node::Op{"map",
                     ParamMap({{"k", ParamValue::of_int(static_cast<std::int64_t>(i))},
                               {"side", ParamValue::of_str("r")}}),
                     {0, 1}});
    }
    return keys;
}

GraphStore store_with_sources() {
    GraphStore store;
    (void)testing::intern(store, node::Source{"x", ParamMap()});
    (void)testing::intern(store, node::Source{"y", ParamMap()});
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
        for (NodeKey& key : batch) benchmark::DoNotOptimize(testing::intern(store, std::move(key)));
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
    for (const NodeKey& key : keys) (void)testing::intern(store, key);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<NodeKey> batch = keys;
        state.ResumeTiming();
        for (NodeKey& key : batch) benchmark::DoNotOptimize(testing::intern(store, std::move(key)));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InternRepeat)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

// The borrowed form of recorded_keys(n) as the Python surface passes it: the name and
// the string value borrowed, the entries and inputs in caller-owned storage.
struct RecordedViews {
    std::vector<std::array<ParamEntryView, 2>> entries;
    std::vector<NodeView> views;
};

RecordedViews recorded_views(std::size_t n) {
    static constexpr NodeId kInputs[] = {0, 1};
    RecordedViews r;
    r.entries.resize(n);
    r.views.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        r.entries[i][0] = ParamEntryView{"k", 1, ParamValue::Kind::Int, i, nullptr, 0};
        r.entries[i][1] = ParamEntryView{"side", 4, ParamValue::Kind::Str, 0, "r", 1};
        r.views[i] = NodeView{NodeKey::Kind::Op, "map", r.entries[i], kInputs, nullptr, {}};
    }
    return r;
}

void BM_InternViewNew(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const RecordedViews r = recorded_views(n);
    for (auto _ : state) {
        state.PauseTiming();
        GraphStore store = store_with_sources();
        state.ResumeTiming();
        for (const NodeView& view : r.views) benchmark::DoNotOptimize(testing::intern(store, view));
        state.PauseTiming();
        { GraphStore gone = std::move(store); }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InternViewNew)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_InternViewRepeat(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const RecordedViews r = recorded_views(n);
    GraphStore store = store_with_sources();
    for (const NodeView& view : r.views) (void)testing::intern(store, view);
    for (auto _ : state) {
        for (const NodeView& view : r.views) benchmark::DoNotOptimize(testing::intern(store, view));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InternViewRepeat)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HashView(benchmark::State& state) {
    const RecordedViews r = recorded_views(static_cast<std::size_t>(state.range(0)));
    const HashSeed seed = HashSeed::random();
    for (auto _ : state) {
        std::uint64_t acc = 0;
        for (const NodeView& view : r.views) acc ^= hash_key(view, seed);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HashView)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// A key hashed through its view: the key's view, then the view's hash.
void BM_HashKey(benchmark::State& state) {
    const std::vector<NodeKey> keys = recorded_keys(static_cast<std::size_t>(state.range(0)));
    const HashSeed seed = HashSeed::random();
    for (auto _ : state) {
        std::uint64_t acc = 0;
        for (const NodeKey& key : keys) acc ^= testing::hash_key(key, seed);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HashKey)->Arg(100'000)->Unit(benchmark::kMicrosecond);

const RandomGraph& graph_of(std::size_t n) {
    static std::map<std::size_t, RandomGraph> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, pipeline_graph(n)).first;
    return it->second;
}

// Writing a store, as serialize() does: the table copy taken under the lock, then the
// records read from it in place.
void BM_BlobWrite(benchmark::State& state) {
    const RandomGraph& g = graph_of(static_cast<std::size_t>(state.range(0)));
    const GraphStore store = std::move(*deserialize(*serialize_nodes(g.nodes, g.outputs)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto blob = serialize_marked(store);
        bytes = blob->size();
        benchmark::DoNotOptimize(blob->data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g.nodes.size()));
}
BENCHMARK(BM_BlobWrite)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_BlobRead(benchmark::State& state) {
    const RandomGraph& g = graph_of(static_cast<std::size_t>(state.range(0)));
    const std::vector<std::uint8_t> blob = *serialize_nodes(g.nodes, g.outputs);
    for (auto _ : state) {
        auto store = deserialize(blob);
        benchmark::DoNotOptimize(store->node_count());
        state.PauseTiming();
        { auto gone = std::move(store); }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(g.nodes.size()));
}
BENCHMARK(BM_BlobRead)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace corvane::bench
