#include "convert.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "op_token.hpp"
#include "payload_descriptor.hpp"
#include "token.hpp"

namespace corvane::py {
namespace {

// Strings the views and the report use over and over, interned once per process.
enum class Name : std::uint8_t {
    id, output, inputs, kind, name, params, descriptor, n_members, members,
    content_hash, framework, version, io_schema, preprocessing_ref,
    source, op, reduction, external, stage, exchange, join, input, member, empty,
    input_nodes, reachable_nodes, canonical_nodes, stages, reduced_nodes, boundary_nodes,
    count_
};

constexpr std::array<const char*, static_cast<std::size_t>(Name::count_)> kNameText = {
    "id", "output", "inputs", "kind", "name", "params", "descriptor", "n_members", "members",
    "content_hash", "framework", "version", "io_schema", "preprocessing_ref",
    "source", "op", "reduction", "external", "stage", "exchange", "join", "input", "member", "",
    "input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
    "boundary_nodes",
};

// Written once under the module's init mutex, read by any thread afterwards.
std::array<std::atomic<PyObject*>, kNameText.size()> g_names{};

PyObject* name(Name n) noexcept {
    return g_names[static_cast<std::size_t>(n)].load(std::memory_order_acquire);
}

// Sets dict[key] = value, consuming `value`; false with an error set on failure.
bool put(PyObject* dict, Name key, PyRef value) {
    return value && PyDict_SetItem(dict, name(key), value.get()) == 0;
}

PyRef new_string(std::string_view text) {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef new_u64(std::uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }

// The UTF-8 text of a `str` or subclass; null with the encoding error set otherwise.
bool utf8_of(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return false;
    out = std::string(data, static_cast<std::size_t>(size));
    return true;
}

bool index_to_u64(PyObject* item, const char* argname, NodeId& out) {
    if (PyLong_CheckExact(item)) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(item);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = value;
        return true;
    }
    PyRef index = PyRef::steal(PyNumber_Index(item));
    if (!index) {
        prefix_type_error(argname);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// Converts the items of a tuple; the tuple keeps them alive while __index__ runs.
bool ids_from_tuple(PyObject* tuple, const char* argname, std::vector<NodeId>& out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        NodeId id = 0;
        if (!index_to_u64(PyTuple_GET_ITEM(tuple, i), argname, id)) return false;
        out.push_back(id);
    }
    return true;
}

enum class FastList : std::uint8_t { Done, Failed, Slow };

// A list of exact ints is converted in place under the list's critical section, where no
// Python code runs. Anything else (an item with __index__, a size change) is left to the
// caller, which converts a tuple copy instead: __index__ may mutate the list.
FastList ids_from_exact_list(PyObject* list, std::vector<NodeId>& out) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    out.clear();
    out.reserve(static_cast<std::size_t>(n));  // may throw: outside the critical section
    FastList state = FastList::Done;
    Py_BEGIN_CRITICAL_SECTION(list);
    if (PyList_GET_SIZE(list) != n) {
        state = FastList::Slow;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (!PyLong_CheckExact(item)) {
                state = FastList::Slow;
                break;
            }
            const unsigned long long value = PyLong_AsUnsignedLongLong(item);
            if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                state = FastList::Failed;
                break;
            }
            out.push_back(value);  // within the reserved capacity: cannot throw
        }
    }
    Py_END_CRITICAL_SECTION();
    return state;
}

// Calls `visit(key, value, i)` for the dict's items in order, inside one critical section
// where the borrowed references are valid; `visit` must not raise or throw. False when the
// dict no longer holds `n` items or when `visit` returns false.
template <class Visit>
bool visit_dict_items(PyObject* dict, Py_ssize_t n, Visit&& visit) noexcept {
    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_GET_SIZE(dict) != n) {
        ok = false;
    } else {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (std::size_t i = 0; PyDict_Next(dict, &pos, &key, &value); ++i) {
            if (i == static_cast<std::size_t>(n) || !visit(key, value, i)) {
                ok = false;
                break;
            }
        }
    }
    Py_END_CRITICAL_SECTION();
    return ok;
}

