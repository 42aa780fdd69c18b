#include "results.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

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

namespace {

// One node map entry: None, or (reduced_node_id, member_index or None).
PyRef landing_to_py(const std::optional<Landing>& landing) {
    if (!landing) return PyRef::borrow(Py_None);
    PyRef node = u64_to_py(landing->reduced_node_id);
    if (!node) return {};
    PyRef member =
        landing->member_index ? u64_to_py(*landing->member_index) : PyRef::borrow(Py_None);
    if (!member) return {};
    PyRef entry = PyRef::steal(PyTuple_New(2));
    if (!entry) return {};
    PyTuple_SET_ITEM(entry.get(), 0, node.release());
    PyTuple_SET_ITEM(entry.get(), 1, member.release());
    return entry;
}

}  // namespace

PyRef node_map_to_py(const NodeMap& map) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(map.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < map.size(); ++i) {
        PyRef entry = landing_to_py(map[i]);
        if (!entry) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

PyRef explained_to_py(const Explained& explained) {
    std::vector<PyRef> names;
    for (const std::string& text : explained.reason_names) {
        names.push_back(PyRef::steal(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
        if (!names.back()) return {};
    }
    const std::size_t n = explained.landings.size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t mask = explained.reasons[i];
        PyRef rules = PyRef::steal(PyList_New(std::popcount(mask)));
        if (!rules) return {};
        Py_ssize_t k = 0;
        for (std::uint64_t m = mask; m != 0; m &= m - 1) {
            PyObject* text = names[static_cast<std::size_t>(std::countr_zero(m))].get();
            PyList_SET_ITEM(rules.get(), k++, Py_NewRef(text));
        }
        const std::uint64_t equals = explained.equals[i];
        PyRef entry = PyRef::steal(PyDict_New());
        if (!entry) return {};
        const bool ok =
            put(entry.get(), Name::landing, landing_to_py(explained.landings[i])) &&
            put(entry.get(), Name::equals,
                equals == Explained::kNone ? PyRef::borrow(Py_None) : u64_to_py(equals)) &&
            put(entry.get(), Name::rules, std::move(rules));
        if (!ok) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

namespace {

// An int of a landing; one no u64 holds becomes the largest u64, which no store fits, so
// the restore refuses it as it refuses any other id the store lacks.
bool landing_part(PyObject* number, std::uint64_t& out) {
    if (u64_from_int(number, out)) return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    out = std::numeric_limits<std::uint64_t>::max();
    return true;
}

}  // namespace

bool node_map_from_py(PyObject* obj, const char* argname, LandingList& out) {
    const auto refuse = [&] {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s' must be a list of None or (int, int or None) tuples", argname);
        return false;
    };
    if (!PyList_Check(obj)) return refuse();
    // A tuple copy, so that another thread cannot change the entries while they are read.
    PyRef entries = PyRef::steal(PyList_AsTuple(obj));
    if (!entries) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
    LandingList map;
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
        const auto is_int = [](PyObject* x) { return PyLong_Check(x) && !PyBool_Check(x); };
        if (!is_int(node) || (member != Py_None && !is_int(member))) return refuse();
        Landing landing;
        if (!landing_part(node, landing.reduced_node_id)) return false;
        if (member != Py_None && !landing_part(member, landing.member_index.emplace())) {
            return false;
        }
        map.emplace_back(landing);
    }
    out = std::move(map);
    return true;
}

}  // namespace corvane::py
