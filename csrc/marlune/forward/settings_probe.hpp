// Whether reading the dendrite nonlinearity from the settings runs only the
// package's own getter, which reads one attribute of the settings object.
#pragma once

#include <Python.h>

#include "common/module_members.hpp"
#include "common/refs.hpp"
#include "common/torch_code.hpp"

namespace marlune {

class SettingsProbe {
public:
    // Finds quorvane.globals_quorvane.ZORSettings and its getter; if either is
    // not the package's own, every answer is no.
    void init(PyObject* getter_name) {
        getter_name_ = qv::borrow(getter_name);
        PyObject* module = PyImport_ImportModule("quorvane.globals_quorvane");
        PyObject* cls = module ? PyObject_GetAttrString(module, "ZORSettings") : nullptr;
        Py_XDECREF(module);
        if (cls == nullptr || !PyType_Check(cls)) {
            Py_XDECREF(cls);
            PyErr_Clear();
            return;
        }
        settings_class_ = qv::steal(cls);
        PyObject* getter = qv::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls), getter_name);
        if (qv::defined_in(getter, "quorvane/", "globals_quorvane.py")) getter_ = qv::borrow(getter);
    }

    // `module.pc.get_zor_forward_function()` runs only that getter: `module` is
    // a plain module whose dict holds `pc`, an instance of the package's own
    // settings class with its own getter, not shadowed on the instance.
    bool pure_read(PyObject* module, PyObject* pc_name) {
        if (!getter_ || !PyModule_CheckExact(module)) return false;
        PyObject* settings = PyDict_GetItemWithError(PyModule_GetDict(module), pc_name);
        if (settings == nullptr) {
            PyErr_Clear();
            return false;
        }
        PyTypeObject* tp = Py_TYPE(settings);
        if (reinterpret_cast<PyObject*>(tp) != settings_class_.ptr() || tp->tp_getattro != PyObject_GenericGetAttr)
            return false;
        if (!own_getter_.holds(tp)) {
            if (qv::compat::type_lookup(tp, getter_name_.ptr()) != getter_.ptr()) return false;
            own_getter_.remember(tp);
        }
        py::object held = qv::borrow(settings);
        py::object dict = qv::instance_dict(settings);
        return dict && PyDict_Contains(dict.ptr(), getter_name_.ptr()) == 0;
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(getter_name_.ptr());
        Py_VISIT(settings_class_.ptr());
        Py_VISIT(getter_.ptr());
        return own_getter_.traverse(visit, arg);
    }

private:
    py::object getter_name_, settings_class_, getter_;
    qv::ClassMemo own_getter_;
};

}  // namespace marlune
