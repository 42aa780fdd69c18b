// The strings the surface puts into the dicts it builds (node views, descriptors,
// reports) over and over: their keys and the node kinds' names, each interned once per
// process. After prepare_names has succeeded, name() of any Name is a valid borrowed
// reference for the life of the process, readable from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pyref.hpp"

namespace corvane::py {

enum class Name : std::uint8_t {
    id, output, inputs, kind, name, params, descriptor, n_members, members,
    content_hash, framework, version, io_schema, preprocessing_ref,
    source, op, reduction, external, stage, exchange, join, input, member, empty,
    input_nodes, reachable_nodes, canonical_nodes, stages, reduced_nodes, boundary_nodes,
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

// Sets dict[name(key)] = value, releasing `value`; false with an error set when `value`
// is empty (its conversion failed) or the dict refuses it.
inline bool put(PyObject* dict, Name key, PyRef value) {
    return value && PyDict_SetItem(dict, name(key), value.get()) == 0;
}

}  // namespace corvane::py
