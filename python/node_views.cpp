#include "node_views.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ids.hpp"
#include "label.hpp"
#include "names.hpp"
#include "op_token.hpp"
#include "params.hpp"
#include "payload_descriptor.hpp"
#include "scalars.hpp"
#include "table_view.hpp"

namespace corvane::py {
namespace {

// A stage member's input: ("input", index) or ("member", index).
PyRef stage_ref_to_py(const StageRef& ref) {
    PyRef number = u64_to_py(ref.index);
    if (!number) return {};
    PyRef tuple = PyRef::steal(PyTuple_New(2));
    if (!tuple) return {};
    PyTuple_SET_ITEM(
        tuple.get(), 0,
        Py_NewRef(name(ref.kind == StageRef::Kind::Input ? Name::input : Name::member)));
    PyTuple_SET_ITEM(tuple.get(), 1, number.release());
    return tuple;
}

PyRef member_to_py(std::string_view token, std::span<const StageRef> operands) {
    const std::optional<ParsedOpToken> parsed = parse_op_token(token);
    if (!parsed) {
        const std::string message = "unparseable stage member token " + quoted(token);
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return {};
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    if (!put(dict.get(), Name::kind, string_to_py(parsed->kind)) ||
        !put(dict.get(), Name::name, string_to_py(parsed->name)) ||
        !put(dict.get(), Name::params, params_to_py(parsed->params))) {
        return {};
    }
    PyRef refs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(operands.size())));
    if (!refs) return {};
    for (std::size_t i = 0; i < operands.size(); ++i) {
        PyRef entry = stage_ref_to_py(operands[i]);
        if (!entry) return {};
        PyList_SET_ITEM(refs.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    if (!put(dict.get(), Name::inputs, std::move(refs))) return {};
    return dict;
}

// "kind", "name" and "params", then "descriptor" for an External and "n_members" and
// "members" for a Stage.
bool put_kind_fields(PyObject* dict, const NodeView& node) {
    if (!put(dict, Name::kind, PyRef::borrow(kind_name(node.kind))) ||
        !put(dict, Name::name,
             node.name.empty() ? PyRef::borrow(name(Name::empty)) : string_to_py(node.name)) ||
        !put(dict, Name::params, params_to_py(node.params))) {
        return false;
    }
    const KindTraits& t = traits(node.kind);
    if (t.descriptor) return put(dict, Name::descriptor, descriptor_to_py(*node.descriptor));
    if (!t.members) return true;
    const std::span<const MemberView> ms = node.members;
    if (!put(dict, Name::n_members, u64_to_py(ms.size()))) return false;
    PyRef members = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ms.size())));
    if (!members) return false;
    for (std::size_t m = 0; m < ms.size(); ++m) {
        PyRef member = member_to_py(ms[m].token, ms[m].operands);
        if (!member) return false;
        PyList_SET_ITEM(members.get(), static_cast<Py_ssize_t>(m), member.release());
    }
    return put(dict, Name::members, std::move(members));
}

PyRef node_to_py(const NodeView& node, std::size_t id, bool is_output) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    if (!put(dict.get(), Name::id, u64_to_py(id)) ||
        !put(dict.get(), Name::output, PyRef::borrow(is_output ? Py_True : Py_False)) ||
        !put(dict.get(), Name::inputs, ids_to_py(node.inputs)) ||
        !put_kind_fields(dict.get(), node)) {
        return {};
    }
    return dict;
}

}  // namespace

PyRef nodes_to_py(const GraphStore::TableSnapshot& snapshot) {
    const NodeTable& table = snapshot.nodes;
    const std::size_t n = table.size();
    std::vector<bool> is_output(n, false);
    for (NodeId id : snapshot.outputs) {
        if (id < n) is_output[static_cast<std::size_t>(id)] = true;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    ViewScratch scratch;
    for (std::size_t i = 0; i < n; ++i) {
        PyRef view = node_to_py(table_view(table, i, scratch), i, is_output[i]);
        if (!view) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), view.release());
    }
    return list;
}

}  // namespace corvane::py
