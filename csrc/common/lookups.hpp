// The pretrained-attribute lookups that both extensions offer: reads of
// `pretrained_dendrite` that let an absent object (None) through as None.
#pragma once

#include <Python.h>

#include "common/module.hpp"

namespace qv {

// The module function `name(pretrained_dendrite, key_param)` of the extension
// whose state is `State`: None when the object is None (its key is not looked
// at), else read(module, object, key).
template <class State, class Read>
PyObject* lookup_or_none(PyObject* module, const char* name, const char* key_param, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, Read&& read) noexcept {
    const Signature<2> sig{name, {"pretrained_dendrite", key_param}};
    return Entry<State>::function(module, sig, args, nargs, kwnames, [&](const ModuleRef<State>& m, const auto& bound) -> py::object {
        if (bound[0] == Py_None) return py::none();
        return read(m, bound[0], bound[1]);
    });
}

// get_pretrained_zor_attr, the same in both extensions.
template <class State>
PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return lookup_or_none<State>(module, "get_pretrained_zor_attr", "member", args, nargs, kwnames,
                                 [](const ModuleRef<State>&, PyObject* obj, PyObject* member) {
                                     return getattr(obj, member);
                                 });
}

inline constexpr char get_pretrained_zor_attr_doc[] = R"(get_pretrained_zor_attr($module, /, pretrained_dendrite, member)
--

getattr(pretrained_dendrite, member), or None when pretrained_dendrite is None.)";

}  // namespace qv
