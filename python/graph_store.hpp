// The GraphStore Python class: a thin shell around one corvane::GraphStore. Its methods
// convert arguments without any lock, make one store call, and convert the copies the
// store hands back.
#pragma once

#include "pyref.hpp"

#include "store.hpp"

namespace corvane::py {

// Creates the type once per process (caller holds the init mutex).
bool ensure_graph_store_type();
PyTypeObject* graph_store_type() noexcept;
// The store held by `obj`, or null when `obj` is not a GraphStore.
GraphStore* graph_store_of(PyObject* obj) noexcept;
// A new GraphStore object owning `store`.
PyObject* wrap_store(GraphStore&& store);
// The (GraphStore, report dict) tuple of a reduction.
PyObject* reduction_result(ReducedStore&& result);

}  // namespace corvane::py
