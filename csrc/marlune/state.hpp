// Module state of quorvane.marlune: the interned names its functions use.
//
// The module object itself is reached from module functions through `self`,
// and from the clean class's methods through the class (see module_of).
#pragma once

#include <Python.h>

#include "common/refs.hpp"
#include "marlune/forward.hpp"
#include "marlune/walk.hpp"

namespace marlune {

namespace py = pybind11;

inline constexpr const char* kFile = "quorvane/marlune";

// Interned names of the module body and the constructor. forward.hpp and
// walk.hpp list the names of their own code; a name appears in one list only.
#define MARLUNE_CORE_NAMES(X)                                                                  \
    X(GZR) X(pc) X(copy) X(nn) X(torch) X(pdb) X(Thread) X(doing_threading) X(ModuleType)       \
    X(Module) X(ZORModulePyThread) X(__init__) X(register_buffer) X(layer_array)                \
    X(processor_array) X(skip_weights) X(node_index) X(num_cycles) X(view_tuple) X(clone) X(detach)

#define MARLUNE_NAMES(X) MARLUNE_CORE_NAMES(X) MARLUNE_FORWARD_NAMES(X) MARLUNE_WALK_NAMES(X)

struct ForwardState;

struct State {
#define MARLUNE_DECLARE(name) PyObject* name;
    MARLUNE_NAMES(MARLUNE_DECLARE)
#undef MARLUNE_DECLARE
    ForwardState* forward_pass;  // made by the first forward call (forward.cpp)
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// The module that created `defining_class` (set when the class is made).
inline PyObject* module_of(PyTypeObject* defining_class) {
    PyObject* m = PyType_GetModule(defining_class);
    if (m == nullptr) throw py::error_already_set();
    return m;
}

extern PyModuleDef module_def;

}  // namespace marlune
