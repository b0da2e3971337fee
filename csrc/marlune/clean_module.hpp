// The constructor of the clean neuron class ZORModulePyThread.
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace marlune {

// ZORModulePyThread.__init__(self, original_module)
qv::MethodFunction clean_init;
extern const char clean_init_doc[];

}  // namespace marlune
