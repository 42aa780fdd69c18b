// The equality-saturation library through its own interfaces: symbols, the e-graph's
// union-find and congruence repair, pattern parsing and matching, rewrites, the backoff
// scheduler's arithmetic and the runner's stop conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/error.hpp"
#include "eqsat/pattern.hpp"
#include "eqsat/proof.hpp"
#include "eqsat/rewrite.hpp"
#include "eqsat/runner.hpp"
#include "eqsat/scheduler.hpp"
#include "eqsat/symbol.hpp"

namespace corvane::eqsat {
namespace {

Id add(EGraph& g, std::string_view op, std::initializer_list<Id> children = {}) {
    const std::vector<Id> c(children);
    return g.add(Symbol(op), c);
}

// The class of an e-node the e-graph holds.
Id lookup(const EGraph& g, std::string_view op, std::initializer_list<Id> children) {
    std::vector<Id> c;
    for (Id child : children) c.push_back(g.find(child));
    return g.lookup(NodeRef{Symbol(op), c}).value();
}

// A clean e-graph holding `count` classes f(x_i) over distinct leaves.
EGraph fanout(std::size_t count) {
    EGraph g;
    for (std::size_t i = 0; i < count; ++i) add(g, "f", {add(g, "x" + std::to_string(i))});
    g.rebuild();
    return g;
}

std::string error_of(auto&& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.what();
    }
    return "<no error>";
}

// ---- symbols ------------------------------------------------------------------------

TEST(Symbol, InternsOnceAndRendersTheExactText) {
    const std::vector<std::string> texts = {"",
                                            "op|add|scalar=f0000000000000000;side=sr",
                                            "op|add",
                                            "with space",
                                            std::string("nul\0inside", 10),
                                            "\xc3\xbc"};
    for (const std::string& text : texts) {
        const Symbol s(text);
        EXPECT_EQ(s.str(), text);
        EXPECT_EQ(s, Symbol(std::string(text)));
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        for (std::size_t j = i + 1; j < texts.size(); ++j)
            EXPECT_NE(Symbol(texts[i]), Symbol(texts[j]));
    }
    EXPECT_EQ(Symbol(), Symbol(""));
}

TEST(Symbol, InterningManyAtOnceMatchesOneAtATime) {
    std::vector<std::string> texts;
    for (int i = 0; i < 9000; ++i) {
        texts.push_back("batch-" + std::to_string(i % 5000));  // repeats, some adjacent
        if (i % 7 == 0) texts.push_back(texts.back());
        if (i % 1000 == 0) texts.push_back("");
    }
    for (int i = 0; i < 3000; i += 3) Symbol("batch-" + std::to_string(i));  // some known already
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<Symbol> out(views.size());
    Symbol::intern_all(views, out);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(out[i], Symbol(texts[i])) << i;
        ASSERT_EQ(out[i].str(), texts[i]) << i;
    }
    std::vector<Symbol> short_out(1);
    EXPECT_THROW(Symbol::intern_all(views, short_out), Error);
}

