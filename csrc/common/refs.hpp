// Owned references and small call helpers over the CPython C API.
//
// Every C API result that is a new reference goes straight into a py::object
// (steal), every borrowed one is turned into an owned one before anything else
// can run Python code (borrow). A NULL result means a Python error is set, and
// is turned into py::error_already_set so that the entry point can restore it.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <stdexcept>
#include <pybind11/pybind11.h>

namespace qv {

namespace py = pybind11;

// Owns `o`, a new reference; throws if it is NULL (a Python error is set).
inline py::object steal(PyObject* o) {
    if (o == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// Takes a new reference to `o`, a borrowed reference that must not be NULL.
inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

// Throws when a C API status (-1 on error) reports failure.
inline int check(int rc) {
    if (rc < 0) throw py::error_already_set();
    return rc;
}

// Python truth test.
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// getattr(obj, name)
inline py::object getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }

// getattr(obj, name, None): a missing attribute reads as None, any other
// exception propagates.
inline py::object getattr_or_none(PyObject* obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (v == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    return py::reinterpret_steal<py::object>(v);
}

// hasattr(obj, name): only AttributeError counts as absent.
inline bool hasattr(PyObject* obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (v == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    Py_DECREF(v);
    return true;
}

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

// callable(*args)
inline py::object call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return steal(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()), args.size(), nullptr));
}

// self.name(*args), looked up as a method call does.
inline py::object call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    PyObject* stack[8];
    if (args.size() >= 8) throw std::length_error("call_method: too many arguments");
    stack[0] = self;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// a != b, with the result tested for truth, as `if a != b:` does. No identity
// shortcut: a class's own __ne__ runs even when both sides are one object.
inline bool not_equal(PyObject* a, PyObject* b) {
    py::object r = steal(PyObject_RichCompare(a, b, Py_NE));
    return truthy(r.ptr());
}

// a == b, with the result tested for truth.
inline bool equal(PyObject* a, PyObject* b) {
    py::object r = steal(PyObject_RichCompare(a, b, Py_EQ));
    return truthy(r.ptr());
}

// `item in container`
inline bool contains(PyObject* container, PyObject* item) { return check(PySequence_Contains(container, item)) != 0; }

}  // namespace qv
