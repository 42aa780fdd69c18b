#include "graph_store.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "blob.hpp"
#include "detach.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "ids.hpp"
#include "node_views.hpp"
#include "params.hpp"
#include "payload_descriptor.hpp"
#include "results.hpp"
#include "scalars.hpp"
#include "optimizer/engine.hpp"

namespace corvane::py {
namespace {

struct PyGraphStore {
    PyObject_HEAD GraphStore store;
};

std::atomic<PyTypeObject*> g_type{nullptr};

GraphStore& store_of(PyObject* self) noexcept {
    return reinterpret_cast<PyGraphStore*>(self)->store;
}

constinit Binder<2> g_add_source_args{"add_source",
                                      {positional("name"), positional("params", "None")}};
constinit Binder<3> g_add_op_args{
    "add_op", {positional("name"), positional("inputs"), positional("params", "None")}};
constinit Binder<3> g_add_reduction_args{
    "add_reduction", {positional("name"), positional("inputs"), positional("params", "None")}};
constinit Binder<3> g_add_external_args{
    "add_external", {positional("descriptor"), positional("inputs"), positional("params", "None")}};
constinit Binder<2> g_add_exchange_args{"add_exchange",
                                        {positional("inputs"), positional("params", "None")}};
constinit Binder<2> g_add_join_args{"add_join",
                                    {positional("inputs"), positional("params", "None")}};
constinit Binder<1> g_serialize_args{"serialize", {positional("outputs", "None")}};
constinit Binder<1> g_deserialize_args{"deserialize", {positional("data")}};
constinit Binder<2> g_restore_args{"_restore", {positional("data"), positional("node_map")}};
constinit Binder<1> g_deepcopy_args{"__deepcopy__", {positional("memo")}};
constinit Binder<1> g_cone_args{"cone", {keyword("outputs")}};
constinit Binder<2> g_reduce_args{"reduce",
                                  {keyword("maximal_fusion", "False"), keyword("outputs", "None")}};
constinit Binder<2> g_explain_args{
    "explain", {keyword("maximal_fusion", "False"), keyword("outputs", "None")}};
constinit Binder<1> g_reduce_incremental_args{"reduce_incremental", {keyword("outputs", "None")}};
constinit Binder<1> g_reduction_report_args{"reduction_report", {keyword("outputs", "None")}};

// Records a node given as a NodeView (which a repeat finds without allocating) and
// returns its id.
PyObject* intern(PyObject* self, const NodeView& view) {
    const std::expected<NodeId, BadNodeId> id = store_of(self).intern(view);
    if (!id) return raise_error(id.error());
    return PyLong_FromUnsignedLongLong(*id);
}

// ---- construction and destruction

// The store is built before the object, so a failure leaves no half-made object behind.
PyObject* new_store_object(PyTypeObject* type, GraphStore&& store) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&store_of(self)) GraphStore(std::move(store));
    return self;
}

PyObject* make_store(PyTypeObject* type) { return new_store_object(type, GraphStore()); }

void store_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    store_of(self).~GraphStore();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- building

// Records a node of kind `Kind` given in borrowed form, its arguments bound by `binder`
// and converted in order: the name (Source, Op and Reduction), the inputs (all but
// Source), the params.
template <NodeKey::Kind Kind, auto& binder>
PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t N = std::remove_reference_t<decltype(binder)>::arity;
    constexpr bool named = Kind == NodeKey::Kind::Source || Kind == NodeKey::Kind::Op ||
                           Kind == NodeKey::Kind::Reduction;
    constexpr bool has_inputs = Kind != NodeKey::Kind::Source;
    static_assert(N == std::size_t{named} + std::size_t{has_inputs} + 1, "name?, inputs?, params");
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, N> a;
        if (!binder.bind(args, nargs, kwnames, a)) return nullptr;
        NodeView view;
        view.kind = Kind;
        IdBuffer inputs;
        ParamBuffer params;
        std::size_t next = 0;
        if constexpr (named) {
            if (!string_arg(a[next++], "name", view.name)) return nullptr;
        }
        if constexpr (has_inputs) {
            if (!ids_from_py(a[next++], "inputs", inputs)) return nullptr;
        }
        if (!params_from_py(a[next], params)) return nullptr;
        view.inputs = inputs.items();
        view.params = params.items();
        return intern(self, view);
    });
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> a{};
        if (!g_add_external_args.bind(args, nargs, kwnames, a)) return nullptr;
        IdBuffer inputs;
        if (!ids_from_py(a[1], "inputs", inputs)) return nullptr;
        // A PayloadDescriptor's record is immutable and lives as long as the argument, so
        // it is borrowed; only the dict form is copied.
        PayloadDescriptor copied;
        const PayloadDescriptor* record = payload_descriptor_record(a[0]);
        if (record == nullptr) {
            if (!descriptor_from_py(a[0], copied)) return nullptr;
            record = &copied;
        }
        const DescriptorView descriptor = descriptor_view(*record);
        ParamBuffer params;
        if (!params_from_py(a[2], params)) return nullptr;
        NodeView view;
        view.kind = NodeKey::Kind::External;
        view.inputs = inputs.items();
        view.params = params.items();
        view.descriptor = &descriptor;
        return intern(self, view);
    });
}

