#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "store.hpp"
#include "support/keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

TEST(Store, InternDeduplicatesEqualKeys) {
    GraphStore s;
    EXPECT_EQ(s.intern(source("a")), 0u);
    EXPECT_EQ(s.intern(source("a")), 0u);
    EXPECT_EQ(s.intern(source("a", params({{"k", ParamValue::of_int(1)}}))), 1u);
    // Parameter order does not matter; value kinds do.
    EXPECT_EQ(s.intern(source("b", params({{"y", ParamValue::of_int(1)}, {"x", ParamValue::of_int(2)}}))), 2u);
    EXPECT_EQ(s.intern(source("b", params({{"x", ParamValue::of_int(2)}, {"y", ParamValue::of_int(1)}}))), 2u);
    EXPECT_EQ(s.intern(source("c", params({{"v", ParamValue::of_float(1.0)}}))), 3u);
    EXPECT_EQ(s.intern(source("c", params({{"v", ParamValue::of_bool(true)}}))), 4u);
    EXPECT_EQ(s.intern(source("c", params({{"v", ParamValue::of_float(std::nan("1"))}}))), 5u);
    EXPECT_EQ(s.intern(source("c", params({{"v", ParamValue::of_float(-std::nan("7"))}}))), 5u);
    EXPECT_EQ(s.intern(source("c", params({{"v", ParamValue::of_float(-0.0)}}))), 6u);
    EXPECT_EQ(s.intern(source("c", params({{"v", ParamValue::of_float(0.0)}}))), 7u);
    EXPECT_EQ(s.node_count(), 8u);
}

TEST(Store, DistinguishesKindsOrderAndDescriptors) {
    GraphStore s;
    ASSERT_EQ(s.intern(source("x")), 0u);
    ASSERT_EQ(s.intern(source("y")), 1u);
    EXPECT_EQ(s.intern(op("f", {0, 1})), 2u);
    EXPECT_EQ(s.intern(op("f", {1, 0})), 3u);
    EXPECT_EQ(s.intern(op("f", {1, 1})), 4u);
    EXPECT_EQ(s.intern(node::Exchange{{}, {0}}), 5u);
    EXPECT_EQ(s.intern(node::Join{{}, {0}}), 6u);
    PayloadDescriptor d{"k", "h", "f", "v", "s", std::nullopt};
    EXPECT_EQ(s.intern(node::External{d, {}, {0}}), 7u);
    d.preprocessing_ref = "";
    EXPECT_EQ(s.intern(node::External{d, {}, {0}}), 8u);
    EXPECT_EQ(s.intern(node::External{d, {}, {0}}), 8u);
}

struct BadInputCase {
    std::vector<NodeId> inputs;
    NodeId expected_bad;
};

class StoreBadInput : public ::testing::TestWithParam<BadInputCase> {};

TEST_P(StoreBadInput, ReportsFirstBadIdAndChangesNothing) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(s.intern(source(n)));
    auto r = s.intern(op("f", GetParam().inputs));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().id, GetParam().expected_bad);
    EXPECT_EQ(s.node_count(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreBadInput,
                         ::testing::Values(BadInputCase{{0, 5}, 5}, BadInputCase{{7, 5}, 7},
                                           BadInputCase{{3}, 3}, BadInputCase{{2, 2, 9}, 9}));

TEST(Store, ValidationComesBeforeLookup) {
    GraphStore s;
    ASSERT_TRUE(s.intern(op("f", {})));  // an Op without inputs is fine in an empty store
    EXPECT_FALSE(s.intern(op("g", {0, 1})).has_value());
    EXPECT_EQ(s.node_count(), 1u);
}

TEST(Store, MarksKeepFirstMarkOrderWithoutDuplicates) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(s.intern(source(n)));
    EXPECT_TRUE(s.mark_output(2));
    EXPECT_TRUE(s.mark_output(0));
    EXPECT_TRUE(s.mark_output(2));
    EXPECT_EQ(s.mark_output(3).error().id, 3u);
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
    EXPECT_TRUE(s.node_map().empty());
}

TEST(Store, MarkingAListChecksFirstAndStaysLinear) {
    GraphStore s;
    for (NodeId i = 0; i < 100000; ++i) ASSERT_TRUE(s.intern(source("n" + std::to_string(i))));
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
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(s.intern(source(n)));
    EXPECT_EQ(s.snapshot_from(0).size(), 3u);
    EXPECT_EQ(s.snapshot_from(2).size(), 1u);
    EXPECT_TRUE(s.snapshot_from(3).empty());
    EXPECT_TRUE(s.snapshot_from(99).empty());
    const NodeId ids[] = {1, 3, 4};
    EXPECT_EQ(s.arena_holding(ids).error().id, 3u);
    auto snap = s.snapshot();
    ASSERT_TRUE(s.intern(source("d")));
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
                seen[static_cast<std::size_t>(t)].push_back(*s.intern(source("n" + std::to_string(key))));
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(s.node_count(), static_cast<std::uint64_t>(kKeys));
    std::vector<NodeId> id_of(kKeys);
    for (int k = 0; k < kKeys; ++k) id_of[static_cast<std::size_t>(k)] = seen[0][static_cast<std::size_t>(k)];
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
    ASSERT_TRUE(s.intern(source("root")));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (NodeId i = 0; i < 3000; ++i) ASSERT_TRUE(s.intern(op("f", {i})));
        stop = true;
    });
    while (!stop.load()) {
        auto snap = s.snapshot();
        for (std::size_t i = 0; i < snap.arena.size(); ++i)
            for (NodeId x : snap.arena[i].inputs()) ASSERT_LT(x, i);
    }
    writer.join();
}

}  // namespace
}  // namespace corvane
