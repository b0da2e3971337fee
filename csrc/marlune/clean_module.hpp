// The clean neuron class ZORModulePyThread.
#pragma once

#include <Python.h>

#include "common/refs.hpp"

namespace marlune {

// Creates the class as a class statement would (base: the current nn.Module,
// its metaclass) with its own functions, tied to `module` for state lookups.
pybind11::object make_clean_module_class(PyObject* module);

}  // namespace marlune
