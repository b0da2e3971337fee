// Module state of quorvane.ostrelle: the interned names its functions use.
//
// The module object is reached from module functions through `self`, and from
// the block class's constructor through the class (see module_of).
#pragma once

#include <Python.h>

#include "common/refs.hpp"
#include "ostrelle/conversion.hpp"
#include "ostrelle/lookups.hpp"
#include "ostrelle/walk.hpp"

namespace ostrelle {

namespace py = pybind11;

inline constexpr const char* kFile = "quorvane/ostrelle";

// Interned names of the module body. conversion.hpp, lookups.hpp and walk.hpp
// list the names of their own code; a name appears in one list only.
#define OSTRELLE_CORE_NAMES(X) \
    X(GZR) X(ZR) X(UZR) X(nn) X(torch) X(pdb) X(np) X(string) X(copy) X(pc) X(Module) X(ZORLayer) X(__init__) \
    X(__dir__) X(Sequential)

// Names used only by the block layer's constructor.
#define OSTRELLE_BLOCK_NAMES(X)                                                                       \
    X(register_buffer) X(tensor) X(layer_array) X(num_cycles) X(view_tuple) X(processor_array)            \
    X(skip_weights) X(ParameterList) X(append) X(node_index) X(internal_nonlinearity)                      \
    X(get_zor_forward_function)

#define OSTRELLE_NAMES(X) \
    OSTRELLE_CORE_NAMES(X) OSTRELLE_BLOCK_NAMES(X) OSTRELLE_CONVERSION_NAMES(X) OSTRELLE_LOOKUP_NAMES(X) OSTRELLE_WALK_NAMES(X)

struct State {
#define OSTRELLE_DECLARE(name) PyObject* name;
    OSTRELLE_NAMES(OSTRELLE_DECLARE)
#undef OSTRELLE_DECLARE
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

}  // namespace ostrelle