TEST(SymbolConcurrency, ThreadsAgreeOnEveryId) {
    constexpr std::size_t kNames = 3000;
    constexpr unsigned kThreads = 8;
    std::vector<std::vector<std::uint32_t>> seen(kThreads, std::vector<std::uint32_t>(kNames));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &seen] {
            std::vector<std::size_t> order(kNames);
            std::iota(order.begin(), order.end(), 0);
            std::shuffle(order.begin(), order.end(), std::mt19937(t));
            // Half the threads intern one at a time, half in batches.
            std::vector<std::string> texts;
            for (std::size_t k : order) texts.push_back("concurrent-symbol-" + std::to_string(k));
            std::vector<Symbol> symbols(kNames);
            if (t % 2 == 0) {
                for (std::size_t k = 0; k < kNames; ++k) symbols[k] = Symbol(texts[k]);
            } else {
                const std::vector<std::string_view> views(texts.begin(), texts.end());
                for (std::size_t k = 0; k < kNames; k += 500) {
                    const std::size_t n = std::min<std::size_t>(500, kNames - k);
                    Symbol::intern_all(std::span(views).subspan(k, n),
                                       std::span(symbols).subspan(k, n));
                }
            }
            for (std::size_t k = 0; k < kNames; ++k) {
                seen[t][order[k]] = symbols[k].str() == texts[k] ? symbols[k].id() : ~0u;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (unsigned t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
    for (std::size_t k = 0; k < kNames; ++k) {
        EXPECT_EQ(Symbol("concurrent-symbol-" + std::to_string(k)).id(), seen[0][k]);
    }
}

// ---- e-graph ------------------------------------------------------------------------

TEST(EGraph, AddingTheSameNodeTwiceGivesOneClass) {
    EGraph g;
    EXPECT_TRUE(g.clean());
    const Id a = add(g, "a");
    const Id fa = add(g, "f", {a});
    EXPECT_FALSE(g.clean());
    EXPECT_EQ(add(g, "f", {a}), fa);
    EXPECT_EQ(add(g, "a"), a);
    EXPECT_NE(add(g, "f", {a, a}), fa);  // arity is part of the node
    EXPECT_EQ(g.number_of_classes(), 3u);
    EXPECT_EQ(g.total_size(), 3u);
    EXPECT_EQ(g.rebuild(), 0u);
    EXPECT_TRUE(g.clean());
}

TEST(EGraph, CongruenceIsRestoredByRebuild) {
    EGraph g;
    const Id a = add(g, "a");
    const Id b = add(g, "b");
    const Id fa = add(g, "f", {a});
    const Id fb = add(g, "f", {b});
    g.rebuild();
    EXPECT_TRUE(g.merge(a, b));
    EXPECT_FALSE(g.merge(b, a));
    EXPECT_FALSE(g.clean());
    EXPECT_NE(g.find(fa), g.find(fb));  // repair is deferred
    EXPECT_EQ(g.rebuild(), 1u);
    EXPECT_EQ(g.find(fa), g.find(fb));
    EXPECT_EQ(g.number_of_classes(), 2u);
    EXPECT_EQ(g.total_size(), 4u);
    // f(a) and f(b) now have one canonical form: one member, one removed.
    EXPECT_EQ(g.class_nodes(g.find(fa)).size(), 1u);
    EXPECT_EQ(g.last_rebuild_removed(), 1u);
    EXPECT_EQ(g.lookup(ENode("f", {b})), g.find(fa));
}

TEST(EGraph, CongruencePropagatesUpwards) {
    EGraph g;
    const Id a = add(g, "a");
    const Id b = add(g, "b");
    Id ta = a;
    Id tb = b;
    for (int depth = 0; depth < 50; ++depth) {
        ta = add(g, "g", {ta, a});
        tb = add(g, "g", {tb, b});
    }
    g.rebuild();
    g.merge(a, b);
    EXPECT_EQ(g.rebuild(), 50u);
    EXPECT_EQ(g.find(ta), g.find(tb));
    EXPECT_EQ(g.number_of_classes(), 51u);
}

// A deadline whose clock reads 0 for the first `reads` readings and 1 afterwards.
Deadline deadline_after(std::size_t reads, std::uint32_t interval) {
    Deadline deadline;
    deadline.set_clock(
        [count = std::size_t{0}, reads]() mutable { return ++count > reads ? 1.0 : 0.0; });
    deadline.set_interval(interval);
    deadline.start(0.5);
    return deadline;
}

// Two congruent chains under one wide node over both: merging their leaves costs one
// repair per chain link and one of the wide node, whose every child merges.
TEST(EGraph, RebuildCutShortIsSoundAndResumable) {
    constexpr std::size_t kDepth = 40;
    // Cut after every possible number of steps, until a rebuild runs to the end.
    bool finished = false;
    std::size_t cut = 0;
    for (; !finished && cut < 1000; ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " steps");
        EGraph g;
        const Id a = add(g, "a");
        const Id b = add(g, "b");
        std::vector<Id> left{a};
        std::vector<Id> right{b};
        for (std::size_t depth = 0; depth < kDepth; ++depth) {
            left.push_back(add(g, "g", {left.back()}));
            right.push_back(add(g, "g", {right.back()}));
        }
        std::vector<Id> all = left;
        all.insert(all.end(), right.begin(), right.end());
        const Id wide = g.add(Symbol("join"), all);
        std::vector<Id> swapped = right;
        swapped.insert(swapped.end(), left.begin(), left.end());
        const Id wide_swapped = g.add(Symbol("join"), swapped);
        g.rebuild();
        g.merge(a, b);
        const std::size_t size = g.total_size();

        Deadline deadline = deadline_after(cut + 1, 1);  // one read is start()'s
        std::size_t unions = g.rebuild(&deadline);
        finished = g.clean();
        // Uncut, each join is repaired once, after the chains: one new stored form.
        if (finished) {
            EXPECT_EQ(g.total_size(), size + 1);
        }
        // Sound so far: a link is merged only when the one below it is.
        for (std::size_t depth = 1; depth <= kDepth; ++depth) {
            if (g.find(left[depth]) == g.find(right[depth])) {
                ASSERT_EQ(g.find(left[depth - 1]), g.find(right[depth - 1])) << depth;
            }
        }
        unions += g.rebuild();
        EXPECT_TRUE(g.clean());
        EXPECT_EQ(unions, kDepth + 1u);
        EXPECT_EQ(g.find(left.back()), g.find(right.back()));
        EXPECT_EQ(g.find(wide), g.find(wide_swapped));
        EXPECT_EQ(g.number_of_classes(), kDepth + 2u);
    }
    EXPECT_TRUE(finished);
    EXPECT_GT(cut, 2u * kDepth) << "at least one step per repair";
}

TEST(EGraph, RootWithMoreParentsStaysRootAndTiesKeepTheFirst) {
    EGraph g;
    const Id a = add(g, "a");
    const Id b = add(g, "b");
    add(g, "f", {b});
    const Id c = add(g, "c");
    const Id d = add(g, "d");
    EXPECT_TRUE(g.merge(a, b));
    EXPECT_EQ(g.find(a), b);
    EXPECT_TRUE(g.merge(c, d));
    EXPECT_EQ(g.find(d), c);
}

TEST(EGraph, StaleFormsStayInTotalSize) {
    EGraph g;
    const Id a = add(g, "a");
    const Id b = add(g, "b");
    add(g, "f", {a});
    add(g, "h", {a});
    const Id gb = add(g, "g", {b});
    g.rebuild();
    g.merge(a, b);  // a has more parents: a stays root, g(b) is re-stored as g(a)
    g.rebuild();
    EXPECT_EQ(g.total_size(), 6u);
    EXPECT_EQ(g.number_of_classes(), 4u);
    EXPECT_EQ(g.lookup(ENode("g", {a})), g.find(gb));
    EXPECT_EQ(g.class_nodes(g.find(gb)), std::vector<ENode>{ENode("g", {a})});
}

TEST(EGraph, ForeignIdsAreRejected) {
    EGraph g;
    const Id a = add(g, "a");
    add(g, "b");
    g.merge(a, 1);  // a tie: a stays root
    EXPECT_THROW(g.find(7), Error);
    EXPECT_THROW(add(g, "f", {7}), Error);
    EXPECT_THROW(g.merge(a, 7), Error);
    EXPECT_THROW(g.eclass(1), Error);
}

// A batch adds what adding its nodes one at a time adds: the same ids, members and user
// lists. While no class is merged, runs of new nodes are added in bulk, each ending
// before a node that repeats an earlier or an existing one: over an empty e-graph (a
// batch all distinct, distinct up to some node, repeating from the start) and over one
// with classes (whose leaf "a" the batch repeats); over one with merges made, children
// are canonicalised and nodes go one at a time. It rejects offsets or children that do
// not name earlier nodes of the batch.
TEST(EGraph, BatchAddMatchesAddingOneAtATime) {
    const std::array<Symbol, 4> symbols = {Symbol("a"), Symbol("b"), Symbol("f"), Symbol("g")};
    enum class Start { kEmpty, kClasses, kMerged };
    struct Case {
        Start start;
        std::uint32_t distinct_ops;  // nodes with an op of their own, leading the batch
    };
    for (const Case c : {Case{Start::kMerged, 0}, Case{Start::kClasses, 0}, Case{Start::kEmpty, 0},
                         Case{Start::kEmpty, 120}, Case{Start::kEmpty, 300}}) {
        SCOPED_TRACE("start " + std::to_string(static_cast<int>(c.start)) + ", distinct " +
                     std::to_string(c.distinct_ops));
        std::mt19937_64 rng(17);
        std::vector<Symbol> ops;
        std::vector<std::uint32_t> first{0};
        std::vector<std::uint32_t> children;
        for (std::uint32_t i = 0; i < 300; ++i) {
            const auto arity = i == 0 ? 0 : static_cast<std::uint32_t>(rng() % 4);
            ops.push_back(i < c.distinct_ops ? Symbol("u" + std::to_string(i))
                                             : symbols[arity == 0 ? rng() % 2 : 2 + rng() % 2]);
            for (std::uint32_t k = 0; k < arity; ++k)
                children.push_back(static_cast<std::uint32_t>(rng() % i));
            first.push_back(static_cast<std::uint32_t>(children.size()));
        }
        const auto start = [&] {
            if (c.start == Start::kEmpty) return EGraph();
            EGraph g = fanout(4);
            if (c.start == Start::kMerged) g.merge(0, 2);
            if (c.start == Start::kClasses) add(g, "a");
            return g;
        };
        EGraph one = start();
        std::vector<Id> expected(ops.size());
        for (std::size_t i = 0; i < ops.size(); ++i) {
            std::vector<Id> kids;
            for (std::uint32_t k = first[i]; k < first[i + 1]; ++k)
                kids.push_back(expected[children[k]]);
            expected[i] = one.add(ops[i], kids);
        }
        EGraph batch = start();
        std::vector<Id> ids(ops.size());
        batch.add_batch(ops, first, children, ids);
        EXPECT_EQ(ids, expected);
        EXPECT_EQ(batch.number_of_classes(), one.number_of_classes());
        EXPECT_EQ(batch.total_size(), one.total_size());
        ASSERT_EQ(batch.id_count(), one.id_count());
        const auto users = [](const EGraph& g, Id root) {
            std::vector<std::pair<ENode, Id>> out;
            for (const ParentRef& p : g.eclass(root).parents)
                out.emplace_back(ENode(g.node(p.node)), p.eclass);
            return out;
        };
        // Assigned over a larger e-graph whose user lists live in its lent room (node 5's,
        // which every later node uses), the lists are copied out of that room.
        EGraph assigned;
        std::vector<Symbol> hub_ops;
        std::vector<std::uint32_t> hub_first{0};
        std::vector<std::uint32_t> hub_children;
        for (std::uint32_t j = 0; j < 600; ++j) {
            hub_ops.push_back(Symbol("h" + std::to_string(j)));
            if (j > 5) hub_children.push_back(5);
            hub_first.push_back(static_cast<std::uint32_t>(hub_children.size()));
        }
        std::vector<Id> hub_ids(hub_ops.size());
        assigned.add_batch(hub_ops, hub_first, hub_children, hub_ids);
        assigned = batch;
        for (Id id = 0; id < one.id_count(); ++id) {
            ASSERT_EQ(batch.find(id), one.find(id));
            if (one.find(id) != id) continue;
            EXPECT_EQ(batch.class_nodes(id), one.class_nodes(id)) << "class " << id;
            EXPECT_EQ(users(batch, id), users(one, id)) << "class " << id;
            EXPECT_EQ(users(assigned, id), users(one, id)) << "class " << id;
        }
        for (std::size_t i = 0; i < ops.size(); ++i) {
            std::vector<Id> kids;
            for (std::uint32_t k = first[i]; k < first[i + 1]; ++k)
                kids.push_back(ids[children[k]]);
            EXPECT_EQ(batch.lookup(NodeRef{ops[i], kids}), std::optional<Id>(ids[i]));
        }
    }

    const std::vector<Symbol> two = {symbols[0], symbols[2]};
    std::vector<Id> out(2);
    const auto rejected = [&](std::vector<std::uint32_t> offsets, std::vector<std::uint32_t> kids) {
        EGraph g;
        const std::string error = error_of([&] { g.add_batch(two, offsets, kids, out); });
        return error != "<no error>";
    };
    EXPECT_FALSE(rejected({0, 0, 1}, {0}));
    EXPECT_TRUE(rejected({0, 0, 1}, {1}));     // a child not before its user
    EXPECT_TRUE(rejected({0, 1, 1}, {0}));     // the first node names itself
    EXPECT_TRUE(rejected({0, 1, 0}, {0}));     // offsets decrease
    EXPECT_TRUE(rejected({1, 1, 1}, {0}));     // offsets do not start at 0
    EXPECT_TRUE(rejected({0, 0, 1}, {0, 0}));  // offsets do not end at the children's count
    EXPECT_TRUE(rejected({0, 0}, {}));         // one offset short
}

// After every rebuild: members canonical, strictly sorted and findable; no e-node in two
// classes; the op index lists exactly the roots holding each (symbol, arity); and the
// partition equals a naive congruence closure of the merges made.
TEST(EGraph, RandomMergesKeepTheInvariants) {
    const std::uint64_t seed = 20260;
    std::mt19937_64 rng(seed);
    const std::vector<Symbol> ops = {Symbol("f"), Symbol("g"), Symbol("h")};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        EGraph g;
        // Half the operators are indexed from the start, the rest once the graph exists.
        std::vector<OpKey> keys;
        for (Symbol op : ops) {
            for (std::size_t arity = 0; arity < 3; ++arity) keys.push_back({op, arity});
        }
        g.index_ops(std::span(keys).first(4));
        std::vector<ENode> terms;  // terms[i] was added as class id i (when new)
        std::vector<Id> term_ids;
        std::vector<std::pair<Id, Id>> merges;
        auto random_id = [&] {
            return term_ids[std::uniform_int_distribution<std::size_t>(0,
                                                                       term_ids.size() - 1)(rng)];
        };
        for (int leaf = 0; leaf < 4; ++leaf) {
            terms.emplace_back(Symbol("leaf" + std::to_string(leaf)));
            term_ids.push_back(g.add(terms.back()));
        }
        for (int step = 0; step < 120; ++step) {
            const auto action = rng() % 10;
            if (step == 60) g.index_ops(keys);
            if (action < 6) {
                const Symbol op = ops[rng() % ops.size()];
                // Now and then a wide node, which rebuilds repair after the narrow ones.
                std::vector<Id> children(rng() % 16 == 0 ? 9 + rng() % 4 : rng() % 3);
                for (Id& c : children) c = random_id();
                terms.emplace_back(op, children);
                term_ids.push_back(g.add(terms.back()));
            } else if (action < 8) {
                const Id a = random_id();
                const Id b = random_id();
                merges.emplace_back(a, b);
                g.merge(a, b);
            } else {
                g.rebuild();
            }
        }
        g.rebuild();

        // Naive closure over the added terms: merged pairs, then congruence to a fixpoint.
        const std::size_t n = terms.size();
        std::vector<std::size_t> rep(g.id_count());
        std::iota(rep.begin(), rep.end(), 0);
        auto root = [&](std::size_t x) {
            while (rep[x] != x) x = rep[x];
            return x;
        };
        auto unite = [&](std::size_t a, std::size_t b) {
            a = root(a);
            b = root(b);
            if (a == b) return false;
            rep[std::max(a, b)] = std::min(a, b);
            return true;
        };
        for (const auto& [a, b] : merges) unite(a, b);
        for (bool changed = true; changed;) {
            changed = false;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = i + 1; j < n; ++j) {
                    const ENode& u = terms[i];
                    const ENode& v = terms[j];
                    if (u.op != v.op || u.children.size() != v.children.size()) continue;
                    bool congruent = true;
                    for (std::size_t k = 0; k < u.children.size(); ++k) {
                        congruent &= root(u.children[k]) == root(v.children[k]);
                    }
                    if (congruent) changed |= unite(term_ids[i], term_ids[j]);
                }
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                ASSERT_EQ(g.find(term_ids[i]) == g.find(term_ids[j]),
                          root(term_ids[i]) == root(term_ids[j]))
                    << "terms " << i << " and " << j;
            }
        }

        std::map<std::pair<Symbol, std::size_t>, std::vector<Id>> holders;
        std::set<ENode> seen;
        for (Id r : g.class_ids()) {
            const std::vector<ENode> members = g.class_nodes(r);
            ASSERT_FALSE(members.empty());
            for (std::size_t k = 0; k < members.size(); ++k) {
                if (k > 0) {
                    ASSERT_LT(members[k - 1], members[k]);
                }
                for (Id c : members[k].children) ASSERT_EQ(g.find(c), c);
                ASSERT_TRUE(seen.insert(members[k]).second) << "e-node in two classes";
                ASSERT_EQ(g.lookup(members[k]), r);
                auto& list = holders[{members[k].op, members[k].children.size()}];
                if (list.empty() || list.back() != r) list.push_back(r);
            }
        }
        for (const OpKey& key : keys) {
            const std::vector<Id>* indexed = g.indexed_classes(key.op, key.arity);
            ASSERT_NE(indexed, nullptr);
            ASSERT_EQ(*indexed, (holders[{key.op, key.arity}])) << key.op << "/" << key.arity;
        }
        EXPECT_EQ(g.indexed_classes(Symbol("leaf0"), 0), nullptr);
        for (const ENode& term : terms) ASSERT_TRUE(g.lookup(term).has_value());
    }
}

