// Million-node graphs: a deep chain and a wide fan-in go through every operation of the
// core (record, reduce with both fusion rules, the incremental reducer, the cone,
// serialize and read back, DOT, the member-token parsing of the per-node view). Each
// runs on a thread with a small stack, so recursion proportional to the depth or width
// of a graph overflows it, and the peak resident size must stay within a per-node budget.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "blob.hpp"
#include "op_token.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/incremental.hpp"
#include "store.hpp"
#include "support/keys.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CORVANE_SCALED_DOWN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CORVANE_SCALED_DOWN 1
#endif
#endif
#if !defined(CORVANE_SCALED_DOWN) && !defined(NDEBUG)
#define CORVANE_SCALED_DOWN 1  // unoptimised build
#endif

#ifdef CORVANE_SCALED_DOWN
// Sanitized and unoptimised builds are one to two orders of magnitude slower and keep
// freed memory in quarantine, so they run a smaller graph and skip the memory budget;
// one frame per node of recursion still overflows the stack below.
constexpr std::size_t kNodes = 20'000;
constexpr std::size_t kStack = 256u << 10;
#else
constexpr std::size_t kNodes = 1'000'000;
constexpr std::size_t kStack = 1u << 20;
#endif

#ifndef CORVANE_SCALED_DOWN
// Peak resident size allowed per node over the whole test (everything above copies the
// graph a few times; a quadratic or leaking step blows far past it), plus a fixed base.
constexpr std::size_t kBytesPerNode = 4096;
constexpr std::size_t kBaseBytes = 64u << 20;

std::size_t peak_rss_bytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}
#endif

// Runs `fn` on a thread with a `bytes`-sized stack and rethrows what it threw.
void run_on_small_stack(const std::function<void()>& fn) {
    struct Job {
        const std::function<void()>* fn;
        std::exception_ptr error;
    } job{&fn, nullptr};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kStack), 0);
    pthread_t thread;
    const int created = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
            Job& j = *static_cast<Job*>(arg);
            try {
                (*j.fn)();
            } catch (...) {
                j.error = std::current_exception();
            }
            return nullptr;
        },
        &job);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(created, 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    if (job.error) std::rethrow_exception(job.error);
}

enum class Shape { Chain, FanIn };

// Chain: x, then a unary op with a per-node parameter, an identity op and a commutative
// add of the running value with x, in turn; every node feeds the next one. FanIn: n - 1
// distinct sources all read by one op.
std::vector<NodeKey> build_keys(Shape shape) {
    std::vector<NodeKey> keys;
    keys.reserve(kNodes);
    if (shape == Shape::Chain) {
        keys.push_back(source("x"));
        for (NodeId i = 1; i < kNodes; ++i) {
            switch (i % 3) {
            case 1:
                keys.push_back(
                    op("scale", {i - 1},
                       params({{"k", ParamValue::of_int(static_cast<std::int64_t>(i))}})));
                break;
            case 2:
                keys.push_back(add_zero(i - 1));
                break;
            default:
                keys.push_back(op("add", {i - 1, 0}));
                break;
            }
        }
    } else {
        std::vector<NodeId> all;
        all.reserve(kNodes - 1);
        for (NodeId i = 0; i + 1 < kNodes; ++i) {
            keys.push_back(source("s" + std::to_string(i)));
            all.push_back(i);
        }
        keys.push_back(op("concat", std::move(all)));
    }
    return keys;
}

std::uint64_t count_identity_ops(Shape shape) {
    return shape == Shape::Chain ? kNodes / 3 : 0;  // ids 2, 5, 8, ... below kNodes
}

std::size_t edge_count(const std::vector<NodeKey>& arena) {
    std::size_t edges = 0;
    for (const NodeKey& key : arena) edges += key.inputs().size();
    return edges;
}

std::size_t count_occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++n;
    return n;
}

// What nodes() does with a store: every stage member's token must parse back.
std::uint64_t parsed_members(const GraphStore& store) {
    std::uint64_t members = 0;
    for (const NodeKey& key : testing::keys_of(store)) {
        const auto* stage = key.get_if<node::Stage>();
        if (stage == nullptr) continue;
        for (const StageOp& member : stage->members) {
            EXPECT_TRUE(parse_op_token(member.op_token).has_value()) << member.op_token;
            ++members;
        }
    }
    return members;
}

void expect_round_trip(const GraphStore& store) {
    const auto bytes = serialize_marked(store);
    ASSERT_TRUE(bytes.has_value());
    auto back = deserialize(*bytes);
    ASSERT_TRUE(back.has_value()) << back.error().message();
    const testing::Snapshot a = testing::snapshot(store);
    const testing::Snapshot b = testing::snapshot(*back);
    EXPECT_TRUE(a.arena == b.arena);
    EXPECT_EQ(a.outputs, b.outputs);
    EXPECT_TRUE(serialize_marked(*back) == bytes);
}

