// ostrelle's get_pretrained_zor_attr and get_pretrained_zor_var.
#pragma once

#include <Python.h>

#include "common/classes.hpp"

namespace ostrelle {

PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;
PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept;

// Method-table entries, and their names in namespace order.
#define OSTRELLE_LOOKUP_FUNCTIONS                                                                           \
    QV_FUNCTION("get_pretrained_zor_attr", ostrelle::get_pretrained_zor_attr,                               \
                "get_pretrained_zor_attr($module, /, pretrained_dendrite, member)\n--\n\n"                  \
                "None when pretrained_dendrite is None, else getattr(pretrained_dendrite, member)."),       \
    QV_FUNCTION("get_pretrained_zor_var", ostrelle::get_pretrained_zor_var,                                 \
                "get_pretrained_zor_var($module, /, pretrained_dendrite, submodule_id)\n--\n\n"             \
                "None when pretrained_dendrite is None, else pretrained_dendrite[submodule_id]."),
#define OSTRELLE_LOOKUP_FUNCTION_NAMES "get_pretrained_zor_attr", "get_pretrained_zor_var",

// Interned names used only by this code (see state.hpp).
#define OSTRELLE_LOOKUP_NAMES(X)

}  // namespace ostrelle
