// The store's dense table: it describes exactly the keys recorded into it, keeps each
// string once, lays every node's ranges end to end, and a failed or repeated recording
// leaves it as it was. This program replaces operator new (support/fail_alloc.hpp), to
// count allocations and to make one fail on demand.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "blob.hpp"
#include "node_table.hpp"
#include "optimizer/engine.hpp"
#include "hash_cons_table.hpp"
#include "same_text.hpp"
#include "store.hpp"
#include "support/fail_alloc.hpp"
#include "support/keys.hpp"
#include "support/random_graph.hpp"
#include "support/store_probe.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

double nan_with(std::uint64_t bits) { return std::bit_cast<double>(bits); }

// A node of any kind drawn from `seed` over a small vocabulary, so that strings repeat:
// Int, Float (NaNs of several payloads and signs, 0.0 and -0.0), Bool and Str
// parameters, duplicate parameter keys, Externals with and without a preprocessing_ref,
// Stages with members. `nan_shift` swaps each NaN for one with another payload (the same
// node); `twist` swaps 0.0 and -0.0, true and 1, and an absent and an empty
// preprocessing_ref (a near miss: another node).
NodeKey every_kind_key(std::uint64_t seed, std::vector<NodeId> inputs, std::uint64_t nan_shift,
                       bool twist) {
    static const std::vector<ParamMap::Entry> pool = {
        {"k", I(3)},
        {"k", I(-1)},
        {"x", F(0.0)},
        {"x", F(-0.0)},
        {"x", F(nan_with(0x7ff8000000000000ULL))},
        {"x", F(nan_with(0xfff0000000000123ULL))},
        {"x", F(nan_with(0x7ff00000000000ffULL))},
        {"b", B(true)},
        {"b", B(false)},
        {"s", S("")},
        {"s", S("map")},
        {"s", S(std::string(40, 'w'))},
        {"b", I(1)},
        {"a", I(2)},
    };
    static const char* const names[] = {"map", "k", "", "w"};
    Rng d(seed);
    std::vector<ParamMap::Entry> entries;
    for (std::uint64_t p = d.below(4); p-- > 0;) {
        std::uint64_t e = d.below(pool.size());
        if (e >= 4 && e <= 6) e = 4 + (e - 4 + nan_shift) % 3;
        if (twist && (e == 2 || e == 3)) e = 5 - e;
        if (twist && (e == 7 || e == 12)) e = 19 - e;
        entries.push_back(pool[static_cast<std::size_t>(e)]);
    }
    ParamMap map(std::move(entries));
    const std::string name = names[d.below(4)];
    switch (d.below(7)) {
    case 0:
        return node::Source{name, std::move(map)};
    case 1:
        return node::Op{name, std::move(map), std::move(inputs)};
    case 2:
        return node::Reduction{name, std::move(map), std::move(inputs)};
    case 3: {
        PayloadDescriptor desc{"model", name, "torch", "2", "{}", std::nullopt};
        if (const std::uint64_t r = d.below(3); r != (twist ? 1u : 0u))
            desc.preprocessing_ref = r == 2 ? "map" : "";
        return node::External{std::move(desc), std::move(map), std::move(inputs)};
    }
    case 4: {
        std::vector<StageOp> members;
        for (std::uint64_t m = 0, count = d.below(3); m < count; ++m) {
            const char* token = names[d.below(4)];
            const StageRef first = StageRef::input(d.below(inputs.size()));
            if (m > 0 && d.below(2) == 0) {
                members.push_back(StageOp{token, {first, StageRef::member(d.below(m))}});
            } else {
                members.push_back(StageOp{token, {first}});
            }
        }
        return node::Stage{std::move(inputs), std::move(members)};
    }
    case 5:
        return node::Exchange{std::move(map), std::move(inputs)};
    default:
        return node::Join{std::move(map), std::move(inputs)};
    }
}

// Graphs of such nodes; a third of the steps record an earlier node again with its NaNs
// shifted (and so do repeats), a sixth a near miss of an earlier node.
RandomGraph every_kind_graph(std::size_t n, std::uint64_t seed) {
    struct Drawn {
        std::uint64_t seed;
        std::vector<NodeId> inputs;
    };
    auto drawn = std::make_shared<std::vector<Drawn>>();
    GraphRecipe recipe;
    recipe.nodes = n;
    recipe.distinct = false;
    recipe.sources = {source("s", params({{"path", S("p")}})), source(""), source("map")};
    recipe.step = [drawn](GraphDraw& d) -> std::optional<NodeKey> {
        if (const std::uint64_t r = d.below(6); !drawn->empty() && r < 3) {
            const Drawn& again = (*drawn)[static_cast<std::size_t>(d.below(drawn->size()))];
            return every_kind_key(again.seed, again.inputs, 1 + d.below(2), r == 2);
        }
        Drawn next{d.below(1u << 30), {}};
        for (std::uint64_t p = 1 + d.below(2); p-- > 0;) next.inputs.push_back(d.recent());
        drawn->push_back(next);
        return every_kind_key(next.seed, next.inputs, 0, false);
    };
    Rng rng(seed);
    return random_graph(recipe, rng);
}