// ---- patterns -----------------------------------------------------------------------

TEST(Pattern, ParsesSExpressions) {
    struct Case {
        std::string text;
        std::string rendered;
        std::vector<std::string> vars;
    };
    const std::vector<Case> cases = {
        {"(op|add ?a ?b)", "(op|add ?a ?b)", {"?a", "?b"}},
        {"(op|add|scalar=f0000000000000000;side=sr ?x)",
         "(op|add|scalar=f0000000000000000;side=sr ?x)",
         {"?x"}},
        {" ( f\t?x\n(g ?y ?x) ) ", "(f ?x (g ?y ?x))", {"?x", "?y"}},
        {"?x", "?x", {"?x"}},
        {"a.b", "a.b", {}},
        {"(leaf)", "leaf", {}},
        {"(f ? ?)", "(f ? ?)", {}},  // a lone '?' is an operator
    };
    for (const Case& c : cases) {
        const Pattern p = Pattern::parse(c.text);
        EXPECT_EQ(p.to_string(), c.rendered) << c.text;
        std::vector<std::string> vars;
        for (Var v : p.vars()) vars.push_back(v.name.to_string());
        EXPECT_EQ(vars, c.vars) << c.text;
    }
}

TEST(Pattern, RejectsMalformedText) {
    for (const char* text : {"", "  ", "(", ")", "()", "(f ?x", "f)", "((f) ?x)", "(?f ?x)",
                             "(f \"s\")", "\"s\"", "a b", "(f) (g)", "(f (g)"}) {
        EXPECT_NE(error_of([&] { Pattern::parse(text); }).find("could not parse pattern"),
                  std::string::npos)
            << text;
    }
}

