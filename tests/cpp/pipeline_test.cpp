// The reduction pipeline end to end, reduced stores, the cone and DOT rendering.
#include <gtest/gtest.h>

#include <random>

#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "store.hpp"
#include "support/keys.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

// Sources x, y; add(x,y); add(y,x); add-zero; mul; neg [dead]; abs; sum. Output: sum.
std::vector<NodeKey> worked_example() {
    return {source("x"),       source("y"),    op("add", {0, 1}), op("add", {1, 0}),    add_zero(2),
            op("mul", {4, 3}), op("neg", {0}), op("abs", {5}),    reduction("sum", {7})};
}

std::optional<Landing> at(std::uint64_t id, std::optional<std::uint64_t> member = std::nullopt) {
    return Landing{id, member};
}

TEST(Pipeline, WorkedExampleSingleUse) {
    SaturationEngine engine;
    auto nodes = worked_example();
    const NodeId outputs[] = {8};
    Reduced r = testing::reduce_keys(nodes, outputs, engine, false);
    EXPECT_EQ(r.report, (ReductionReport{9, 8, 6, 2, 5, 3}));
    ASSERT_EQ(r.nodes.size(), 5u);
    EXPECT_EQ(r.nodes.key(0), source("x"));
    EXPECT_EQ(r.nodes.key(1), source("y"));
    EXPECT_EQ(r.nodes.key(2),
              NodeKey(node::Stage{{0, 1},
                                  {StageOp{"op|add", {StageRef::input(0), StageRef::input(1)}}}}));
    EXPECT_EQ(r.nodes.key(3),
              NodeKey(node::Stage{{2},
                                  {StageOp{"op|mul", {StageRef::input(0), StageRef::input(0)}},
                                   StageOp{"op|abs", {StageRef::member(0)}}}}));
    EXPECT_EQ(r.nodes.key(4), reduction("sum", {3}));
    EXPECT_EQ(r.outputs, (std::vector<std::uint64_t>{4}));
    EXPECT_EQ(r.node_map, (NodeMap{at(0), at(1), at(2, 0), at(2, 0), at(2, 0), at(3, 0),
                                   std::nullopt, at(3, 1), at(4)}));
}

TEST(Pipeline, WorkedExampleMaximal) {
    SaturationEngine engine;
    auto nodes = worked_example();
    const NodeId outputs[] = {8};
    Reduced r = testing::reduce_keys(nodes, outputs, engine, true);
    EXPECT_EQ(r.report, (ReductionReport{9, 8, 6, 1, 4, 3}));
    ASSERT_EQ(r.nodes.size(), 4u);
    EXPECT_EQ(r.nodes.key(2),
              NodeKey(node::Stage{{0, 1},
                                  {StageOp{"op|add", {StageRef::input(0), StageRef::input(1)}},
                                   StageOp{"op|mul", {StageRef::member(0), StageRef::member(0)}},
                                   StageOp{"op|abs", {StageRef::member(1)}}}}));
    EXPECT_EQ(r.nodes.key(3), reduction("sum", {2}));
}

