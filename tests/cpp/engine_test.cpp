// SaturationEngine: which nodes the twelve rules merge, which representative and child
// order survive, that the partition does not depend on the order nodes were recorded in,
// and that canonicalize is safe to run from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <numeric>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"
#include "fault.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/rules.hpp"
#include "support/engine_graph.hpp"
#include "support/random_graph.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

const std::string kAdd0R = identity_symbols()[0];
const std::string kAdd0L = identity_symbols()[1];
const std::string kMul1R = identity_symbols()[2];
const std::string kMul1L = identity_symbols()[3];

EngineNode op(std::string token, std::vector<std::size_t> children = {}) {
    const bool opaque = !token.starts_with("op|");
    return EngineNode{std::move(token), std::move(children), opaque};
}

EngineGraph graph(std::vector<EngineNode> nodes, std::vector<std::size_t> outputs) {
    return EngineGraph{std::move(nodes), std::move(outputs)};
}

struct Case {
    std::string name;
    EngineGraph input;
    std::vector<EngineNode> canonical;
    std::vector<std::size_t> canonical_outputs;
    std::vector<std::size_t> class_of;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class EngineCases : public ::testing::TestWithParam<Case> {};

TEST_P(EngineCases, Canonicalizes) {
    const Case& c = GetParam();
    const Canonicalized out = canonicalize(SaturationEngine(), c.input);
    EXPECT_EQ(out.canonical.nodes, c.canonical);
    EXPECT_EQ(out.canonical.outputs, c.canonical_outputs);
    EXPECT_EQ(out.class_of, c.class_of);
}

std::vector<Case> cases() {
    const EngineNode x = op("src|x");
    const EngineNode y = op("src|y");
    std::vector<Case> out = {
        {"empty", graph({}, {}), {}, {}, {}},
        {"add_zero_right", graph({x, op(kAdd0R, {0})}, {1}), {x}, {0}, {0, 0}},
        {"chain_of_identities",
         graph({x, op(kAdd0R, {0}), op(kMul1L, {1})}, {2, 1}),
         {x},
         {0, 0},
         {0, 0, 0}},
        {"commuted_add_keeps_earlier",
         graph({x, y, op("op|add", {1, 0}), op("op|add", {0, 1})}, {3}),
         {x, y, op("op|add", {1, 0})},
         {2},
         {0, 1, 2, 2}},
        {"sub_is_not_commutative",
         graph({x, y, op("op|sub", {0, 1}), op("op|sub", {1, 0})}, {2, 3}),
         {x, y, op("op|sub", {0, 1}), op("op|sub", {1, 0})},
         {2, 3},
         {0, 1, 2, 3}},
        {"parameterised_add_stays_apart",
         graph({x, y, op("op|add|axis=i0", {0, 1}), op("op|add|axis=i0", {1, 0})}, {3}),
         {x, y, op("op|add|axis=i0", {0, 1}), op("op|add|axis=i0", {1, 0})},
         {3},
         {0, 1, 2, 3}},
        {"ternary_maximum_has_no_rule",
         graph({x, y, op("op|maximum", {0, 1, 0}), op("op|maximum", {1, 0, 0})}, {2}),
         {x, y, op("op|maximum", {0, 1, 0}), op("op|maximum", {1, 0, 0})},
         {2},
         {0, 1, 2, 3}},
        {"identity_token_with_two_inputs",
         graph({x, y, op(kAdd0R, {0, 1})}, {2}),
         {x, y, op(kAdd0R, {0, 1})},
         {2},
         {0, 1, 2}},
        // mul(y, z) with z = x + 0.0 becomes congruent to mul(x, y) through commutativity.
        {"congruence_after_identity",
         graph({x, y, op("op|mul", {0, 1}), op(kAdd0L, {0}), op("op|mul", {1, 3})}, {4}),
         {x, y, op("op|mul", {0, 1})},
         {2},
         {0, 1, 2, 0, 2}},
        {"duplicate_outputs_kept",
         graph({x, y, op(kMul1R, {1}), op("op|and", {0, 2})}, {3, 3, 0}),
         {x, y, op("op|and", {0, 1})},
         {2, 2, 0},
         {0, 1, 1, 2}},
        {"identical_nodes_share_a_class",
         graph({x, op("op|neg", {0}), op("op|neg", {0})}, {2}),
         {x, op("op|neg", {0})},
         {1},
         {0, 1, 1}},
        {"opaque_nodes_keep_children_and_duplicates",
         graph({x, op(kAdd0R, {0}), op("join|inner", {1, 0, 0}), op("stage|2", {2})}, {3}),
         {x, op("join|inner", {0, 0, 0}), op("stage|2", {1})},
         {2},
         {0, 0, 1, 2}},
    };
    // Near misses of the identity tokens: -0.0, integer scalars, another side, an extra
    // parameter, no parameters.
    for (const char* near : {"op|add|scalar=f8000000000000000;side=sr", "op|add|scalar=i0;side=sr",
                             "op|mul|scalar=i1;side=sl", "op|add|scalar=f0000000000000000;side=sx",
                             "op|add|extra=i1;scalar=f0000000000000000;side=sr",
                             "op|mul|scalar=f3ff0000000000000;side=sr;z=i0", "op|add", "op|mul"}) {
        out.push_back({"near_miss_" + std::to_string(out.size()),
                       graph({x, op(near, {0})}, {1}),
                       {x, op(near, {0})},
                       {1},
                       {0, 1}});
    }
    for (std::size_t i = 0; i < identity_symbols().size(); ++i) {
        out.push_back({"identity_" + std::to_string(i),
                       graph({x, y, op(identity_symbols()[i], {1})}, {2}),
                       {x, y},
                       {1},
                       {0, 1, 1}});
    }
    for (std::string_view name : kCommutativeNames) {
        const std::string token = "op|" + std::string(name);
        out.push_back(
            {"commute_" + std::string(name),
             graph({x, y, op(token, {0, 1}), op(token, {1, 0}), op(token, {0, 0})}, {3, 4}),
             {x, y, op(token, {0, 1}), op(token, {0, 0})},
             {2, 3},
             {0, 1, 2, 2, 3}});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Engine, EngineCases, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             return param.param.name;
                         });

TEST(Engine, BuildsTheTwelveRulesInOrder) {
    struct R {
        std::string name, searcher, applier;
    };
    const std::vector<R> expected = {
        {"commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"},
        {"commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"},
        {"commute-and", "(op|and ?a ?b)", "(op|and ?b ?a)"},
        {"commute-or", "(op|or ?a ?b)", "(op|or ?b ?a)"},
        {"commute-eq", "(op|eq ?a ?b)", "(op|eq ?b ?a)"},
        {"commute-ne", "(op|ne ?a ?b)", "(op|ne ?b ?a)"},
        {"commute-maximum", "(op|maximum ?a ?b)", "(op|maximum ?b ?a)"},
        {"commute-minimum", "(op|minimum ?a ?b)", "(op|minimum ?b ?a)"},
        {"identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"},
        {"identity-1", "(op|add|scalar=f0000000000000000;side=sl ?x)", "?x"},
        {"identity-2", "(op|mul|scalar=f3ff0000000000000;side=sr ?x)", "?x"},
        {"identity-3", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "?x"},
    };
    const std::vector<eqsat::Rewrite> rules = rewrite_rules();
    ASSERT_EQ(rules.size(), expected.size());
    for (std::size_t i = 0; i < rules.size(); ++i) {
        EXPECT_EQ(rules[i].name().to_string(), expected[i].name) << i;
        EXPECT_EQ(rules[i].searcher().to_string(), expected[i].searcher) << i;
        EXPECT_EQ(rules[i].applier().to_string(), expected[i].applier) << i;
    }
    EXPECT_EQ(SaturationEngine().iter_limit(), 12u);
}

TEST(Engine, BrokenPreconditionsAreInternalFaults) {
    const SaturationEngine engine;
    EXPECT_THROW(canonicalize(engine, graph({op("src|x", {0})}, {})), InternalFault);
    EXPECT_THROW(canonicalize(engine, graph({op("src|x"), op("op|neg", {2})}, {})), InternalFault);
    EXPECT_THROW(canonicalize(engine, graph({op("src|x")}, {1})), InternalFault);
}

// A chain as deep as the graph is long: nothing may recurse along it.
TEST(Engine, DeepChainsCollapseWithoutRecursion) {
    constexpr std::size_t kDepth = 200'000;
    EngineGraph g;
    g.nodes.push_back(op("src|x"));
    for (std::size_t i = 1; i < kDepth; ++i) g.nodes.push_back(op("op|neg", {i - 1}));
    g.nodes.push_back(op(kAdd0R, {kDepth - 1}));
    g.outputs = {kDepth};
    const Canonicalized out = canonicalize(SaturationEngine(), g);
    ASSERT_EQ(out.canonical.nodes.size(), kDepth);
    EXPECT_EQ(out.class_of[kDepth], kDepth - 1);
    EXPECT_EQ(out.canonical.outputs, std::vector<std::size_t>{kDepth - 1});
}

// ---- randomized: the partition does not depend on the recording order ---------------

EngineGraph random_engine_graph(Rng& rng, std::size_t n) {
    const RandomGraph g = operator_graph(n, rng);
    return to_engine_graph(g.nodes, g.outputs);
}

// The same nodes recorded in another topological order; order[k] = original index of
// the node recorded k-th.
EngineGraph reorder(const EngineGraph& g, const std::vector<std::size_t>& order) {
    std::vector<std::size_t> position(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) position[order[k]] = k;
    EngineGraph out;
    for (std::size_t original : order) {
        EngineNode node = g.nodes[original];
        for (std::size_t& c : node.children) c = position[c];
        out.nodes.push_back(std::move(node));
    }
    return out;
}

std::vector<std::size_t> random_topological_order(const EngineGraph& g, Rng& rng) {
    const std::size_t n = g.nodes.size();
    std::vector<std::size_t> waiting(n);
    std::vector<std::vector<std::size_t>> users(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::size_t> kids = g.nodes[i].children;
        std::sort(kids.begin(), kids.end());
        kids.erase(std::unique(kids.begin(), kids.end()), kids.end());
        waiting[i] = kids.size();
        for (std::size_t c : kids) users[c].push_back(i);
    }
    std::vector<std::size_t> ready;
    for (std::size_t i = 0; i < n; ++i) {
        if (waiting[i] == 0) ready.push_back(i);
    }
    std::vector<std::size_t> order;
    while (!ready.empty()) {
        const auto pick = static_cast<std::size_t>(rng.below(ready.size()));
        std::swap(ready[pick], ready.back());
        const std::size_t i = ready.back();
        ready.pop_back();
        order.push_back(i);
        for (std::size_t u : users[i]) {
            if (--waiting[u] == 0) ready.push_back(u);
        }
    }
    return order;
}

// Independent reference: close the input nodes under the identity laws, commutativity
// and congruence by naive fixpoint iteration, using only the rules `allowed` names.
std::vector<std::size_t> reference_classes(
    const EngineGraph& g, const std::function<bool(std::string_view rule)>& allowed =
                              [](std::string_view) { return true; }) {
    const std::size_t n = g.nodes.size();
    std::vector<std::size_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](std::size_t i) {
        while (parent[i] != i) i = parent[i];
        return i;
    };
    auto is_identity = [&](const EngineNode& node) {
        const auto found = std::ranges::find(identity_symbols(), node.op);
        return node.children.size() == 1 && found != identity_symbols().end() &&
               allowed("identity-" + std::to_string(found - identity_symbols().begin()));
    };
    auto is_commutative = [&](const EngineNode& node) {
        return node.children.size() == 2 && node.op.starts_with("op|") &&
               std::ranges::find(kCommutativeNames, node.op.substr(3)) != kCommutativeNames.end() &&
               allowed("commute-" + node.op.substr(3));
    };
    for (bool changed = true; changed;) {
        changed = false;
        auto unite = [&](std::size_t a, std::size_t b) {
            a = root(a);
            b = root(b);
            if (a != b) {
                parent[std::max(a, b)] = std::min(a, b);
                changed = true;
            }
        };
        for (std::size_t i = 0; i < n; ++i) {
            const EngineNode& u = g.nodes[i];
            if (is_identity(u)) unite(i, u.children[0]);
            for (std::size_t j = i + 1; j < n; ++j) {
                const EngineNode& v = g.nodes[j];
                if (u.op != v.op || u.children.size() != v.children.size()) continue;
                bool same = true;
                for (std::size_t k = 0; k < u.children.size(); ++k)
                    same &= root(u.children[k]) == root(v.children[k]);
                if (!same && is_commutative(u)) {
                    same = root(u.children[0]) == root(v.children[1]) &&
                           root(u.children[1]) == root(v.children[0]);
                }
                if (same) unite(i, j);
            }
        }
    }
    std::vector<std::size_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = root(i);
    return out;
}