// Strong references to the (key, value) pairs of a dict, taken in one critical section
// so that the pairs form one consistent state even while other threads mutate the dict.
class DictItems {
public:
    DictItems() = default;
    DictItems(const DictItems&) = delete;
    DictItems& operator=(const DictItems&) = delete;
    ~DictItems() { clear(); }

    void load(PyObject* dict) {
        for (;;) {
            const Py_ssize_t n = PyDict_GET_SIZE(dict);
            PyObject** slots = reserve(2 * static_cast<std::size_t>(n));  // may throw
            count_ = 0;
            const bool fits = visit_dict_items(dict, n, [&](PyObject* key, PyObject* value, std::size_t i) {
                slots[2 * i] = Py_NewRef(key);
                slots[2 * i + 1] = Py_NewRef(value);
                count_ = i + 1;
                return true;
            });
            if (fits) return;
            clear();  // the dict changed size between the two reads: take it again
        }
    }

    std::size_t size() const noexcept { return count_; }
    PyObject* key(std::size_t i) const noexcept { return data_[2 * i]; }
    PyObject* value(std::size_t i) const noexcept { return data_[2 * i + 1]; }

private:
    PyObject** reserve(std::size_t slots) {
        if (slots <= inline_.size()) {
            data_ = inline_.data();
        } else {
            heap_.resize(slots);
            data_ = heap_.data();
        }
        return data_;
    }
    void clear() noexcept {
        for (std::size_t i = 0; i < 2 * count_; ++i) Py_DECREF(data_[i]);
        count_ = 0;
    }

    std::array<PyObject*, 16> inline_{};
    std::vector<PyObject*> heap_;
    PyObject** data_ = inline_.data();
    std::size_t count_ = 0;
};

// The value conversions, tried in order; the errors of failed attempts are discarded.
std::optional<ParamValue> param_value_from_py(PyObject* value) {
    if (PyBool_Check(value)) return ParamValue::of_bool(value == Py_True);

    // Each attempt is skipped when the type cannot support it: the call would only raise
    // a TypeError, and building that exception costs more than the whole conversion.
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    const bool has_index = number != nullptr && number->nb_index != nullptr;
    if (PyLong_Check(value) || has_index) {
        const long long as_int = PyLong_AsLongLong(value);
        if (!(as_int == -1 && PyErr_Occurred())) return ParamValue::of_int(as_int);
        PyErr_Clear();
    }

    if (PyFloat_CheckExact(value)) return ParamValue::of_float(PyFloat_AS_DOUBLE(value));
    if (PyFloat_Check(value) || has_index || (number != nullptr && number->nb_float != nullptr)) {
        const double as_float = PyFloat_AsDouble(value);
        if (!(as_float == -1.0 && PyErr_Occurred())) return ParamValue::of_float(as_float);
        PyErr_Clear();
    }

    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (data != nullptr) return ParamValue::of_str(std::string(data, static_cast<std::size_t>(size)));
        PyErr_Clear();
    }
    return std::nullopt;
}

PyRef param_value_to_py(const ParamValue& value) {
    switch (value.kind()) {
        case ParamValue::Kind::Int: return PyRef::steal(PyLong_FromLongLong(value.as_int()));
        case ParamValue::Kind::Float: return PyRef::steal(PyFloat_FromDouble(value.as_float()));
        case ParamValue::Kind::Bool: return PyRef::borrow(value.as_bool() ? Py_True : Py_False);
        case ParamValue::Kind::Str: return new_string(value.as_str());
    }
    return PyRef::borrow(Py_None);
}

// A descriptor dict field: true with `found` false when the key is absent.
bool descriptor_field(PyObject* dict, Name key, bool& found, std::string& out) {
    PyObject* raw = nullptr;
    const int present = PyDict_GetItemRef(dict, name(key), &raw);
    PyRef value = PyRef::steal(raw);
    if (present < 0) return false;
    found = present > 0;
    if (!found) return true;
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "descriptor field '%U' must be str, not %T", name(key),
                     value.get());
        return false;
    }
    return utf8_of(value.get(), out);
}

