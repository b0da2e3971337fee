// Module state of quorvane.marlune (the interned names its functions use) and
// how its functions and methods enter with their module at hand.
//
// The module object itself is reached from module functions through `self`,
// and from the clean class's methods through the class (see qv::Entry::method).
#pragma once

#include <Python.h>

#include "common/module.hpp"
#include "marlune/clean_module.hpp"
#include "marlune/forward/forward.hpp"
#include "marlune/walk.hpp"

namespace marlune {

namespace py = pybind11;

// Interned names of the module body and the constructor. forward.hpp and
// walk.hpp list the names of their own code; a name appears in one list only.
#define MARLUNE_CORE_NAMES(X)                                                                  \
    X(GZR) X(pc) X(copy) X(nn) X(torch) X(pdb) X(Thread) X(doing_threading) X(ModuleType)       \
    X(Module) X(ZORModulePyThread) X(__init__) X(register_buffer) X(layer_array)                \
    X(processor_array) X(skip_weights) X(node_index) X(num_cycles) X(view_tuple) X(clone) X(detach) \
    X(clean_module_getattr)

#define MARLUNE_NAMES(X) MARLUNE_CORE_NAMES(X) MARLUNE_FORWARD_NAMES(X) MARLUNE_WALK_NAMES(X)

struct ForwardState;

struct State {
    static constexpr const char* kFile = "quorvane/marlune";  // where tracebacks place our frames
    MARLUNE_NAMES(QV_STATE_MEMBER)
    ForwardState* forward_pass;  // made by the first forward call (forward.cpp)

    // What the forward pass keeps beyond the names (forward.cpp).
    int traverse_more(visitproc visit, void* arg) const;
    void clear_more() noexcept;
};

inline constexpr qv::InternedName<State> kInternedNames[] = {MARLUNE_NAMES(QV_STATE_ENTRY)};

inline State& state_of(PyObject* module) { return qv::state_of<State>(module); }

using ModuleRef = qv::ModuleRef<State>;
using Entry = qv::Entry<State>;

}  // namespace marlune
