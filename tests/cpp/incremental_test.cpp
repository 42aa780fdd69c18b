#include "optimizer/incremental.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "optimizer/engine.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/rules.hpp"
#include "store.hpp"
#include "support/fail_alloc.hpp"
#include "support/keys.hpp"
#include "support/random_graph.hpp"
#include "support/store_keys.hpp"
#include "token.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

constexpr std::uint64_t kStore = 1;  // the serial number the tests' tables stand for

// A reducer fed the way a store feeds it: keys are appended to one table, and each step
// reads the table from the watermark on.
struct Fed {
    NodeTable table;
    IncrementalReducer reducer;

    std::expected<std::uint64_t, StepError> step(std::span<const NodeKey> keys = {}) {
        for (const NodeKey& key : keys) testing::append(table, key);
        return reducer.step(table, kStore);
    }
};

IncrementalReducer stepped(const std::vector<NodeKey>& nodes) {
    Fed fed;
    EXPECT_EQ(fed.step(nodes), nodes.size());
    return fed.reducer;
}

// Canonical count and remap after one step over a small graph.
struct StepCase {
    const char* what;
    std::vector<NodeKey> nodes;
    std::vector<std::uint64_t> remap;
    std::uint64_t canonical;
};

TEST(IncrementalStep, LocalRules) {
    const NodeKey x = source("x");
    const NodeKey y = source("y");
    const std::vector<StepCase> cases = {
        {"commuted add merges", {x, y, op("add", {0, 1}), op("add", {1, 0})}, {0, 1, 2, 2}, 3},
        {"commuted maximum merges",
         {x, y, op("maximum", {1, 0}), op("maximum", {0, 1})},
         {0, 1, 2, 2},
         3},
        {"sub is not commutative", {x, y, op("sub", {0, 1}), op("sub", {1, 0})}, {0, 1, 2, 3}, 4},
        {"a parameter blocks commutativity",
         {x, y, op("add", {0, 1}, params({{"k", F(2.0)}})),
          op("add", {1, 0}, params({{"k", F(2.0)}}))},
         {0, 1, 2, 3},
         4},
        {"three inputs are not commuted",
         {x, y, op("add", {0, 1, 0}), op("add", {1, 0, 0})},
         {0, 1, 2, 3},
         4},
        {"only ops commute",
         {x, y, join({0, 1}), join({1, 0}), reduction("add", {0, 1}), reduction("add", {1, 0})},
         {0, 1, 2, 3, 4, 5},
         6},
        {"identity collapses and users merge",
         {x, identity_op("mul", "l", {0}), op("abs", {1}), op("abs", {0})},
         {0, 0, 1, 1},
         2},
        {"identity chain",
         {x, identity_op("add", "r", {0}), identity_op("mul", "r", {1}),
          identity_op("add", "l", {2})},
         {0, 0, 0, 0},
         1},
        {"merge after identity feeds commutativity",
         {x, y, op("mul", {0, 1}), identity_op("add", "l", {0}), op("mul", {1, 3})},
         {0, 1, 2, 0, 2},
         3},
        {"non-op users merge through identity",
         {x, identity_op("add", "r", {0}), reduction("sum", {1}), reduction("sum", {0})},
         {0, 0, 1, 1},
         2},
        {"negative zero is no identity",
         {x, op("add", {0}, params({{"scalar", F(-0.0)}, {"side", S("r")}}))},
         {0, 1},
         2},
        {"integer scalar is no identity",
         {x, op("mul", {0}, params({{"scalar", I(1)}, {"side", S("r")}}))},
         {0, 1},
         2},
        {"add with one is no identity",
         {x, op("add", {0}, params({{"scalar", F(1.0)}, {"side", S("r")}}))},
         {0, 1},
         2},
        {"other side is no identity",
         {x, op("add", {0}, params({{"scalar", F(0.0)}, {"side", S("x")}}))},
         {0, 1},
         2},
        {"extra parameter is no identity",
         {x, op("add", {0}, params({{"scalar", F(0.0)}, {"side", S("r")}, {"t", F(0.0)}}))},
         {0, 1},
         2},
        {"identity name on a reduction",
         {x, reduction("add", {0}, params({{"scalar", F(0.0)}, {"side", S("r")}}))},
         {0, 1},
         2},
        // An identity-token op needs exactly one input to collapse.
        {"two-input identity token stays", {x, y, identity_op("add", "r", {0, 1})}, {0, 1, 2}, 3},
        {"zero-input identity token stays",
         {x, identity_op("mul", "l", {}), identity_op("mul", "l", {})},
         {0, 1, 1},
         2},
        {"repeated input", {x, op("add", {0, 0}), op("add", {0, 0})}, {0, 1, 1}, 2},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.what);
        const IncrementalReducer r = stepped(c.nodes);
        EXPECT_EQ(r.remap(), c.remap);
        EXPECT_EQ(r.canonical_count(), c.canonical);
        EXPECT_EQ(r.watermark(), c.nodes.size());
        EXPECT_EQ(r.total_work(), c.nodes.size());
        for (std::size_t k = 0; k < r.canon().size(); ++k) {
            for (const NodeId in : r.canon().inputs(k)) EXPECT_LT(in, k);
        }
    }
}

