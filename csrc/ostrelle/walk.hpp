// optimize_module and blockwise_network.
#pragma once

#include <Python.h>

#include "common/classes.hpp"

namespace ostrelle {

PyObject* optimize_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* blockwise_network(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Method-table entries, and their names in namespace order.
#define OSTRELLE_WALK_FUNCTIONS                                                                             \
    QV_FUNCTION("optimize_module", ostrelle::optimize_module,                                               \
                "optimize_module($module, /, net, depth, name_so_far, converted_list)\n--\n\n"              \
                "Replace, in place, every trained ZORNeuronModule among the children of net by\n"           \
                "its ZORLayer block, and walk every other child module the same way. The path of\n"         \
                "each child walked into is appended to converted_list; attribute paths already\n"           \
                "in it are skipped. Returns net."),                                                         \
    QV_FUNCTION("blockwise_network", ostrelle::blockwise_network,                                           \
                "blockwise_network($module, /, net)\n--\n\n"                                                \
                "Convert every trained ZORNeuronModule of the network net to a ZORLayer block,\n"           \
                "in place, and return net."),
#define OSTRELLE_WALK_FUNCTION_NAMES "optimize_module", "blockwise_network",

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_WALK_NAMES(X)                                                                             \
    X(optimize_module) X(convert_to_zor_layer_block) X(ZORNeuronModule) X(ModuleList)          \
    X(named_children) X(get_submodule) X(get_extra_verbose) X(get_module_names_to_not_save)        \
    X(print) X(__getattribute__)

}  // namespace ostrelle
