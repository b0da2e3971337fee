// The pretrained-attribute lookups that both extensions offer: reads of
// `pretrained_dendrite` that let an absent object (None) through as None.
#pragma once

#include <Python.h>

#include "calling.hpp"
#include "errors.hpp"

namespace qv {

// The body of `name(pretrained_dendrite, key_param)`, a module function of
// `module` reporting itself in `file`: None when the object is None, else
// read(object, key).
template <class Read>
PyObject* lookup_or_none(PyObject* module, const char* file, const char* name, const char* key_param,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Read&& read) noexcept {
    return entry(PyModule_GetDict(module), {file, name, 1}, [&]() -> py::object {
        const Signature<2> sig{name, {"pretrained_dendrite", key_param}};
        const auto bound = bind(sig, nullptr, args, nargs, kwnames);
        if (bound[0] == Py_None) return py::none();
        return read(bound[0], bound[1]);
    });
}

}  // namespace qv