// The cheap structural checks must agree with the token-based definition.
TEST(IncrementalStep, IdentityAndCommutativeChecksMatchTokens) {
    std::vector<NodeKey> keys;
    for (const char* name : {"add", "mul", "sub", "ad", "addd", "add|"}) {
        for (const double scalar : {0.0, -0.0, 1.0, std::nan("")}) {
            for (const char* side : {"r", "l", "rl", ""}) {
                for (std::size_t arity = 0; arity < 3; ++arity) {
                    const ParamMap p = params({{"scalar", F(scalar)}, {"side", S(side)}});
                    keys.push_back(op(name, std::vector<NodeId>(arity, 0), p));
                }
            }
        }
        keys.push_back(op(name, {0}, params({{"scalar", F(0.0)}})));
        keys.push_back(
            op(name, {0}, params({{"scalar", S("f0000000000000000")}, {"side", S("r")}})));
        keys.push_back(op(name, {0, 1}));
        keys.push_back(op(name, {0, 1}, params({{"side", S("r")}})));
    }
    for (std::string_view name : kCommutativeNames) keys.push_back(op(std::string(name), {1, 0}));
    keys.push_back(reduction("add", {0, 1}));
    keys.push_back(reduction("add", {0}, params({{"scalar", F(0.0)}, {"side", S("r")}})));

    for (const NodeKey& key : keys) {
        const std::string tok = token(key);
        SCOPED_TRACE(tok);
        const auto inputs = key.inputs().size();
        const bool identity_token =
            std::ranges::find(identity_symbols(), tok) != identity_symbols().end();
        const HeldView view(key);
        EXPECT_EQ(is_identity_op(view.view()), key.is_op() && identity_token && inputs == 1);
        const bool commutative_token = std::ranges::any_of(
            kCommutativeNames, [&](std::string_view n) { return tok == "op|" + std::string(n); });
        EXPECT_EQ(is_commutative_op(view.view()), key.is_op() && commutative_token && inputs == 2);
    }
}

TEST(IncrementalStep, EmptyStepChangesNothing) {
    Fed fed;
    ASSERT_EQ(fed.step(std::vector<NodeKey>{source("x"), source("y"), op("add", {0, 1})}), 3u);
    IncrementalReducer& r = fed.reducer;
    EXPECT_EQ(fed.step(), 0u);
    EXPECT_EQ(r.watermark(), 3u);
    EXPECT_EQ(r.total_work(), 3u);
    EXPECT_EQ(r.canonical_count(), 3u);

    // The commuted twin recorded later is absorbed by the next step.
    EXPECT_EQ(fed.step(std::vector<NodeKey>{op("add", {1, 0})}), 1u);
    EXPECT_EQ(r.canonical_count(), 3u);
    EXPECT_EQ(r.watermark(), 4u);
    EXPECT_EQ(r.total_work(), 4u);
}