TEST(Pattern, MatchesSymbolAndArityAndRepeatedVariables) {
    EGraph g;
    const Id x = add(g, "x");
    const Id y = add(g, "y");
    const Id fxy = add(g, "f", {x, y});
    add(g, "f", {x});
    const Id fxx = add(g, "f", {x, x});
    add(g, "g", {x, y});
    const Id nested = add(g, "f", {x, fxy});
    g.rebuild();

    auto classes = [&](std::string_view text) {
        std::vector<std::pair<Id, std::size_t>> out;
        for (const SearchMatches& m : Pattern::parse(text).search(g))
            out.emplace_back(m.eclass, m.substs.size());
        return out;
    };
    using V = std::vector<std::pair<Id, std::size_t>>;
    EXPECT_EQ(classes("(f ?a ?b)"), (V{{fxy, 1}, {fxx, 1}, {nested, 1}}));
    EXPECT_EQ(classes("(f ?a ?a)"), (V{{fxx, 1}}));
    EXPECT_EQ(classes("(f ?a (f ?a ?b))"), (V{{nested, 1}}));
    EXPECT_EQ(classes("(f ?a (f ?b ?b))"), V{});
    EXPECT_EQ(classes("(g ?a)"), V{});
    EXPECT_EQ(classes("?z").size(), g.number_of_classes());

    const auto m = Pattern::parse("(f ?a (f ?a ?b))").search(g);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].substs[0].get(Var{Symbol("?a")}), x);
    EXPECT_EQ(m[0].substs[0].get(Var{Symbol("?b")}), y);
}

