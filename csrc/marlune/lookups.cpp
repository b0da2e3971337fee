// get_pretrained_zor_attr, get_pretrained_zor_var and make_module: how the walk
// fetches a block layer and builds its replacement.
#include "common/calling.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "marlune/state.hpp"
#include "marlune/walk.hpp"

namespace marlune {

// get_pretrained_zor_attr(pretrained_dendrite, member)
PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "get_pretrained_zor_attr", 1}, [&]() -> py::object {
        static const qv::Signature<2> sig{"get_pretrained_zor_attr", {"pretrained_dendrite", "member"}};
        const auto bound = qv::bind(sig, module, args, nargs, kwnames);
        if (bound[0] == Py_None) return py::none();
        return qv::getattr(bound[0], bound[1]);
    });
}

// get_pretrained_zor_var(pretrained_dendrite, submodule_id)
PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "get_pretrained_zor_var", 1}, [&]() -> py::object {
        static const qv::Signature<2> sig{"get_pretrained_zor_var", {"pretrained_dendrite", "submodule_id"}};
        const auto bound = qv::bind(sig, module, args, nargs, kwnames);
        if (bound[0] == Py_None) return py::none();
        return qv::call_method(bound[0], state_of(module).get_submodule, {bound[1]});
    });
}

// make_module(module): whatever ModuleType is bound to now, called on `module`.
PyObject* make_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "make_module", 1}, [&]() -> py::object {
        static const qv::Signature<1> sig{"make_module", {"module"}};
        const auto bound = qv::bind(sig, module, args, nargs, kwnames);
        py::object cls = qv::global(globals, state_of(module).ModuleType);
        return qv::call(cls.ptr(), {bound[0]});
    });
}

}  // namespace marlune