// What a failed step must leave as it was.
struct ReducerState {
    std::uint64_t watermark, total_work, store;
    std::vector<NodeKey> canon;
    std::vector<std::uint64_t> remap;
    std::size_t strings;
    friend bool operator==(const ReducerState&, const ReducerState&) = default;
};
ReducerState state_of(const IncrementalReducer& r) {
    return {r.watermark(),    r.total_work(), r.store(),
            r.canon().keys(), r.remap(),      r.canon().strings().size()};
}

// A step is all or nothing: an input that is no earlier node (which no store holds)
// takes back the nodes the step consumed before it, and the reducer stays usable.
TEST(IncrementalStep, BadInputChangesNothing) {
    struct Case {
        const char* what;
        NodeKey bad;
        NodeId id;
    };
    for (const Case& c : std::vector<Case>{{"beyond", op("neg", {0, 9}), 9},
                                           {"its own id", op("neg", {3}), 3},
                                           {"identity op", identity_op("add", "r", {7}), 7}}) {
        SCOPED_TRACE(c.what);
        Fed fed;
        ASSERT_EQ(fed.step(std::vector<NodeKey>{source("x")}), 1u);
        const ReducerState before = state_of(fed.reducer);
        const std::vector<NodeKey> delta = {source("y"), op("add", {1, 0}), c.bad, op("abs", {0})};
        const auto result = fed.step(delta);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), StepError{BadNodeId{c.id}});
        EXPECT_EQ(state_of(fed.reducer), before);
        IncrementalReducer fresh;
        EXPECT_FALSE(fresh.step(fed.table, kStore).has_value());
        EXPECT_EQ(fresh.store(), 0u);  // a failed first step binds nothing
    }
}

// A reducer reads one store: bound by its first step, it refuses any other.
TEST(IncrementalStep, BindsToTheFirstStore) {
    Fed fed;
    ASSERT_EQ(fed.step(std::vector<NodeKey>{source("x")}), 1u);
    EXPECT_EQ(fed.reducer.store(), kStore);
    const ReducerState before = state_of(fed.reducer);
    testing::append(fed.table, source("y"));
    EXPECT_EQ(fed.reducer.step(fed.table, kStore + 1), std::unexpected(StepError{OtherStore{}}));
    EXPECT_EQ(state_of(fed.reducer), before);
}

// Under allocation failure at every point of a step, the step is all or nothing: it
// fails leaving the reducer (and its binding) exactly as it was, or succeeds with the
// same canonical form as a step that never met a failure. Fed through a store, as the
// Python class feeds it.
TEST(IncrementalStep, AllocationFailureChangesNothing) {
    const std::vector<NodeKey> head = {source("x"), source("y"), op("add", {0, 1})};
    const std::vector<NodeKey> tail = {
        op("add", {1, 0}), identity_op("mul", "l", {2}),
        op("abs", {4}),    join({5, 0}, params({{"how", S("inner")}})),
        source("z"),       op("map", {7}, params({{"f", F(0.5)}, {"s", S("t\xc3\xa9")}}))};
    for (const bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "bound" : "unbound");
        GraphStore s;
        IncrementalReducer expected;
        for (const NodeKey& key : head) ASSERT_TRUE(testing::intern(s, key));
        IncrementalReducer r;
        if (bound) {
            ASSERT_EQ(s.feed(r), head.size());
        }
        for (const NodeKey& key : tail) ASSERT_TRUE(testing::intern(s, key));
        ASSERT_EQ(s.feed(expected), head.size() + tail.size());
        int failures = 0;
        for (long k = 0;; ++k) {
            IncrementalReducer attempt = r;
            const ReducerState before = state_of(attempt);
            t_fail_in = k;
            bool failed = false;
            try {
                (void)s.feed(attempt);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            t_fail_in = -1;
            if (!failed) {
                EXPECT_EQ(state_of(attempt), state_of(expected));
                break;
            }
            ++failures;
            ASSERT_EQ(state_of(attempt), before) << "failure at allocation " << k;
            // The failed reducer can still be fed, by this store or (if unbound) another.
            IncrementalReducer elsewhere = attempt;
            EXPECT_EQ(GraphStore().feed(elsewhere).has_value(), !bound);
            ASSERT_TRUE(s.feed(attempt).has_value());
            EXPECT_EQ(state_of(attempt), state_of(expected));
        }
        EXPECT_GT(failures, 3);
    }
}

