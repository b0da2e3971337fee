// Module state of quorvane.ostrelle (the interned names its functions use) and
// how its functions and the block class's constructor enter with their module
// at hand.
//
// The module object is reached from module functions through `self`, and from
// the block class's constructor through the class (see qv::Entry::method).
#pragma once

#include <Python.h>

#include "common/module.hpp"
#include "ostrelle/block_layer.hpp"
#include "ostrelle/conversion.hpp"
#include "ostrelle/lookups.hpp"
#include "ostrelle/walk.hpp"

namespace ostrelle {

namespace py = pybind11;

// Interned names of the module body. block_layer.hpp, conversion.hpp and
// walk.hpp list the names of their own code; a name appears in one list only.
#define OSTRELLE_CORE_NAMES(X) \
    X(GZR) X(ZR) X(UZR) X(nn) X(torch) X(pdb) X(np) X(string) X(copy) X(pc) X(Module) X(ZORLayer) X(__init__) \
    X(__dir__) X(Sequential)

#define OSTRELLE_NAMES(X) \
    OSTRELLE_CORE_NAMES(X) OSTRELLE_BLOCK_NAMES(X) OSTRELLE_CONVERSION_NAMES(X) OSTRELLE_WALK_NAMES(X)

struct State {
    static constexpr const char* kFile = "quorvane/ostrelle";  // where tracebacks place our frames
    OSTRELLE_NAMES(QV_STATE_MEMBER)
};

inline constexpr qv::InternedName<State> kInternedNames[] = {OSTRELLE_NAMES(QV_STATE_ENTRY)};

using ModuleRef = qv::ModuleRef<State>;
using Entry = qv::Entry<State>;

}  // namespace ostrelle
