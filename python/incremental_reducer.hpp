// The IncrementalReducer Python class: one corvane::IncrementalReducer behind its own
// poisoning mutex. Lock order: the reducer first, then (inside GraphStore::feed) the store.
#pragma once

#include "pyref.hpp"

namespace corvane::py {

// Creates the type once per process (caller holds the init mutex).
bool ensure_incremental_reducer_type();
PyTypeObject* incremental_reducer_type() noexcept;

}  // namespace corvane::py