std::vector<NodeKey> sample_graph() {
    return {source("x"),
            source("y"),
            op("add", {0, 1}),
            op("add", {1, 0}),
            identity_op("add", "r", {2}),
            op("mul", {4, 3}),
            op("neg", {0}),
            op("abs", {5}),
            reduction("sum", {7}),
            op("mul", {3, 2}),
            identity_op("mul", "l", {9}),
            join({10, 8, 6})};
}

TEST(IncrementalStep, SpacingOfStepsDoesNotMatter) {
    const std::vector<NodeKey> nodes = sample_graph();
    const IncrementalReducer once = stepped(nodes);

    Fed each;
    for (const NodeKey& key : nodes) ASSERT_EQ(each.step(std::span<const NodeKey>(&key, 1)), 1u);

    Fed chunks;
    const std::span<const NodeKey> all(nodes);
    ASSERT_EQ(chunks.step(all.subspan(0, 5)), 5u);
    ASSERT_EQ(chunks.step(all.subspan(5)), nodes.size() - 5);

    for (const IncrementalReducer* r : {&each.reducer, &chunks.reducer}) {
        EXPECT_EQ(r->canon().keys(), once.canon().keys());
        EXPECT_EQ(r->remap(), once.remap());
        EXPECT_EQ(r->total_work(), once.total_work());
    }
    EXPECT_EQ(once.canonical_count(), 8u);  // x y add mul neg abs sum join
}

// The table refers to canon entries by index only, so a copied or moved reducer keeps
// deduplicating against its own entries.
TEST(IncrementalStep, CopiesAndMovesStayConsistent) {
    const std::vector<NodeKey> nodes = sample_graph();
    Fed fed;
    ASSERT_EQ(fed.step(std::span<const NodeKey>(nodes).first(6)), 6u);
    IncrementalReducer copy = fed.reducer;
    IncrementalReducer moved = std::move(fed.reducer);
    for (const NodeKey& key : std::span<const NodeKey>(nodes).subspan(6)) {
        testing::append(fed.table, key);
    }
    ASSERT_EQ(copy.step(fed.table, kStore), nodes.size() - 6);
    ASSERT_EQ(moved.step(fed.table, kStore), nodes.size() - 6);
    const IncrementalReducer once = stepped(nodes);
    EXPECT_EQ(copy.canon().keys(), once.canon().keys());
    EXPECT_EQ(moved.canon().keys(), once.canon().keys());
    EXPECT_EQ(moved.remap(), once.remap());
}

// Only for outputs that reach every store node that has a merged twin: the incremental
// form keeps the first recorded member of each class, even when that member is dead,
// and a dead store node lands with a live representative.
void expect_same_reduction(const Reduced& inc, const Reduced& full, std::size_t store_nodes) {
    EXPECT_EQ(inc.nodes.keys(), full.nodes.keys());
    EXPECT_EQ(inc.outputs, full.outputs);
    EXPECT_EQ(inc.report.canonical_nodes, full.report.canonical_nodes);
    EXPECT_EQ(inc.report.stages, full.report.stages);
    EXPECT_EQ(inc.report.reduced_nodes, full.report.reduced_nodes);
    EXPECT_EQ(inc.report.boundary_nodes, full.report.boundary_nodes);
    ASSERT_EQ(inc.node_map.size(), store_nodes);
    ASSERT_EQ(full.node_map.size(), store_nodes);
    for (std::size_t s = 0; s < store_nodes; ++s) {
        SCOPED_TRACE(s);
        const auto& a = inc.node_map[s];
        const auto& b = full.node_map[s];
        ASSERT_EQ(a.has_value(), b.has_value());
        if (!a) continue;
        ASSERT_LT(a->reduced_node_id, inc.nodes.size());
        ASSERT_LT(b->reduced_node_id, full.nodes.size());
        EXPECT_EQ(inc.nodes.key(a->reduced_node_id), full.nodes.key(b->reduced_node_id));
        EXPECT_EQ(a->member_index, b->member_index);
    }
}

