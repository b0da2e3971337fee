// get_pretrained_zor_attr and get_pretrained_zor_var: member reads that let an
// absent object (None) through as None.
#include "ostrelle/lookups.hpp"

#include "common/calling.hpp"
#include "common/errors.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "get_pretrained_zor_attr", 1}, [&]() -> py::object {
        static const qv::Signature<2> sig{"get_pretrained_zor_attr", {"pretrained_dendrite", "member"}};
        const auto bound = qv::bind(sig, nullptr, args, nargs, kwnames);
        if (bound[0] == Py_None) return py::none();
        return qv::getattr(bound[0], bound[1]);
    });
}

// Subscription, not get_submodule: a container needs the integer position.
PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "get_pretrained_zor_var", 1}, [&]() -> py::object {
        static const qv::Signature<2> sig{"get_pretrained_zor_var", {"pretrained_dendrite", "submodule_id"}};
        const auto bound = qv::bind(sig, nullptr, args, nargs, kwnames);
        if (bound[0] == Py_None) return py::none();
        return qv::steal(PyObject_GetItem(bound[0], bound[1]));
    });
}

}  // namespace ostrelle
