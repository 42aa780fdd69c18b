// The keyword binder shared by every METH_FASTCALL | METH_KEYWORDS method: a static
// table of parameter names (positional-or-keyword or keyword-only, required or with a
// default) maps a vectorcall's arguments onto one slot per parameter, without building
// tuples or dicts. Keyword names are compared by identity with interned copies first,
// then by value. Errors are the interpreter's usual TypeError messages. The same table
// gives each method its text signature line (prepare_methods), so the names a method
// binds and the names its signature shows are one list.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "pyref.hpp"

namespace corvane::py {

enum class ArgKind : std::uint8_t { Positional, KeywordOnly };

struct ArgSpec {
    const char* name;
    ArgKind kind;
    const char* default_text;  // as the signature shows it; null for a required parameter

    constexpr bool required() const { return default_text == nullptr; }
};

constexpr ArgSpec positional(const char* name, const char* default_text = nullptr) {
    return {name, ArgKind::Positional, default_text};
}
constexpr ArgSpec keyword(const char* name, const char* default_text = nullptr) {
    return {name, ArgKind::KeywordOnly, default_text};
}

namespace detail {

struct BinderTable {
    const char* function;
    std::span<const ArgSpec> specs;
    std::span<std::atomic<PyObject*>> names;
    std::size_t positional;  // leading positional-or-keyword parameters
};

bool intern_names(const BinderTable& table);
bool bind_vector(const BinderTable& table, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);

}  // namespace detail

// Positional-or-keyword parameters must come before keyword-only ones.
template <std::size_t N>
class Binder {
public:
    static constexpr std::size_t arity = N;

    constexpr Binder(const char* function, std::array<ArgSpec, N> specs)
        : function_(function),
          specs_(specs) {
        while (positional_ < N && specs[positional_].kind == ArgKind::Positional) ++positional_;
        for (std::size_t i = 0; i < N; ++i) {
            if (specs[i].required()) min_positional_ = i + 1;
        }
    }

    Binder(const Binder&) = delete;
    Binder& operator=(const Binder&) = delete;

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

    detail::BinderTable table() { return {function_, specs_, names_, positional_}; }

private:
    const char* function_;
    std::array<ArgSpec, N> specs_;
    std::size_t positional_ = 0;      // leading positional-or-keyword parameters
    std::size_t min_positional_ = 0;  // positional arguments that cover every required one
    std::array<std::atomic<PyObject*>, N> names_{};
};

// Prepares a method table (ended by its null entry) while the module's types are created:
// interns the names of `binders` (each named as its method) and puts each method's text
// signature line, "name($self, a, b=None, *, c=False)\n--\n\n", before its doc body
// (no receiver for a static method). May throw; a null doc stays null.
bool prepare_methods(PyMethodDef* methods, std::initializer_list<detail::BinderTable> binders,
                     const char* receiver = "$self");

// A class docstring: the constructor's signature line, then `body`. May throw.
const char* class_doc(const char* name, std::span<const ArgSpec> specs, const char* body);

}  // namespace corvane::py