// Two labelings describe the same partition.
bool same_partition(const std::vector<std::size_t>& a, const std::vector<std::size_t>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = i + 1; j < a.size(); ++j) {
            if ((a[i] == a[j]) != (b[i] == b[j])) return false;
        }
    }
    return true;
}

// The twelve rules as the engine builds them, to confirm that the runs saturate.
bool saturates(const EngineGraph& g) {
    const std::vector<eqsat::Rewrite> rules = rewrite_rules();
    eqsat::EGraph egraph;
    std::vector<eqsat::Id> ids;
    for (const EngineNode& node : g.nodes) {
        std::vector<eqsat::Id> kids;
        for (std::size_t c : node.children) kids.push_back(ids[c]);
        ids.push_back(egraph.add(eqsat::Symbol(node.op), kids));
    }
    eqsat::Runner runner;
    runner.with_egraph(std::move(egraph))
        .with_iter_limit(12)
        .with_node_limit(4 * g.nodes.size() + 1024);
    runner.run(rules);
    return runner.stop_reason() == eqsat::StopReason(eqsat::stop::Saturated{});
}

TEST(EngineRandomized, PartitionIsIndependentOfRecordingOrder) {
    const std::uint64_t seed = 0x5eed'c0ffee'2026ULL;
    Rng rng(seed);
    const SaturationEngine engine;
    for (int round = 0; round < 300; ++round) {
        const auto n = static_cast<std::size_t>(1 + rng.below(24));
        const EngineGraph g = random_engine_graph(rng, n);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        ASSERT_TRUE(saturates(g));
        const std::vector<std::size_t> expected = reference_classes(g);
        const Canonicalized base = canonicalize(engine, g);
        ASSERT_TRUE(same_partition(base.class_of, expected));
        for (int shuffle = 0; shuffle < 3; ++shuffle) {
            const std::vector<std::size_t> order = random_topological_order(g, rng);
            const Canonicalized moved = canonicalize(engine, reorder(g, order));
            std::vector<std::size_t> back(n);
            for (std::size_t k = 0; k < n; ++k) back[order[k]] = moved.class_of[k];
            ASSERT_TRUE(same_partition(back, expected)) << "shuffle " << shuffle;
            ASSERT_EQ(moved.canonical.nodes.size(), base.canonical.nodes.size());
        }
    }
}

