// unWrap_params and convert_to_zor_layer_block.
#pragma once

#include <Python.h>

#include "common/classes.hpp"

namespace ostrelle {

PyObject* unwrap_params(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* convert_to_zor_layer_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;

// Method-table entries, and their names in namespace order.
#define OSTRELLE_CONVERSION_FUNCTIONS                                                                     \
    QV_FUNCTION("unWrap_params", ostrelle::unwrap_params,                                                 \
                "unWrap_params($module, /, model)\n--\n\n"                                                \
                "Delete the training-time attribute 'wrapped' from every parameter of model\n"            \
                "that lists it."),                                                                        \
    QV_FUNCTION("convert_to_zor_layer_block", ostrelle::convert_to_zor_layer_block,                       \
                "convert_to_zor_layer_block($module, /, pretrained_dendrite)\n--\n\n"                     \
                "Build the ZORLayer block for one trained ZORNeuronModule: its dendrite layers\n"         \
                "and main module, their processors (switched to their block-layer functions),\n"          \
                "its skip weights, node index, cycle count and broadcast shape."),
#define OSTRELLE_CONVERSION_FUNCTION_NAMES "unWrap_params", "convert_to_zor_layer_block",

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_CONVERSION_NAMES(X)                                                                      \
    X(unWrap_params) X(parameters) X(wrapped) X(dendrite_module) X(layers) X(processors)       \
    X(pre) X(post) X(pre_d) X(post_d) X(post_n1) X(post_n2) X(main_module) X(processor)                  \
    X(dendrite_values) X(this_output_dimensions) X(this_node_index) X(dendrites_to_top)                   \
    X(dendrites_to_dendrites) X(Tensor) X(Parameter) X(_C) X(_is_torch_function_mode_enabled) X(__dict__) X(__mro__)

}  // namespace ostrelle
