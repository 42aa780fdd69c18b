#include "ids.hpp"

#include <cstddef>
#include <cstdint>

#include "errors.hpp"
#include "scalars.hpp"

namespace corvane::py {
namespace {

// Gives ids_from_py's vector the interface of an IdBuffer.
class VectorOut {
public:
    explicit VectorOut(std::vector<NodeId>& ids) noexcept : ids_(ids) {}
    NodeId* prepare(std::size_t n) {
        ids_.resize(n);
        return ids_.data();
    }
    void set_size(std::size_t) noexcept {}

private:
    std::vector<NodeId>& ids_;
};

enum class Fast : std::uint8_t { Done, Failed, Slow };

// Converts the `n` items that `item(i)` reads, as long as they are exact ints, so that no
// Python code runs: Slow at the first other item (the general path takes over), Failed
// with OverflowError at an int out of range.
template <class Item>
Fast exact_ids(Py_ssize_t n, Item item, NodeId* data) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* x = item(i);
        if (!PyLong_CheckExact(x)) return Fast::Slow;
        if (!u64_from_int(x, data[i])) return Fast::Failed;
    }
    return Fast::Done;
}

// An exact list or tuple of exact ints; Slow for anything else.
template <class Out>
Fast fast_ids(PyObject* obj, Out& out) {
    Py_ssize_t n = 0;
    Fast state = Fast::Slow;
    if (PyTuple_CheckExact(obj)) {
        n = PyTuple_GET_SIZE(obj);
        NodeId* data = out.prepare(static_cast<std::size_t>(n));
        state = exact_ids(n, [obj](Py_ssize_t i) { return PyTuple_GET_ITEM(obj, i); }, data);
    } else if (PyList_CheckExact(obj)) {
        n = PyList_GET_SIZE(obj);
        NodeId* data = out.prepare(static_cast<std::size_t>(n));  // may throw: outside the section
        Py_BEGIN_CRITICAL_SECTION(obj);
        if (PyList_GET_SIZE(obj) == n) {
            state = exact_ids(n, [obj](Py_ssize_t i) { return PyList_GET_ITEM(obj, i); }, data);
        }
        Py_END_CRITICAL_SECTION();
    }
    if (state == Fast::Done) out.set_size(static_cast<std::size_t>(n));
    return state;
}

// One item of the general path: an int, or an object whose __index__ gives one.
bool id_from_py(PyObject* item, const char* argname, NodeId& out) {
    if (PyLong_CheckExact(item)) return u64_from_int(item, out);
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) {
        prefix_type_error(argname);
        return false;
    }
    return u64_from_int(index.get(), out);
}

// The general path reads a tuple, which keeps its items alive while __index__ runs and
// which __index__ cannot change.
template <class Out>
bool ids_from_tuple(PyObject* tuple, const char* argname, Out& out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    NodeId* data = out.prepare(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!id_from_py(PyTuple_GET_ITEM(tuple, i), argname, data[i])) return false;
    }
    out.set_size(static_cast<std::size_t>(n));
    return true;
}

template <class Out>
bool convert_ids(PyObject* obj, const char* argname, Out& out) {
    switch (fast_ids(obj, out)) {
    case Fast::Done:
        return true;
    case Fast::Failed:
        return false;
    case Fast::Slow:
        break;
    }
    if (PyTuple_CheckExact(obj)) return ids_from_tuple(obj, argname, out);
    if (PyList_CheckExact(obj)) {
        PyRef copy = PyRef::steal(PyList_AsTuple(obj));
        return copy && ids_from_tuple(copy.get(), argname, out);
    }
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a sequence of node ids, not %T",
                     argname, obj);
        return false;
    }
    PyRef copy = PyRef::steal(PySequence_Tuple(obj));
    if (!copy) {
        prefix_type_error(argname);
        return false;
    }
    return ids_from_tuple(copy.get(), argname, out);
}

bool no_node(NodeId id) {
    raise_error(BadNodeId{id});
    return false;
}

// A sequence other than an exact list or tuple, read item by item with each id checked
// as it is read: a virtual sequence such as range(10**18) stops at its first id that
// names no node instead of being copied whole.
bool read_checked_ids(PyObject* obj, const char* argname, std::uint64_t count,
                      std::vector<NodeId>& out) {
    PyRef items = PyRef::steal(PyObject_GetIter(obj));
    if (!items) {
        prefix_type_error(argname);
        return false;
    }
    out.clear();
    while (PyRef item = PyRef::steal(PyIter_Next(items.get()))) {
        NodeId id = 0;
        if (!id_from_py(item.get(), argname, id)) return false;
        if (id >= count) return no_node(id);
        out.push_back(id);
    }
    if (!PyErr_Occurred()) return true;
    prefix_type_error(argname);
    return false;
}

}  // namespace

bool ids_from_py(PyObject* obj, const char* argname, IdBuffer& out) {
    return convert_ids(obj, argname, out);
}

bool ids_from_py(PyObject* obj, const char* argname, std::uint64_t count,
                 std::vector<NodeId>& out) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) && !PyUnicode_Check(obj) &&
        PySequence_Check(obj)) {
        return read_checked_ids(obj, argname, count, out);
    }
    // A list or tuple is all there already: every item is converted before any is checked.
    VectorOut sink(out);
    if (!convert_ids(obj, argname, sink)) return false;
    for (NodeId id : out) {
        if (id >= count) return no_node(id);
    }
    return true;
}

PyRef ids_to_py(std::span<const NodeId> ids) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyRef id = u64_to_py(ids[i]);
        if (!id) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id.release());
    }
    return list;
}

}  // namespace corvane::py