PyRef stage_ref_to_py(Name head, std::uint64_t index) {
    PyRef number = new_u64(index);
    if (!number) return {};
    PyRef tuple = PyRef::steal(PyTuple_New(2));
    if (!tuple) return {};
    PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(name(head)));
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
    if (!put(dict.get(), Name::kind, new_string(parsed->kind)) ||
        !put(dict.get(), Name::name, new_string(parsed->name)) ||
        !put(dict.get(), Name::params, PyRef::steal(params_to_py(parsed->params)))) {
        return {};
    }
    PyRef refs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(member.inputs.size())));
    if (!refs) return {};
    for (std::size_t i = 0; i < member.inputs.size(); ++i) {
        const StageRef& ref = member.inputs[i];
        PyRef entry = stage_ref_to_py(ref.kind == StageRef::Kind::Input ? Name::input : Name::member,
                                        ref.index);
        if (!entry) return {};
        PyList_SET_ITEM(refs.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    if (!put(dict.get(), Name::inputs, std::move(refs))) return {};
    return dict;
}

// "kind", "name" and "params" of a node view, in that order.
bool put_head(PyObject* dict, Name kind, std::string_view node_name, const ParamMap& params) {
    return put(dict, Name::kind, PyRef::borrow(name(kind))) &&
           put(dict, Name::name, node_name.empty() ? PyRef::borrow(name(Name::empty)) : new_string(node_name)) &&
           put(dict, Name::params, PyRef::steal(params_to_py(params)));
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
                   put(dict, Name::descriptor, PyRef::steal(descriptor_to_py(n.descriptor)));
        }
        case NodeKey::Kind::Stage: {
            const auto& n = key.as<node::Stage>();
            if (!put_head(dict, Name::stage, {}, ParamMap()) ||
                !put(dict, Name::n_members, new_u64(n.members.size()))) {
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
    if (!put(dict.get(), Name::id, new_u64(id)) ||
        !put(dict.get(), Name::output, PyRef::borrow(is_output ? Py_True : Py_False)) ||
        !put(dict.get(), Name::inputs, PyRef::steal(ids_to_py(key.inputs()))) ||
        !put_kind_fields(dict.get(), key)) {
        return {};
    }
    return dict;
}

}  // namespace

bool prepare_view_keys() {
    for (std::size_t i = 0; i < kNameText.size(); ++i) {
        if (g_names[i].load(std::memory_order_acquire) != nullptr) continue;
        // Kept for the life of the process.
        PyObject* text = PyUnicode_InternFromString(kNameText[i]);
        if (text == nullptr) return false;
        g_names[i].store(text, std::memory_order_release);
    }
    return true;
}

bool string_from_py(PyObject* obj, const char* argname, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %T", argname, obj);
        return false;
    }
    return utf8_of(obj, out);
}

bool ids_from_py(PyObject* obj, const char* argname, std::vector<NodeId>& out) {
    if (PyTuple_CheckExact(obj)) return ids_from_tuple(obj, argname, out);
    if (PyList_CheckExact(obj)) {
        switch (ids_from_exact_list(obj, out)) {
            case FastList::Done: return true;
            case FastList::Failed: return false;
            case FastList::Slow: break;
        }
        PyRef copy = PyRef::steal(PyList_AsTuple(obj));
        return copy && ids_from_tuple(copy.get(), argname, out);
    }
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a sequence of node ids, not %T",
                     argname, obj);
        return false;
    }
    PyRef copy = PyRef::steal(PySequence_Tuple(obj));
    if (!copy) {
        prefix_type_error(argname);
        return false;
    }
    return ids_from_tuple(copy.get(), argname, out);
}

bool flag_from_py(PyObject* obj, const char* argname, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    // A NumPy boolean scalar, recognised by its type's qualified name so that NumPy
    // need not be imported.
    PyRef type_name = PyRef::steal(PyType_GetFullyQualifiedName(Py_TYPE(obj)));
    if (!type_name) return false;
    if (PyUnicode_EqualToUTF8(type_name.get(), "numpy.bool") ||
        PyUnicode_EqualToUTF8(type_name.get(), "numpy.bool_")) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %T", argname, obj);
    return false;
}

