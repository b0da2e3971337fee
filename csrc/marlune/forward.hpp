// The forward pass of ZORModulePyThread: forward and its two workers.
#pragma once

#include <Python.h>

namespace marlune {

// Method-table entries for the forward pass, in namespace order after __init__.
#define MARLUNE_FORWARD_METHODS

// Interned names used only by the forward pass (see state.hpp).
#define MARLUNE_FORWARD_NAMES(X)

}  // namespace marlune