void expect_dot(const GraphStore& store) {
    const std::string dot = store.to_dot();
    const testing::Snapshot snap = testing::snapshot(store);
    EXPECT_TRUE(dot.starts_with("digraph corvane {\n"));
    EXPECT_TRUE(dot.ends_with("}\n"));
    EXPECT_EQ(count_occurrences(dot, " [label=\""), snap.arena.size());
    EXPECT_EQ(count_occurrences(dot, " -> n"), edge_count(snap.arena));
}

// The reduced store's node map covers every recorded node, names reduced nodes that
// exist, and the one output is the last node's landing.
void expect_consistent_reduction(const ReducedStore& result, Shape shape, NodeId output) {
    const auto& [reduced, report] = result;
    EXPECT_EQ(report.input_nodes, kNodes);
    EXPECT_EQ(report.reachable_nodes, kNodes);
    EXPECT_EQ(report.canonical_nodes, kNodes - count_identity_ops(shape));
    EXPECT_EQ(report.stages, 1u);
    EXPECT_EQ(report.reduced_nodes, report.stages + report.boundary_nodes);
    EXPECT_EQ(report.boundary_nodes, shape == Shape::Chain ? 1u : kNodes - 1);
    EXPECT_EQ(reduced.node_count(), report.reduced_nodes);
    const NodeMap map = reduced.node_map();
    ASSERT_EQ(map.size(), kNodes);
    for (std::size_t i = 0; i < map.size(); ++i) {
        const std::optional<Landing> landing = map[i];
        ASSERT_TRUE(landing.has_value());
        ASSERT_LT(landing->reduced_node_id, reduced.node_count());
    }
    ASSERT_TRUE(map[static_cast<std::size_t>(output)].has_value());
    EXPECT_EQ(reduced.outputs(),
              std::vector<NodeId>{map[static_cast<std::size_t>(output)]->reduced_node_id});
    EXPECT_EQ(parsed_members(reduced), kNodes - count_identity_ops(shape) - report.boundary_nodes);
}

class Scale : public ::testing::TestWithParam<Shape> {};

TEST_P(Scale, EveryOperationRunsWithoutRecursionAndWithinMemory) {
    const Shape shape = GetParam();
    run_on_small_stack([&] {
        GraphStore store;
        {
            std::vector<NodeKey> keys = build_keys(shape);
            for (std::size_t i = 0; i < keys.size(); ++i) {
                const auto id = testing::intern(store, std::move(keys[i]));
                ASSERT_TRUE(id.has_value());
                ASSERT_EQ(*id, i);
            }
        }
        ASSERT_EQ(store.node_count(), kNodes);
        const NodeId last = kNodes - 1;
        const NodeId outputs[] = {last};

        const SaturationEngine engine;
        for (const bool maximal : {false, true}) {
            SCOPED_TRACE(maximal ? "maximal fusion" : "single-use fusion");
            auto result = store.reduce_with_outputs(outputs, engine, maximal);
            ASSERT_TRUE(result.has_value());
            expect_consistent_reduction(*result, shape, last);
            expect_round_trip(result->first);
            expect_dot(result->first);
        }

        IncrementalReducer reducer;
        ASSERT_EQ(store.feed(reducer), kNodes);
        EXPECT_EQ(reducer.canonical_count(), kNodes - count_identity_ops(shape));
        auto incremental = reducer.finalize(outputs, engine, false);
        ASSERT_TRUE(incremental.has_value());
        const ReducedStore from_reducer = GraphStore::from_reduced(std::move(*incremental));
        EXPECT_EQ(from_reducer.first.node_map().size(), kNodes);
        EXPECT_EQ(from_reducer.second.stages, 1u);

        auto cone = store.cone(outputs);
        ASSERT_TRUE(cone.has_value());
        EXPECT_EQ(cone->node_count(), kNodes);
        expect_round_trip(*cone);
        expect_dot(store);
    });
#ifndef CORVANE_SCALED_DOWN
    EXPECT_LT(peak_rss_bytes(), kBaseBytes + kNodes * kBytesPerNode);
#endif
}

INSTANTIATE_TEST_SUITE_P(Shapes, Scale, ::testing::Values(Shape::Chain, Shape::FanIn),
                         [](const ::testing::TestParamInfo<Shape>& shape) {
                             return shape.param == Shape::Chain ? std::string("Chain")
                                                                : std::string("FanIn");
                         });

}  // namespace
}  // namespace corvane