TEST(Pattern, SearchingADirtyEGraphIsAFault) {
    EGraph g = fanout(3);
    add(g, "new");
    EXPECT_EQ(error_of([&] { Pattern::parse("(f ?x)").search(g); }),
              "Tried to search a dirty e-graph!");
}

TEST(Pattern, SearchStopsAtTheLimit) {
    const EGraph g = fanout(10);
    const Pattern p = Pattern::parse("(f ?x)");
    EXPECT_EQ(total_substs(p.search_with_limit(g, 4)), 4u);
    EXPECT_TRUE(p.search_with_limit(g, 0).empty());
    EXPECT_EQ(total_substs(p.search_with_limit(g, 100)), 10u);
    // Without an op index every class is visited, x_i then f(x_i): a deadline that passes
    // at the seventh visit keeps the matches of the first three f classes.
    Deadline deadline = deadline_after(7, 1);  // one read is start()'s
    EXPECT_EQ(total_substs(p.search_with_limit(g, 100, &deadline)), 3u);
}

TEST(Rewrite, RejectsUnboundApplierVariables) {
    EXPECT_EQ(error_of([] { Rewrite::parse("bad", "(f ?a)", "(g ?a ?c)"); }),
              "Rewrite bad refers to unbound var ?c");
    EXPECT_EQ(error_of([] { Rewrite::parse("worse", "(f ?a ?a)", "(g ?d ?c)"); }),
              "Rewrite worse refers to unbound var ?d");
    EXPECT_EQ(error_of([] { Rewrite::parse("ok", "(f ?a ?b)", "?b"); }), "<no error>");
}

