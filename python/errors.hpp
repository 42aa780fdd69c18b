// Error translation for the Python surface. Core error values become ValueError with
// fixed messages; a C++ exception becomes the module's internal-fault exception (a
// direct BaseException subclass), or MemoryError for an allocation failure. Every
// method body runs inside `guarded`, so no C++ exception ever reaches the interpreter.
#pragma once

#include "pyref.hpp"

#include "bad_node_id.hpp"
#include "blob.hpp"

namespace corvane::py {

// Creates the internal-fault class once per process (caller holds the init mutex).
bool ensure_fault_type();

// Each sets the Python error for one core error value and returns null.
PyObject* raise_error(const BadNodeId& error) noexcept;
PyObject* raise_error(const DecodeError& error) noexcept;
PyObject* raise_error(const BlobTooLarge& error) noexcept;
// Sets the Python error for the C++ exception being handled; call only inside a catch.
void raise_current_exception() noexcept;

// Prefixes a pending TypeError with "argument '<name>': ".
void prefix_type_error(const char* argname) noexcept;

// Runs `fn` (which returns a new reference or null with an error set) and turns any C++
// exception it throws into the matching Python error.
template <class Fn>
PyObject* guarded(Fn&& fn) noexcept {
    try {
        return std::forward<Fn>(fn)();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace corvane::py
