// What both extension modules are made of: module state holding interned
// names, a module body run from Py_mod_exec that binds the namespace in a fixed
// order, and the way each function or method enters with its module at hand.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "common/calling.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "common/refs.hpp"

namespace qv {

// The C signatures of our module functions (METH_FASTCALL | METH_KEYWORDS,
// called with the module) and of our classes' methods (METH_METHOD |
// METH_FASTCALL | METH_KEYWORDS, called with the class that defines them). A
// header declares such functions as `qv::ModuleFunction name, other;`.
using ModuleFunction = PyObject*(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
using MethodFunction = PyObject*(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept;

// --- module state ---------------------------------------------------------------

// One interned str of a module's state: its text and the State member holding it.
template <class State>
struct InternedName {
    const char* text;
    PyObject* State::*slot;
};

// Module state is a struct of interned strs (never Python objects in C++
// statics). Each extension lists the names in an X-macro; these declare the
// members and the table that fills them.
#define QV_STATE_MEMBER(name) PyObject* name;
#define QV_STATE_ENTRY(name) {#name, &State::name},

template <class State>
State& state_of(PyObject* module) {
    return *static_cast<State*>(PyModule_GetState(module));
}

// The module definition of an extension whose state is `State`, with the
// names in `Names` interned into it when the body starts and released with
// the module.
template <class State, const auto& Names>
struct ModuleDefinition {
    static void intern_names(State& st) {
        for (const InternedName<State>& name : Names) {
            st.*(name.slot) = PyUnicode_InternFromString(name.text);
            if (st.*(name.slot) == nullptr) throw py::error_already_set();
        }
    }

    // The names are strs, which cannot be part of a reference cycle; a state
    // that holds more says so with traverse_more and clear_more.
    static int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
        if constexpr (requires(const State& st) { st.traverse_more(visit, arg); }) {
            if (auto* st = static_cast<State*>(PyModule_GetState(module))) return st->traverse_more(visit, arg);
        }
        return 0;
    }

    static int clear(PyObject* module) noexcept {
        if (auto* st = static_cast<State*>(PyModule_GetState(module))) {
            if constexpr (requires(State& s) { s.clear_more(); }) st->clear_more();
            for (const InternedName<State>& name : Names) Py_CLEAR(st->*(name.slot));
        }
        return 0;
    }

    static void free(void* module) noexcept { clear(static_cast<PyObject*>(module)); }

    // Runs the module body `Body(module, namespace, state)` after interning
    // the names; any failure leaves the Python error set and gives -1, so the
    // import fails with that exception.
    template <void (*Body)(PyObject*, PyObject*, const State&)>
    static int exec(PyObject* module) noexcept {
        try {
            // Every py::error_already_set needs pybind11's internals when it is
            // destroyed; made lazily, they would first be made wherever the
            // first error happens, which can be at the recursion limit, where
            // making them fails and pybind11 recurses until the C stack runs out.
            py::detail::get_internals();
            State& st = state_of<State>(module);
            intern_names(st);
            Body(module, PyModule_GetDict(module), st);
            return 0;
        } catch (...) {
            set_python_error_from_current();
        }
        return -1;
    }

    template <void (*Body)(PyObject*, PyObject*, const State&)>
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec<Body>)},
        {0, nullptr},
    };

    // The definition: no functions of its own (the body binds them, in
    // namespace order) and the body as its one exec slot.
    template <void (*Body)(PyObject*, PyObject*, const State&)>
    static PyModuleDef make(const char* name, const char* doc) noexcept {
        return {PyModuleDef_HEAD_INIT, name, doc, static_cast<Py_ssize_t>(sizeof(State)), nullptr, slots<Body>,
                traverse, clear, free};
    }
};

// --- the module body ------------------------------------------------------------

// namespace[name] = value
inline void bind_name(PyObject* module_dict, PyObject* name, PyObject* value) {
    check(PyDict_SetItem(module_dict, name, value));
}

