// Creation of the module's heap types. Each spec names its type "corvane_core.<Name>", so
// the interpreter sets __module__ to "corvane_core" (pickle finds the class there by
// reference, and help() names the module); the type's tp_name is then cut back to the
// bare class name, which is what the interpreter's own messages about the type use.
#pragma once

#include "errors.hpp"
#include "pyref.hpp"

namespace corvane::py {

// A new type from `spec` (whose name is a string literal), or null with an error set.
PyObject* make_type(PyType_Spec& spec);

// Casts a C++ method implementation to the PyCFunction slot type of a method table.
template <class Fn>
PyCFunction method_cast(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// The tp_new of every type: a call of Type.__new__ goes through the type's vectorcall, so
// each constructor binds its arguments in one place.
PyObject* new_by_vectorcall(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The tp_vectorcall of a type constructed without arguments by Make(type).
template <PyObject* (*Make)(PyTypeObject*)>
PyObject* vectorcall_without_arguments(PyObject* type, PyObject* const*, size_t nargsf,
                                       PyObject* kwnames) {
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments", cls->tp_name);
        return nullptr;
    }
    return guarded([&] { return Make(cls); });
}

}  // namespace corvane::py
