// Poisoning: a fault thrown while a store's or an incremental reducer's lock is held
// marks the object unusable. Every later operation, from any thread, including threads
// already waiting for the lock when the fault happened, ends in InternalFault with the
// object's poison message, and none of them blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blob.hpp"
#include "guarded.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/incremental.hpp"
#include "store.hpp"
#include "support/keys.hpp"
#include "support/store_probe.hpp"
#include "support/store_keys.hpp"

namespace corvane {
namespace {

using namespace corvane::testing;

// The message the Python IncrementalReducer gives its Guarded<IncrementalReducer>.
constexpr const char* kReducerPoisoned = "incremental reducer poisoned";

// Runs `fn` and aborts the process if it has not returned within the deadline: a
// deadlock must fail the run instead of hanging it.
void within_deadline(const std::function<void()>& fn,
                     std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, limit, [&] { return done; })) {
            std::fputs("poison_test: an operation on a poisoned object did not return (deadlock)\n",
                       stderr);
            std::abort();
        }
    });
    fn();
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
}

// Calls `fn` and checks that it throws InternalFault whose message starts with `prefix`.
template <class Fn>
void expect_fault(const std::string& prefix, Fn&& fn) {
    try {
        fn();
        ADD_FAILURE() << "expected an internal fault beginning with '" << prefix << "'";
    } catch (const InternalFault& fault) {
        EXPECT_TRUE(std::string(fault.what()).starts_with(prefix)) << fault.what();
    } catch (const std::exception& other) {
        ADD_FAILURE() << "expected InternalFault, got: " << other.what();
    }
}

struct StoreOp {
    const char* name;
    std::function<void(GraphStore&)> call;
};

// Every operation of a store, each on a store that holds nodes 0 (a source) and 1.
std::vector<StoreOp> store_ops() {
    static const SaturationEngine engine;
    static const NodeId ids[] = {1};
    return {
        {"intern new", [](GraphStore& s) { (void)testing::intern(s, source("fresh")); }},
        {"intern existing", [](GraphStore& s) { (void)testing::intern(s, source("a")); }},
        {"intern bad input", [](GraphStore& s) { (void)testing::intern(s, op("f", {99})); }},
        {"mark_output", [](GraphStore& s) { (void)s.mark_output(1); }},
        {"node_count", [](GraphStore& s) { (void)s.node_count(); }},
        {"outputs", [](GraphStore& s) { (void)s.outputs(); }},
        {"node_map", [](GraphStore& s) { (void)s.node_map(); }},
        {"table_snapshot", [](GraphStore& s) { (void)s.table_snapshot(); }},
        {"feed",
         [](GraphStore& s) {
             IncrementalReducer r;
             (void)s.feed(r);
         }},
        {"reduce_with", [](GraphStore& s) { (void)s.reduce_with(engine, false); }},
        {"reduce_with_outputs",
         [](GraphStore& s) { (void)s.reduce_with_outputs(ids, engine, true); }},
        {"cone", [](GraphStore& s) { (void)s.cone(ids); }},
        {"to_dot", [](GraphStore& s) { (void)s.to_dot(); }},
        {"serialize_with", [](GraphStore& s) { (void)serialize_with(s, ids); }},
        {"serialize_marked", [](GraphStore& s) { (void)serialize_marked(s); }},
    };
}

void fill(GraphStore& s) {
    ASSERT_EQ(testing::intern(s, source("a")), 0u);
    ASSERT_EQ(testing::intern(s, op("f", {0})), 1u);
}

// Each way a fault can escape a locked section; all but an allocation failure poison.
enum class Injected { Fault, StdException, NonStandard };

void throw_injected(Injected kind) {
    switch (kind) {
    case Injected::Fault:
        internal_fault("injected fault");
    case Injected::StdException:
        throw std::logic_error("injected logic error");
    case Injected::NonStandard:
        throw 42;
    }
}

class PoisonedStore : public ::testing::TestWithParam<Injected> {};

