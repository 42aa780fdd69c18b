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
        PipelineInput input = read_pipeline_input(g.nodes, g.outputs);
        std::vector<std::string_view> texts;
        for (std::size_t i = 0; i < input.live.ids.size(); ++i) texts.push_back(input.text(i));
        input.graph.ops.resize(texts.size());
        eqsat::SymbolScope symbols;
        symbols.intern_all(texts, input.graph.ops);
        SCOPED_TRACE("nodes " + std::to_string(n));
        expect_cse_changes_nothing(engine.canonicalize(input.graph));
    }
}

// The live read of a table gives the same symbols, flat graph and boundary rows as the
// read of the same keys, for every kind and every field the symbol encodes.
TEST(FlatPipeline, TableReadMatchesKeyRead) {
    const auto ext = [](std::optional<std::string> ref, std::vector<NodeId> inputs) {
        return NodeKey(
            node::External{PayloadDescriptor{"k|1", "h;2", "f=3", "v%4", "io", std::move(ref)},
                           params({{"p", S("x|y")}}), std::move(inputs)});
    };
    const std::vector<NodeKey> nodes = {
        source("a=b", params({{"i", I(-7)}, {"f", F(-0.0)}, {"b", B(true)}, {"s", S("%;=|")}})),
        op("f;g", {0},
           params({{"k|", F(std::bit_cast<double>(std::uint64_t{0x7ff8000000000003}))}})),
        ext(std::nullopt, {1}),
        ext("-", {1}),
        ext("", {2, 3}),
        NodeKey(node::Stage{{4, 1},
                            {StageOp{"op|m=1", {StageRef::input(0)}},
                             StageOp{"op|n", {StageRef::member(0), StageRef::input(1)}}}}),
        reduction("r|s", {5}, params({{"b", B(false)}})),
        join({6, 0}),
        NodeKey(node::Exchange{params({{"e", I(3)}}), {7}}),
    };
    NodeTable table;
    for (const NodeKey& key : nodes) testing::append(table, key);
    const NodeId outputs[] = {8, 2};
    const PipelineInput from_keys = read_pipeline_input(nodes, outputs);
    const PipelineInput from_table = read_pipeline_input(table, outputs);
    EXPECT_EQ(from_table.texts, from_keys.texts);
    EXPECT_EQ(from_table.text_end, from_keys.text_end);
    EXPECT_EQ(from_table.graph, from_keys.graph);
    EXPECT_EQ(from_table.boundary.keys(), from_keys.boundary.keys());
    EXPECT_EQ(from_table.boundary_of, from_keys.boundary_of);
    EXPECT_EQ(from_table.live.remap, from_keys.live.remap);
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
                GraphStore::from_reduced(reduce_nodes(g.nodes, g.outputs, engine, maximal));
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
    const Reduced r = reduce_nodes(nodes, outputs, engine, false);
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
