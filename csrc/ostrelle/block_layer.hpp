// The block layer class ZORLayer.
#pragma once

#include <Python.h>

#include "common/refs.hpp"

namespace ostrelle {

// Creates the class as a class statement would (base: the current nn.Module,
// its metaclass) with its constructor, tied to `module` for state lookups.
pybind11::object make_block_layer_class(PyObject* module);

}  // namespace ostrelle
