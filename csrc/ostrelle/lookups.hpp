// ostrelle's get_pretrained_zor_attr and get_pretrained_zor_var.
#pragma once

#include <Python.h>

namespace ostrelle {

// Method-table entries, and their names in namespace order.
#define OSTRELLE_LOOKUP_FUNCTIONS
#define OSTRELLE_LOOKUP_FUNCTION_NAMES

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_LOOKUP_NAMES(X)

}  // namespace ostrelle