TEST(Pipeline, EmptyOutputsAndEmptyArena) {
    SaturationEngine engine;
    auto nodes = worked_example();
    Reduced r = testing::reduce_keys(nodes, {}, engine, false);
    EXPECT_EQ(r.report, (ReductionReport{9, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.node_map, NodeMap(9));
    EXPECT_EQ(testing::reduce_keys({}, {}, engine, false).report, ReductionReport{});
}

TEST(ReducedStore, WorkedExampleStoreAndSourceUnchanged) {
    GraphStore s;
    for (NodeKey& k : worked_example()) ASSERT_TRUE(testing::intern(s, std::move(k)));
    SaturationEngine engine;
    const NodeId outputs[] = {8};
    auto [reduced, report] = *s.reduce_with_outputs(outputs, engine, false);
    EXPECT_EQ(reduced.node_count(), 5u);
    EXPECT_EQ(reduced.outputs(), (std::vector<NodeId>{4}));
    EXPECT_EQ(reduced.node_map().size(), 9u);
    EXPECT_EQ(s.node_count(), 9u);
    EXPECT_TRUE(s.outputs().empty());
    EXPECT_TRUE(s.node_map().empty());
    const NodeId bad[] = {0, 99, 100};
    EXPECT_EQ(s.reduce_with_outputs(bad, engine, false).error().id, 99u);
}

TEST(ReducedStore, ExplicitOutputsOrderAndDuplicates) {
    GraphStore s;
    for (NodeKey& k : worked_example()) ASSERT_TRUE(testing::intern(s, std::move(k)));
    ASSERT_TRUE(s.mark_output(1));
    SaturationEngine engine;
    const NodeId twice[] = {8, 0, 8};
    auto reduced = std::move(s.reduce_with_outputs(twice, engine, false)->first);
    EXPECT_EQ(reduced.outputs(), (std::vector<NodeId>{4, 0}));
    auto by_marks = s.reduce_with(engine, false);
    EXPECT_EQ(by_marks.first.outputs(), (std::vector<NodeId>{0}));
    EXPECT_EQ(by_marks.second.reachable_nodes, 1u);
}

TEST(ReducedStore, ReducingAReducedStoreChangesNothing) {
    // Two different one-member stages over the same input, and two External nodes whose
    // descriptors differ only in preprocessing_ref absent versus "-".
    GraphStore s;
    ASSERT_TRUE(testing::intern(s, source("x")));
    ASSERT_TRUE(testing::intern(s, node::Stage{{0}, {StageOp{"op|neg", {StageRef::input(0)}}}}));
    ASSERT_TRUE(testing::intern(s, node::Stage{{0}, {StageOp{"op|abs", {StageRef::input(0)}}}}));
    PayloadDescriptor d{"k", "h", "f", "v", "s", std::nullopt};
    ASSERT_TRUE(testing::intern(s, node::External{d, {}, {1}}));
    d.preprocessing_ref = "-";
    ASSERT_TRUE(testing::intern(s, node::External{d, {}, {2}}));
    ASSERT_TRUE(testing::intern(s, join({3, 4})));
    SaturationEngine engine;
    const NodeId outputs[] = {5};
    auto [reduced, report] = *s.reduce_with_outputs(outputs, engine, false);
    EXPECT_EQ(report, (ReductionReport{6, 6, 6, 0, 6, 6}));
    EXPECT_EQ(testing::keys_of(reduced), testing::keys_of(s));
}

TEST(Cone, KeepsDependenciesWithoutRewriting) {
    GraphStore s;
    for (NodeKey& k : worked_example()) ASSERT_TRUE(testing::intern(s, std::move(k)));
    const NodeId outputs[] = {5, 0, 5};
    GraphStore c = *s.cone(outputs);
    EXPECT_EQ(c.node_count(), 6u);  // x, y, add, add', add-zero, mul: nothing merged
    EXPECT_EQ(c.outputs(), (std::vector<NodeId>{5, 0}));
    EXPECT_EQ(c.node_map(), (NodeMap{at(0), at(1), at(2), at(3), at(4), at(5), std::nullopt,
                                     std::nullopt, std::nullopt}));
    const NodeId bad[] = {1, 9};
    EXPECT_EQ(s.cone(bad).error().id, 9u);
    EXPECT_EQ(s.cone({})->node_map(), NodeMap(9));
}

TEST(Dot, RendersVerticesThenEdges) {
    GraphStore s;
    ASSERT_TRUE(testing::intern(s, source("x")));
    ASSERT_TRUE(testing::intern(s, op("neg", {0})));
    ASSERT_TRUE(testing::intern(s, op("add", {0, 1})));
    ASSERT_TRUE(s.mark_output(2));
    EXPECT_EQ(s.to_dot(), "digraph corvane {\n"
                          "  n0 [label=\"Source x\"];\n"
                          "  n1 [label=\"Op neg\"];\n"
                          "  n2 [label=\"Op add\", shape=doublecircle];\n"
                          "  n0 -> n1;\n"
                          "  n0 -> n2;\n"
                          "  n1 -> n2;\n"
                          "}\n");
    EXPECT_EQ(GraphStore().to_dot(), "digraph corvane {\n}\n");
}

TEST(Dot, EscapesQuotesAndBackslashesAndRepeatsEdges) {
    GraphStore s;
    ASSERT_TRUE(testing::intern(s, source("a\"b\\c")));
    ASSERT_TRUE(testing::intern(s, join({0, 0})));
    EXPECT_EQ(s.to_dot(), "digraph corvane {\n"
                          "  n0 [label=\"Source a\\\"b\\\\c\"];\n"
                          "  n1 [label=\"Join\"];\n"
                          "  n0 -> n1;\n"
                          "  n0 -> n1;\n"
                          "}\n");
}

// Random pipeline-shaped graphs: the counters are ordered, every landing names a node
// of the reduced graph, no Op survives, and reducing the result again changes nothing.
TEST(Pipeline, RandomGraphsKeepTheirInvariants) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const char* names[] = {"add", "mul", "sub", "neg", "abs"};
    SaturationEngine engine;
    for (int round = 0; round < 200; ++round) {
        GraphStore s;
        const int n = 1 + static_cast<int>(rng() % 25);
        for (int i = 0; i < n; ++i) {
            const NodeId count = s.node_count();
            const auto pick = rng() % 8;
            auto any = [&] { return static_cast<NodeId>(rng() % count); };
            if (count == 0 || pick == 0) {
                ASSERT_TRUE(testing::intern(s, source("s" + std::to_string(rng() % 3))));
            } else if (pick == 1) {
                ASSERT_TRUE(testing::intern(s, add_zero(any(), rng() % 2 ? "r" : "l")));
            } else if (pick == 2) {
                ASSERT_TRUE(testing::intern(s, reduction("sum", {any()})));
            } else if (pick == 3) {
                ASSERT_TRUE(testing::intern(s, join({any(), any()})));
            } else {
                ASSERT_TRUE(testing::intern(
                    s, op(names[rng() % 5], pick % 2 ? std::vector<NodeId>{any()}
                                                     : std::vector<NodeId>{any(), any()})));
            }
        }
        std::vector<NodeId> outputs;
        for (auto k = rng() % 3; k-- > 0;)
            outputs.push_back(static_cast<NodeId>(rng() % s.node_count()));
        auto [reduced, r] = *s.reduce_with_outputs(outputs, engine, rng() % 2 == 0);
        ASSERT_GE(r.input_nodes, r.reachable_nodes);
        ASSERT_GE(r.reachable_nodes, r.canonical_nodes);
        ASSERT_GE(r.canonical_nodes, r.reduced_nodes);
        ASSERT_EQ(r.reduced_nodes, r.stages + r.boundary_nodes);
        auto snap = testing::snapshot(reduced);
        for (const NodeKey& k : snap.arena) ASSERT_NE(k.kind(), NodeKey::Kind::Op);
        const NodeMap map = reduced.node_map();
        for (std::size_t i = 0; i < map.size(); ++i) {
            const std::optional<Landing> landing = map[i];
            if (!landing) continue;
            ASSERT_LT(landing->reduced_node_id, snap.arena.size());
            if (landing->member_index) {
                const auto* stage = snap.arena[landing->reduced_node_id].get_if<node::Stage>();
                ASSERT_NE(stage, nullptr);
                ASSERT_LT(*landing->member_index, stage->members.size());
            }
        }
        auto again = testing::snapshot(reduced.reduce_with(engine, false).first);
        ASSERT_EQ(again.arena, snap.arena);
        ASSERT_EQ(again.outputs, snap.outputs);
    }
}

}  // namespace
}  // namespace corvane
