// Module-global lookup at the moment of use.
//
// Functions of our modules read every module-level name (GZR, nn, Thread,
// ModuleType, the module's own functions, ...) when they need it, as Python
// code does: the module's namespace first, then the builtins. Rebinding a name
// on the module object therefore changes every later call.
#pragma once

#include <Python.h>

#include "refs.hpp"

namespace qv {

// The current value of global `name` (a str) in `module_dict`, else of the
// builtin of that name; NameError with CPython's text when neither has it.
inline py::object global(PyObject* module_dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_dict, name);
    if (value != nullptr) return borrow(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        value = PyDict_GetItemWithError(builtins, name);
        if (value != nullptr) return borrow(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::error_already_set();
}

}  // namespace qv
