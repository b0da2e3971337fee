// Module functions of quorvane.marlune: the lookups, make_module and the walk.
#pragma once

#include <Python.h>

#include "common/classes.hpp"

namespace marlune {

// lookups.cpp
PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept;
PyObject* make_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// walk.cpp
PyObject* refresh_zor(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* refresh_net(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Method-table entries of the module functions.
#define MARLUNE_MODULE_FUNCTIONS                                                                        \
    QV_FUNCTION("get_pretrained_zor_attr", marlune::get_pretrained_zor_attr,                            \
                "get_pretrained_zor_attr($module, /, pretrained_dendrite, member)\n--\n\n"              \
                "The attribute `member` of `pretrained_dendrite`, or None when\n"                       \
                "`pretrained_dendrite` is None."),                                                      \
    QV_FUNCTION("get_pretrained_zor_var", marlune::get_pretrained_zor_var,                              \
                "get_pretrained_zor_var($module, /, pretrained_dendrite, submodule_id)\n--\n\n"         \
                "pretrained_dendrite.get_submodule(submodule_id), or None when\n"                       \
                "`pretrained_dendrite` is None."),                                                      \
    QV_FUNCTION("make_module", marlune::make_module,                                                    \
                "make_module($module, /, module)\n--\n\n"                                               \
                "A new clean module built from the block layer `module` by the class\n"                 \
                "currently bound to ModuleType."),                                                      \
    QV_FUNCTION("refresh_zor", marlune::refresh_zor,                                                    \
                "refresh_zor($module, /, net, depth, name_so_far, converted_list)\n--\n\n"              \
                "Walk `net` depth-first, replacing every ZORLayer below it by a clean\n"                \
                "module, and return what is to stand in `net`'s place: `net`, or its\n"                 \
                "replacement when `net` is itself a ZORLayer. `converted_list` collects\n"              \
                "the paths descended into and is extended in place."),                                  \
    QV_FUNCTION("refresh_net", marlune::refresh_net,                                                    \
                "refresh_net($module, /, pretrained_dendrite)\n--\n\n"                                  \
                "Clean a whole network: every ZORLayer becomes a ZORModulePyThread.\n"                  \
                "Returns the network, or a new module when the root is a ZORLayer."),

// Names bound right after the class, and after ModuleType, in that order.
#define MARLUNE_LOOKUP_FUNCTION_NAMES {"get_pretrained_zor_attr", "get_pretrained_zor_var"}
#define MARLUNE_WALK_FUNCTION_NAMES {"make_module", "refresh_zor", "refresh_net"}

// Interned names used only by these functions (see state.hpp).
#define MARLUNE_WALK_NAMES(X)                                                                   \
    X(get_submodule) X(make_module) X(refresh_zor) X(get_pretrained_zor_attr)                     \
    X(get_pretrained_zor_var) X(get_extra_verbose) X(get_modules_to_track)                        \
    X(get_module_names_to_not_save) X(Sequential) X(ModuleList) X(named_children) X(__dir__)      \
    X(__name__) X(__getattribute__) X(device) X(dtype) X(ZORLayer) X(print)

}  // namespace marlune
