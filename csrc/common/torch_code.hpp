// Telling torch's own methods from replacements installed over them.
//
// Fast paths that stand in for a torch method are only taken while that method
// is torch's own, unpatched.
#pragma once

#include <Python.h>

#include <string_view>

#include "common/compat.hpp"

namespace qv {

// True when `fn` is a Python function whose code comes from a file whose path
// ends with `dir` + `suffix`, with either separator.
inline bool defined_in(PyObject* fn, std::string_view dir, std::string_view suffix) {
    if (fn == nullptr || !PyFunction_Check(fn)) return false;
    Py_ssize_t size = 0;
    const char* file = PyUnicode_AsUTF8AndSize(compat::function_filename(fn), &size);
    if (file == nullptr) {
        PyErr_Clear();
        return false;
    }
    const std::string_view path(file, static_cast<std::size_t>(size));
    const std::size_t want = dir.size() + suffix.size();
    if (path.size() < want) return false;
    const std::string_view tail = path.substr(path.size() - want);
    for (std::size_t i = 0; i < want; ++i) {
        const char expected = i < dir.size() ? dir[i] : suffix[i - dir.size()];
        const char got = tail[i] == '\\' ? '/' : tail[i];
        if (got != expected) return false;
    }
    return true;
}

// True when `fn` is a Python function whose code comes from torch's file whose
// path ends with `suffix` ("nn/modules/module.py"), so a replacement installed
// on the class (a wrapper, even one made with functools.wraps) is not taken
// for torch's own.
inline bool defined_by_torch(PyObject* fn, std::string_view suffix) { return defined_in(fn, "torch/", suffix); }

// Whether `fn` is torch's own function named `name` from the file ending in `suffix`.
inline bool torch_function_named(PyObject* fn, std::string_view suffix, const char* name) {
    if (!defined_by_torch(fn, suffix)) return false;
    return PyUnicode_CompareWithASCIIString(compat::function_code_name(fn), name) == 0;
}

}  // namespace qv
