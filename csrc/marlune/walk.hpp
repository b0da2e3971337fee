// Module functions of quorvane.marlune: the lookups, make_module and the walk.
#pragma once

#include <Python.h>

namespace marlune {

// Method-table entries of the module functions.
#define MARLUNE_MODULE_FUNCTIONS

// Names bound right after the class, and after ModuleType, in that order.
#define MARLUNE_LOOKUP_FUNCTION_NAMES {}
#define MARLUNE_WALK_FUNCTION_NAMES {}

// Interned names used only by these functions (see state.hpp).
#define MARLUNE_WALK_NAMES(X)

}  // namespace marlune
