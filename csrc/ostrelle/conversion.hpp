// unWrap_params and convert_to_zor_layer_block.
#pragma once

#include <Python.h>

namespace ostrelle {

// Method-table entries, and their names in namespace order.
#define OSTRELLE_CONVERSION_FUNCTIONS
#define OSTRELLE_CONVERSION_FUNCTION_NAMES

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_CONVERSION_NAMES(X)

}  // namespace ostrelle
