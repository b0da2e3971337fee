// ostrelle's get_pretrained_zor_var (get_pretrained_zor_attr is common/lookups.hpp's).
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace ostrelle {

qv::ModuleFunction get_pretrained_zor_var;
extern const char get_pretrained_zor_var_doc[];

}  // namespace ostrelle
