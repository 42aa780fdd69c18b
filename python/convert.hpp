// Conversions between Python objects and IR values. The *_from_py functions return false
// with a Python error set; the *_to_py functions return a new reference or null. None of
// them touches a store, so they run before or after a store operation, never under a
// lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pyref.hpp"

#include "node.hpp"
#include "store.hpp"

namespace corvane::py {

// Creates the interned dict keys of the node view once per process.
bool prepare_view_keys();

// A `str` (or subclass) as UTF-8; TypeError naming `argname` otherwise.
bool string_from_py(PyObject* obj, const char* argname, std::string& out);
// A sequence other than `str` of integers in [0, 2**64): TypeError naming `argname`, or
// OverflowError for an item out of range.
bool ids_from_py(PyObject* obj, const char* argname, std::vector<NodeId>& out);
// A bool, or a NumPy boolean scalar; TypeError naming `argname` otherwise.
bool flag_from_py(PyObject* obj, const char* argname, bool& out);
// `obj` null or None gives the empty map; otherwise a dict of str to int/float/bool/str.
bool params_from_py(PyObject* obj, ParamMap& out);
// A PayloadDescriptor object or a dict with the descriptor's fields.
bool descriptor_from_py(PyObject* obj, PayloadDescriptor& out);

PyObject* ids_to_py(std::span<const NodeId> ids);
PyObject* params_to_py(const ParamMap& params);
PyObject* descriptor_to_py(const PayloadDescriptor& descriptor);
PyObject* report_to_py(const ReductionReport& report);
PyObject* node_map_to_py(const NodeMap& map);
// The per-node view of a snapshot: one dict per node in id order.
PyObject* nodes_to_py(const GraphStore::Snapshot& snapshot);

PyObject* string_to_py(const std::string& text);

}  // namespace corvane::py