TEST(IncrementalFinalize, MatchesFullReductionOfSampleGraph) {
    const std::vector<NodeKey> nodes = sample_graph();
    const IncrementalReducer r = stepped(nodes);
    const SaturationEngine engine;
    for (const bool maximal : {false, true}) {
        for (const std::vector<NodeId>& outputs :
             std::vector<std::vector<NodeId>>{{11}, {11, 11}, {11, 4, 3}, {}}) {
            SCOPED_TRACE(::testing::Message()
                         << "maximal " << maximal << " outputs " << outputs.size());
            const auto inc = r.finalize(outputs, engine, maximal);
            ASSERT_TRUE(inc.has_value());
            EXPECT_EQ(inc->report.input_nodes, r.canonical_count());
            expect_same_reduction(*inc, testing::reduce_keys(nodes, outputs, engine, maximal),
                                  nodes.size());

            // finalize leaves the reducer as it was, so a second call agrees.
            const auto again = r.finalize(outputs, engine, maximal);
            ASSERT_TRUE(again.has_value());
            EXPECT_EQ(again->nodes.keys(), inc->nodes.keys());
            EXPECT_EQ(again->outputs, inc->outputs);
            EXPECT_EQ(again->node_map, inc->node_map);
            EXPECT_EQ(again->report, inc->report);
        }
    }
}

TEST(IncrementalFinalize, CollapsedNodesLandWithTheirRepresentative) {
    const IncrementalReducer r = stepped(sample_graph());
    const auto live = r.finalize(std::vector<NodeId>{11}, SaturationEngine(), false);
    ASSERT_TRUE(live.has_value());
    const NodeMap& map = live->node_map;
    ASSERT_EQ(map.size(), 12u);
    EXPECT_TRUE(map[2].has_value());
    EXPECT_EQ(map[3], map[2]);   // commuted twin
    EXPECT_EQ(map[4], map[2]);   // add 0.0 over it
    EXPECT_EQ(map[9], map[5]);   // mul over the commuted pair of inputs
    EXPECT_EQ(map[10], map[5]);  // mul 1.0 over that
    EXPECT_TRUE(map[6].has_value());
    const auto dead = r.finalize(std::vector<NodeId>{8}, SaturationEngine(), false);
    ASSERT_TRUE(dead.has_value());
    EXPECT_FALSE(dead->node_map[6].has_value());  // neg is not reachable from sum
    EXPECT_FALSE(dead->node_map[11].has_value());
    // mul(3, 2) is not reachable from sum either, but its canonical twin mul(4, 3) is,
    // so it lands where that one landed.
    EXPECT_TRUE(dead->node_map[9].has_value());
    EXPECT_EQ(dead->node_map[9], dead->node_map[5]);
}

// A two-input op carrying an identity token is an ordinary node on both paths.
TEST(IncrementalFinalize, MultiInputIdentityTokenIsAnOrdinaryNode) {
    const std::vector<NodeKey> nodes = {source("x"), source("y"), identity_op("add", "r", {0, 1}),
                                        identity_op("add", "r", {1, 0}), join({2, 3})};
    const IncrementalReducer r = stepped(nodes);
    EXPECT_EQ(r.canonical_count(), 5u);
    const SaturationEngine engine;
    const std::vector<NodeId> outputs = {4};
    const auto inc = r.finalize(outputs, engine, false);
    ASSERT_TRUE(inc.has_value());
    expect_same_reduction(*inc, testing::reduce_keys(nodes, outputs, engine, false), nodes.size());
    EXPECT_NE(inc->node_map[2], inc->node_map[0]);
    EXPECT_NE(inc->node_map[2], inc->node_map[3]);
}

