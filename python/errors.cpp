#include "errors.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <string>

#include "fault.hpp"

namespace corvane::py {
namespace {

// Written once under the module's init mutex, read by any thread afterwards.
std::atomic<PyObject*> g_fault_type{nullptr};

constexpr const char* kFaultDoc =
    "An internal fault of corvane_core: a broken invariant or a poisoned lock. Not an\n"
    "ordinary error; the object it came from may be unusable.";

void set_fault(const char* message) noexcept {
    PyObject* type = g_fault_type.load(std::memory_order_acquire);
    PyErr_SetString(type != nullptr ? type : PyExc_SystemError, message);
}

}  // namespace

bool ensure_fault_type() {
    if (g_fault_type.load(std::memory_order_acquire) != nullptr) return true;
    PyObject* type = PyErr_NewExceptionWithDoc("corvane_core.InternalFault", kFaultDoc,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) return false;
    // Kept for the life of the process, like the module's types.
    g_fault_type.store(type, std::memory_order_release);
    return true;
}

PyObject* raise_error(const BadNodeId& error) noexcept {
    PyErr_Format(PyExc_ValueError, "no node with id %llu",
                 static_cast<unsigned long long>(error.id));
    return nullptr;
}

PyObject* raise_error(const DecodeError& error) noexcept {
    try {
        const std::string message = error.message();
        PyErr_SetString(PyExc_ValueError, message.c_str());
    } catch (...) {
        raise_current_exception();
    }
    return nullptr;
}

PyObject* raise_error(const BlobTooLarge&) noexcept {
    PyErr_SetString(PyExc_ValueError, kBlobTooLarge);
    return nullptr;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFault& fault) {
        set_fault(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        // Any other C++ exception is a broken invariant as far as Python is concerned.
        set_fault(other.what());
    } catch (...) {
        set_fault("unknown internal fault");
    }
}

void prefix_type_error(const char* argname) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", argname, original.get());
}

}  // namespace corvane::py
