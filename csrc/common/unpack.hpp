// `first, second = value`, with the interpreter's error texts.
#pragma once

#include <Python.h>

#include <array>
#include <utility>

#include "common/refs.hpp"

namespace qv {

inline std::pair<py::object, py::object> unpack_two(PyObject* value) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size == 2) {
            PyObject** items = PySequence_Fast_ITEMS(value);
            return {borrow(items[0]), borrow(items[1])};
        }
        if (size > 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        } else {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
        }
        throw py::error_already_set();
    }
    if (Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        throw py::error_already_set();
    }
    py::object it = steal(PyObject_GetIter(value));
    std::array<py::object, 2> got;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(it.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
            throw py::error_already_set();
        }
        got[static_cast<std::size_t>(i)] = steal(next);
    }
    if (PyObject* extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(got[0]), std::move(got[1])};
}

}  // namespace qv