// ---- readers and inspection

PyObject* node_count(PyObject* self, PyObject*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(store_of(self).node_count()); });
}

PyObject* outputs(PyObject* self, PyObject*) {
    return guarded([&] { return ids_to_py(store_of(self).outputs()).release(); });
}

PyObject* to_dot(PyObject* self, PyObject*) {
    return guarded([&] {
        const std::string dot = detached([&] { return store_of(self).to_dot(); });
        return string_to_py(dot).release();
    });
}

PyObject* nodes(PyObject* self, PyObject*) {
    return guarded([&] { return nodes_to_py(store_of(self).table_snapshot()).release(); });
}

PyObject* node_map(PyObject* self, PyObject*) {
    return guarded([&] { return node_map_to_py(store_of(self).node_map()).release(); });
}

PyObject* cone(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> a{};
        if (!g_cone_args.bind(args, nargs, kwnames, a)) return nullptr;
        std::vector<NodeId> ids;
        if (!ids_from_py(a[0], "outputs", store_of(self).node_count(), ids)) return nullptr;
        std::expected<GraphStore, BadNodeId> result =
            detached([&] { return store_of(self).cone(ids); });
        if (!result) return raise_error(result.error());
        return wrap_store(std::move(*result));
    });
}

// ---- serialization

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> a{};
        if (!g_serialize_args.bind(args, nargs, kwnames, a)) return nullptr;
        const GraphStore& store = store_of(self);
        std::vector<NodeId> ids;
        if (a[0] != nullptr && a[0] != Py_None) {
            // Nodes are never removed, so ids below this count stay valid for the writer.
            if (!ids_from_py(a[0], "outputs", store.node_count(), ids)) return nullptr;
        } else {
            ids = store.outputs();
        }
        const auto blob = detached([&] { return serialize_with(store, ids); });
        if (!blob) return raise_error(blob.error());
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blob->data()),
                                         static_cast<Py_ssize_t>(blob->size()));
    });
}

bool check_bytes(PyObject* data) {
    if (PyBytes_Check(data)) return true;
    PyErr_Format(PyExc_TypeError, "argument 'data' must be bytes, not %T", data);
    return false;
}

// The contents of a bytes object. Bytes are immutable, so while the caller holds a
// reference the span stays valid and unchanged, even for code running detached.
std::span<const std::uint8_t> bytes_of(const PyRef& data) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()))};
}

PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> a{};
        if (!g_deserialize_args.bind(args, nargs, kwnames, a)) return nullptr;
        if (!check_bytes(a[0])) return nullptr;
        const PyRef data = PyRef::borrow(a[0]);
        const std::span<const std::uint8_t> bytes = bytes_of(data);
        std::expected<GraphStore, DecodeError> store =
            detached([&] { return corvane::deserialize(bytes); });
        if (!store) return raise_error(store.error());
        return wrap_store(std::move(*store));
    });
}

// ---- pickling and copying

// A store pickles as GraphStore._restore(blob, node map): the canonical blob carries the
// nodes and the output marks; the node map, which the blob does not carry, goes beside
// it in the form node_map() returns.
PyObject* reduce_for_pickle(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const GraphStore& store = store_of(self);
        const auto blob = detached([&] { return serialize_marked(store); });
        if (!blob) return raise_error(blob.error());
        PyRef data = PyRef::steal(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(blob->data()), static_cast<Py_ssize_t>(blob->size())));
        if (!data) return nullptr;
        PyRef map = node_map_to_py(store.node_map());
        if (!map) return nullptr;
        PyRef restore = PyRef::steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
        if (!restore) return nullptr;
        return Py_BuildValue("(O(OO))", restore.get(), data.get(), map.get());
    });
}

// The inverse of reduce_for_pickle; validates everything, so a damaged payload raises
// and builds nothing.
PyObject* restore(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> a{};
        if (!g_restore_args.bind(args, nargs, kwnames, a)) return nullptr;
        if (!check_bytes(a[0])) return nullptr;
        LandingList map;
        if (!node_map_from_py(a[1], "node_map", map)) return nullptr;
        const PyRef data = PyRef::borrow(a[0]);
        const std::span<const std::uint8_t> bytes = bytes_of(data);
        bool fits = false;
        std::expected<GraphStore, DecodeError> store = detached([&] {
            std::expected<GraphStore, DecodeError> read = corvane::deserialize(bytes);
            if (read) fits = read->adopt_node_map(map);
            return read;
        });
        if (!store) return raise_error(store.error());
        if (!fits) {
            PyErr_SetString(PyExc_ValueError, "node map does not fit the pickled store");
            return nullptr;
        }
        return new_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*store));
    });
}

