// What a reduction hands back besides the reduced store, as Python sees it: the report
// dict and the node map, a list with one entry per node of the store reduced from, None
// for a node dead-code elimination dropped, else (reduced_node_id, member_index or None).
// The node map also converts back, for unpickling a store.
#pragma once

#include "pyref.hpp"

#include "optimizer/explain.hpp"
#include "reduction.hpp"

namespace corvane::py {

// The report dict, or an empty owner with an error set.
PyRef report_to_py(const ReductionReport& report);
// The node map list, or an empty owner with an error set.
PyRef node_map_to_py(const NodeMap& map);
// The explanation list: one dict per input node with "landing" (as in the node map),
// "equals" (int or None) and "rules" (a new list of str); or an empty owner with an error.
PyRef explained_to_py(const Explained& explained);
// A list as node_map_to_py makes it: TypeError naming `argname` for another shape,
// OverflowError for an id out of range. The entries are not checked against any store.
bool node_map_from_py(PyObject* obj, const char* argname, LandingList& out);

}  // namespace corvane::py
