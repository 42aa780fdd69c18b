// Creation of the module's heap types. Each spec names its type "corvane_core.<Name>", so
// the interpreter sets __module__ to "corvane_core" (pickle finds the class there by
// reference, and help() names the module); the type's tp_name is then cut back to the
// bare class name, which is what the interpreter's own messages about the type use.
#pragma once

#include "pyref.hpp"

namespace corvane::py {

// A new type from `spec` (whose name is a string literal), or null with an error set.
PyObject* make_type(PyType_Spec& spec);

// Casts a C++ method implementation to the PyCFunction slot type of a method table.
template <class Fn>
PyCFunction method_cast(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace corvane::py
