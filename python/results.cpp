#include "results.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "names.hpp"
#include "scalars.hpp"

namespace corvane::py {

PyRef report_to_py(const ReductionReport& report) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const bool ok = put(dict.get(), Name::input_nodes, u64_to_py(report.input_nodes)) &&
                    put(dict.get(), Name::reachable_nodes, u64_to_py(report.reachable_nodes)) &&
                    put(dict.get(), Name::canonical_nodes, u64_to_py(report.canonical_nodes)) &&
                    put(dict.get(), Name::stages, u64_to_py(report.stages)) &&
                    put(dict.get(), Name::reduced_nodes, u64_to_py(report.reduced_nodes)) &&
                    put(dict.get(), Name::boundary_nodes, u64_to_py(report.boundary_nodes));
    if (!ok) return {};
    return dict;
}

PyRef node_map_to_py(const NodeMap& map) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(map.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < map.size(); ++i) {
        PyRef entry;
        if (!map[i]) {
            entry = PyRef::borrow(Py_None);
        } else {
            PyRef node = u64_to_py(map[i]->reduced_node_id);
            if (!node) return {};
            PyRef member = map[i]->member_index ? u64_to_py(*map[i]->member_index) : PyRef::borrow(Py_None);
            if (!member) return {};
            entry = PyRef::steal(PyTuple_New(2));
            if (!entry) return {};
            PyTuple_SET_ITEM(entry.get(), 0, node.release());
            PyTuple_SET_ITEM(entry.get(), 1, member.release());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

bool node_map_from_py(PyObject* obj, const char* argname, NodeMap& out) {
    const auto refuse = [&] {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a list of None or (int, int or None) tuples",
                     argname);
        return false;
    };
    if (!PyList_Check(obj)) return refuse();
    // A tuple copy, so that another thread cannot change the entries while they are read.
    PyRef entries = PyRef::steal(PyList_AsTuple(obj));
    if (!entries) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
    NodeMap map;
    map.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyTuple_GET_ITEM(entries.get(), i);
        if (entry == Py_None) {
            map.emplace_back();
            continue;
        }
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return refuse();
        PyObject* node = PyTuple_GET_ITEM(entry, 0);
        PyObject* member = PyTuple_GET_ITEM(entry, 1);
        if (!PyLong_Check(node) || (member != Py_None && !PyLong_Check(member))) return refuse();
        Landing landing;
        if (!u64_from_int(node, landing.reduced_node_id)) return false;
        if (member != Py_None) {
            std::uint64_t index = 0;
            if (!u64_from_int(member, index)) return false;
            landing.member_index = index;
        }
        map.emplace_back(landing);
    }
    out = std::move(map);
    return true;
}

}  // namespace corvane::py
