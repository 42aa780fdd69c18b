// Node ids between Python and C++. An ids argument is a sequence other than str whose
// items are ints or objects with __index__, each in [0, 2**64): TypeError naming the
// argument for another shape, OverflowError for an item out of range, raised for the
// first bad item in order. A list or tuple of exact ints, the common case, is read
// without running Python code; a list only inside its critical section, so another
// thread cannot change it meanwhile.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "inline_buffer.hpp"
#include "pyref.hpp"

#include "node.hpp"

namespace corvane::py {

// The inputs of a node being recorded: a few inline, more on the heap.
using IdBuffer = InlineBuffer<NodeId, 8>;

bool ids_from_py(PyObject* obj, const char* argname, IdBuffer& out);
// Ids read against a store of `count` nodes: BadNodeId's ValueError for the first id not
// below it. A list or tuple is converted whole first, so its conversion errors come
// before that; any other sequence is checked as it is read and stops at its first bad
// id (a virtual sequence such as range(10**18) is never copied whole).
bool ids_from_py(PyObject* obj, const char* argname, std::uint64_t count, std::vector<NodeId>& out);

// A list of ints, or an empty owner with an error set.
PyRef ids_to_py(std::span<const NodeId> ids);

}  // namespace corvane::py
