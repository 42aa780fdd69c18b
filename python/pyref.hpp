// The one way the Python surface includes Python.h, and the owner of a strong
// reference: every PyObject* the surface creates lives in a PyRef until it is handed to
// the interpreter, so every error path releases exactly what it built.
#pragma once

#define PY_SSIZE_T_CLEAN
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-align"
#endif
#include <Python.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <utility>

namespace corvane::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Gives the reference away (to a caller or to a stealing API).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace corvane::py