// Equal keys whose Float parameters also keep the same bits (a NaN's payload included).
bool same_bits(const NodeKey& a, const NodeKey& b) {
    if (!(a == b)) return false;
    for (std::size_t p = 0; p < a.params().size(); ++p) {
        const ParamValue& x = a.params().entries()[p].second;
        const ParamValue& y = b.params().entries()[p].second;
        if (x.kind() == ParamValue::Kind::Float && std::bit_cast<std::uint64_t>(x.as_float()) !=
                                                       std::bit_cast<std::uint64_t>(y.as_float())) {
            return false;
        }
    }
    return true;
}

void add_strings(const NodeKey& key, std::set<std::string>& out) {
    for (const auto& [k, v] : key.params()) {
        out.insert(k);
        if (v.kind() == ParamValue::Kind::Str) out.insert(v.as_str());
    }
    if (const auto* n = key.get_if<node::Source>()) out.insert(n->name);
    if (const auto* n = key.get_if<node::Op>()) out.insert(n->name);
    if (const auto* n = key.get_if<node::Reduction>()) out.insert(n->name);
    if (const auto* n = key.get_if<node::External>()) {
        const PayloadDescriptor& d = n->descriptor;
        out.insert({d.kind, d.content_hash, d.framework, d.version, d.io_schema});
        if (d.preprocessing_ref) out.insert(*d.preprocessing_ref);
    }
    if (const auto* n = key.get_if<node::Stage>()) {
        for (const StageOp& m : n->members) out.insert(m.op_token);
    }
}

// Each span begins where the previous one ended.
template <class T>
void expect_end_to_end(const std::vector<std::span<const T>>& spans, const char* what) {
    for (std::size_t i = 1; i < spans.size(); ++i) {
        EXPECT_EQ(spans[i].data(), spans[i - 1].data() + spans[i - 1].size()) << what << " " << i;
    }
}

// A graph recorded into a store, node by node, checking each id against key equality.
struct Recorded {
    std::vector<NodeKey> keys;      // the graph's keys over the store's ids
    std::vector<NodeId> ids;        // graph position -> store id
    std::vector<NodeKey> distinct;  // first-seen keys, in id order
};

Recorded record(GraphStore& store, const RandomGraph& graph) {
    Recorded r;
    std::unordered_map<NodeKey, NodeId, testing::KeyHash> first;
    for (const NodeKey& node : graph.nodes) {
        NodeKey key = testing::map_inputs(node, [&](NodeId x) { return r.ids[x]; });
        const auto [it, fresh] = first.emplace(key, r.distinct.size());
        if (fresh) r.distinct.push_back(key);
        EXPECT_EQ(testing::intern(store, key), it->second);
        r.ids.push_back(it->second);
        r.keys.push_back(std::move(key));
    }
    return r;
}

TEST(NodeTable, DescribesTheRecordedKeys) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        GraphStore store;
        const auto [recorded, ids, distinct] = record(store, every_kind_graph(400, seed));

        const NodeTable t = store.table_snapshot().nodes;
        ASSERT_EQ(t.size(), distinct.size());
        std::set<std::string> strings;
        std::vector<std::span<const NodeId>> inputs;
        std::vector<std::span<const ParamSlot>> slots;
        std::vector<std::span<const MemberSlot>> members;
        std::vector<std::span<const StageRef>> operands;
        // The key built from each node's ranges is the key recorded first (its NaNs' bits
        // included), and the ranges of successive nodes lie end to end.
        for (std::size_t i = 0; i < t.size(); ++i) {
            EXPECT_TRUE(same_bits(t.key(i), distinct[i])) << i;
            add_strings(distinct[i], strings);
            inputs.push_back(t.inputs(i));
            slots.push_back(t.params(i));
            if (t.kind(i) != NodeKey::Kind::Stage) continue;
            const std::span<const MemberSlot> ms = t.members(i);
            members.push_back(ms);
            for (std::size_t m = 0; m < ms.size(); ++m) operands.push_back(t.operands(ms, m));
        }
        expect_end_to_end(inputs, "inputs");
        expect_end_to_end(slots, "params");
        expect_end_to_end(members, "members");
        expect_end_to_end(operands, "operands");

        // Every distinct string once: the table holds exactly the keys' strings.
        ASSERT_EQ(t.strings().size(), strings.size());
        for (std::uint32_t id = 0; id < t.strings().size(); ++id) {
            EXPECT_TRUE(strings.contains(std::string(t.text(id)))) << id;
            EXPECT_EQ(t.strings().find(t.text(id)), id);
        }

        // A node matches exactly the keys equal to its own.
        for (std::size_t i = 0; i < t.size(); ++i) {
            for (std::size_t j = 0; j < recorded.size(); ++j) {
                EXPECT_EQ(t.matches(i, HeldView(recorded[j]).view()), ids[j] == i)
                    << i << " vs " << j;
            }
        }

        // Recording everything again, as keys and as views, changes nothing.
        const GraphStoreProbe::Dense before = GraphStoreProbe::dense(store);
        for (std::size_t j = 0; j < recorded.size(); ++j) {
            const HeldView view(recorded[j]);
            EXPECT_EQ(j % 2 == 0 ? testing::intern(store, recorded[j])
                                 : testing::intern(store, view.view()),
                      ids[j]);
        }
        EXPECT_EQ(GraphStoreProbe::dense(store), before);
    }
}