// Copies share nothing with the original; a store holds no Python objects, so a deep
// copy is the same as a shallow one.
PyObject* copy_store(PyObject* self) {
    return guarded([&] {
        GraphStore copy = detached([&] { return store_of(self).copy(); });
        return wrap_store(std::move(copy));
    });
}

PyObject* shallow_copy(PyObject* self, PyObject*) { return copy_store(self); }

PyObject* deep_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a{};
    if (!g_deepcopy_args.bind(args, nargs, kwnames, a)) return nullptr;
    return copy_store(self);
}

// ---- reduction

// The outputs a reduction or explanation runs against: the stored marks when `arg` is
// absent or None (then `ids` stays empty and `explicit_outputs` false), else exactly the
// given ids. False with an error set when they do not convert.
bool outputs_from_py(PyObject* self, PyObject* arg, bool& explicit_outputs,
                     std::vector<NodeId>& ids) {
    explicit_outputs = arg != nullptr && arg != Py_None;
    return !explicit_outputs || ids_from_py(arg, "outputs", store_of(self).node_count(), ids);
}

// Returns the (store, report) tuple, or just the report.
PyObject* run_reduction(PyObject* self, PyObject* outputs_arg, bool maximal_fusion,
                        bool keep_store) {
    const GraphStore& store = store_of(self);
    bool explicit_outputs = false;
    std::vector<NodeId> ids;
    if (!outputs_from_py(self, outputs_arg, explicit_outputs, ids)) return nullptr;
    std::expected<ReducedStore, BadNodeId> result =
        detached([&]() -> std::expected<ReducedStore, BadNodeId> {
            const SaturationEngine engine;
            if (explicit_outputs) return store.reduce_with_outputs(ids, engine, maximal_fusion);
            return store.reduce_with(engine, maximal_fusion);
        });
    if (!result) return raise_error(result.error());
    if (!keep_store) return report_to_py(result->second).release();
    return reduction_result(std::move(*result));
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> a{};
        if (!g_reduce_args.bind(args, nargs, kwnames, a)) return nullptr;
        bool maximal_fusion = false;
        if (a[0] != nullptr && !flag_from_py(a[0], "maximal_fusion", maximal_fusion))
            return nullptr;
        return run_reduction(self, a[1], maximal_fusion, true);
    });
}

PyObject* explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> a{};
        if (!g_explain_args.bind(args, nargs, kwnames, a)) return nullptr;
        bool maximal_fusion = false;
        if (a[0] != nullptr && !flag_from_py(a[0], "maximal_fusion", maximal_fusion))
            return nullptr;
        const GraphStore& store = store_of(self);
        bool explicit_outputs = false;
        std::vector<NodeId> ids;
        if (!outputs_from_py(self, a[1], explicit_outputs, ids)) return nullptr;
        std::expected<Explained, BadNodeId> result =
            detached([&]() -> std::expected<Explained, BadNodeId> {
                const SaturationEngine engine;
                if (explicit_outputs)
                    return store.explain_with_outputs(ids, engine, maximal_fusion);
                return store.explain_with(engine, maximal_fusion);
            });
        if (!result) return raise_error(result.error());
        return explained_to_py(*result).release();
    });
}

// reduce_incremental (the same result as reduce) and reduction_report: outputs only.
template <auto& binder, bool keep_store>
PyObject* reduce_by_outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> a{};
        if (!binder.bind(args, nargs, kwnames, a)) return nullptr;
        return run_reduction(self, a[0], false, keep_store);
    });
}

