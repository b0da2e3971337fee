// How both walks look at one member of a module they walk through __dir__():
// the class-level property test, the read test (the probe), and the type of
// what reading the member gives.
//
// Most members a walk meets are methods and plain class attributes, and each
// is read several times only to learn the type of what was read. Where the
// class dicts alone fix that outcome, it is told from them, without making
// (and dropping) bound methods or raising (and clearing) AttributeError; this
// runs no Python code, so it changes nothing a reader could see. Anything less
// plain takes the ordinary read.
#pragma once

#include <Python.h>

#include <atomic>

#include "common/compat.hpp"
#include "common/refs.hpp"

namespace qv {

namespace detail {

// The tp_getattro CPython gives a class with a Python-level __getattr__: it runs
// __getattribute__ and falls back to __getattr__ only on AttributeError. Found
// from a class made for the purpose; a C function, so it may live in a static.
inline std::atomic<getattrofunc> getattr_hook{nullptr};

[[gnu::noinline]] inline getattrofunc find_getattr_hook_slot() {
    py::object name = text("_getattr_hook_probe");
    py::object bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::object ns = steal(PyDict_New());
    check(PyDict_SetItemString(ns.ptr(), "__getattr__", Py_None));
    py::object cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.ptr(), bases.ptr(), ns.ptr()});
    const getattrofunc found = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_getattro;
    getattr_hook.store(found, std::memory_order_relaxed);
    return found;
}

inline getattrofunc getattr_hook_slot() {
    const getattrofunc found = getattr_hook.load(std::memory_order_relaxed);
    return found != nullptr ? found : find_getattr_hook_slot();
}

// True when instances of `type` look attributes up as object.__getattribute__
// does (a Python-level __getattr__ only runs when that lookup fails).
inline bool generic_lookup(PyTypeObject* type, PyObject* getattribute_name) {
    if (type->tp_getattro == PyObject_GenericGetAttr) return true;
    if (type->tp_getattro != getattr_hook_slot()) return false;
    PyObject* getattribute = compat::type_lookup(type, getattribute_name);
    return getattribute != nullptr && compat::wraps_slot(getattribute, reinterpret_cast<void*>(PyObject_GenericGetAttr));
}

// isinstance(obj, property). The common plain kinds report their own class and
// need no __class__ read.
inline bool is_property(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (obj == Py_None || t == &PyFunction_Type || t == &PyCFunction_Type || t == &PyMethodDescr_Type ||
        t == &PyWrapperDescr_Type) {
        return false;
    }
    if (t == &PyProperty_Type) return true;
    return check(PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyProperty_Type))) != 0;
}

}  // namespace detail

// True when getattr(obj, name) is sure to give a new bound method of a plain
// function found on obj's class: the lookup is the generic one, the class has
// a function of that name, and the instance dict does not shadow it.
inline bool reads_as_method(PyObject* obj, PyObject* name, PyObject* getattribute_name) {
    if (!PyUnicode_CheckExact(name)) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (!detail::generic_lookup(type, getattribute_name)) return false;
    PyObject* found = compat::type_lookup(type, name);
    if (found == nullptr || !PyFunction_Check(found)) return false;
    if (!compat::has_instance_dict(type)) return true;
    py::object dict = steal(PyObject_GenericGetDict(obj, nullptr));
    return PyDict_Check(dict.ptr()) && check(PyDict_Contains(dict.ptr(), name)) == 0;
}

// isinstance(getattr(type(obj), name, None), property). When the metaclass
// reads attributes the way `type` does and has no attribute of that name, the
// read gives None for a name the class lacks (parameters, children, instance
// attributes), the function itself for a plain function and the property
// itself for a property; none of these needs the read.
inline bool class_attr_is_property(PyObject* obj, PyObject* name) {
    PyTypeObject* cls = Py_TYPE(obj);
    PyTypeObject* meta = Py_TYPE(reinterpret_cast<PyObject*>(cls));
    if (PyUnicode_CheckExact(name) && meta->tp_getattro == PyType_Type.tp_getattro &&
        compat::type_lookup(meta, name) == nullptr) {
        PyObject* found = compat::type_lookup(cls, name);
        if (found == nullptr || PyFunction_Check(found)) return false;
        if (Py_IS_TYPE(found, &PyProperty_Type)) return true;
    }
    py::object held = type_of(obj);
    return detail::is_property(getattr_or_none(held.ptr(), name).ptr());
}

// The read test of a walk: getattr(obj, name, None), the value dropped. False
// when the read raised an ordinary error, and the member is to be skipped;
// a missing attribute reads as None and is no reason to skip. RecursionError
// (the walk near the limit) and any BaseException that is not an Exception
// (KeyboardInterrupt, SystemExit) are not the member's fault: they propagate.
inline bool probe(PyObject* obj, PyObject* name, PyObject* getattribute_name) {
    if (reads_as_method(obj, name, getattribute_name)) return true;
    PyObject* value = nullptr;
    if (compat::lookup_optional_attr(obj, name, &value) >= 0) {
        Py_XDECREF(value);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_RecursionError)) {
        PyErr_Clear();
        return false;
    }
    throw py::error_already_set();
}

// Whether a walk looks at `name` of `obj` at all: not when the class holds a
// property of that name (its getter never runs), nor when the probe fails.
inline bool member_is_readable(PyObject* obj, PyObject* name, PyObject* getattribute_name) {
    return !class_attr_is_property(obj, name) && probe(obj, name, getattribute_name);
}

// type(getattr(obj, name, None)), owned.
inline py::object member_type(PyObject* obj, PyObject* name, PyObject* getattribute_name) {
    if (reads_as_method(obj, name, getattribute_name)) return borrow(reinterpret_cast<PyObject*>(&PyMethod_Type));
    py::object value = getattr_or_none(obj, name);
    return type_of(value.ptr());
}

}  // namespace qv
