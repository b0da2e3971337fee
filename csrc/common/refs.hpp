// Owned references and small operations over the CPython C API.
//
// Every C API result that is a new reference goes straight into a py::object
// (steal), every borrowed one is turned into an owned one before anything else
// can run Python code (borrow). A value that is only looked at before any code
// can run travels as a py::handle or a plain PyObject*. A NULL result means a
// Python error is set, and is turned into py::error_already_set so that the
// entry point can restore it.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <stdexcept>
#include <pybind11/pybind11.h>

#include "common/compat.hpp"

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

// type(obj), owned: code that runs while it is in use may reassign obj.__class__.
inline py::object type_of(PyObject* obj) { return borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))); }

// Python truth test.
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// getattr(obj, name)
inline py::object getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }

// getattr(obj, name), or a null object when obj has no such attribute; any
// other exception propagates.
inline py::object getattr_if_present(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (check(compat::lookup_optional_attr(obj, name, &value)) == 0) return py::object();
    return steal(value);
}

// getattr(obj, name, None): a missing attribute reads as None, any other
// exception propagates.
inline py::object getattr_or_none(PyObject* obj, PyObject* name) {
    py::object value = getattr_if_present(obj, name);
    return value ? value : py::none();
}

// hasattr(obj, name): only AttributeError counts as absent.
inline bool hasattr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    const int found = check(compat::lookup_optional_attr(obj, name, &value));
    Py_XDECREF(value);
    return found != 0;
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

// a + b, Python's `+`.
inline py::object add(PyObject* a, PyObject* b) { return steal(PyNumber_Add(a, b)); }

// A new str.
inline py::object text(const char* s) { return steal(PyUnicode_FromString(s)); }

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

// issubclass(cls, base)
inline bool is_subclass(PyObject* cls, PyObject* base) { return check(PyObject_IsSubclass(cls, base)) != 0; }

// body(item) for each item the iterator `it` yields; `item` is owned by the
// loop for the duration of the body.
template <class Body>
void for_each_next(PyObject* it, Body&& body) {
    while (PyObject* next = PyIter_Next(it)) {
        py::object item = steal(next);
        body(item.ptr());
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// `for item in iterable: body(item)`
template <class Body>
void for_each(PyObject* iterable, Body&& body) {
    py::object it = steal(PyObject_GetIter(iterable));
    for_each_next(it.ptr(), body);
}

}  // namespace qv
