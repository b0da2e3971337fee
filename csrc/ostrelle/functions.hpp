// Module functions of quorvane.ostrelle: block conversion, lookups, the walk.
#pragma once

#include <Python.h>

namespace ostrelle {

// Method-table entries of the module functions, one macro per source file.
#define OSTRELLE_CONVERSION_FUNCTIONS
#define OSTRELLE_LOOKUP_FUNCTIONS
#define OSTRELLE_WALK_FUNCTIONS

// Names in namespace order, bound after the class.
#define OSTRELLE_FUNCTION_NAMES {}

}  // namespace ostrelle
