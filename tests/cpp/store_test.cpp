#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "store.hpp"
#include "support/keys.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

TEST(Store, InternDeduplicatesEqualKeys) {
    GraphStore s;
    EXPECT_EQ(testing::intern(s, source("a")), 0u);
    EXPECT_EQ(testing::intern(s, source("a")), 0u);
    EXPECT_EQ(testing::intern(s, source("a", params({{"k", ParamValue::of_int(1)}}))), 1u);
    // Parameter order does not matter; value kinds do.
    EXPECT_EQ(testing::intern(s, source("b", params({{"y", ParamValue::of_int(1)},
                                                     {"x", ParamValue::of_int(2)}}))),
              2u);
    EXPECT_EQ(testing::intern(s, source("b", params({{"x", ParamValue::of_int(2)},
                                                     {"y", ParamValue::of_int(1)}}))),
              2u);
    EXPECT_EQ(testing::intern(s, source("c", params({{"v", ParamValue::of_float(1.0)}}))), 3u);
    EXPECT_EQ(testing::intern(s, source("c", params({{"v", ParamValue::of_bool(true)}}))), 4u);
    EXPECT_EQ(testing::intern(s, source("c", params({{"v", ParamValue::of_float(std::nan("1"))}}))),
              5u);
    EXPECT_EQ(
        testing::intern(s, source("c", params({{"v", ParamValue::of_float(-std::nan("7"))}}))), 5u);
    EXPECT_EQ(testing::intern(s, source("c", params({{"v", ParamValue::of_float(-0.0)}}))), 6u);
    EXPECT_EQ(testing::intern(s, source("c", params({{"v", ParamValue::of_float(0.0)}}))), 7u);
    EXPECT_EQ(s.node_count(), 8u);
}

TEST(Store, DistinguishesKindsOrderAndDescriptors) {
    GraphStore s;
    ASSERT_EQ(testing::intern(s, source("x")), 0u);
    ASSERT_EQ(testing::intern(s, source("y")), 1u);
    EXPECT_EQ(testing::intern(s, op("f", {0, 1})), 2u);
    EXPECT_EQ(testing::intern(s, op("f", {1, 0})), 3u);
    EXPECT_EQ(testing::intern(s, op("f", {1, 1})), 4u);
    EXPECT_EQ(testing::intern(s, node::Exchange{{}, {0}}), 5u);
    EXPECT_EQ(testing::intern(s, node::Join{{}, {0}}), 6u);
    PayloadDescriptor d{"k", "h", "f", "v", "s", std::nullopt};
    EXPECT_EQ(testing::intern(s, node::External{d, {}, {0}}), 7u);
    d.preprocessing_ref = "";
    EXPECT_EQ(testing::intern(s, node::External{d, {}, {0}}), 8u);
    EXPECT_EQ(testing::intern(s, node::External{d, {}, {0}}), 8u);
}

struct BadInputCase {
    std::vector<NodeId> inputs;
    NodeId expected_bad;
};

class StoreBadInput : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(StoreBadInput, ReportsFirstBadIdAndChangesNothing) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(testing::intern(s, source(n)));
    auto r = testing::intern(s, op("f", GetParam().inputs));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().id, GetParam().expected_bad);
    EXPECT_EQ(s.node_count(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreBadInput,
                         ::testing::Values(BadInputCase{{0, 5}, 5}, BadInputCase{{7, 5}, 7},
                                           BadInputCase{{3}, 3}, BadInputCase{{2, 2, 9}, 9}));

TEST(Store, ValidationComesBeforeLookup) {
    GraphStore s;
    ASSERT_TRUE(testing::intern(s, op("f", {})));  // an Op without inputs is fine in an empty store
    EXPECT_FALSE(testing::intern(s, op("g", {0, 1})).has_value());
    EXPECT_EQ(s.node_count(), 1u);
}

TEST(Store, MarksKeepFirstMarkOrderWithoutDuplicates) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(testing::intern(s, source(n)));
    EXPECT_TRUE(s.mark_output(2));
    EXPECT_TRUE(s.mark_output(0));
    EXPECT_TRUE(s.mark_output(2));
    EXPECT_EQ(s.mark_output(3).error().id, 3u);
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
    EXPECT_TRUE(s.node_map().empty());
}

TEST(Store, MarkingAListChecksFirstAndStaysLinear) {
    GraphStore s;
    for (NodeId i = 0; i < 100000; ++i)
        ASSERT_TRUE(testing::intern(s, source("n" + std::to_string(i))));
    ASSERT_TRUE(s.mark_output(7));
    const NodeId bad[] = {1, 2, 100000, 3};
    EXPECT_EQ(s.mark_outputs(bad).error().id, 100000u);
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{7}));
    std::vector<NodeId> many;
    for (NodeId i = 100000; i-- > 0;) many.push_back(i);
    many.push_back(5);
    ASSERT_TRUE(s.mark_outputs(many));
    auto marks = s.outputs();
    ASSERT_EQ(marks.size(), 100000u);
    EXPECT_EQ(marks[0], 7u);
    EXPECT_EQ(marks[1], 99999u);
    EXPECT_EQ(marks.back(), 0u);
}

TEST(Store, SnapshotsAreCopies) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(testing::intern(s, source(n)));
    auto snap = testing::snapshot(s);
    ASSERT_TRUE(testing::intern(s, source("d")));
    EXPECT_EQ(snap.arena.size(), 3u);
}

TEST(StoreConcurrency, EqualKeysFromManyThreadsGetOneIdEach) {
    GraphStore s;
    constexpr int kThreads = 8;
    constexpr int kKeys = 2000;
    std::vector<std::vector<NodeId>> seen(kThreads);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int k = 0; k < kKeys; ++k) {
                // Each thread walks the keys in its own order.
                const int key = (k * (2 * t + 1)) % kKeys;
                seen[static_cast<std::size_t>(t)].push_back(
                    *testing::intern(s, source("n" + std::to_string(key))));
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(s.node_count(), static_cast<std::uint64_t>(kKeys));
    std::vector<NodeId> id_of(kKeys);
    for (int k = 0; k < kKeys; ++k)
        id_of[static_cast<std::size_t>(k)] = seen[0][static_cast<std::size_t>(k)];
    for (int t = 1; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            const int key = (k * (2 * t + 1)) % kKeys;
            EXPECT_EQ(seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(k)],
                      id_of[static_cast<std::size_t>(key)]);
        }
    }
}

TEST(StoreConcurrency, ReadersSeeConsistentSnapshotsWhileWritersRecord) {
    GraphStore s;
    ASSERT_TRUE(testing::intern(s, source("root")));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (NodeId i = 0; i < 3000; ++i) ASSERT_TRUE(testing::intern(s, op("f", {i})));
        stop = true;
    });
    while (!stop.load()) {
        auto snap = testing::snapshot(s);
        for (std::size_t i = 0; i < snap.arena.size(); ++i)
            for (NodeId x : snap.arena[i].inputs()) ASSERT_LT(x, i);
    }
    writer.join();
}

}  // namespace
}  // namespace corvane
