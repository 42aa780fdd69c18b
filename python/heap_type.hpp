// Creation of the module's heap types. Each spec names its type "builtins.<Name>", so the
// interpreter sets __module__ to "builtins" itself (a name without a dot makes 3.14 warn
// that the type has no __module__); the type's tp_name is then cut back to the bare
// class name, which is what error messages and the text signature use.
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
