#include "args.hpp"

#include <string>

namespace corvane::py::detail {
namespace {

std::size_t positional_count(const BinderTable& table) noexcept {
    std::size_t n = 0;
    while (n < table.specs.size() && table.specs[n].kind == ArgKind::Positional) ++n;
    return n;
}

// The parameter index of keyword `key`, or -1. Identity with the interned name is the
// common case (keyword names in code objects are interned).
Py_ssize_t find_keyword(const BinderTable& table, PyObject* key) noexcept {
    const std::size_t n = table.specs.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (table.names[i].load(std::memory_order_acquire) == key) return static_cast<Py_ssize_t>(i);
    }
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        const char* name = table.specs[i].name;
        if (PyUnicode_EqualToUTF8AndSize(key, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name)))) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool too_many_positional(const BinderTable& table, Py_ssize_t given) noexcept {
    const std::size_t max = positional_count(table);
    if (max == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", table.function);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)",
                     table.function, static_cast<Py_ssize_t>(max), max == 1 ? "" : "s", given);
    }
    return false;
}

bool unexpected_keyword(const BinderTable& table, PyObject* key) noexcept {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", table.function);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     table.function, key);
    }
    return false;
}

bool multiple_values(const BinderTable& table, std::size_t index) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", table.function,
                 table.specs[index].name);
    return false;
}

bool check_required(const BinderTable& table, PyObject** out) noexcept {
    for (std::size_t i = 0; i < table.specs.size(); ++i) {
        const ArgSpec& spec = table.specs[i];
        if (out[i] != nullptr || !spec.required) continue;
        if (spec.kind == ArgKind::Positional) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         table.function, spec.name, static_cast<Py_ssize_t>(i + 1));
        } else {
            PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'",
                         table.function, spec.name);
        }
        return false;
    }
    return true;
}

}  // namespace

bool intern_names(const BinderTable& table) {
    for (std::size_t i = 0; i < table.specs.size(); ++i) {
        if (table.names[i].load(std::memory_order_acquire) != nullptr) continue;
        // The interned name is kept for the life of the process.
        PyObject* name = PyUnicode_InternFromString(table.specs[i].name);
        if (name == nullptr) return false;
        table.names[i].store(name, std::memory_order_release);
    }
    return true;
}

bool bind_vector(const BinderTable& table, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out) {
    const std::size_t n = table.specs.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > positional_count(table)) {
        return too_many_positional(table, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t index = find_keyword(table, key);
            if (index < 0) return unexpected_keyword(table, key);
            const auto slot = static_cast<std::size_t>(index);
            if (out[slot] != nullptr) return multiple_values(table, slot);
            out[slot] = args[nargs + k];
        }
    }
    return check_required(table, out);
}

bool bind_tuple(const BinderTable& table, PyObject* args, PyObject* kwargs, PyObject** out,
                PyRef* holds) {
    const std::size_t n = table.specs.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > positional_count(table)) {
        return too_many_positional(table, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs == nullptr) return check_required(table, out);

    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const Py_ssize_t index = find_keyword(table, key);
        if (index < 0) {
            ok = unexpected_keyword(table, key);
            break;
        }
        const auto slot = static_cast<std::size_t>(index);
        if (out[slot] != nullptr) {
            ok = multiple_values(table, slot);
            break;
        }
        holds[slot] = PyRef::borrow(value);
        out[slot] = value;
    }
    Py_END_CRITICAL_SECTION();
    return ok && check_required(table, out);
}

}  // namespace corvane::py::detail