// Proofs: two nodes are equal in the log exactly when the engine put them in one class,
// and the rules the proof names suffice for the reference to merge them too.
TEST(EngineRandomized, ProofsNameRulesThatSufficeForEachMerge) {
    const std::uint64_t seed = 0x9e3779b97f4a7c15ULL;
    Rng rng(seed);
    const SaturationEngine engine;
    std::size_t proved_with_rules = 0;
    for (int round = 0; round < 200; ++round) {
        const auto n = static_cast<std::size_t>(1 + rng.below(24));
        const EngineGraph g = random_engine_graph(rng, n);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        eqsat::SymbolScope symbols;
        SymbolGraph input = to_symbol_graph(g, symbols);
        for (std::size_t i = 0; i < n; ++i) input.non_op[i] = g.nodes[i].opaque ? 1 : 0;
        const ProvedGraph proved = engine.canonicalize_proved(input);
        ASSERT_EQ(proved.graph.class_of, engine.canonicalize(input).class_of);
        eqsat::Explanation explanation(proved.proofs);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                const auto mask = explanation.reasons(proved.added[i], proved.added[j]);
                const bool merged = proved.graph.class_of[i] == proved.graph.class_of[j];
                ASSERT_EQ(mask.has_value(), merged) << i << " ~ " << j;
                if (!merged) continue;
                std::vector<std::string> used;
                for (std::size_t r = 0; r < explanation.reasons().size(); ++r) {
                    const eqsat::Reason reason = explanation.reasons()[r];
                    if ((*mask >> r & 1) && !reason.congruence)
                        used.push_back(reason.rule.to_string());
                }
                proved_with_rules += !used.empty();
                const auto only = reference_classes(g, [&](std::string_view rule) {
                    return std::ranges::find(used, rule) != used.end();
                });
                ASSERT_EQ(only[i], only[j]) << i << " ~ " << j;
            }
        }
    }
    EXPECT_GT(proved_with_rules, 100u);
}