// ---- scheduler ----------------------------------------------------------------------

TEST(Backoff, BansAboveTheThresholdAndDoublesIt) {
    const Rewrite rule = Rewrite::parse("fg", "(f ?x)", "(g ?x)");
    struct Case {
        std::size_t matches;
        std::size_t iteration;
        std::size_t returned;  // substitutions handed out
        RuleStats after;       // times_applied, banned_until, times_banned
    };
    // One scheduler per row group: 1000 passes; 1001 bans for 5; 2001 then bans for 10
    // and passes at threshold 4000.
    const std::vector<std::vector<Case>> groups = {
        {{1000, 0, 1000, {1, 0, 0, 1000, 5}}},
        {{1001, 0, 0, {0, 5, 1, 1000, 5}}},
        {{2001, 0, 0, {0, 5, 1, 1000, 5}},
         {2001, 4, 0, {0, 5, 1, 1000, 5}},
         {2001, 5, 0, {0, 15, 2, 1000, 5}},
         {2001, 15, 2001, {1, 15, 2, 1000, 5}}},
    };
    for (const auto& group : groups) {
        BackoffScheduler scheduler;
        for (const Case& c : group) {
            const EGraph g = fanout(c.matches);
            EXPECT_EQ(total_substs(scheduler.search_rewrite(c.iteration, g, rule)), c.returned)
                << c.matches << " at " << c.iteration;
            const RuleStats* s = scheduler.stats(rule.name());
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->times_applied, c.after.times_applied);
            EXPECT_EQ(s->banned_until, c.after.banned_until);
            EXPECT_EQ(s->times_banned, c.after.times_banned);
        }
    }
}

TEST(Backoff, CanStopFastForwardsTheEarliestBan) {
    const Rewrite r1 = Rewrite::parse("r1", "(f ?x)", "(g ?x)");
    const Rewrite r2 = Rewrite::parse("r2", "(f ?y)", "(h ?y)");
    const EGraph g = fanout(1001);
    BackoffScheduler scheduler;
    EXPECT_TRUE(scheduler.can_stop(0));
    EXPECT_TRUE(scheduler.search_rewrite(2, g, r1).empty());  // banned until 7
    EXPECT_TRUE(scheduler.search_rewrite(4, g, r2).empty());  // banned until 9
    EXPECT_FALSE(scheduler.can_stop(2));
    EXPECT_EQ(scheduler.stats(r1.name())->banned_until, 2u);
    EXPECT_EQ(scheduler.stats(r2.name())->banned_until, 4u);
    // Searched again with threshold 2000: 1001 matches pass.
    EXPECT_EQ(total_substs(scheduler.search_rewrite(3, g, r1)), 1001u);
    EXPECT_EQ(scheduler.stats(r1.name())->times_applied, 1u);
    EXPECT_FALSE(scheduler.can_stop(3));
    EXPECT_EQ(scheduler.stats(r2.name())->banned_until, 3u);
    EXPECT_TRUE(scheduler.can_stop(3));
}

TEST(Backoff, ShiftOfTheWordSizeIsAFault) {
    const Rewrite rule = Rewrite::parse("fg", "(f ?x)", "(g ?x)");
    const EGraph g = fanout(1);
    BackoffScheduler scheduler(0, 0);  // every match bans, bans end at once
    for (int i = 0; i < 64; ++i) EXPECT_TRUE(scheduler.search_rewrite(0, g, rule).empty());
    EXPECT_EQ(scheduler.stats(rule.name())->times_banned, 64u);
    EXPECT_NE(error_of([&] { scheduler.search_rewrite(0, g, rule); }).find("shift"),
              std::string::npos);
}

// ---- runner -------------------------------------------------------------------------

