// Python-function argument binding for METH_FASTCALL | METH_KEYWORDS.
//
// Our functions take only required positional-or-keyword parameters. `bind`
// assigns the vectorcall arguments to them exactly as CPython binds a call to
// a `def` of the same signature, and fails with CPython's own TypeError texts,
// checked in CPython's order: keywords first, then surplus positionals, then
// missing arguments.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "refs.hpp"

namespace qv {

// The parameter list of one function. For a method, `params[0]` is "self" and
// `has_self` is true: the bound instance then fills it and counts in the
// positional totals, as it does for a Python method.
template <std::size_t N>
struct Signature {
    const char* qualname;  // as CPython names it in messages ("refresh_net", "ZORLayer.__init__")
    std::array<const char*, N> params;
    bool has_self = false;
};

namespace detail {

[[noreturn]] inline void type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw py::error_already_set();
}

inline std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// Raises the TypeError that a `def` named `qualname` with these parameters
// raises when called with the keyword `key` it does not have. The interpreter
// itself makes the text: from 3.13 on it adds "Did you mean ...?" for a close
// parameter name, chosen by rules that may change between versions. Compiling
// a function each time is fine on this path, which only ends in an error.
[[noreturn]] inline void unexpected_keyword(const char* qualname, const char* const* params, std::size_t n,
                                            PyObject* key) {
    std::string source = "def f(";
    for (std::size_t j = 0; j < n; ++j) source += std::string(j ? ", " : "") + params[j];
    source += "):\n    pass\n";
    py::object code = steal(Py_CompileString(source.c_str(), "<signature>", Py_file_input));
    py::object globals = steal(PyDict_New());
    py::object builtins = steal(PyDict_New());
    check(PyDict_SetItemString(globals.ptr(), "__builtins__", builtins.ptr()));
    steal(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
    PyObject* found = PyDict_GetItemString(globals.ptr(), "f");
    if (found == nullptr) throw std::logic_error("unexpected_keyword: no function");
    py::object function = borrow(found);
    py::object name = steal(PyUnicode_FromString(qualname));
    check(PyObject_SetAttrString(function.ptr(), "__qualname__", name.ptr()));
    py::object no_args = steal(PyTuple_New(0));
    py::object kwargs = steal(PyDict_New());
    check(PyDict_SetItem(kwargs.ptr(), key, Py_None));
    // The call fails while binding, before the function's frame runs: the
    // TypeError it leaves set is the one to raise, with no traceback of its own.
    PyObject* result = PyObject_Call(function.ptr(), no_args.ptr(), kwargs.ptr());
    if (result == nullptr) throw py::error_already_set();
    Py_DECREF(result);
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname, key);
    throw py::error_already_set();
}

}  // namespace detail

// Binds (self, args[0:nargs], kwnames) to `sig`. Returns borrowed references,
// valid for the duration of the call (the caller owns the argument array).
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    const std::size_t first = sig.has_self ? 1 : 0;
    if (sig.has_self) out[0] = self;
    const Py_ssize_t given = nargs + static_cast<Py_ssize_t>(first);
    const Py_ssize_t capacity = static_cast<Py_ssize_t>(N);

    for (Py_ssize_t i = 0; i < nargs && static_cast<std::size_t>(i) + first < N; ++i) out[first + i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) detail::type_error(std::string(sig.qualname) + "() keywords must be strings");
        std::size_t slot = N;
        for (std::size_t j = 0; j < N; ++j) {
            if (PyUnicode_CompareWithASCIIString(key, sig.params[j]) == 0) {
                slot = j;
                break;
            }
        }
        if (slot == N) detail::unexpected_keyword(sig.qualname, sig.params.data(), N, key);
        if (out[slot] != nullptr) {
            detail::type_error(std::string(sig.qualname) + "() got multiple values for argument " +
                               detail::quoted(sig.params[slot]));
        }
        out[slot] = args[nargs + k];
    }

    if (given > capacity) {
        detail::type_error(std::string(sig.qualname) + "() takes " + std::to_string(capacity) + " positional argument" +
                           (capacity == 1 ? "" : "s") + " but " + std::to_string(given) +
                           (given == 1 ? " was" : " were") + " given");
    }

    std::vector<const char*> absent;
    for (std::size_t j = 0; j < N; ++j)
        if (out[j] == nullptr) absent.push_back(sig.params[j]);
    const std::size_t missing = absent.size();
    std::string names;
    if (missing > 0) {
        if (missing == 1) {
            names = detail::quoted(absent[0]);
        } else if (missing == 2) {
            names = detail::quoted(absent[0]) + " and " + detail::quoted(absent[1]);
        } else {
            for (std::size_t j = 0; j + 1 < missing; ++j) names += detail::quoted(absent[j]) + ", ";
            names += "and " + detail::quoted(absent[missing - 1]);
        }
        detail::type_error(std::string(sig.qualname) + "() missing " + std::to_string(missing) +
                           " required positional argument" + (missing == 1 ? "" : "s") + ": " + names);
    }
    return out;
}

// Collects the keyword part of a vectorcall into a new dict, as `**kwargs`.
inline py::object kwargs_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::object d = steal(PyDict_New());
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        check(PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
    return d;
}

// Collects positional arguments into a new tuple, as `*args`.
inline py::object args_tuple(PyObject* const* args, Py_ssize_t nargs) {
    py::object t = steal(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(t.ptr(), i, args[i]);
    }
    return t;
}

}  // namespace qv
