#include "node_views.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
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

namespace corvane::py {
namespace {

// A stage member's input: ("input", index) or ("member", index).
PyRef stage_ref_to_py(const StageRef& ref) {
    PyRef number = u64_to_py(ref.index);
    if (!number) return {};
    PyRef tuple = PyRef::steal(PyTuple_New(2));
    if (!tuple) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(name(ref.kind == StageRef::Kind::Input ? Name::input : Name::member)));
    PyTuple_SET_ITEM(tuple.get(), 1, number.release());
    return tuple;
}

PyRef member_to_py(const StageOp& member) {
    const std::optional<ParsedOpToken> parsed = parse_op_token(member.op_token);
    if (!parsed) {
        const std::string message = "unparseable stage member token " + quoted(member.op_token);
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
    PyRef refs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(member.inputs.size())));
    if (!refs) return {};
    for (std::size_t i = 0; i < member.inputs.size(); ++i) {
        PyRef entry = stage_ref_to_py(member.inputs[i]);
        if (!entry) return {};
        PyList_SET_ITEM(refs.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    if (!put(dict.get(), Name::inputs, std::move(refs))) return {};
    return dict;
}

// "kind", "name" and "params" of a node view, in that order.
bool put_head(PyObject* dict, Name kind, std::string_view node_name, const ParamMap& params) {
    return put(dict, Name::kind, PyRef::borrow(name(kind))) &&
           put(dict, Name::name, node_name.empty() ? PyRef::borrow(name(Name::empty)) : string_to_py(node_name)) &&
           put(dict, Name::params, params_to_py(params));
}

bool put_kind_fields(PyObject* dict, const NodeKey& key) {
    switch (key.kind()) {
        case NodeKey::Kind::Source: {
            const auto& n = key.as<node::Source>();
            return put_head(dict, Name::source, n.name, n.params);
        }
        case NodeKey::Kind::Op: {
            const auto& n = key.as<node::Op>();
            return put_head(dict, Name::op, n.name, n.params);
        }
        case NodeKey::Kind::Reduction: {
            const auto& n = key.as<node::Reduction>();
            return put_head(dict, Name::reduction, n.name, n.params);
        }
        case NodeKey::Kind::External: {
            const auto& n = key.as<node::External>();
            return put_head(dict, Name::external, {}, n.params) &&
                   put(dict, Name::descriptor, descriptor_to_py(n.descriptor));
        }
        case NodeKey::Kind::Stage: {
            const auto& n = key.as<node::Stage>();
            if (!put_head(dict, Name::stage, {}, ParamMap()) ||
                !put(dict, Name::n_members, u64_to_py(n.members.size()))) {
                return false;
            }
            PyRef members = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n.members.size())));
            if (!members) return false;
            for (std::size_t i = 0; i < n.members.size(); ++i) {
                PyRef member = member_to_py(n.members[i]);
                if (!member) return false;
                PyList_SET_ITEM(members.get(), static_cast<Py_ssize_t>(i), member.release());
            }
            return put(dict, Name::members, std::move(members));
        }
        case NodeKey::Kind::Exchange: {
            const auto& n = key.as<node::Exchange>();
            return put_head(dict, Name::exchange, {}, n.params);
        }
        case NodeKey::Kind::Join: {
            const auto& n = key.as<node::Join>();
            return put_head(dict, Name::join, {}, n.params);
        }
    }
    return false;
}

PyRef node_to_py(NodeId id, const NodeKey& key, bool is_output) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    if (!put(dict.get(), Name::id, u64_to_py(id)) ||
        !put(dict.get(), Name::output, PyRef::borrow(is_output ? Py_True : Py_False)) ||
        !put(dict.get(), Name::inputs, ids_to_py(key.inputs())) ||
        !put_kind_fields(dict.get(), key)) {
        return {};
    }
    return dict;
}

}  // namespace

PyRef nodes_to_py(const GraphStore::Snapshot& snapshot) {
    const std::size_t n = snapshot.arena.size();
    std::vector<bool> is_output(n, false);
    for (NodeId id : snapshot.outputs) {
        if (id < n) is_output[static_cast<std::size_t>(id)] = true;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return {};
    for (std::size_t i = 0; i < n; ++i) {
        PyRef view = node_to_py(i, snapshot.arena[i], is_output[i]);
        if (!view) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), view.release());
    }
    return list;
}

}  // namespace corvane::py
