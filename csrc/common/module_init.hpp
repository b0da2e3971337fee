// Helpers for a module body run from Py_mod_exec.
#pragma once

#include <Python.h>

#include "common/errors.hpp"
#include "common/refs.hpp"

namespace qv {

// namespace[name] = value
inline void bind_name(PyObject* module_dict, PyObject* name, PyObject* value) {
    check(PyDict_SetItem(module_dict, name, value));
}

// `import dotted.name`, returning the named module itself (not its package).
inline py::object import(const char* dotted) { return steal(PyImport_ImportModule(dotted)); }

// `from module import name`, with the ImportError text of the import statement.
inline py::object import_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value != nullptr) return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    PyObject* modname = PyModule_Check(module) ? PyModule_GetNameObject(module) : nullptr;
    if (modname == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U'", name);
    } else {
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, modname);
        Py_DECREF(modname);
    }
    throw py::error_already_set();
}

// Binds the module function `def` (METH_FASTCALL | METH_KEYWORDS) under its
// name; the function reports the module's name as its __module__.
inline void bind_function(PyObject* module, PyMethodDef* def) {
    py::object modname = steal(PyModule_GetNameObject(module));
    py::object fn = steal(PyCMethod_New(def, module, modname.ptr(), nullptr));
    check(PyObject_SetAttrString(module, def->ml_name, fn.ptr()));
}

// Runs a module body; any failure leaves the Python error set and gives -1,
// so the import fails with that exception.
template <class Body>
int run_module_body(Body&& body) noexcept {
    try {
        // Every py::error_already_set needs pybind11's internals when it is
        // destroyed; made lazily, they would first be made wherever the first
        // error happens, which can be at the recursion limit, where making
        // them fails and pybind11 recurses until the C stack runs out.
        py::detail::get_internals();
        body();
        return 0;
    } catch (...) {
        set_python_error_from_current();
    }
    return -1;
}

}  // namespace qv
