#include "incremental_reducer.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <new>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "args.hpp"
#include "detach.hpp"
#include "errors.hpp"
#include "graph_store.hpp"
#include "guarded.hpp"
#include "heap_type.hpp"
#include "ids.hpp"
#include "scalars.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/incremental.hpp"

namespace corvane::py {
namespace {

constexpr const char* kPoisoned = "incremental reducer poisoned";

constexpr const char* kOtherStore =
    "this reducer was fed another store; a reducer reads one store only";

struct PyIncrementalReducer {
    PyObject_HEAD bool
        constructed;  // false until `reducer` exists (the allocator zeroes the object)
    Guarded<IncrementalReducer> reducer;
};

std::atomic<PyTypeObject*> g_type{nullptr};

PyIncrementalReducer* as_reducer(PyObject* self) noexcept {
    return reinterpret_cast<PyIncrementalReducer*>(self);
}
Guarded<IncrementalReducer>& reducer_of(PyObject* self) noexcept {
    return as_reducer(self)->reducer;
}

constinit Binder<1> g_step_args{"step", {positional("store")}};
constinit Binder<3> g_finalize_args{
    "finalize",
    {positional("store"), keyword("maximal_fusion", "False"), keyword("outputs", "None")}};

// The store argument, or null with TypeError for another type.
const GraphStore* store_argument(PyObject* obj) {
    const GraphStore* store = graph_store_of(obj);
    if (store == nullptr) {
        PyErr_Format(PyExc_TypeError, "argument 'store' must be GraphStore, not %T", obj);
    }
    return store;
}

PyObject* raise_step_error(const StepError& error) {
    if (const auto* bad = std::get_if<BadNodeId>(&error)) return raise_error(*bad);
    PyErr_SetString(PyExc_ValueError, kOtherStore);
    return nullptr;
}

// Whether the reducer reads a store other than `store`, with ValueError set if so: the
// refusal comes before any other argument is looked at. The locked work checks again.
bool fed_other_store(PyObject* self, const GraphStore& store) {
    auto read = [](IncrementalReducer& reducer) { return reducer.store(); };
    std::optional<std::uint64_t> bound = reducer_of(self).try_with_lock(read);
    if (!bound) bound = detached([&] { return reducer_of(self).with_lock(read); });
    if (*bound == 0 || *bound == store.serial()) return false;
    raise_step_error(OtherStore{});
    return true;
}

// Runs `work` under the reducer's lock, detached: both the wait for the lock, which a
// long call on another thread may hold, and the work. The store stays alive meanwhile:
// the caller holds its argument for the whole call.
template <class Work>
auto detached_work(PyObject* self, Work&& work) {
    return detached([&] { return reducer_of(self).with_lock(work); });
}

// Detaching costs more than stepping a few nodes, so a delta up to this size is stepped
// attached when the reducer's lock is free at once.
constexpr std::uint64_t kAttachedStep = 64;

// ---- construction and destruction

PyObject* new_reducer_object(PyTypeObject* type) {
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    // If construction throws, releasing `self` runs dealloc, which skips the destructor.
    new (&reducer_of(self.get())) Guarded<IncrementalReducer>(kPoisoned);
    as_reducer(self.get())->constructed = true;
    return self.release();
}

void reducer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (reinterpret_cast<PyIncrementalReducer*>(self)->constructed) {
        reducer_of(self).~Guarded<IncrementalReducer>();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> a{};
        if (!g_step_args.bind(args, nargs, kwnames, a)) return nullptr;
        const GraphStore* store = store_argument(a[0]);
        if (store == nullptr) return nullptr;
        // Under the reducer's lock the store's lock is taken inside feed: reducer first.
        auto feed = [&](IncrementalReducer& reducer) { return store->feed(reducer); };
        using Result = std::expected<std::uint64_t, StepError>;
        std::optional<std::optional<Result>> quick = reducer_of(self).try_with_lock(
            [&](IncrementalReducer& reducer) { return store->feed(reducer, kAttachedStep); });
        const Result consumed = quick && *quick ? std::move(**quick) : detached_work(self, feed);
        if (!consumed) return raise_step_error(consumed.error());
        return PyLong_FromUnsignedLongLong(*consumed);
    });
}

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> a{};
        if (!g_finalize_args.bind(args, nargs, kwnames, a)) return nullptr;
        const GraphStore* store = store_argument(a[0]);
        if (store == nullptr || fed_other_store(self, *store)) return nullptr;
        bool maximal_fusion = false;
        if (a[1] != nullptr && !flag_from_py(a[1], "maximal_fusion", maximal_fusion))
            return nullptr;
        // The outputs are settled before the reducer is locked: explicit ids are checked
        // against the store as it is now, otherwise the store's marks are read.
        std::vector<NodeId> outputs;
        if (a[2] != nullptr && a[2] != Py_None) {
            if (!ids_from_py(a[2], "outputs", store->node_count(), outputs)) return nullptr;
        } else {
            outputs = store->outputs();
        }

        // A failed step changes nothing; a failure after it leaves the reducer stepped
        // and bound to this store.
        std::expected<ReducedStore, StepError> result = detached_work(
            self, [&](IncrementalReducer& reducer) -> std::expected<ReducedStore, StepError> {
                if (const auto consumed = store->feed(reducer); !consumed) {
                    return std::unexpected(consumed.error());
                }
                const SaturationEngine engine;
                std::expected<Reduced, BadNodeId> reduced =
                    reducer.finalize(outputs, engine, maximal_fusion);
                if (!reduced) return std::unexpected(reduced.error());
                return GraphStore::from_reduced(std::move(*reduced));
            });
        if (!result) return raise_step_error(result.error());
        return reduction_result(std::move(*result));
    });
}