// A store built from a table (a reduction's result, a cone, a blob) rather than by
// recording finds each of its nodes again: its index agrees with its table and seed.
TEST(NodeTable, DerivedStoresFindTheirOwnNodes) {
    GraphStore store;
    const RandomGraph graph = every_kind_graph(300, 7);
    const Recorded r = record(store, graph);
    std::vector<NodeId> outputs;
    for (NodeId o : graph.outputs) outputs.push_back(r.ids[o]);
    ASSERT_TRUE(store.mark_outputs(outputs));
    const SaturationEngine engine;
    std::vector<GraphStore> derived;
    derived.push_back(store.reduce_with(engine, false).first);
    derived.push_back(store.reduce_with(engine, true).first);
    derived.push_back(store.cone(outputs).value());
    derived.push_back(deserialize(serialize_marked(store).value()).value());
    for (std::size_t d = 0; d < derived.size(); ++d) {
        const GraphStoreProbe::Dense before = GraphStoreProbe::dense(derived[d]);
        ASSERT_GT(before.keys.size(), 0u) << d;
        for (std::size_t i = 0; i < before.keys.size(); ++i) {
            EXPECT_EQ(testing::intern(derived[d], before.keys[i]), i) << d;
        }
        EXPECT_EQ(GraphStoreProbe::dense(derived[d]), before) << d;
    }
}

// New nodes of every kind, with strings the store has not seen, and views of them made
// ahead (so that recording a view allocates only inside the store).
struct Fresh {
    std::vector<NodeKey> keys;
    std::vector<std::unique_ptr<HeldView>> views;
};

Fresh fresh_nodes(std::size_t n) {
    Fresh f;
    const PayloadDescriptor d{"model", "h", "torch", "2", "{}", std::nullopt};
    for (std::size_t i = 0; i < n; ++i) {
        const std::string s = "n" + std::to_string(i);
        const NodeId a = i;  // the node recorded just before
        const NodeKey kinds[] = {
            source(s, params({{s, S(s + "v")}, {"x", F(-0.0)}})),
            op(s, {a}, params({{"k", I(static_cast<std::int64_t>(i))}})),
            node::External{PayloadDescriptor{d.kind, s, d.framework, d.version, d.io_schema, s},
                           params(),
                           {a}},
            node::Stage{{a},
                        {StageOp{s, {StageRef::input(0)}}, StageOp{"map", {StageRef::member(0)}}}},
            join({a, a}, params({{"how", S(s)}})),
        };
        f.keys.push_back(kinds[i % 5]);
    }
    for (const NodeKey& key : f.keys) f.views.push_back(std::make_unique<HeldView>(key));
    return f;
}

// An allocation that fails anywhere in a recording leaves the table and the index as
// they were, and does not poison the store: the same recording then succeeds.
// The hash-consing table's invariant: every node is found at its own id and nowhere
// else, and a rollback takes back exactly the nodes (and strings) interned since its
// mark, leaving an index that finds the rest and accepts the removed nodes again.
TEST(HashConsTable, RollbackLeavesExactlyTheEarlierNodes) {
    const std::vector<NodeKey> keys = every_kind_graph(600, 7).nodes;
    HashConsTable table;  // all the nodes, never rolled back
    std::vector<NodeId> first;
    for (const NodeKey& key : keys) first.push_back(table.intern(HeldView(key).view()).id);
    const std::size_t kept = table.size() / 2;
    HashConsTable part;
    for (std::size_t i = 0; i < keys.size() && part.size() < kept; ++i) {
        (void)part.intern(HeldView(keys[i]).view());
    }
    const HashConsTable::Mark mark = part.mark();
    const std::size_t part_strings = part.nodes().strings().size();
    for (const NodeKey& key : keys) (void)part.intern(HeldView(key).view());
    ASSERT_EQ(part.size(), table.size());
    part.rollback(mark);
    ASSERT_EQ(part.size(), kept);
    EXPECT_EQ(part.nodes().strings().size(), part_strings);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const HeldView view(keys[k]);
        const auto hit = part.find(view.view(), part.hash(view.view()));
        EXPECT_EQ(hit.has_value(), first[k] < kept) << k;
        if (hit) {
            EXPECT_EQ(*hit, first[k]) << k;
        }
    }
    // Interned again, every node gets the id it had before the rollback.
    for (std::size_t k = 0; k < keys.size(); ++k) {
        EXPECT_EQ(part.intern(HeldView(keys[k]).view()).id, first[k]) << k;
    }
    EXPECT_EQ(part.nodes().keys(), table.nodes().keys());
}

