#include "args.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace corvane::py::detail {
namespace {

// The parameter index of keyword `key`, or -1. Identity with the interned name is the
// common case (keyword names in code objects are interned).
Py_ssize_t find_keyword(const BinderTable& table, PyObject* key) noexcept {
    const std::size_t n = table.specs.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (table.names[i].load(std::memory_order_acquire) == key)
            return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char* name = table.specs[i].name;
        if (PyUnicode_EqualToUTF8AndSize(
                key, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name)))) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

bool too_many_positional(const BinderTable& table, Py_ssize_t given) noexcept {
    const std::size_t max = table.positional;
    if (max == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", table.function);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)",
                     table.function, static_cast<Py_ssize_t>(max), max == 1 ? "" : "s", given);
    }
    return false;
}

// The interpreter passes only str keyword names to a vectorcall.
bool unexpected_keyword(const BinderTable& table, PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", table.function,
                 key);
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
        if (out[i] != nullptr || !spec.required()) continue;
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
    if (static_cast<std::size_t>(nargs) > table.positional) {
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

}  // namespace corvane::py::detail

namespace corvane::py {
namespace {

// The text signature line followed by `body`, kept for the life of the process (the type
// objects and method tables that point at it live as long).
const char* signed_doc(const char* name, const char* receiver, std::span<const ArgSpec> specs,
                       const char* body) {
    std::string line = std::string(name) + '(' + (receiver != nullptr ? receiver : "");
    bool keyword_only = false;
    for (const ArgSpec& spec : specs) {
        if (line.back() != '(') line += ", ";
        if (spec.kind == ArgKind::KeywordOnly && !std::exchange(keyword_only, true)) line += "*, ";
        line += spec.name;
        if (!spec.required()) line += std::string("=") + spec.default_text;
    }
    return (new std::string(line + ")\n--\n\n" + body))->c_str();
}

}  // namespace

bool prepare_methods(PyMethodDef* methods, std::initializer_list<detail::BinderTable> binders,
                     const char* receiver) {
    for (const detail::BinderTable& binder : binders) {
        if (!detail::intern_names(binder)) return false;
    }
    for (PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
        // A doc already signed was prepared by an earlier call whose type creation failed.
        if (def->ml_doc == nullptr || std::string_view(def->ml_doc).contains("\n--\n\n")) continue;
        std::span<const ArgSpec> specs;
        for (const detail::BinderTable& binder : binders) {
            if (std::string_view(binder.function) == def->ml_name) specs = binder.specs;
        }
        const char* self = (def->ml_flags & METH_STATIC) != 0 ? nullptr : receiver;
        def->ml_doc = signed_doc(def->ml_name, self, specs, def->ml_doc);
    }
    return true;
}

const char* class_doc(const char* name, std::span<const ArgSpec> specs, const char* body) {
    return signed_doc(name, nullptr, specs, body);
}

}  // namespace corvane::py
