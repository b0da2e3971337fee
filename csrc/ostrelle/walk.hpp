// optimize_module and blockwise_network. Each docstring sits beside its
// function's implementation.
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace ostrelle {

qv::ModuleFunction optimize_module, blockwise_network;
extern const char optimize_module_doc[], blockwise_network_doc[];

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_WALK_NAMES(X)                                                                             \
    X(optimize_module) X(convert_to_zor_layer_block) X(ZORNeuronModule) X(ModuleList)          \
    X(named_children) X(get_submodule) X(get_extra_verbose) X(get_module_names_to_not_save)        \
    X(print) X(__getattribute__)

}  // namespace ostrelle
