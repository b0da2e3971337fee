// quorvane.marlune: module state, module body, module definition.
//
// The body binds the namespace in a fixed order; every function reads these
// names from the namespace when it runs, so rebinding one from outside takes
// effect at the next use.
#include <Python.h>

#include <initializer_list>
#include <string_view>

#include "common/globals.hpp"
#include "common/module_init.hpp"
#include "marlune/clean_module.hpp"
#include "marlune/forward.hpp"
#include "marlune/state.hpp"
#include "marlune/walk.hpp"

namespace marlune {

namespace {

int intern_names(State& st) {
#define MARLUNE_INTERN(name) \
    if ((st.name = PyUnicode_InternFromString(#name)) == nullptr) return -1;
    MARLUNE_NAMES(MARLUNE_INTERN)
#undef MARLUNE_INTERN
    return 0;
}

void release_names(State& st) {
#define MARLUNE_RELEASE(name) Py_CLEAR(st.name);
    MARLUNE_NAMES(MARLUNE_RELEASE)
#undef MARLUNE_RELEASE
}

PyMethodDef module_functions[] = {
    MARLUNE_MODULE_FUNCTIONS
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef* function_named(const char* name) {
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def)
        if (std::string_view(def->ml_name) == name) return def;
    PyErr_Format(PyExc_SystemError, "marlune: no function %s", name);
    throw py::error_already_set();
}

void bind_functions(PyObject* m, std::initializer_list<const char*> names) {
    for (const char* name : names) qv::bind_function(m, function_named(name));
}

int exec_module(PyObject* m) noexcept {
    return qv::run_module_body([m] {
        State& st = state_of(m);
        if (intern_names(st) < 0) throw py::error_already_set();
        PyObject* ns = PyModule_GetDict(m);

        // The settings module first: without it nothing else is imported.
        qv::bind_name(ns, st.GZR, qv::import("quorvane.globals_quorvane").ptr());
        qv::bind_name(ns, st.copy, qv::import("copy").ptr());
        qv::bind_name(ns, st.nn, qv::import("torch.nn").ptr());
        qv::bind_name(ns, st.torch, qv::import("torch").ptr());
        qv::bind_name(ns, st.pdb, qv::import("pdb").ptr());
        qv::bind_name(ns, st.Thread, qv::import_from(qv::import("threading").ptr(), st.Thread).ptr());
        qv::bind_name(ns, st.doing_threading, Py_False);
        qv::bind_name(ns, st.ZORModulePyThread, make_clean_module_class(m).ptr());
        bind_functions(m, MARLUNE_LOOKUP_FUNCTION_NAMES);
        qv::bind_name(ns, st.ModuleType, qv::global(ns, st.ZORModulePyThread).ptr());
        qv::bind_name(ns, st.doing_threading, Py_False);
        bind_functions(m, MARLUNE_WALK_FUNCTION_NAMES);
    });
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
    if (State* st = static_cast<State*>(PyModule_GetState(m))) return traverse_forward_state(*st, visit, arg);
    return 0;
}

int clear_module(PyObject* m) {
    if (State* st = static_cast<State*>(PyModule_GetState(m))) {
        release_forward_state(*st);
        release_names(*st);
    }
    return 0;
}

void free_module(void* m) { clear_module(static_cast<PyObject*>(m)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane.marlune",
    "Inference clean-up: replaces every ZORLayer block of a network by a ZORModulePyThread.",
    sizeof(State),
    nullptr,  // functions are bound by the body, in namespace order
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace marlune

PyMODINIT_FUNC PyInit_marlune(void) { return PyModuleDef_Init(&marlune::module_def); }
