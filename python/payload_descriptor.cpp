#include "payload_descriptor.hpp"

#include <array>
#include <atomic>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "names.hpp"
#include "scalars.hpp"

namespace corvane::py {
namespace {

struct PyPayloadDescriptor {
    PyObject_HEAD PayloadDescriptor record;
};

std::atomic<PyTypeObject*> g_type{nullptr};

constinit Binder<6> g_new_args{"PayloadDescriptor",
                               {keyword("kind"), keyword("content_hash"), keyword("framework"),
                                keyword("version"), keyword("io_schema"),
                                keyword("preprocessing_ref", "None")}};

PyPayloadDescriptor* as_descriptor(PyObject* self) noexcept {
    return reinterpret_cast<PyPayloadDescriptor*>(self);
}

// The required fields, in the constructor's order.
constexpr std::array<std::pair<Name, std::string PayloadDescriptor::*>, 5> kRequiredFields = {{
    {Name::kind, &PayloadDescriptor::kind},
    {Name::content_hash, &PayloadDescriptor::content_hash},
    {Name::framework, &PayloadDescriptor::framework},
    {Name::version, &PayloadDescriptor::version},
    {Name::io_schema, &PayloadDescriptor::io_schema},
}};

// Converts the bound arguments in parameter order and builds the object.
PyObject* make(PyTypeObject* type, const std::array<PyObject*, 6>& args) {
    const std::span<const ArgSpec> specs = g_new_args.table().specs;
    PayloadDescriptor record;
    for (std::size_t i = 0; i < kRequiredFields.size(); ++i) {
        if (!string_from_py(args[i], specs[i].name, record.*kRequiredFields[i].second))
            return nullptr;
    }
    if (args[5] != nullptr && args[5] != Py_None &&
        !string_from_py(args[5], specs[5].name, record.preprocessing_ref.emplace())) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_descriptor(self)->record) PayloadDescriptor(std::move(record));
    return self;
}

PyObject* descriptor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 6> bound{};
        if (!g_new_args.bind(args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
        return make(reinterpret_cast<PyTypeObject*>(type), bound);
    });
}

void descriptor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_descriptor(self)->record.~PayloadDescriptor();
    type->tp_free(self);
    Py_DECREF(type);
}

template <std::string PayloadDescriptor::* Field>
PyObject* get_field(PyObject* self, void*) {
    return guarded([&] { return string_to_py(as_descriptor(self)->record.*Field).release(); });
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::optional<std::string>& ref = as_descriptor(self)->record.preprocessing_ref;
        return ref ? string_to_py(*ref).release() : Py_NewRef(Py_None);
    });
}

// A descriptor pickles and copies by its fields: copyreg.__newobj_ex__(type, (), fields)
// calls the keyword-only constructor again, under every pickle protocol.
PyObject* reduce_for_pickle(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const PayloadDescriptor& record = as_descriptor(self)->record;
        PyRef fields = descriptor_to_py(record);
        if (!fields) return nullptr;
        PyRef newobj = PyRef::steal(PyImport_ImportModuleAttrString("copyreg", "__newobj_ex__"));
        if (!newobj) return nullptr;
        return Py_BuildValue("(O(O()O))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                             fields.get());
    });
}

PyMethodDef g_methods[] = {
    {"__reduce__", reduce_for_pickle, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"kind", get_field<&PayloadDescriptor::kind>, nullptr, nullptr, nullptr},
    {"content_hash", get_field<&PayloadDescriptor::content_hash>, nullptr, nullptr, nullptr},
    {"framework", get_field<&PayloadDescriptor::framework>, nullptr, nullptr, nullptr},
    {"version", get_field<&PayloadDescriptor::version>, nullptr, nullptr, nullptr},
    {"io_schema", get_field<&PayloadDescriptor::io_schema>, nullptr, nullptr, nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Field `key` of a descriptor dict, copied into `out`; `found` is false when the key is
// absent (or None, where `optional`).
bool descriptor_field(PyObject* dict, Name key, bool optional, std::string& out, bool& found) {
    PyObject* raw = nullptr;
    const int present = PyDict_GetItemRef(dict, name(key), &raw);
    PyRef value = PyRef::steal(raw);
    if (present < 0) return false;
    found = present > 0 && !(optional && value.get() == Py_None);
    if (!found) return true;
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError,
                     optional ? "descriptor field '%U' must be str or None, not %T"
                              : "descriptor field '%U' must be str, not %T",
                     name(key), value.get());
        return false;
    }
    std::string_view text;
    if (!utf8_of(value.get(), text)) return false;
    out = text;
    return true;
}

constexpr const char* kDoc =
    "Reproducibility metadata an External node carries (participates in the structural hash).";

}  // namespace

bool ensure_payload_descriptor_type() {
    if (g_type.load(std::memory_order_acquire) != nullptr) return true;
    const bool prepared = prepare_methods(g_methods, {g_new_args.table()});
    const char* doc =
        prepared ? class_doc("PayloadDescriptor", g_new_args.table().specs, kDoc) : nullptr;
    if (doc == nullptr) return false;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(new_by_vectorcall)},
        {Py_tp_vectorcall, reinterpret_cast<void*>(descriptor_vectorcall)},
        {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
        {Py_tp_getset, g_getset},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {"corvane_core.PayloadDescriptor",
                        static_cast<int>(sizeof(PyPayloadDescriptor)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = make_type(spec);
    if (type == nullptr) return false;
    g_type.store(reinterpret_cast<PyTypeObject*>(type), std::memory_order_release);
    return true;
}

PyTypeObject* payload_descriptor_type() noexcept { return g_type.load(std::memory_order_acquire); }

const PayloadDescriptor* payload_descriptor_record(PyObject* obj) noexcept {
    PyTypeObject* type = payload_descriptor_type();
    if (type == nullptr || !Py_IS_TYPE(obj, type)) return nullptr;
    return &as_descriptor(obj)->record;
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
    std::string ref;
    bool found = false;
    if (!descriptor_field(obj, Name::preprocessing_ref, true, ref, found)) return false;
    if (found) record.preprocessing_ref = std::move(ref);
    for (const auto& [key, field] : kRequiredFields) {
        if (!descriptor_field(obj, key, false, record.*field, found)) return false;
        if (!found) {
            PyErr_Format(PyExc_ValueError, "descriptor missing required field '%U'", name(key));
            return false;
        }
    }
    out = std::move(record);
    return true;
}

PyRef descriptor_to_py(const DescriptorView& descriptor) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    const std::array<std::pair<Name, std::string_view>, 5> fields = {{
        {Name::kind, descriptor.kind},
        {Name::content_hash, descriptor.content_hash},
        {Name::framework, descriptor.framework},
        {Name::version, descriptor.version},
        {Name::io_schema, descriptor.io_schema},
    }};
    for (const auto& [key, field] : fields) {
        if (!put(dict.get(), key, string_to_py(field))) return {};
    }
    PyRef ref =
        descriptor.has_ref ? string_to_py(descriptor.preprocessing_ref) : PyRef::borrow(Py_None);
    if (!put(dict.get(), Name::preprocessing_ref, std::move(ref))) return {};
    return dict;
}

PyRef descriptor_to_py(const PayloadDescriptor& descriptor) {
    return descriptor_to_py(descriptor_view(descriptor));
}

}  // namespace corvane::py
