// optimize_module and blockwise_network.
#pragma once

#include <Python.h>

namespace ostrelle {

// Method-table entries, and their names in namespace order.
#define OSTRELLE_WALK_FUNCTIONS
#define OSTRELLE_WALK_FUNCTION_NAMES

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_WALK_NAMES(X)

}  // namespace ostrelle
