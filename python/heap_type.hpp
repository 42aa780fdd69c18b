// Creation of the module's heap types: from a spec with a bare name (no module prefix),
// so their __module__ is set to "builtins" explicitly.
#pragma once

#include "pyref.hpp"

namespace corvane::py {

// A new type from `spec`, or null with an error set.
PyObject* make_type(PyType_Spec& spec);

// Casts a C++ method implementation to the PyCFunction slot type of a method table.
template <class Fn>
PyCFunction method_cast(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace corvane::py
