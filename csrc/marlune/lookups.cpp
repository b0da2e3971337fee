// get_pretrained_zor_attr, get_pretrained_zor_var and make_module: how the walk
// fetches a block layer and builds its replacement.
#include "common/calling.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "common/lookups.hpp"
#include "marlune/state.hpp"
#include "marlune/walk.hpp"

namespace marlune {

PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return qv::lookup_or_none(module, kFile, "get_pretrained_zor_attr", "member", args, nargs, kwnames,
                              [](PyObject* obj, PyObject* member) { return qv::getattr(obj, member); });
}

PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return qv::lookup_or_none(module, kFile, "get_pretrained_zor_var", "submodule_id", args, nargs, kwnames,
                              [module](PyObject* obj, PyObject* id) {
                                  return qv::call_method(obj, state_of(module).get_submodule, {id});
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
