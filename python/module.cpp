// The corvane_core extension module: multi-phase initialisation whose execution step
// adds GraphStore, PayloadDescriptor, IncrementalReducer and version(), in that order,
// each appended to __all__. The types are created once per process and shared by every
// module object, so the module declares that it supports only the main interpreter.

#include "pyref.hpp"

#include "args.hpp"
#include "errors.hpp"
#include "graph_store.hpp"
#include "incremental_reducer.hpp"
#include "names.hpp"
#include "payload_descriptor.hpp"

namespace corvane::py {
namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(CORVANE_VERSION); }

PyMethodDef g_functions[] = {
    {"version", version, METH_NOARGS, ""},
    {nullptr, nullptr, 0, nullptr},
};

// Guards the one-time creation of the types and of the interned names. PyMutex detaches
// the thread from the interpreter while it waits, so waiting cannot deadlock with the GIL.
PyMutex g_init_mutex{};

bool ensure_process_objects() {
    PyMutex_Lock(&g_init_mutex);
    bool ok = false;
    try {
        ok = ensure_fault_type() && prepare_names() && prepare_methods(g_functions, {}, nullptr) &&
             ensure_payload_descriptor_type() && ensure_graph_store_type() &&
             ensure_incremental_reducer_type();
    } catch (...) {
        raise_current_exception();
    }
    PyMutex_Unlock(&g_init_mutex);
    return ok;
}

// Sets module.<name> = obj and appends name to __all__ (created on first use).
bool add_public(PyObject* module, const char* name, PyObject* obj) {
    if (PyModule_AddObjectRef(module, name, obj) < 0) return false;
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* raw = nullptr;
    if (PyDict_GetItemStringRef(dict, "__all__", &raw) < 0) return false;
    PyRef all = PyRef::steal(raw);
    if (!all) {
        all = PyRef::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "corvane_core.__all__ must be a list");
        return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "corvane_core can only initialise a module object");
        return -1;
    }
    if (!ensure_process_objects()) return -1;
    if (!add_public(module, "GraphStore", reinterpret_cast<PyObject*>(graph_store_type())) ||
        !add_public(module, "PayloadDescriptor",
                    reinterpret_cast<PyObject*>(payload_descriptor_type())) ||
        !add_public(module, "IncrementalReducer",
                    reinterpret_cast<PyObject*>(incremental_reducer_type()))) {
        return -1;
    }
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef version_fn = PyRef::steal(PyCFunction_NewEx(&g_functions[0], nullptr, module_name.get()));
    if (!version_fn || !add_public(module, "version", version_fn.get())) return -1;
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "corvane_core", "", 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace corvane::py

PyMODINIT_FUNC PyInit_corvane_core() { return PyModuleDef_Init(&corvane::py::g_module_def); }
