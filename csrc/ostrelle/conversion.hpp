// unWrap_params and convert_to_zor_layer_block.
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace ostrelle {

qv::ModuleFunction unwrap_params, convert_to_zor_layer_block;
extern const char unwrap_params_doc[], convert_to_zor_layer_block_doc[];

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_CONVERSION_NAMES(X)                                                                      \
    X(unWrap_params) X(parameters) X(wrapped) X(dendrite_module) X(layers) X(processors)       \
    X(pre) X(post) X(pre_d) X(post_d) X(post_n1) X(post_n2) X(main_module) X(processor)                  \
    X(dendrite_values) X(this_output_dimensions) X(this_node_index) X(dendrites_to_top)                   \
    X(dendrites_to_dendrites) X(Tensor) X(Parameter) X(thread_state_probes) X(torch_function_modes)       \
    X(__dict__) X(__mro__)

}  // namespace ostrelle
