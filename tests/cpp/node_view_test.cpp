#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fault.hpp"
#include "node.hpp"
#include "node_table.hpp"
#include "store.hpp"
#include "support/keys.hpp"
#include "support/store_probe.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using testing::params;

// The borrowed form of `key`. With `shuffle`, entries with distinct keys are reversed and
// sorted again, to check that views sort as a map does.
struct Viewed {
    std::unique_ptr<ViewScratch> fields;  // the descriptor and the members
    std::vector<ParamEntryView> entries;
    NodeView view;
};

Viewed viewed(const NodeKey& key, bool shuffle) {
    Viewed v;
    v.fields = std::make_unique<ViewScratch>();
    v.view = view_of(key, *v.fields);
    v.entries.assign(v.view.params.begin(), v.view.params.end());
    const bool distinct =
        std::adjacent_find(v.entries.begin(), v.entries.end(), [](const auto& a, const auto& b) {
            return a.key() == b.key();
        }) == v.entries.end();
    if (shuffle && distinct) {
        std::reverse(v.entries.begin(), v.entries.end());
        sort_param_views(v.entries);
    }
    v.view.params = v.entries;
    return v;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<NodeKey> sample_keys() {
    return {
        testing::source("x"),
        testing::source("x", params({{"path", ParamValue::of_str("p")}})),
        testing::source("", params()),
        testing::op("map", {0, 1},
                    params({{"k", ParamValue::of_int(7)}, {"side", ParamValue::of_str("r")}})),
        testing::op("map", {1, 0},
                    params({{"k", ParamValue::of_int(7)}, {"side", ParamValue::of_str("r")}})),
        testing::op("map", {0, 1},
                    params({{"k", ParamValue::of_int(-7)}, {"side", ParamValue::of_str("r")}})),
        testing::op("map", {0, 1}, params({{"k", ParamValue::of_bool(true)}})),
        testing::op("map", {0, 1}, params({{"k", ParamValue::of_int(1)}})),
        testing::op("map", {0, 1}, params({{"k", ParamValue::of_float(1.0)}})),
        testing::op("add", {0}, params({{"scalar", ParamValue::of_float(0.0)}})),
        testing::op("add", {0}, params({{"scalar", ParamValue::of_float(-0.0)}})),
        testing::op("add", {0}, params({{"scalar", ParamValue::of_float(kNaN)}})),
        testing::op("dup", {0},
                    params({{"a", ParamValue::of_int(1)}, {"a", ParamValue::of_int(2)}})),
        testing::op("dup", {0},
                    params({{"a", ParamValue::of_int(2)}, {"a", ParamValue::of_int(1)}})),
        testing::op("long", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                    params({{"text", ParamValue::of_str(std::string(300, 'q'))}})),
        testing::reduction(
            "map", {0, 1},
            params({{"k", ParamValue::of_int(7)}, {"side", ParamValue::of_str("r")}})),
        testing::reduction("sum", {0}),
        NodeKey(node::Exchange{params({{"scheme", ParamValue::of_str("hash")}}), {0}}),
        testing::join({0, 1}, params({{"how", ParamValue::of_str("inner")}})),
        testing::join({0, 1}),
        node::External{
            PayloadDescriptor{"model", "h", "torch", "2", "{}", std::nullopt}, params(), {0}},
        node::External{PayloadDescriptor{"model", "h", "torch", "2", "{}", ""}, params(), {0}},
        node::External{PayloadDescriptor{"model", "h", "torch", "2", "{}", "r"}, params(), {0}},
        node::Stage{{0, 1},
                    {StageOp{"map", {StageRef::input(1)}},
                     StageOp{"add", {StageRef::member(0), StageRef::input(0)}}}},
        node::Stage{{0, 1},
                    {StageOp{"map", {StageRef::input(0)}},
                     StageOp{"add", {StageRef::member(0), StageRef::input(0)}}}},
        node::Stage{{0, 1}, {}},
    };
}

// Every kind that carries parameters, with one Float each: NaNs of any payload and sign
// are one value; 0.0 and -0.0 are two.
std::vector<NodeKey> float_keys() {
    std::vector<NodeKey> keys;
    for (std::uint64_t bits :
         {0x7ff8000000000000ULL, 0x7ff8000000000123ULL, 0xfff8000000000000ULL,
          0x7ff0000000000001ULL, 0xffffffffffffffffULL, 0x0ULL, 0x8000000000000000ULL}) {
        const ParamMap p = params({{"x", ParamValue::of_float(std::bit_cast<double>(bits))},
                                   {"y", ParamValue::of_int(1)}});
        keys.push_back(testing::source("f", p));
        keys.push_back(testing::op("f", {0}, p));
        keys.push_back(testing::reduction("f", {0}, p));
        keys.push_back(
            node::External{PayloadDescriptor{"model", "h", "torch", "2", "{}", "r"}, p, {0}});
        keys.push_back(node::Exchange{p, {0}});
        keys.push_back(testing::join({0}, p));
    }
    return keys;
}

// A view hashes, compares and builds exactly as the key it stands for, under any seed:
// equal keys (NaNs with different payloads included) hash alike by either path, and
// unequal keys (0.0 and -0.0 included) hash apart.
TEST(NodeView, AgreesWithItsKey) {
    std::vector<NodeKey> keys = sample_keys();
    for (NodeKey& key : float_keys()) keys.push_back(std::move(key));
    NodeTable table;  // node j is keys[j]: matching runs the store's own comparison
    for (const NodeKey& key : keys) testing::append(table, key);
    for (const HashSeed& seed :
         {HashSeed{}, HashSeed{1, 2}, HashSeed::random(), HashSeed::random()}) {
        for (bool shuffle : {false, true}) {
            for (std::size_t i = 0; i < keys.size(); ++i) {
                const Viewed v = viewed(keys[i], shuffle);
                ASSERT_TRUE(v.view.is_well_formed()) << i;
                const std::uint64_t hash = hash_key(v.view, seed);
                EXPECT_EQ(key_of(v.view), keys[i]) << i;
                for (std::size_t j = 0; j < keys.size(); ++j) {
                    const bool equal = keys[j] == keys[i];
                    EXPECT_EQ(table.matches(j, v.view), equal) << i << " vs " << j;
                    EXPECT_EQ(testing::hash_key(keys[j], seed) == hash, equal) << i << " vs " << j;
                }
            }
        }
    }
}

// Float bits survive the round trip through a view, so a NaN payload or -0.0 recorded
// through a view is the value the key would have held.
TEST(NodeView, KeepsFloatBitsWhenBuilt) {
    const double payload_nan = std::bit_cast<double>(0x7ff8000000000123ULL);
    for (double value : {-0.0, payload_nan, 1e300}) {
        const NodeKey key = testing::op("f", {}, params({{"x", ParamValue::of_float(value)}}));
        const Viewed v = viewed(key, false);
        const NodeKey built = key_of(v.view);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(built.params().entries()[0].second.as_float()),
                  std::bit_cast<std::uint64_t>(value));
    }
}

