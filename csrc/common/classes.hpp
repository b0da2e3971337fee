// Heap classes made the way a class statement makes them.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <forward_list>
#include <string>

#include "common/compat.hpp"
#include "common/refs.hpp"

namespace qv {

// A class's __init__ is a method descriptor of our own type rather than
// CPython's method_descriptor. It behaves as method_descriptor does when read
// through the class, called unbound (with the same TypeError texts and the same
// recursion check) and bound to an instance (a builtin method that receives the
// defining class), but binding it to any other object gives a bound method, as a
// Python function's __get__ does: inspect.signature(cls) on 3.12.3 and later
// binds the class's __init__ to the class itself, which method_descriptor
// refuses. A wrongly bound method still fails when called.
//
// Every other function of a class is CPython's own method_descriptor: the one
// kind of C method that TorchDynamo's public polyfill registry
// (torch.compiler.substitute_in_graph) accepts and binds to an instance.
namespace method_descr {

struct Object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef* def;
    PyTypeObject* cls;         // the defining class (owned)
    PyObject* name;            // str
    PyObject* qualname;        // "<class qualname>.<name>"
    PyObject* doc;             // the docstring without its signature line, or None
    PyObject* text_signature;  // "($self, /, ...)", or None
};

inline Object* as_descr(PyObject* o) { return reinterpret_cast<Object*>(o); }

// Type-checks `self` and calls the C function with the defining class.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Object* d = as_descr(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", d->qualname);
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], d->cls)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     d->name, d->cls->tp_name, Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    auto meth = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)()>(d->def->ml_meth));
    PyObject* result = meth(args[0], d->cls, args + 1, nargs - 1, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    Object* d = as_descr(self);
    if (obj == nullptr) return Py_NewRef(self);
    if (PyObject_TypeCheck(obj, d->cls)) return PyCMethod_New(d->def, obj, nullptr, d->cls);
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* self) noexcept {
    Object* d = as_descr(self);
    return PyUnicode_FromFormat("<method '%U' of '%s' objects>", d->name, d->cls->tp_name);
}

// Pickled by reference, as getattr(cls, name).
inline PyObject* reduce(PyObject* self, PyObject*) noexcept {
    Object* d = as_descr(self);
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return nullptr;
    PyObject* getattr_fn = PyObject_GetAttrString(builtins, "getattr");
    Py_DECREF(builtins);
    if (getattr_fn == nullptr) return nullptr;
    return Py_BuildValue("N(OO)", getattr_fn, reinterpret_cast<PyObject*>(d->cls), d->name);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Object* d = as_descr(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(d->cls));
    return 0;
}

inline void dealloc(PyObject* self) noexcept {
    Object* d = as_descr(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(d->cls);
    Py_CLEAR(d->name);
    Py_CLEAR(d->qualname);
    Py_CLEAR(d->doc);
    Py_CLEAR(d->text_signature);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// On 3.10 and 3.11 a type made by PyType_FromSpec keeps a pointer to the name it was given,
// so each name lives as long as the process (one per module name).
inline const char* type_name(const char* module_name) {
    static std::forward_list<std::string> names;
    const std::string wanted = std::string(module_name) + ".method_descriptor";
    for (const std::string& n : names)
        if (n == wanted) return n.c_str();
    names.push_front(wanted);
    return names.front().c_str();
}

// The descriptor type of one class; its __module__ is the class's module, so
// the functions report it as Python functions do.
inline py::object make_type(const char* module_name) {
    PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Object, vectorcall), READONLY, nullptr},
        {"__objclass__", T_OBJECT_EX, offsetof(Object, cls), READONLY, nullptr},
        {"__name__", T_OBJECT_EX, offsetof(Object, name), READONLY, nullptr},
        {"__qualname__", T_OBJECT_EX, offsetof(Object, qualname), READONLY, nullptr},
        {"__doc__", T_OBJECT_EX, offsetof(Object, doc), READONLY, nullptr},
        {"__text_signature__", T_OBJECT_EX, offsetof(Object, text_signature), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_members, members},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec type_spec{type_name(module_name), static_cast<int>(sizeof(Object)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     slots};
    return steal(PyType_FromSpec(&type_spec));
}

// The descriptor of `def` (METH_METHOD | METH_FASTCALL | METH_KEYWORDS) for `cls`.
inline py::object make(PyObject* descr_type, PyTypeObject* cls, PyMethodDef* def) {
    auto* tp = reinterpret_cast<PyTypeObject*>(descr_type);
    py::object self = steal(tp->tp_alloc(tp, 0));
    Object* d = as_descr(self.ptr());
    d->vectorcall = vectorcall;
    d->def = def;
    d->cls = reinterpret_cast<PyTypeObject*>(borrow(reinterpret_cast<PyObject*>(cls)).release().ptr());
    d->name = steal(PyUnicode_FromString(def->ml_name)).release().ptr();
    py::object cls_qualname = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__qualname__"));
    d->qualname = steal(PyUnicode_FromFormat("%S.%U", cls_qualname.ptr(), d->name)).release().ptr();
    // The interpreter splits the docstring from its signature line for us, as a
    // plain builtin function shows it (a builtin method made with its class
    // reads its __doc__ as None).
    PyMethodDef plain{def->ml_name, def->ml_meth, def->ml_flags & ~METH_METHOD, def->ml_doc};
    py::object probe = steal(PyCFunction_NewEx(&plain, nullptr, nullptr));
    d->doc = steal(PyObject_GetAttrString(probe.ptr(), "__doc__")).release().ptr();
    d->text_signature = steal(PyObject_GetAttrString(probe.ptr(), "__text_signature__")).release().ptr();
    return self;
}

}  // namespace method_descr

// class <name>(base): with the given functions, in this order, as method
// descriptors in its own dict (__init__ of our own type, the others CPython's:
// see method_descr above). The class is made by calling the metaclass of
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

    py::object descr_type = method_descr::make_type(module_name);
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        py::object descr = std::strcmp(def->ml_name, "__init__") == 0 ? method_descr::make(descr_type.ptr(), type, def)
                                                                       : steal(PyDescr_NewMethod(type, def));
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