// `import dotted.name`, returning the named module itself (not its package).
inline py::object import(const char* dotted) { return steal(PyImport_ImportModule(dotted)); }

// One `import dotted.name as name` of a module body.
struct Import {
    PyObject* name;
    const char* dotted;
};

// The imports, one after another, each bound as soon as it is made.
inline void bind_imports(PyObject* module_dict, std::initializer_list<Import> imports) {
    for (const Import& i : imports) bind_name(module_dict, i.name, import(i.dotted).ptr());
}

// `from module import name`, with the ImportError text of the import statement.
inline py::object import_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value != nullptr) return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    PyObject* modname = PyModule_Check(module) ? PyModule_GetNameObject(module) : nullptr;
    if (modname == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U'", name);
    } else {
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, modname);
        Py_DECREF(modname);
    }
    throw py::error_already_set();
}

// `class <name>(nn.Module):` with `methods` as its own functions, nn read from
// the module's namespace now; the class reports the module's name as its
// __module__ and finds the module from its methods (see make_class).
template <class State>
py::object make_module_class(PyObject* module, const char* name, PyMethodDef* methods) {
    const State& st = state_of<State>(module);
    py::object nn = global(PyModule_GetDict(module), st.nn);
    py::object base = getattr(nn.ptr(), st.Module);
    return make_class(module, name, PyModule_GetDef(module)->m_name, base.ptr(), methods);
}

// Binds the module functions of `defs` (METH_FASTCALL | METH_KEYWORDS, up to
// the terminating entry), in their order; each reports the module's name as
// its __module__.
inline void bind_functions(PyObject* module, PyMethodDef* defs) {
    py::object modname = steal(PyModule_GetNameObject(module));
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        py::object fn = steal(PyCMethod_New(def, module, modname.ptr(), nullptr));
        check(PyObject_SetAttrString(module, def->ml_name, fn.ptr()));
    }
}

// --- entering a function or method ----------------------------------------------

// What a function of one of our modules runs with: the module, its namespace
// and its state. The module is borrowed: the function or class being called
// holds it for the whole call.
template <class State>
struct ModuleRef {
    PyObject* module;
    PyObject* globals;
    const State& st;

    explicit ModuleRef(PyObject* m) : module(m), globals(PyModule_GetDict(m)), st(state_of<State>(m)) {}

    // The module global `name` as it is bound now (then the builtin).
    py::object global(PyObject* name) const { return qv::global(globals, name); }
};

// How the functions and methods of the extension whose state is `State`
// (which names its traceback file as State::kFile) are entered: the body runs
// with the module at hand, through `entry`.
template <class State>
struct Entry {
    // body(const ModuleRef<State>&), as the module function `name`.
    template <class Body>
    static PyObject* function(PyObject* module, const char* name, Body&& body) noexcept {
        return run(module, {State::kFile, name, 1}, body);
    }

    // body(const ModuleRef<State>&, bound arguments), as the module function
    // of signature `sig`, its arguments bound first.
    template <std::size_t N, class Body>
    static PyObject* function(PyObject* module, const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, Body&& body) noexcept {
        return function(module, sig.qualname, [&](const ModuleRef<State>& m) -> py::object {
            return body(m, bind(sig, nullptr, args, nargs, kwnames));
        });
    }

    // body(const ModuleRef<State>&), as the method `name` of a class made by
    // make_class (see classes.hpp), which finds its module through the class
    // that defines it; reported at `line`.
    template <class Body>
    static PyObject* method(PyTypeObject* defining_class, const char* name, int line, Body&& body) noexcept {
        PyObject* module = PyType_GetModule(defining_class);
        if (module == nullptr) return nullptr;
        return run(module, {State::kFile, name, line}, body);
    }

private:
    template <class Body>
    static PyObject* run(PyObject* module, const Site& site, Body& body) noexcept {
        const ModuleRef<State> m(module);
        return entry(m.globals, site, [&]() -> py::object { return body(m); });
    }
};

}  // namespace qv
