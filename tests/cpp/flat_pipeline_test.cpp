// The flat pipeline: the engine's promise that its canonical graph needs no CSE, the
// live read of a table against that of keys, the store's locked read against the
// in-memory pipeline, and which node a boundary node is rebuilt from.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "optimizer/cse.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "store.hpp"
#include "support/engine_graph.hpp"
#include "support/keys.hpp"
#include "support/random_graph.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

void expect_cse_changes_nothing(const CanonicalGraph& canon) {
    ASSERT_TRUE(canon.deduplicated);
    const DeduplicatedGraph dedup = cse(canon.canonical);
    std::vector<std::uint32_t> identity(canon.canonical.size());
    std::iota(identity.begin(), identity.end(), std::uint32_t{0});
    EXPECT_EQ(dedup.remap, identity);
    EXPECT_EQ(dedup.graph, canon.canonical);
}

TEST(FlatPipeline, EngineOutputNeedsNoCse) {
    const SaturationEngine engine;
    Rng rng(0xf1a7'0001);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const RandomGraph g = operator_graph(static_cast<std::size_t>(1 + rng.below(60)), rng);
        expect_cse_changes_nothing(
            engine.canonicalize(to_symbol_graph(to_engine_graph(g.nodes, g.outputs))));
    }
}

// Large enough that the scheduler bans rules and the run ends on a limit or after
// fast-forwarded bans rather than by plain saturation.
TEST(FlatPipeline, EngineOutputNeedsNoCseOnPipelineGraphs) {
    const SaturationEngine engine;
    for (const std::size_t n : {5'000u, 30'000u}) {
        const RandomGraph g = pipeline_graph(n, n);
        PipelineInput input = read_pipeline_input(table_of(g.nodes), g.outputs);
        std::vector<std::string_view> texts;
        for (std::size_t i = 0; i < input.live.ids.size(); ++i) texts.push_back(input.text(i));
        input.graph.ops.resize(texts.size());
        eqsat::SymbolScope symbols;
        symbols.intern_all(texts, input.graph.ops);
        SCOPED_TRACE("nodes " + std::to_string(n));
        expect_cse_changes_nothing(engine.canonicalize(input.graph));
    }
}

// The store reads the live nodes under its lock and builds the reduced store itself;
// the result must be the store built from the in-memory pipeline's record.
TEST(FlatPipeline, StoreReductionMatchesPipeline) {
    const SaturationEngine engine;
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        for (const bool maximal : {false, true}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + (maximal ? ", maximal" : ", single-use"));
            const RandomGraph g = pipeline_graph(4'000, seed);
            GraphStore store;
            for (const NodeKey& key : g.nodes) ASSERT_TRUE(testing::intern(store, key).has_value());
            auto via_store = store.reduce_with_outputs(g.outputs, engine, maximal);
            ASSERT_TRUE(via_store.has_value());
            auto via_pipeline =
                GraphStore::from_reduced(testing::reduce_keys(g.nodes, g.outputs, engine, maximal));
            EXPECT_EQ(via_store->second, via_pipeline.second);
            EXPECT_EQ(testing::keys_of(via_store->first), testing::keys_of(via_pipeline.first));
            EXPECT_EQ(via_store->first.outputs(), via_pipeline.first.outputs());
            EXPECT_EQ(via_store->first.node_map(), via_pipeline.first.node_map());
        }
    }
}

// Two joins whose parameters differ only in a NaN payload share a symbol (keys compare
// NaNs by their canonical pattern). Both boundary nodes are rebuilt from the first live
// one, so the second carries the first one's payload, as the token map always did.
TEST(FlatPipeline, BoundaryNodesAreRebuiltFromTheFirstKeyWithTheirSymbol) {
    const double nan_a = std::bit_cast<double>(std::uint64_t{0x7ff8000000000001});
    const double nan_b = std::bit_cast<double>(std::uint64_t{0x7ff8000000000002});
    const std::vector<NodeKey> nodes = {
        source("x"),
        source("y"),
        join({0, 1}, params({{"w", ParamValue::of_float(nan_a)}})),
        join({1, 0}, params({{"w", ParamValue::of_float(nan_b)}})),
    };
    const NodeId outputs[] = {3, 2};
    const SaturationEngine engine;
    const Reduced r = testing::reduce_keys(nodes, outputs, engine, false);
    ASSERT_EQ(r.nodes.size(), 4u);
    for (const std::size_t i : {2u, 3u}) {
        const ParamValue w = r.nodes.value(r.nodes.params(i).front());
        EXPECT_EQ(std::bit_cast<std::uint64_t>(w.as_float()), 0x7ff8000000000001u) << "node " << i;
    }
    EXPECT_EQ(r.nodes.inputs(3)[0], 1u);
}

// A record whose nodes repeat (as a custom engine could leave them): the duplicate lands
// on the first copy and its users are rebuilt to read that copy.
TEST(FlatPipeline, ReducedStoreMergesRepeatedNodes) {
    Reduced r;
    for (const NodeKey& key : {source("x"), source("x"), op("f", {1}), op("g", {0, 2})})
        testing::append(r.nodes, key);
    r.outputs = {3, 1};
    r.node_map = {Landing{1, std::nullopt}, Landing{2, std::nullopt}, std::nullopt};
    auto [store, report] = GraphStore::from_reduced(std::move(r));
    EXPECT_EQ(testing::keys_of(store),
              (std::vector<NodeKey>{source("x"), op("f", {0}), op("g", {0, 1})}));
    EXPECT_EQ(store.outputs(), (std::vector<NodeId>{2, 0}));
    EXPECT_EQ(store.node_map(),
              (NodeMap{Landing{0, std::nullopt}, Landing{1, std::nullopt}, std::nullopt}));
}

}  // namespace
}  // namespace corvane
