// Module state of quorvane.ostrelle: the interned names its functions use.
//
// The module object is reached from module functions through `self`, and from
// the block class's constructor through the class (see module_of).
#pragma once

#include <Python.h>

#include "common/refs.hpp"

namespace ostrelle {

namespace py = pybind11;

inline constexpr const char* kFile = "quorvane/ostrelle";

// Every interned name, by identifier.
#define OSTRELLE_NAMES(X)                                                                   \
    X(GZR) X(ZR) X(UZR) X(nn) X(torch) X(pdb) X(np) X(string) X(copy) X(pc) X(Module)        \
    X(ZORLayer) X(__init__)

struct State {
#define OSTRELLE_DECLARE(name) PyObject* name;
    OSTRELLE_NAMES(OSTRELLE_DECLARE)
#undef OSTRELLE_DECLARE
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

}  // namespace ostrelle
