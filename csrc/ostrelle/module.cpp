// quorvane.ostrelle: module state, module body, module definition.
//
// The body binds the namespace in a fixed order; every function reads these
// names from the namespace when it runs, so rebinding one from outside takes
// effect at the next use.
#include <Python.h>

#include <initializer_list>
#include <string_view>

#include "common/globals.hpp"
#include "common/module_init.hpp"
#include "ostrelle/block_layer.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

int intern_names(State& st) {
#define OSTRELLE_INTERN(name) \
    if ((st.name = PyUnicode_InternFromString(#name)) == nullptr) return -1;
    OSTRELLE_NAMES(OSTRELLE_INTERN)
#undef OSTRELLE_INTERN
    return 0;
}

void release_names(State& st) {
#define OSTRELLE_RELEASE(name) Py_CLEAR(st.name);
    OSTRELLE_NAMES(OSTRELLE_RELEASE)
#undef OSTRELLE_RELEASE
}

PyMethodDef module_functions[] = {
    OSTRELLE_CONVERSION_FUNCTIONS
    OSTRELLE_LOOKUP_FUNCTIONS
    OSTRELLE_WALK_FUNCTIONS
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef* function_named(const char* name) {
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def)
        if (std::string_view(def->ml_name) == name) return def;
    PyErr_Format(PyExc_SystemError, "ostrelle: no function %s", name);
    throw py::error_already_set();
}

int exec_module(PyObject* m) noexcept {
    return qv::run_module_body([m] {
        State& st = state_of(m);
        if (intern_names(st) < 0) throw py::error_already_set();
        PyObject* ns = PyModule_GetDict(m);

        // The sibling modules first: a missing one fails before torch loads.
        qv::bind_name(ns, st.GZR, qv::import("quorvane.globals_quorvane").ptr());
        qv::bind_name(ns, st.ZR, qv::import("quorvane.modules_quorvane").ptr());
        qv::bind_name(ns, st.UZR, qv::import("quorvane.utils_quorvane").ptr());
        qv::bind_name(ns, st.nn, qv::import("torch.nn").ptr());
        qv::bind_name(ns, st.torch, qv::import("torch").ptr());
        qv::bind_name(ns, st.pdb, qv::import("pdb").ptr());
        qv::bind_name(ns, st.np, qv::import("numpy").ptr());
        qv::bind_name(ns, st.string, qv::import("string").ptr());
        qv::bind_name(ns, st.copy, qv::import("copy").ptr());
        qv::bind_name(ns, st.ZORLayer, make_block_layer_class(m).ptr());
        const std::initializer_list<const char*> names = {
            OSTRELLE_CONVERSION_FUNCTION_NAMES OSTRELLE_LOOKUP_FUNCTION_NAMES OSTRELLE_WALK_FUNCTION_NAMES};
        for (const char* name : names) qv::bind_function(m, function_named(name));
    });
}

int traverse_module(PyObject*, visitproc, void*) { return 0; }

int clear_module(PyObject* m) {
    if (State* st = static_cast<State*>(PyModule_GetState(m))) release_names(*st);
    return 0;
}

void free_module(void* m) { clear_module(static_cast<PyObject*>(m)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane.ostrelle",
    "Blockwise conversion: replaces every trained ZORNeuronModule of a network by a ZORLayer block.",
    sizeof(State),
    nullptr,  // functions are bound by the body, in namespace order
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

}  // namespace ostrelle

PyMODINIT_FUNC PyInit_ostrelle(void) { return PyModuleDef_Init(&ostrelle::module_def); }