TEST(IncrementalFinalize, BadOutputChangesNothing) {
    IncrementalReducer r = stepped({source("x"), op("abs", {0})});
    const SaturationEngine engine;
    for (const std::vector<NodeId>& outputs :
         std::vector<std::vector<NodeId>>{{2}, {1, 5}, {1, 2, 0}}) {
        const auto result = r.finalize(outputs, engine, false);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), BadNodeId{outputs[outputs.size() > 1 ? 1 : 0]});
    }
    EXPECT_EQ(r.watermark(), 2u);
    EXPECT_EQ(r.canonical_count(), 2u);
    EXPECT_TRUE(r.finalize(std::vector<NodeId>{1}, engine, false).has_value());
    // Empty reducer: every output is out of range, an empty list is fine.
    const IncrementalReducer empty;
    const auto bad = empty.finalize(std::vector<NodeId>{0}, engine, false);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error(), BadNodeId{0});
    const auto none = empty.finalize(std::vector<NodeId>{}, engine, false);
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->report, ReductionReport{});
}

// Random small graphs with every node reachable from the outputs: the incremental
// path must give the same reduced graph as reducing the whole arena.
RandomGraph small_graph(Rng& rng) {
    static constexpr const char* kNames[] = {"add", "mul", "maximum", "eq", "sub", "abs", "neg"};
    GraphRecipe recipe;
    recipe.nodes = static_cast<std::size_t>(2 + rng.below(14));
    const std::uint64_t sources = 1 + rng.below(3);
    for (char name = 'a'; name < 'a' + static_cast<int>(sources); ++name)
        recipe.sources.push_back(source({name}));
    recipe.step = [](GraphDraw& d) -> std::optional<NodeKey> {
        const char* name = kNames[d.below(std::size(kNames))];
        switch (d.below(10)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return op(name, {d.recent(), d.recent()});
        case 4:
            return op(name, {d.recent()});
        case 5:
        case 6: {
            std::vector<NodeId> inputs(d.below(8) == 0 ? 2 : 1);
            for (NodeId& x : inputs) x = d.recent();
            const char* identity = d.below(2) == 0 ? "add" : "mul";
            return identity_op(identity, d.below(2) == 0 ? "r" : "l", std::move(inputs));
        }
        case 7:
            return op("add", {d.recent(), d.recent()}, params({{"k", F(1.0)}}));
        case 8:
            return reduction("sum", {d.recent()});
        default:
            return join({d.recent(), d.recent()});
        }
    };
    return random_graph(recipe, rng);
}

TEST(IncrementalFinalize, RandomGraphsMatchFullReduction) {
    constexpr std::uint64_t kSeed = 0x5EED0FC0A11EULL;
    Rng rng(kSeed);
    const SaturationEngine engine;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(::testing::Message() << "seed " << kSeed << " round " << round);
        const RandomGraph g = small_graph(rng);
        const std::vector<NodeKey>& nodes = g.nodes;
        std::vector<NodeId> outputs = g.outputs;  // every node no other node reads
        outputs.push_back(outputs.front());       // and a duplicate output

        // Step in random chunks.
        Fed fed;
        const IncrementalReducer& r = fed.reducer;
        for (std::size_t at = 0; at < nodes.size();) {
            const std::size_t len = std::min<std::size_t>(1 + rng.below(4), nodes.size() - at);
            ASSERT_EQ(fed.step(std::span<const NodeKey>(nodes).subspan(at, len)), len);
            at += len;
        }
        ASSERT_EQ(r.total_work(), nodes.size());
        for (const bool maximal : {false, true}) {
            const auto inc = r.finalize(outputs, engine, maximal);
            ASSERT_TRUE(inc.has_value());
            EXPECT_EQ(inc->report.input_nodes, r.canonical_count());
            const Reduced full = testing::reduce_keys(nodes, outputs, engine, maximal);
            // Every node is live, so the local rules alone must already have found
            // every class the engine finds.
            EXPECT_EQ(r.canonical_count(), full.report.canonical_nodes);
            expect_same_reduction(*inc, full, nodes.size());
        }
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace corvane