std::vector<Rewrite> rules(std::initializer_list<std::array<const char*, 3>> texts) {
    std::vector<Rewrite> out;
    for (const auto& [name, searcher, applier] : texts)
        out.push_back(Rewrite::parse(name, searcher, applier));
    return out;
}

// Takes the proofs `g` recorded, after checking that they log exactly one step per union
// it made.
Explanation explain(EGraph& g) {
    const ProofLog log = g.take_proofs();
    EXPECT_EQ(log.steps().size(), log.id_count() - g.number_of_classes());
    return Explanation(log);
}

// The reasons of the proof that a equals b, by name ("congruence" for a step from equal
// children); nullopt when the proofs do not make them equal.
std::optional<std::set<std::string>> proof(Explanation& e, Id a, Id b) {
    const std::optional<std::uint64_t> mask = e.reasons(a, b);
    if (!mask) return std::nullopt;
    std::set<std::string> names;
    for (std::size_t r = 0; r < e.reasons().size(); ++r) {
        const Reason reason = e.reasons()[r];
        if (*mask >> r & 1)
            names.insert(reason.congruence ? "congruence" : reason.rule.to_string());
    }
    return names;
}

using Names = std::set<std::string>;

TEST(Runner, EmptyEGraphSaturatesInOneIteration) {
    Runner runner;
    runner.run(rules({{"comm", "(f ?a ?b)", "(f ?b ?a)"}, {"id", "(g ?a)", "?a"}}));
    EXPECT_EQ(runner.iterations().size(), 1u);
    EXPECT_EQ(runner.stop_reason(), StopReason(stop::Saturated{}));
}

TEST(Runner, CommutativitySaturatesAfterMergingTheSwappedPair) {
    EGraph g;
    const Id a = add(g, "a");
    const Id b = add(g, "b");
    const Id fab = add(g, "f", {a, b});
    const Id fba = add(g, "f", {b, a});
    const Id fbb = add(g, "f", {b, b});
    Runner runner;
    runner.with_egraph(std::move(g)).run(rules({{"comm", "(f ?a ?b)", "(f ?b ?a)"}}));
    EXPECT_EQ(runner.stop_reason(), StopReason(stop::Saturated{}));
    ASSERT_EQ(runner.iterations().size(), 2u);
    EXPECT_EQ(runner.iterations()[0].applied,
              (std::vector<std::pair<Symbol, std::size_t>>{{Symbol("comm"), 1}}));
    const EGraph& out = runner.egraph();
    EXPECT_EQ(out.find(fab), out.find(fba));
    EXPECT_NE(out.find(fab), out.find(fbb));
    EXPECT_EQ(out.total_size(), 5u);
}

TEST(Runner, NeverSaturatingRunStopsAtTheIterationLimit) {
    EGraph g;
    g.record_proofs();
    const Id z = add(g, "z");
    const Id az = add(g, "a", {z});
    Runner runner;
    runner.with_egraph(std::move(g))
        .with_iter_limit(12)
        .run(rules({{"grow", "(a ?x)", "(a (b ?x))"}}));
    ASSERT_EQ(runner.iterations().size(), 12u);
    EXPECT_EQ(runner.stop_reason(), StopReason(stop::IterationLimit{12}));
    // The limit is found by the check after the 12th record, not inside any iteration.
    for (std::size_t i = 0; i < 12; ++i) EXPECT_FALSE(runner.iterations()[i].stop_reason) << i;
    EGraph& out = runner.egraph();
    Explanation e = explain(out);
    Id deepest = z;
    for (int depth = 0; depth < 12; ++depth) deepest = lookup(out, "b", {deepest});
    EXPECT_EQ(proof(e, az, lookup(out, "a", {deepest})), Names{"grow"});
    EXPECT_EQ(proof(e, z, deepest), std::nullopt);
}

TEST(Runner, NodeLimitAfterAnApplyStopsTheRestButStillRebuilds) {
    EGraph g;
    g.record_proofs();
    const Id a = add(g, "a");
    const Id b = add(g, "b");
    const Id c = add(g, "c");
    const Id d = add(g, "d");
    const Id fa = add(g, "f", {a});
    const Id fb = add(g, "f", {b});
    const Id kc = add(g, "k", {c});
    Runner runner;
    // "ab" merges two leaves, "km" adds an 8th e-node over the limit of 7, "cd" is cut off.
    runner.with_egraph(std::move(g))
        .with_node_limit(7)
        .run(rules({{"ab", "a", "b"}, {"km", "(k ?x)", "(m ?x)"}, {"cd", "c", "d"}}));
    EXPECT_EQ(runner.stop_reason(), StopReason(stop::NodeLimit{8}));
    ASSERT_EQ(runner.iterations().size(), 1u);
    EXPECT_EQ(runner.iterations()[0].applied,
              (std::vector<std::pair<Symbol, std::size_t>>{{Symbol("ab"), 1}, {Symbol("km"), 1}}));
    const EGraph& out = runner.egraph();
    EXPECT_TRUE(out.clean());
    EXPECT_EQ(out.find(fa), out.find(fb));  // congruence repaired by the closing rebuild
    EXPECT_EQ(runner.iterations()[0].rebuild_unions, 1u);
    EXPECT_NE(out.find(c), out.find(d));
    Explanation e = explain(runner.egraph());
    EXPECT_EQ(proof(e, fa, fb), (Names{"ab", "congruence"}));
    EXPECT_EQ(proof(e, kc, lookup(out, "m", {c})), Names{"km"});
    EXPECT_EQ(proof(e, c, d), std::nullopt);
}

