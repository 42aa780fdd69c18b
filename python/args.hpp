// The keyword binder shared by every METH_FASTCALL | METH_KEYWORDS method: a static
// table of parameter names (positional-or-keyword or keyword-only, required or not)
// maps a vectorcall's arguments onto one slot per parameter, without building tuples or
// dicts. Keyword names are compared by identity with interned copies first, then by
// value. Errors are the interpreter's usual TypeError messages.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "pyref.hpp"

namespace corvane::py {

enum class ArgKind : std::uint8_t { Positional, KeywordOnly };

struct ArgSpec {
    const char* name;
    ArgKind kind;
    bool required;
};

namespace detail {

struct BinderTable {
    const char* function;
    std::span<const ArgSpec> specs;
    std::span<std::atomic<PyObject*>> names;
};

bool intern_names(const BinderTable& table);
bool bind_vector(const BinderTable& table, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);
bool bind_tuple(const BinderTable& table, PyObject* args, PyObject* kwargs, PyObject** out,
                PyRef* holds);

}  // namespace detail

// Positional-or-keyword parameters must come before keyword-only ones.
template <std::size_t N>
class Binder {
public:
    constexpr Binder(const char* function, std::array<ArgSpec, N> specs)
        : function_(function), specs_(specs) {
        while (positional_ < N && specs[positional_].kind == ArgKind::Positional) ++positional_;
        for (std::size_t i = 0; i < N; ++i) {
            if (specs[i].required) min_positional_ = i + 1;
        }
    }

    Binder(const Binder&) = delete;
    Binder& operator=(const Binder&) = delete;

    // Interns the parameter names; called once while the module's types are created.
    bool prepare() { return detail::intern_names(table()); }

    // Binds a vectorcall. `out[i]` receives a borrowed reference for every supplied
    // parameter and null for an omitted optional one.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::array<PyObject*, N>& out) {
        // The common call: positional arguments only, every required one among them.
        const auto given = static_cast<std::size_t>(nargs);
        if (kwnames == nullptr && given >= min_positional_ && given <= positional_) {
            // Every argument given is the common case: a copy of fixed length, slot by
            // slot (a copy of the variable length costs more than the rest of the bind).
            if (given == N) {
                for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
                return true;
            }
            for (std::size_t i = 0; i < N; ++i) out[i] = i < given ? args[i] : nullptr;
            return true;
        }
        return detail::bind_vector(table(), args, nargs, kwnames, out.data());
    }

    // Binds a tuple/dict call (the tp_new path). `holds` keeps the keyword values alive.
    bool bind(PyObject* args, PyObject* kwargs, std::array<PyObject*, N>& out,
              std::array<PyRef, N>& holds) {
        return detail::bind_tuple(table(), args, kwargs, out.data(), holds.data());
    }

private:
    detail::BinderTable table() { return {function_, specs_, names_}; }

    const char* function_;
    std::array<ArgSpec, N> specs_;
    std::size_t positional_ = 0;      // leading positional-or-keyword parameters
    std::size_t min_positional_ = 0;  // positional arguments that cover every required one
    std::array<std::atomic<PyObject*>, N> names_{};
};

}  // namespace corvane::py