bool params_from_py(PyObject* obj, ParamMap& out) {
    if (obj == nullptr || obj == Py_None) {
        out = ParamMap();
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
        return false;
    }
    DictItems items;
    items.load(obj);
    std::vector<ParamMap::Entry> entries;
    entries.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* key = items.key(i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "param keys must be str, not %T", key);
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(key, &size);
        if (data == nullptr) return false;
        std::optional<ParamValue> value = param_value_from_py(items.value(i));
        if (!value) {
            PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
            return false;
        }
        entries.emplace_back(std::string(data, static_cast<std::size_t>(size)), std::move(*value));
    }
    out = ParamMap(std::move(entries));
    return true;
}

namespace {

// An exact int in [0, 2**64); the usual OverflowError otherwise. Runs no Python code.
bool exact_int_to_u64(PyObject* item, NodeId& out) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
        if (value >= 0) {
            out = static_cast<NodeId>(value);
            return true;
        }
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// Copies n bytes; up to 16 with overlapping fixed-size moves instead of a library call,
// since keys and short values are the common case.
void copy_short(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a;
        std::uint32_t b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n > 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n > 16) {
        std::memcpy(dst, src, n);
    }
}

// The UTF-8 bytes of an exact str, copied to `text` at `used` when they fit. False (with
// no error set) when they do not or cannot be had without raising.
bool copy_exact_str(PyObject* str, char* text, std::size_t capacity, std::size_t& used,
                    const char*& data_out, std::size_t& size_out) {
    if (!PyUnicode_CheckExact(str)) return false;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_IS_ASCII(str)) {
        data = static_cast<const char*>(PyUnicode_DATA(str));
        size = PyUnicode_GET_LENGTH(str);
    } else {
        data = PyUnicode_AsUTF8AndSize(str, &size);
        if (data == nullptr) {
            PyErr_Clear();  // the general path raises it again, in its own order
            return false;
        }
    }
    const auto n = static_cast<std::size_t>(size);
    if (n > capacity - used) return false;
    copy_short(text + used, data, n);
    data_out = text + used;
    size_out = n;
    used += n;
    return true;
}

}  // namespace

bool string_view_from_py(PyObject* obj, const char* argname, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %T", argname, obj);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool ids_from_py(PyObject* obj, const char* argname, IdBuffer& out) {
    if (PyList_CheckExact(obj)) {
        // Exact ints are converted in place under the list's critical section, where no
        // Python code runs; anything else goes the general way.
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        NodeId* data = out.prepare(static_cast<std::size_t>(n));  // may throw: outside the section
        FastList state = FastList::Done;
        Py_BEGIN_CRITICAL_SECTION(obj);
        if (PyList_GET_SIZE(obj) != n) {
            state = FastList::Slow;
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GET_ITEM(obj, i);
                if (!PyLong_CheckExact(item)) {
                    state = FastList::Slow;
                    break;
                }
                if (!exact_int_to_u64(item, data[i])) {
                    state = FastList::Failed;
                    break;
                }
            }
        }
        Py_END_CRITICAL_SECTION();
        if (state == FastList::Failed) return false;
        if (state == FastList::Done) {
            out.set_size(static_cast<std::size_t>(n));
            return true;
        }
    } else if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        NodeId* data = out.prepare(static_cast<std::size_t>(n));
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(obj, i);
            if (!PyLong_CheckExact(item)) break;
            if (!exact_int_to_u64(item, data[i])) return false;
        }
        if (i == n) {
            out.set_size(static_cast<std::size_t>(n));
            return true;
        }
    }
    std::vector<NodeId> ids;
    if (!ids_from_py(obj, argname, ids)) return false;
    NodeId* data = out.prepare(ids.size());
    std::copy(ids.begin(), ids.end(), data);
    out.set_size(ids.size());
    return true;
}

