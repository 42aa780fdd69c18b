// The PayloadDescriptor Python class: an immutable value object holding one
// PayloadDescriptor record, with six read-only properties.
#pragma once

#include "pyref.hpp"

#include "node.hpp"

namespace corvane::py {

// Creates the type once per process (caller holds the init mutex).
bool ensure_payload_descriptor_type();
PyTypeObject* payload_descriptor_type() noexcept;
// The record held by `obj`, or null when `obj` is not a PayloadDescriptor.
const PayloadDescriptor* payload_descriptor_record(PyObject* obj) noexcept;

}  // namespace corvane::py