// Every byte of a name or a parameter key or value reaches the hash, whatever its length
// (short strings are read in overlapping pieces), and so does the length itself.
TEST(KeyHash, EveryByteAndLengthCounts) {
    const HashSeed seed = HashSeed::random();
    for (std::size_t n = 0; n <= 20; ++n) {
        const std::string base(n, 'a');
        const auto name_hash = [&](const std::string& s) {
            return testing::hash_key(testing::source(s), seed);
        };
        const auto value_hash = [&](const std::string& s) {
            return testing::hash_key(testing::source("x", params({{s, ParamValue::of_str(s)}})),
                                     seed);
        };
        EXPECT_NE(name_hash(base), name_hash(base + '\0')) << n;
        for (std::size_t i = 0; i < n; ++i) {
            std::string changed = base;
            changed[i] = 'b';
            EXPECT_NE(name_hash(base), name_hash(changed)) << n << " at " << i;
            EXPECT_NE(value_hash(base), value_hash(changed)) << n << " at " << i;
        }
    }
}

TEST(NodeView, WellFormedKinds) {
    NodeView v;
    const NodeId ids[] = {0};
    v.kind = NodeKey::Kind::Source;
    EXPECT_TRUE(v.is_well_formed());
    v.inputs = ids;
    EXPECT_FALSE(v.is_well_formed());
    v.inputs = {};
    v.kind = NodeKey::Kind::External;  // an External needs its descriptor
    EXPECT_FALSE(v.is_well_formed());
    v.kind = NodeKey::Kind::Stage;
    v.name = "map";  // a Stage has no name
    EXPECT_FALSE(v.is_well_formed());
    v.name = {};
    // Entries out of map order would be stored as a second copy of the same map.
    ParamEntryView entries[] = {ParamEntryView{"b", 1, ParamValue::Kind::Int, 1, nullptr, 0},
                                ParamEntryView{"a", 1, ParamValue::Kind::Int, 2, nullptr, 0}};
    v.kind = NodeKey::Kind::Op;
    v.params = entries;
    EXPECT_FALSE(v.is_well_formed());
    sort_param_views(entries);
    EXPECT_TRUE(v.is_well_formed());
    EXPECT_EQ(entries[0].key(), "a");
}

