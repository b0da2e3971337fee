// Heap classes made the way a class statement makes them.
#pragma once

#include <Python.h>

#include "common/compat.hpp"
#include "common/refs.hpp"

namespace qv {

// class <name>(base): with the given functions, in this order, as method
// descriptors in its own dict. The class is made by calling the metaclass of
// `base` with (name, (base,), {"__module__": module_name, "__qualname__": name}).
//
// Its methods use METH_METHOD and so receive their defining class; the class
// holds a reference to `module` (traversed by the type) so PyType_GetModule
// finds the module's state and globals from it.
inline py::object make_class(PyObject* module, const char* name, const char* module_name, PyObject* base,
                             PyMethodDef* functions) {
    py::object metaclass = borrow(reinterpret_cast<PyObject*>(Py_TYPE(base)));
    py::object name_obj = steal(PyUnicode_FromString(name));
    py::object bases = steal(PyTuple_Pack(1, base));
    py::object ns = steal(PyDict_New());
    py::object modname = steal(PyUnicode_FromString(module_name));
    check(PyDict_SetItemString(ns.ptr(), "__module__", modname.ptr()));
    check(PyDict_SetItemString(ns.ptr(), "__qualname__", name_obj.ptr()));
    py::object cls = call(metaclass.ptr(), {name_obj.ptr(), bases.ptr(), ns.ptr()});
    if (!PyType_Check(cls.ptr()) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls.ptr()), Py_TPFLAGS_HEAPTYPE)) {
        PyErr_Format(PyExc_TypeError, "the metaclass of %R did not make a heap type", base);
        throw py::error_already_set();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    compat::set_type_module(type, module);

    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        py::object descr = steal(PyDescr_NewMethod(type, def));
        check(PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()));
    }
    return cls;
}

// Flags of every method of our classes.
inline constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

}  // namespace qv

// A method-table entry for a PyCMethod function.
#define QV_METHOD(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), qv::kMethodFlags, doc}

// A method-table entry for a module function (METH_FASTCALL | METH_KEYWORDS).
#define QV_FUNCTION(name, fn, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, doc}
