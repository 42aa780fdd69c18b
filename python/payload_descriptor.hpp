// A payload descriptor on the Python side: the PayloadDescriptor class, an immutable
// value object holding one record with six read-only properties, and the dict form of a
// record, which node views show and which add_external also accepts.
#pragma once

#include "pyref.hpp"

#include "node.hpp"

namespace corvane::py {

// Creates the type once per process (caller holds the init mutex).
bool ensure_payload_descriptor_type();
PyTypeObject* payload_descriptor_type() noexcept;
// The record held by `obj`, or null when `obj` is not a PayloadDescriptor.
const PayloadDescriptor* payload_descriptor_record(PyObject* obj) noexcept;

// A PayloadDescriptor object, or a dict with the five required str fields and an
// optional preprocessing_ref (str or None): TypeError for another type, naming the field
// for a field of another type; ValueError for a missing field. Fields are checked
// preprocessing_ref first, then in the constructor's order.
bool descriptor_from_py(PyObject* obj, PayloadDescriptor& out);

// The dict form, of a record or a borrowed one, or an empty owner with an error set.
PyRef descriptor_to_py(const DescriptorView& descriptor);
PyRef descriptor_to_py(const PayloadDescriptor& descriptor);

}  // namespace corvane::py