namespace {

// A small dict of exact str keys to bool, exact int (within 64 bits), exact float or
// exact str values, converted in one critical section: none of these conversions runs
// Python code, and the text is copied into the buffer so that nothing borrowed from the
// dict outlives the section. False (no error set) leaves it to the general path, which
// gives the same result or the usual error.
bool params_fast(PyObject* dict, InlineBuffer<ParamEntryView, 8>& entries, char* text,
                 std::size_t capacity) {
    const Py_ssize_t n = PyDict_GET_SIZE(dict);
    if (n > 8) return false;
    ParamEntryView* views = entries.prepare(static_cast<std::size_t>(n));  // inline: cannot throw
    std::size_t count = 0;
    std::size_t used = 0;
    const bool ok = visit_dict_items(dict, n, [&](PyObject* key, PyObject* value, std::size_t i) {
        ParamEntryView& e = views[i];
        e.text_data = nullptr;
        e.text_size = 0;
        if (!copy_exact_str(key, text, capacity, used, e.key_data, e.key_size)) return false;
        if (value == Py_True || value == Py_False) {
            e.kind = ParamValue::Kind::Bool;
            e.bits = value == Py_True ? 1 : 0;
        } else if (PyLong_CheckExact(value)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow != 0) return false;  // out of range: the general path makes it a Float
            e.kind = ParamValue::Kind::Int;
            e.bits = static_cast<std::uint64_t>(v);
        } else if (PyFloat_CheckExact(value)) {
            e.kind = ParamValue::Kind::Float;
            e.bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value));
        } else if (copy_exact_str(value, text, capacity, used, e.text_data, e.text_size)) {
            e.kind = ParamValue::Kind::Str;
        } else {
            return false;
        }
        count = i + 1;
        return true;
    });
    if (!ok) return false;
    entries.set_size(count);
    sort_param_views(entries.items());
    return true;
}

}  // namespace

bool params_from_py(PyObject* obj, ParamBuffer& out) {
    if (obj == nullptr || obj == Py_None) {
        out.entries_.prepare(0);
        return true;
    }
    if (PyDict_Check(obj) && params_fast(obj, out.entries_, out.text_, ParamBuffer::kTextBytes)) {
        return true;
    }
    if (!params_from_py(obj, out.fallback_)) return false;
    const std::vector<ParamMap::Entry>& entries = out.fallback_.entries();
    ParamEntryView* views = out.entries_.prepare(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) views[i] = ParamEntryView::of(entries[i]);
    out.entries_.set_size(entries.size());
    return true;
}

bool descriptor_from_py(PyObject* obj, PayloadDescriptor& out) {
    if (const PayloadDescriptor* record = payload_descriptor_record(obj)) {
        out = *record;
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
        return false;
    }
    PayloadDescriptor record;
    {
        PyObject* raw = nullptr;
        const int present = PyDict_GetItemRef(obj, name(Name::preprocessing_ref), &raw);
        PyRef value = PyRef::steal(raw);
        if (present < 0) return false;
        if (present > 0 && value.get() != Py_None) {
            if (!PyUnicode_Check(value.get())) {
                PyErr_Format(PyExc_TypeError,
                             "descriptor field 'preprocessing_ref' must be str or None, not %T",
                             value.get());
                return false;
            }
            std::string text;
            if (!utf8_of(value.get(), text)) return false;
            record.preprocessing_ref = std::move(text);
        }
    }
    const std::pair<Name, std::string PayloadDescriptor::*> required[] = {
        {Name::kind, &PayloadDescriptor::kind},
        {Name::content_hash, &PayloadDescriptor::content_hash},
        {Name::framework, &PayloadDescriptor::framework},
        {Name::version, &PayloadDescriptor::version},
        {Name::io_schema, &PayloadDescriptor::io_schema},
    };
    for (const auto& [key, field] : required) {
        bool found = false;
        if (!descriptor_field(obj, key, found, record.*field)) return false;
        if (!found) {
            PyErr_Format(PyExc_ValueError, "descriptor missing required field '%U'", name(key));
            return false;
        }
    }
    out = std::move(record);
    return true;
}

PyObject* ids_to_py(std::span<const NodeId> ids) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
        if (id == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
}

