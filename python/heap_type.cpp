#include "heap_type.hpp"

namespace corvane::py {

PyObject* make_type(PyType_Spec& spec) {
    PyRef type = PyRef::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    PyTypeObject* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    PyRef dict = PyRef::steal(PyType_GetDict(as_type));
    if (!dict) return nullptr;
    PyRef module = PyRef::steal(PyUnicode_InternFromString("builtins"));
    if (!module || PyDict_SetItemString(dict.get(), "__module__", module.get()) < 0) return nullptr;
    PyType_Modified(as_type);
    return type.release();
}

}  // namespace corvane::py
