// Single values between Python and C++: str as UTF-8, bool, and ints in [0, 2**64). Every
// other conversion of the surface builds on these. The *_from_py functions return false
// with a Python error set; the *_to_py functions return an owner that is empty, with a
// Python error set, on failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace corvane::py {

// The UTF-8 form of a str (or subclass), borrowed from it: valid while `str` lives. False
// with the encoding error set for a str that has none (a lone surrogate). Runs no Python
// code; ASCII text is read in place.
inline bool utf8_of(PyObject* str, std::string_view& out) noexcept {
    if (PyUnicode_IS_ASCII(str)) {
        out = {static_cast<const char*>(PyUnicode_DATA(str)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
        return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return false;
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

// A str (or subclass) argument as UTF-8, borrowed (valid while `obj` lives) or copied;
// TypeError naming `argname` for another type.
bool string_from_py(PyObject* obj, const char* argname, std::string_view& out);
bool string_from_py(PyObject* obj, const char* argname, std::string& out);

// string_from_py with the common case, a str, read in line.
inline bool string_arg(PyObject* obj, const char* argname, std::string_view& out) {
    return PyUnicode_Check(obj) ? utf8_of(obj, out) : string_from_py(obj, argname, out);
}

// A bool, or a NumPy boolean scalar (recognised by its type's name, so that NumPy need
// not be imported); TypeError naming `argname` otherwise.
bool flag_from_py(PyObject* obj, const char* argname, bool& out);

// An int (or subclass) in [0, 2**64); OverflowError otherwise. Runs no Python code.
inline bool u64_from_int(PyObject* obj, std::uint64_t& out) noexcept {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {
        const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
        if (value >= 0) {
            out = static_cast<std::uint64_t>(value);
            return true;
        }
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

inline PyRef string_to_py(std::string_view text) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline PyRef u64_to_py(std::uint64_t value) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(value));
}

}  // namespace corvane::py
