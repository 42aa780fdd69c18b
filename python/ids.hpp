// Node ids between Python and C++. An ids argument is a sequence other than str whose
// items are ints or objects with __index__, each in [0, 2**64): TypeError naming the
// argument for another shape, OverflowError for an item out of range, raised for the
// first bad item in order. A list or tuple of exact ints, the common case, is read
// without running Python code; a list only inside its critical section, so another
// thread cannot change it meanwhile. No conversion touches a store.
#pragma once

#include <span>
#include <vector>

#include "inline_buffer.hpp"
#include "pyref.hpp"

#include "node.hpp"

namespace corvane::py {

// The inputs of a node being recorded: a few inline, more on the heap.
using IdBuffer = InlineBuffer<NodeId, 8>;

bool ids_from_py(PyObject* obj, const char* argname, IdBuffer& out);
bool ids_from_py(PyObject* obj, const char* argname, std::vector<NodeId>& out);

// A list of ints, or an empty owner with an error set.
PyRef ids_to_py(std::span<const NodeId> ids);

}  // namespace corvane::py