// Growing re-places ids in slot order, so a cluster that wrapped past the end puts a
// newer id ahead of an older one; erasing the newer must not hide the older.
TEST(HashConsTable, ErasingANewerIdKeepsAnOlderOneReachable) {
    CompactIdTable index;
    index.insert(15, 0);
    index.insert(15, 1);                                                 // wraps to slot 0
    for (std::uint64_t id = 2; id <= 8; ++id) index.insert(id - 1, id);  // the last one grows it
    index.erase_from(1);
    ASSERT_EQ(index.size(), 1u);
    EXPECT_EQ(index.find(15, [](std::uint64_t id) { return id == 0; }), 0u);
}

TEST(NodeTable, AFailedAllocationChangesNothing) {
    GraphStore store;
    ASSERT_EQ(testing::intern(store, source("root")), 0u);
    const Fresh fresh = fresh_nodes(300);
    long failures = 0;
    for (std::size_t i = 0; i < fresh.views.size(); ++i) {
        const GraphStoreProbe::Dense before = GraphStoreProbe::dense(store);
        for (long k = 0;; ++k) {
            std::optional<std::expected<NodeId, BadNodeId>> got;
            t_fail_in = k;
            try {
                got = testing::intern(store, fresh.views[i]->view());
            } catch (const std::bad_alloc&) {}
            t_fail_in = -1;
            if (got) {
                EXPECT_EQ(*got, i + 1);
                break;
            }
            ++failures;
            ASSERT_EQ(GraphStoreProbe::dense(store), before) << i << " failing allocation " << k;
        }
    }
    EXPECT_GT(failures, 20);  // the growth steps of every array were reached
}

// A store is built, or fails with bad_alloc, whichever allocation fails; an empty table
// and one moved from are both usable.
TEST(NodeTable, EmptyAndMovedFromTablesAreUsable) {
    for (long k = 0; k < 4; ++k) {
        t_fail_in = k;
        try {
            GraphStore store;
        } catch (const std::bad_alloc&) {}
        t_fail_in = -1;
    }
    NodeTable table;
    testing::append(table, source("a"));
    NodeTable moved = std::move(table);
    testing::append(table, source("b"));
    testing::append(table, source("a"));
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.key(1), source("a"));
    EXPECT_EQ(table.strings().size(), 2u);
    EXPECT_EQ(moved.key(0), source("a"));
}

// The short-text comparison reads each text only at its ends: every length up to past
// its widest case, with a difference at every position.
TEST(NodeTable, ShortTextEqualityLooksAtEveryByte) {
    for (std::size_t n = 0; n <= 24; ++n) {
        const std::string a(n, 'x');
        EXPECT_TRUE(same_text(a, std::string(n, 'x'))) << n;
        EXPECT_FALSE(same_text(a, std::string(n + 1, 'x'))) << n;
        for (std::size_t i = 0; i < n; ++i) {
            std::string b = a;
            b[i] = 'y';
            EXPECT_FALSE(same_text(a, b)) << n << " at " << i;
        }
    }
}

// Recording a repeat through a view allocates nothing, and new nodes allocate only when
// an array grows.
TEST(NodeTable, RecordingAllocatesOnlyToGrow) {
    GraphStore store;
    ASSERT_EQ(testing::intern(store, source("root")), 0u);
    const Fresh fresh = fresh_nodes(4096);
    const long before_new = t_allocations;
    for (const auto& view : fresh.views) ASSERT_TRUE(testing::intern(store, view->view()));
    EXPECT_LT(t_allocations - before_new, 400);  // a dozen arrays, each doubling ~9 times
    const long before_repeat = t_allocations;
    for (const auto& view : fresh.views) ASSERT_TRUE(testing::intern(store, view->view()));
    EXPECT_EQ(t_allocations - before_repeat, 0);
}

}  // namespace
}  // namespace corvane
