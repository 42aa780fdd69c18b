// The read-only view of a store's nodes that GraphStore.nodes() returns: one dict per
// node in id order, with "id", "output", "inputs", "kind", "name" and "params", plus
// "descriptor" for an external node and "n_members" and "members" for a stage. Built
// from a copy of the dense table, so no store lock is held while Python objects are made.
#pragma once

#include "pyref.hpp"

#include "store.hpp"

namespace corvane::py {

// The list of views, or an empty owner with an error set (ValueError for a stage member
// whose token does not parse).
PyRef nodes_to_py(const GraphStore::TableSnapshot& snapshot);

}  // namespace corvane::py