PyObject* params_to_py(const ParamMap& params) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : params) {
        PyRef py_key = new_string(key);
        if (!py_key) return nullptr;
        PyRef py_value = param_value_to_py(value);
        if (!py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* descriptor_to_py(const PayloadDescriptor& descriptor) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const bool ok =
        put(dict.get(), Name::kind, new_string(descriptor.kind)) &&
        put(dict.get(), Name::content_hash, new_string(descriptor.content_hash)) &&
        put(dict.get(), Name::framework, new_string(descriptor.framework)) &&
        put(dict.get(), Name::version, new_string(descriptor.version)) &&
        put(dict.get(), Name::io_schema, new_string(descriptor.io_schema)) &&
        put(dict.get(), Name::preprocessing_ref,
            descriptor.preprocessing_ref ? new_string(*descriptor.preprocessing_ref)
                                         : PyRef::borrow(Py_None));
    return ok ? dict.release() : nullptr;
}

PyObject* report_to_py(const ReductionReport& report) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const bool ok = put(dict.get(), Name::input_nodes, new_u64(report.input_nodes)) &&
                    put(dict.get(), Name::reachable_nodes, new_u64(report.reachable_nodes)) &&
                    put(dict.get(), Name::canonical_nodes, new_u64(report.canonical_nodes)) &&
                    put(dict.get(), Name::stages, new_u64(report.stages)) &&
                    put(dict.get(), Name::reduced_nodes, new_u64(report.reduced_nodes)) &&
                    put(dict.get(), Name::boundary_nodes, new_u64(report.boundary_nodes));
    return ok ? dict.release() : nullptr;
}

bool node_map_from_py(PyObject* obj, const char* argname, NodeMap& out) {
    const auto refuse = [&] {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a list of None or (int, int or None) tuples",
                     argname);
        return false;
    };
    if (!PyList_Check(obj)) return refuse();
    // A tuple copy, so that another thread cannot change the entries while they are read.
    PyRef entries = PyRef::steal(PyList_AsTuple(obj));
    if (!entries) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(entries.get());
    NodeMap map;
    map.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyTuple_GET_ITEM(entries.get(), i);
        if (entry == Py_None) {
            map.emplace_back();
            continue;
        }
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return refuse();
        PyObject* node = PyTuple_GET_ITEM(entry, 0);
        PyObject* member = PyTuple_GET_ITEM(entry, 1);
        if (!PyLong_Check(node) || (member != Py_None && !PyLong_Check(member))) return refuse();
        Landing landing;
        landing.reduced_node_id = PyLong_AsUnsignedLongLong(node);
        if (landing.reduced_node_id == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return false;
        if (member != Py_None) {
            const unsigned long long index = PyLong_AsUnsignedLongLong(member);
            if (index == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
            landing.member_index = index;
        }
        map.emplace_back(landing);
    }
    out = std::move(map);
    return true;
}

PyObject* node_map_to_py(const NodeMap& map) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(map.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < map.size(); ++i) {
        PyRef entry;
        if (!map[i]) {
            entry = PyRef::borrow(Py_None);
        } else {
            PyRef node = new_u64(map[i]->reduced_node_id);
            if (!node) return nullptr;
            PyRef member = map[i]->member_index ? new_u64(*map[i]->member_index) : PyRef::borrow(Py_None);
            if (!member) return nullptr;
            entry = PyRef::steal(PyTuple_New(2));
            if (!entry) return nullptr;
            PyTuple_SET_ITEM(entry.get(), 0, node.release());
            PyTuple_SET_ITEM(entry.get(), 1, member.release());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list.release();
}

PyObject* nodes_to_py(const GraphStore::Snapshot& snapshot) {
    const std::size_t n = snapshot.arena.size();
    std::vector<bool> is_output(n, false);
    for (NodeId id : snapshot.outputs) {
        if (id < n) is_output[static_cast<std::size_t>(id)] = true;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyRef view = node_to_py(i, snapshot.arena[i], is_output[i]);
        if (!view) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), view.release());
    }
    return list.release();
}

PyObject* string_to_py(const std::string& text) { return new_string(text).release(); }

}  // namespace corvane::py
