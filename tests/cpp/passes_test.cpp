// Dead-code elimination, CSE and stage fusion through their own interfaces.
#include <gtest/gtest.h>

#include "optimizer/dce.hpp"
#include "support/engine_graph.hpp"
#include "support/keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

TEST(DeadCode, KeepsReachableNodesInOrder) {
    // 0 x, 1 y, 2 f(0), 3 g(1, 0), 4 h(2) [dead], 5 k(3, 3)
    std::vector<NodeKey> nodes = {source("x"),     source("y"),  op("f", {0}),
                                  op("g", {1, 0}), op("h", {2}), op("k", {3, 3})};
    const NodeId outputs[] = {5, 5, 1};
    const LiveIndex live = live_index(nodes, outputs);
    EXPECT_EQ(live.remap, (std::vector<std::uint32_t>{0, 1, kDropped, 2, kDropped, 3}));
    EXPECT_EQ(live.kept_outputs, (std::vector<std::uint64_t>{3, 3, 1}));
    EXPECT_EQ(live.ids, (std::vector<NodeId>{0, 1, 3, 5}));
    const std::vector<NodeKey> kept = live_keys(nodes, live);
    EXPECT_EQ(kept[2], op("g", {1, 0}));
    EXPECT_EQ(kept[3], op("k", {2, 2}));
}

TEST(DeadCode, EmptyOutputsKeepNothing) {
    std::vector<NodeKey> nodes = {source("x"), op("f", {0})};
    const LiveIndex live = live_index(nodes, {});
    EXPECT_TRUE(live.ids.empty());
    EXPECT_TRUE(live.kept_outputs.empty());
    EXPECT_EQ(live.remap, (std::vector<std::uint32_t>{kDropped, kDropped}));
}

TEST(DeadCode, DeepChainDoesNotRecurse) {
    std::vector<NodeKey> nodes = {source("x")};
    for (NodeId i = 0; i < 200000; ++i) nodes.push_back(op("f", {i}));
    const NodeId outputs[] = {200000};
    EXPECT_EQ(live_index(nodes, outputs).ids.size(), 200001u);
}

EngineNode en(std::string op, std::vector<std::size_t> children, bool opaque = false) {
    return EngineNode{std::move(op), std::move(children), opaque};
}

TEST(Cse, MergesIdenticalNodesAndCascades) {
    EngineGraph g;
    g.nodes = {en("src|x", {}, true), en("src|y", {}, true), en("op|f", {0, 1}),
               en("op|f", {0, 1}),    en("op|f", {1, 0}),    en("op|g", {2}),
               en("op|g", {3}),       en("op|h", {0, 0})};
    g.outputs = {6, 5, 4};
    Deduplicated d = cse(g);
    EXPECT_EQ(d.remap, (std::vector<std::size_t>{0, 1, 2, 2, 3, 4, 4, 5}));
    EXPECT_EQ(d.graph.outputs, (std::vector<std::size_t>{4, 4, 3}));
    EXPECT_EQ(d.graph.nodes[5].children, (std::vector<std::size_t>{0, 0}));
    EXPECT_TRUE(cse(EngineGraph{}).graph.nodes.empty());
}

struct FusionCase {
    const char* name;
    std::vector<EngineNode> nodes;
    std::vector<std::size_t> outputs;
    bool maximal;
    std::vector<std::vector<std::size_t>> expected_groups;  // members of each emitted node
};

class Fusion : public ::testing::TestWithParam<FusionCase> {};

TEST_P(Fusion, GroupsAndOrders) {
    const FusionCase& c = GetParam();
    EngineGraph g{c.nodes, c.outputs};
    TokenMap tokens;
    for (const EngineNode& n : g.nodes) {
        if (n.opaque) tokens.emplace(n.op, source(n.op));
    }
    Fused f = stage_fusion(g, tokens, c.maximal);
    ASSERT_EQ(f.nodes.size(), c.expected_groups.size());
    std::vector<std::vector<std::size_t>> groups(f.nodes.size());
    for (std::size_t i = 0; i < g.nodes.size(); ++i)
        groups[f.landing_of[i]->reduced_node_id].push_back(i);
    EXPECT_EQ(groups, c.expected_groups);
    for (std::size_t r = 0; r < f.nodes.size(); ++r) {
        if (f.nodes.kind(r) == NodeKey::Kind::Stage) {
            EXPECT_EQ(f.nodes.members(r).size(), groups[r].size());
        }
        for (NodeId x : f.nodes.inputs(r)) EXPECT_LT(x, r);
    }
}

// x(src) -> a -> b -> c, used as named below.
INSTANTIATE_TEST_SUITE_P(
    Rules, Fusion,
    ::testing::Values(
        FusionCase{"chain",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|b", {1}), en("op|c", {2})},
                   {3},
                   false,
                   {{0}, {1, 2, 3}}},
        FusionCase{"middle_output",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|b", {1}), en("op|c", {2})},
                   {3, 2},
                   false,
                   {{0}, {1, 2}, {3}}},
        FusionCase{"middle_output_max",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|b", {1}), en("op|c", {2})},
                   {3, 2},
                   true,
                   {{0}, {1, 2}, {3}}},
        FusionCase{"double_use",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|mul", {1, 1})},
                   {2},
                   false,
                   {{0}, {1}, {2}}},
        FusionCase{"double_use_max",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|mul", {1, 1})},
                   {2},
                   true,
                   {{0}, {1, 2}}},
        FusionCase{"fan_out_into_one_group_max",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|b", {1}), en("op|c", {1}),
                    en("op|d", {2, 3})},
                   {4},
                   true,
                   {{0}, {1, 2, 3, 4}}},
        FusionCase{"fan_out_single_use",
                   {en("src|x", {}, true), en("op|a", {0}), en("op|b", {1}), en("op|c", {1}),
                    en("op|d", {2, 3})},
                   {4},
                   false,
                   {{0}, {1}, {2, 3, 4}}},
        FusionCase{
            "reduction_user_blocks",
            {en("src|x", {}, true), en("op|a", {0}), en("op|b", {1}), en("red|r", {1}, true)},
            {2, 3},
            true,
            {{0}, {1}, {2}, {3}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Fusion, StageInputsAndReferences) {
    // x, y sources; a = f(x, y); b = g(a, x); output b.
    EngineGraph g{
        {en("src|x", {}, true), en("src|y", {}, true), en("op|f", {0, 1}), en("op|g", {2, 0})},
        {3}};
    const TokenMap tokens{{"src|x", source("x")}, {"src|y", source("y")}};
    Fused f = stage_fusion(g, tokens, false);
    ASSERT_EQ(f.nodes.size(), 3u);
    const NodeKey key = f.nodes.key(2);
    const auto& stage = key.as<node::Stage>();
    EXPECT_EQ(stage.inputs, (std::vector<NodeId>{0, 1}));
    ASSERT_EQ(stage.members.size(), 2u);
    EXPECT_EQ(stage.members[0].inputs,
              (std::vector<StageRef>{StageRef::input(0), StageRef::input(1)}));
    EXPECT_EQ(stage.members[1].inputs,
              (std::vector<StageRef>{StageRef::member(0), StageRef::input(0)}));
    EXPECT_EQ(f.outputs, (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(f.stages, 1u);
    EXPECT_EQ(f.boundary_nodes, 2u);
}

}  // namespace
}  // namespace corvane