// Read at once when the lock is free; otherwise a long step or finalize on another thread
// may hold it, so the wait runs detached.
template <std::uint64_t (IncrementalReducer::*Counter)() const noexcept>
PyObject* counter(PyObject* self, PyObject*) {
    return guarded([&] {
        auto read = [](IncrementalReducer& reducer) { return (reducer.*Counter)(); };
        std::optional<std::uint64_t> value = reducer_of(self).try_with_lock(read);
        if (!value) value = detached([&] { return reducer_of(self).with_lock(read); });
        return PyLong_FromUnsignedLongLong(*value);
    });
}

// A reducer's state belongs to the one live store it reads, which a copy or another
// process would not have, so it refuses to be pickled or copied.
PyObject* refuse_pickle(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle or copy an IncrementalReducer: its state "
                                     "belongs to the live store it reads");
    return nullptr;
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"step", method_cast(step), kFastKeywords,
     "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
     "(the delta size). The reducer must always be fed the same store."},
    {"finalize", method_cast(finalize), kFastKeywords,
     "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
     "store's marked outputs \u2014 or, with `outputs=`, against EXACTLY that set (M22: stored "
     "marks\n"
     "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."},
    {"watermark", counter<&IncrementalReducer::watermark>, METH_NOARGS,
     "How many of the store's nodes have been consumed so far."},
    {"total_work", counter<&IncrementalReducer::total_work>, METH_NOARGS,
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", counter<&IncrementalReducer::canonical_count>, METH_NOARGS,
     "Size of the maintained canonical form."},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Genuinely incremental reduction (plan \u00a7A.1): feed it a store as the graph is being "
    "built; each\n"
    "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing \u2014 the same sound rules the SaturationEngine runs), so "
    "a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps \u2014 it "
    "equals\n"
    "the node count of the store, no matter how many steps fed it (the incrementality witness).";

}  // namespace

bool ensure_incremental_reducer_type() {
    if (g_type.load(std::memory_order_acquire) != nullptr) return true;
    const bool prepared =
        prepare_methods(g_methods, {g_step_args.table(), g_finalize_args.table()});
    const char* doc = prepared ? class_doc("IncrementalReducer", {}, kDoc) : nullptr;
    if (doc == nullptr) return false;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(new_by_vectorcall)},
        {Py_tp_vectorcall,
         reinterpret_cast<void*>(vectorcall_without_arguments<new_reducer_object>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"corvane_core.IncrementalReducer",
                        static_cast<int>(sizeof(PyIncrementalReducer)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = make_type(spec);
    if (type == nullptr) return false;
    g_type.store(reinterpret_cast<PyTypeObject*>(type), std::memory_order_release);
    return true;
}

PyTypeObject* incremental_reducer_type() noexcept { return g_type.load(std::memory_order_acquire); }

}  // namespace corvane::py
