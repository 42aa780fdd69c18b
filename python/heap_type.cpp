#include "heap_type.hpp"

#include <cstring>

namespace corvane::py {

PyObject* make_type(PyType_Spec& spec) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return nullptr;
    // The PyType_Spec name is a string literal, so the bare part outlives the type. The type
    // is not published yet, so no other thread can read tp_name while it changes.
    if (const char* dot = std::strrchr(spec.name, '.'); dot != nullptr) {
        PyTypeObject* as_type = reinterpret_cast<PyTypeObject*>(type);
        as_type->tp_name = dot + 1;
        PyType_Modified(as_type);
    }
    return type;
}

PyObject* new_by_vectorcall(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(reinterpret_cast<PyObject*>(type), args, kwargs);
}

}  // namespace corvane::py