TEST(Runner, DuplicateRuleNamesAreReportedAndNothingElseIsPrinted) {
    const auto dupes = rules({{"x", "(f ?a)", "?a"},
                              {"y", "(g ?a)", "?a"},
                              {"x", "(h ?a)", "?a"},
                              {"y", "(k ?a)", "?a"},
                              {"x", "(m ?a)", "?a"},
                              {"z", "(n ?a)", "?a"}});
    testing::internal::CaptureStderr();
    Runner().run(dupes);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
              "Rule 'x' appears 3 times\n"
              "Rule 'y' appears 2 times\n");

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    Runner busy;
    busy.with_egraph(fanout(3000))
        .run(rules({{"fg", "(f ?x)", "(g ?x)"}, {"gf", "(g ?x)", "(f ?x)"}}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(busy.stop_reason(), StopReason(stop::Saturated{}));
}

// Leaves x_i with f(x_i), g(x_i), h(f(x_i)) and h(g(x_i)); the rule makes f(x_i) = g(x_i),
// and congruence then h(f(x_i)) = h(g(x_i)). A clock that advances one second per reading
// makes each limit stop the run at a later reading: before, between and inside the apply
// slices and the rebuild steps. Every stop leaves only merges the rule and congruence
// justify.
TEST(Runner, TimeLimitStopsInsideApplyAndRebuildSoundly) {
    constexpr std::size_t kLeaves = 6000;
    struct Term {
        Id f, g, hf, hg;
    };
    std::vector<Term> terms;
    EGraph base;
    base.record_proofs();
    for (std::size_t i = 0; i < kLeaves; ++i) {
        const Id x = add(base, "x" + std::to_string(i));
        const Id f = add(base, "f", {x});
        const Id g = add(base, "g", {x});
        terms.push_back({f, g, add(base, "h", {f}), add(base, "h", {g})});
    }
    const std::size_t classes = base.number_of_classes();
    const auto rule = rules({{"fg", "(f ?x)", "(g ?x)"}});
    bool cut_in_apply = false;
    bool cut_in_rebuild = false;
    bool saturated = false;
    for (int limit = 0; !saturated; ++limit) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        ASSERT_LT(limit, 100);
        Runner runner;
        runner.with_egraph(base)
            .with_node_limit(10 * kLeaves)
            .with_scheduler(std::make_unique<SimpleScheduler>())
            .with_clock([count = 0.0]() mutable { return count += 1; })
            .with_time_limit(std::chrono::duration<double>(limit));
        runner.run(rule);
        const EGraph& g = runner.egraph();
        saturated = runner.stop_reason() == StopReason(stop::Saturated{});
        if (!saturated) {
            ASSERT_TRUE(std::holds_alternative<stop::TimeLimit>(*runner.stop_reason()))
                << describe(*runner.stop_reason());
        }
        std::size_t merges = 0;
        for (const Term& t : terms) {
            const bool below = g.find(t.f) == g.find(t.g);
            const bool above = g.find(t.hf) == g.find(t.hg);
            ASSERT_TRUE(below || !above);
            merges += below + above;
        }
        ASSERT_EQ(g.number_of_classes(), classes - merges) << "no other merges";
        Explanation e = explain(runner.egraph());
        for (const Term& t : terms) {
            ASSERT_EQ(proof(e, t.f, t.g),
                      g.find(t.f) == g.find(t.g) ? std::optional(Names{"fg"}) : std::nullopt);
            ASSERT_EQ(proof(e, t.hf, t.hg), g.find(t.hf) == g.find(t.hg)
                                                ? std::optional(Names{"fg", "congruence"})
                                                : std::nullopt);
        }
        const auto& applied = runner.iterations()[0].applied;
        const std::size_t count = applied.empty() ? 0 : applied[0].second;
        cut_in_apply |= count > 0 && count < kLeaves;
        cut_in_rebuild |= !g.clean();
        if (saturated) {
            EXPECT_EQ(merges, 2 * kLeaves);
        }
    }
    EXPECT_TRUE(cut_in_apply);
    EXPECT_TRUE(cut_in_rebuild);
}

TEST(Runner, ExpiredTimeLimitStopsBeforeAnySearch) {
    Runner runner;
    runner.with_egraph(fanout(10)).with_time_limit(std::chrono::duration<double>(-1.0));
    runner.run(rules({{"fg", "(f ?x)", "(g ?x)"}}));
    ASSERT_EQ(runner.iterations().size(), 1u);
    EXPECT_TRUE(std::holds_alternative<stop::TimeLimit>(*runner.stop_reason()));
    EXPECT_TRUE(runner.iterations()[0].applied.empty());
}

}  // namespace
}  // namespace corvane::eqsat