TEST_P(PoisonedStore, EveryOperationFaultsWithThePoisonMessage) {
    within_deadline([&] {
        for (const StoreOp& operation : store_ops()) {
            SCOPED_TRACE(operation.name);
            GraphStore s;
            fill(s);
            bool propagated = false;
            try {
                GraphStoreProbe::run_locked(s, [&] { throw_injected(GetParam()); });
            } catch (...) {
                propagated = true;  // the original exception reaches the caller unchanged
            }
            EXPECT_TRUE(propagated);
            for (int attempt = 0; attempt < 3; ++attempt) {
                expect_fault(kStorePoisoned, [&] { operation.call(s); });
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Kinds, PoisonedStore,
                         ::testing::Values(Injected::Fault, Injected::StdException,
                                           Injected::NonStandard));

TEST(PoisonedStore, AllocationFailureLeavesTheStoreUsableAndUnchanged) {
    GraphStore s;
    fill(s);
    const testing::Snapshot before = testing::snapshot(s);
    EXPECT_THROW(GraphStoreProbe::run_locked(s, [] { throw std::bad_alloc(); }), std::bad_alloc);
    const testing::Snapshot after = testing::snapshot(s);
    EXPECT_TRUE(before.arena == after.arena);
    for (const StoreOp& operation : store_ops()) {
        SCOPED_TRACE(operation.name);
        EXPECT_NO_THROW(operation.call(s));
    }
}

TEST(PoisonedStore, StoresDerivedBeforeThePoisonStayUsable) {
    GraphStore s;
    fill(s);
    const NodeId ids[] = {1};
    auto cone = s.cone(ids);
    ASSERT_TRUE(cone.has_value());
    EXPECT_THROW(GraphStoreProbe::run_locked(s, [] { internal_fault("injected"); }), InternalFault);
    EXPECT_EQ(cone->node_count(), 2u);
    EXPECT_EQ(testing::intern(*cone, source("more")), 2u);
}

// One thread holds a lock through `lock_and_run` and faults inside it once a caller per
// operation has started and had time to block on the same lock; every caller must then
// fault with `prefix` instead of blocking for good.
template <class Ops, class LockAndRun, class Call>
void fault_while_callers_wait(const Ops& ops, const std::string& prefix, LockAndRun lock_and_run,
                              Call call) {
    std::atomic<bool> holding{false};
    std::atomic<int> started{0};
    std::thread holder([&] {
        try {
            lock_and_run([&] {
                holding = true;
                while (started.load() < static_cast<int>(ops.size())) std::this_thread::yield();
                // Give the callers time to block on the mutex.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                internal_fault("injected while others wait");
            });
        } catch (const InternalFault&) {}
    });
    while (!holding.load()) std::this_thread::yield();
    std::vector<std::thread> callers;
    for (const auto& operation : ops) {
        callers.emplace_back([&] {
            ++started;
            expect_fault(prefix, [&] { call(operation); });
        });
    }
    holder.join();
    for (auto& t : callers) t.join();
}

TEST(PoisonConcurrency, ThreadsWaitingForTheLockFaultInsteadOfBlocking) {
    within_deadline([] {
        GraphStore s;
        fill(s);
        fault_while_callers_wait(
            store_ops(), kStorePoisoned, [&](auto&& fn) { GraphStoreProbe::run_locked(s, fn); },
            [&](const StoreOp& operation) { operation.call(s); });
    });
}

TEST(PoisonConcurrency, EveryThreadSeesThePoisonAfterward) {
    within_deadline([] {
        GraphStore s;
        fill(s);
        EXPECT_THROW(GraphStoreProbe::run_locked(s, [] { internal_fault("injected"); }),
                     InternalFault);
        const std::vector<StoreOp> ops = store_ops();
        std::atomic<int> faults{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int round = 0; round < 20; ++round) {
                    for (const StoreOp& operation : ops) {
                        try {
                            operation.call(s);
                        } catch (const InternalFault& fault) {
                            if (std::string(fault.what()).starts_with(kStorePoisoned)) ++faults;
                        }
                    }
                }
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(faults.load(), 8 * 20 * static_cast<int>(ops.size()));
    });
}

// The Python reducer's operations, in the shape of the binding: every one runs inside
// the reducer's lock and reads the store only through GraphStore::feed.
struct ReducerOp {
    const char* name;
    std::function<void(Guarded<IncrementalReducer>&, const GraphStore&)> call;
};

std::vector<ReducerOp> reducer_ops() {
    return {
        {"step",
         [](Guarded<IncrementalReducer>& g, const GraphStore& s) {
             (void)g.with_lock([&](IncrementalReducer& r) { return s.feed(r); });
         }},
        {"finalize",
         [](Guarded<IncrementalReducer>& g, const GraphStore& s) {
             g.with_lock([&](IncrementalReducer& r) {
                 (void)s.feed(r);
                 const SaturationEngine engine;
                 const NodeId outputs[] = {0};
                 auto reduced = r.finalize(outputs, engine, false);
                 if (reduced) (void)GraphStore::from_reduced(std::move(*reduced));
             });
         }},
        {"watermark",
         [](Guarded<IncrementalReducer>& g, const GraphStore&) {
             (void)g.with_lock([](const IncrementalReducer& r) { return r.watermark(); });
         }},
        {"total_work",
         [](Guarded<IncrementalReducer>& g, const GraphStore&) {
             (void)g.with_lock([](const IncrementalReducer& r) { return r.total_work(); });
         }},
        {"canonical_count",
         [](Guarded<IncrementalReducer>& g, const GraphStore&) {
             (void)g.with_lock([](const IncrementalReducer& r) { return r.canonical_count(); });
         }},
    };
}

TEST(PoisonedReducer, EveryOperationFaultsWithThePoisonMessage) {
    within_deadline([] {
        for (const ReducerOp& operation : reducer_ops()) {
            SCOPED_TRACE(operation.name);
            GraphStore s;
            fill(s);
            Guarded<IncrementalReducer> reducer(kReducerPoisoned);
            reducer_ops()[0].call(reducer, s);  // a healthy step first
            EXPECT_THROW(reducer.with_lock([](IncrementalReducer&) { internal_fault("injected"); }),
                         InternalFault);
            for (int attempt = 0; attempt < 3; ++attempt) {
                expect_fault(kReducerPoisoned, [&] { operation.call(reducer, s); });
            }
            // The store was never locked by the fault: it stays usable.
            EXPECT_EQ(s.node_count(), 2u);
        }
    });
}

TEST(PoisonedReducer, APoisonedStoreFaultsTheCallAndThenTheReducer) {
    within_deadline([] {
        GraphStore s;
        fill(s);
        Guarded<IncrementalReducer> reducer(kReducerPoisoned);
        EXPECT_THROW(GraphStoreProbe::run_locked(s, [] { internal_fault("injected"); }),
                     InternalFault);
        // The store's fault surfaces from inside the reducer's section with its own
        // message; having escaped that section, it leaves the reducer poisoned as well.
        expect_fault(kStorePoisoned, [&] { reducer_ops()[0].call(reducer, s); });
        GraphStore healthy;
        fill(healthy);
        for (const ReducerOp& operation : reducer_ops()) {
            SCOPED_TRACE(operation.name);
            expect_fault(kReducerPoisoned, [&] { operation.call(reducer, healthy); });
        }
    });
}

TEST(PoisonConcurrency, ReducerCallersWaitingForTheLockFaultInsteadOfBlocking) {
    within_deadline([] {
        GraphStore s;
        fill(s);
        Guarded<IncrementalReducer> reducer(kReducerPoisoned);
        fault_while_callers_wait(
            reducer_ops(), kReducerPoisoned,
            [&](auto&& fn) { reducer.with_lock([&](IncrementalReducer&) { fn(); }); },
            [&](const ReducerOp& operation) { operation.call(reducer, s); });
        EXPECT_EQ(s.node_count(), 2u);
    });
}

}  // namespace
}  // namespace corvane
