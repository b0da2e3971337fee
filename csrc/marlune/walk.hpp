// Module functions of quorvane.marlune: the lookups, make_module and the walk.
// Each docstring sits beside its function's implementation.
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace marlune {

// lookups.cpp
qv::ModuleFunction get_pretrained_zor_var, make_module;
extern const char get_pretrained_zor_var_doc[], make_module_doc[];

// walk.cpp
qv::ModuleFunction refresh_zor, refresh_net;
extern const char refresh_zor_doc[], refresh_net_doc[];

// Interned names used only by these functions (see state.hpp).
#define MARLUNE_WALK_NAMES(X)                                                                   \
    X(get_submodule) X(make_module) X(refresh_zor) X(get_pretrained_zor_attr)                     \
    X(get_pretrained_zor_var) X(get_extra_verbose) X(get_modules_to_track)                        \
    X(get_module_names_to_not_save) X(Sequential) X(ModuleList) X(named_children) X(__dir__)      \
    X(__name__) X(__getattribute__) X(device) X(dtype) X(ZORLayer) X(print)

}  // namespace marlune