// ---- the type

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"add_source", method_cast(add_node<NodeKey::Kind::Source, g_add_source_args>), kFastKeywords,
     ""},
    {"add_op", method_cast(add_node<NodeKey::Kind::Op, g_add_op_args>), kFastKeywords, ""},
    {"add_reduction", method_cast(add_node<NodeKey::Kind::Reduction, g_add_reduction_args>),
     kFastKeywords, ""},
    {"add_external", method_cast(add_external), kFastKeywords, ""},
    {"add_exchange", method_cast(add_node<NodeKey::Kind::Exchange, g_add_exchange_args>),
     kFastKeywords,
     "Record an `Exchange` boundary (plan M39 \u00a72.1). No `name` \u2014 an Exchange's identity "
     "is its\n"
     "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == "
     "\"exchange\"`."},
    {"add_join", method_cast(add_node<NodeKey::Kind::Join, g_add_join_args>), kFastKeywords,
     "Record a `Join` boundary (plan M40 \u00a72.1). Two inputs `[left, right]`; identity is its\n"
     "`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i][\"kind\"] == \"join\"`."},
    {"node_count", node_count, METH_NOARGS, ""},
    {"to_dot", to_dot, METH_NOARGS, ""},
    {"serialize", method_cast(serialize), kFastKeywords,
     "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
     "the serializable IR \u2014 not cloudpickle \u2014 is the canonical durable representation). "
     "With\n"
     "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
     "property of the compile request); the default keeps the marks-based behavior."},
    {"deserialize", method_cast(deserialize), kFastKeywords | METH_STATIC,
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."},
    {"nodes", nodes, METH_NOARGS,
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
     "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
     "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
     "`descriptor` dict for external nodes and `n_members` for stage nodes."},
    {"outputs", outputs, METH_NOARGS,
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"node_map", node_map, METH_NOARGS,
     "\u00a78.2(i): for each node of the arena this store was REDUCED FROM, where it landed here "
     "\u2014\n"
     "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
     "arena's node id. Empty for a store that did not come out of a reduction."},
    {"cone", method_cast(cone), kFastKeywords,
     "opt_level=0 (M6): the 1:1 cone of `outputs` \u2014 DCE without the rewrites \u2014 as a "
     "fresh store\n"
     "marked with `outputs`; its `node_map` sends each kept id to `(cone id, None)`."},
    {"reduce", method_cast(reduce), kFastKeywords,
     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
     "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
     "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
     "pinned by the frozen M4 suite)."},
    {"explain", method_cast(explain), kFastKeywords,
     "Why each node landed where it did: for every node of this store, in id order, a dict with\n"
     "`landing` (its entry in the node map `reduce` with the same arguments gives), `equals` (the\n"
     "smallest other node with that landing, when smaller than this one, else None) and `rules`\n"
     "(the sorted rewrites, and \"congruence\", of the proof that the two are equal)."},
    {"reduce_incremental", method_cast(reduce_by_outputs<g_reduce_incremental_args, true>),
     kFastKeywords,
     "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
     "step-by-step reduction while building, use `IncrementalReducer`."},
    {"reduction_report", method_cast(reduce_by_outputs<g_reduction_report_args, false>),
     kFastKeywords,
     "The reduction report for the current graph, without keeping the reduced store."},
    {"__reduce__", reduce_for_pickle, METH_NOARGS, nullptr},
    {"_restore", method_cast(restore), kFastKeywords | METH_CLASS, nullptr},
    {"__copy__", shallow_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", method_cast(deep_copy), kFastKeywords, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDoc =
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

}  // namespace

bool ensure_graph_store_type() {
    if (g_type.load(std::memory_order_acquire) != nullptr) return true;
    const bool prepared = prepare_methods(
        g_methods, {g_add_source_args.table(), g_add_op_args.table(), g_add_reduction_args.table(),
                    g_add_external_args.table(), g_add_exchange_args.table(),
                    g_add_join_args.table(), g_serialize_args.table(), g_deserialize_args.table(),
                    g_restore_args.table(), g_deepcopy_args.table(), g_cone_args.table(),
                    g_reduce_args.table(), g_explain_args.table(),
                    g_reduce_incremental_args.table(), g_reduction_report_args.table()});
    const char* doc = prepared ? class_doc("GraphStore", {}, kDoc) : nullptr;
    if (doc == nullptr) return false;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(new_by_vectorcall)},
        {Py_tp_vectorcall, reinterpret_cast<void*>(vectorcall_without_arguments<make_store>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"corvane_core.GraphStore", static_cast<int>(sizeof(PyGraphStore)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = make_type(spec);
    if (type == nullptr) return false;
    g_type.store(reinterpret_cast<PyTypeObject*>(type), std::memory_order_release);
    return true;
}

PyTypeObject* graph_store_type() noexcept { return g_type.load(std::memory_order_acquire); }

GraphStore* graph_store_of(PyObject* obj) noexcept {
    PyTypeObject* type = graph_store_type();
    if (type == nullptr || !Py_IS_TYPE(obj, type)) return nullptr;
    return &store_of(obj);
}

PyObject* wrap_store(GraphStore&& store) {
    return new_store_object(graph_store_type(), std::move(store));
}

PyObject* reduction_result(ReducedStore&& result) {
    PyRef store = PyRef::steal(wrap_store(std::move(result.first)));
    if (!store) return nullptr;
    PyRef report = report_to_py(result.second);
    if (!report) return nullptr;
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple, 0, store.release());
    PyTuple_SET_ITEM(tuple, 1, report.release());
    return tuple;
}

}  // namespace corvane::py
