// The strings the surface puts into the dicts it builds (node views, descriptors,
// reports, explanations) over and over: their keys and the node kinds' names, each interned once
// per process. After prepare_names has succeeded, name() of any Name is a valid borrowed reference
// for the life of the process, readable from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pyref.hpp"

#include "node.hpp"

namespace corvane::py {

// Every name as X(enumerator, text); the enum and the text table are both built from it.
// clang-format off
#define CORVANE_PY_NAMES(X) \
    X(id, "id") \
    X(output, "output") \
    X(inputs, "inputs") \
    X(kind, "kind") \
    X(name, "name") \
    X(params, "params") \
    X(descriptor, "descriptor") \
    X(n_members, "n_members") \
    X(members, "members") \
    X(content_hash, "content_hash") \
    X(framework, "framework") \
    X(version, "version") \
    X(io_schema, "io_schema") \
    X(preprocessing_ref, "preprocessing_ref") \
    X(input, "input") \
    X(member, "member") \
    X(empty, "") \
    X(input_nodes, "input_nodes") \
    X(reachable_nodes, "reachable_nodes") \
    X(canonical_nodes, "canonical_nodes") \
    X(stages, "stages") \
    X(reduced_nodes, "reduced_nodes") \
    X(boundary_nodes, "boundary_nodes") \
    X(landing, "landing") \
    X(equals, "equals") \
    X(rules, "rules")
// clang-format on

enum class Name : std::uint8_t {
#define CORVANE_PY_NAME_ENUM(symbol, text) symbol,
    CORVANE_PY_NAMES(CORVANE_PY_NAME_ENUM)
#undef CORVANE_PY_NAME_ENUM
        count_
};

// Interns every name; called once while the module's types are created (the caller
// holds the init mutex).
bool prepare_names();

namespace detail {
// Written once by prepare_names, read by any thread afterwards.
extern std::array<std::atomic<PyObject*>, static_cast<std::size_t>(Name::count_)> g_names;
}  // namespace detail

inline PyObject* name(Name n) noexcept {
    return detail::g_names[static_cast<std::size_t>(n)].load(std::memory_order_acquire);
}

// The Python name of a node kind (kKindTraits' word), interned like the names above.
PyObject* kind_name(NodeKey::Kind kind) noexcept;

// Sets dict[name(key)] = value, releasing `value`; false with an error set when `value`
// is empty (its conversion failed) or the dict refuses it.
inline bool put(PyObject* dict, Name key, PyRef value) {
    return value && PyDict_SetItem(dict, name(key), value.get()) == 0;
}

}  // namespace corvane::py
