// Module functions of quorvane.marlune: the lookups, make_module and the walk.
#pragma once

#include <Python.h>

namespace marlune {

// Method-table entries of the module functions.
#define MARLUNE_MODULE_FUNCTIONS

// Names bound right after the class, and after ModuleType, in that order.
#define MARLUNE_LOOKUP_NAMES {}
#define MARLUNE_WALK_NAMES {}

}  // namespace marlune
