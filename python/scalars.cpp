#include "scalars.hpp"

namespace corvane::py {

bool string_from_py(PyObject* obj, const char* argname, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %T", argname, obj);
        return false;
    }
    return utf8_of(obj, out);
}

bool string_from_py(PyObject* obj, const char* argname, std::string& out) {
    std::string_view text;
    if (!string_from_py(obj, argname, text)) return false;
    out = text;
    return true;
}

bool flag_from_py(PyObject* obj, const char* argname, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyRef type_name = PyRef::steal(PyType_GetFullyQualifiedName(Py_TYPE(obj)));
    if (!type_name) return false;
    if (PyUnicode_EqualToUTF8(type_name.get(), "numpy.bool") ||
        PyUnicode_EqualToUTF8(type_name.get(), "numpy.bool_")) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s' must be bool, not %T", argname, obj);
    return false;
}

}  // namespace corvane::py