// Interning through views and through keys gives one id per distinct node, in first-seen
// order; a malformed view is refused without poisoning the store.
TEST(NodeView, InternsLikeKeys) {
    const std::vector<NodeKey> keys = sample_keys();
    GraphStore by_key;
    GraphStore mixed;
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const auto expected = testing::intern(by_key, keys[i]);
            const Viewed v = viewed(keys[i], true);
            const auto got = (i + static_cast<std::size_t>(round)) % 2 == 0
                                 ? testing::intern(mixed, v.view)
                                 : testing::intern(mixed, keys[i]);
            EXPECT_EQ(got, expected) << round << " " << i;
        }
    }
    EXPECT_EQ(testing::keys_of(mixed), testing::keys_of(by_key));

    const std::uint64_t count = mixed.node_count();
    NodeView bad;
    bad.kind = NodeKey::Kind::External;
    EXPECT_THROW((void)testing::intern(mixed, bad), InternalFault);
    EXPECT_EQ(mixed.node_count(), count);
    EXPECT_TRUE(testing::intern(mixed, keys[0]));  // a refused view does not poison the store
}

// The borrowed path checks input ids itself: for each kind with inputs, an id equal to
// the node count is refused as BadNodeId(count) wherever it stands, leaving the table
// (its strings included) and the index as they were; the last node's id is accepted.
TEST(NodeView, RefusesTheFirstIdPastTheEnd) {
    using Make = NodeKey (*)(std::vector<NodeId>);
    const Make kinds[] = {
        [](std::vector<NodeId> in) {
            return testing::op("fresh", std::move(in), params({{"p", ParamValue::of_str("q")}}));
        },
        [](std::vector<NodeId> in) { return testing::reduction("fresh", std::move(in)); },
        [](std::vector<NodeId> in) -> NodeKey {
            return node::External{PayloadDescriptor{"m", "h", "f", "v", "s", "r"}, params(),
                                  std::move(in)};
        },
        [](std::vector<NodeId> in) -> NodeKey {
            return node::Stage{std::move(in), {StageOp{"t", {StageRef::input(0)}}}};
        },
        [](std::vector<NodeId> in) -> NodeKey {
            return node::Exchange{params({{"scheme", ParamValue::of_str("x")}}), std::move(in)};
        },
        [](std::vector<NodeId> in) { return testing::join(std::move(in)); },
    };
    for (std::size_t k = 0; k < std::size(kinds); ++k) {
        GraphStore s;
        ASSERT_EQ(testing::intern(s, testing::source("a")), 0u);
        ASSERT_EQ(testing::intern(s, testing::source("b")), 1u);
        const GraphStoreProbe::Dense before = GraphStoreProbe::dense(s);
        for (const std::vector<NodeId>& ids : {std::vector<NodeId>{2}, {0, 2}, {2, 0}, {1, 2, 5}}) {
            EXPECT_EQ(testing::intern(s, viewed(kinds[k](ids), false).view),
                      std::unexpected(BadNodeId{2}))
                << k;
            EXPECT_EQ(GraphStoreProbe::dense(s), before) << k;
        }
        EXPECT_EQ(testing::intern(s, viewed(kinds[k]({0, 1}), false).view), 2u) << k;
    }
}

// The boxed descriptor copies deeply and compares by value; an empty box reads as the
// default descriptor.
TEST(Boxed, ValueSemantics) {
    PayloadDescriptor d{"model", "h", "torch", "2", "{}", std::nullopt};
    Boxed<PayloadDescriptor> a(d);
    Boxed<PayloadDescriptor> b = a;
    EXPECT_EQ(a, b);
    EXPECT_NE(&a.get(), &b.get());
    Boxed<PayloadDescriptor> moved = std::move(a);
    EXPECT_EQ(moved, d);
    EXPECT_EQ(a,
              PayloadDescriptor{});  // NOLINT(bugprone-use-after-move): moved-from reads as default
    EXPECT_EQ(Boxed<PayloadDescriptor>(), PayloadDescriptor{});
    b = Boxed<PayloadDescriptor>(
        PayloadDescriptor{"model", "h", "torch", "2", "{}", std::string("-")});
    EXPECT_NE(b, moved);
    EXPECT_EQ(b->preprocessing_ref, std::optional<std::string>("-"));
    b = Boxed<PayloadDescriptor>();
    EXPECT_EQ(b, Boxed<PayloadDescriptor>(PayloadDescriptor{}));
}

}  // namespace
}  // namespace corvane
