// The constructor of the block layer class ZORLayer.
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace ostrelle {

// ZORLayer.__init__(self, layer_array, processor_array, dendrites_to_top,
//                   dendrites_to_dendrites, node_index, num_cycles, view_tuple)
qv::MethodFunction block_init;
extern const char block_init_doc[];

// Interned names used only by the block layer's constructor (see state.hpp).
#define OSTRELLE_BLOCK_NAMES(X)                                                                       \
    X(register_buffer) X(tensor) X(layer_array) X(num_cycles) X(view_tuple) X(processor_array)            \
    X(skip_weights) X(ParameterList) X(append) X(node_index) X(internal_nonlinearity)                      \
    X(get_zor_forward_function)

}  // namespace ostrelle