// ---- concurrency --------------------------------------------------------------------

TEST(EngineConcurrency, ThreadsCanonicalizeAndInternAtOnce) {
    const std::uint64_t seed = 42;
    Rng rng(seed);
    std::vector<EngineGraph> graphs;
    for (int i = 0; i < 24; ++i) {
        EngineGraph g = random_engine_graph(rng, 40);
        // Thread-specific tokens make every thread intern new symbols as well.
        g.nodes.push_back(op("op|fresh-" + std::to_string(i), {g.nodes.size() - 1}));
        g.outputs = {g.nodes.size() - 1};
        graphs.push_back(std::move(g));
    }
    const SaturationEngine engine;
    std::vector<Canonicalized> expected;
    for (const EngineGraph& g : graphs) expected.push_back(canonicalize(engine, g));

    constexpr unsigned kThreads = 6;
    std::vector<std::vector<char>> agree(kThreads, std::vector<char>(graphs.size()));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const SaturationEngine own;
            for (std::size_t k = 0; k < graphs.size(); ++k) {
                const std::size_t i = (k + t) % graphs.size();
                const Canonicalized got = canonicalize(k % 2 ? own : engine, graphs[i]);
                eqsat::Symbol("thread-" + std::to_string(t) + "-" + std::to_string(k));
                agree[t][i] =
                    got.class_of == expected[i].class_of && got.canonical == expected[i].canonical;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (unsigned t = 0; t < kThreads; ++t) {
        for (std::size_t i = 0; i < graphs.size(); ++i)
            EXPECT_TRUE(agree[t][i]) << "thread " << t << " graph " << i;
    }
}

}  // namespace
}  // namespace corvane
