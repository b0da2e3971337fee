// get_pretrained_zor_attr and get_pretrained_zor_var: member reads that let an
// absent object (None) through as None.
#include "ostrelle/lookups.hpp"

#include "common/lookups.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

PyObject* get_pretrained_zor_attr(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return qv::lookup_or_none(module, kFile, "get_pretrained_zor_attr", "member", args, nargs, kwnames,
                              [](PyObject* obj, PyObject* member) { return qv::getattr(obj, member); });
}

// Subscription, not get_submodule: a container needs the integer position.
PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return qv::lookup_or_none(module, kFile, "get_pretrained_zor_var", "submodule_id", args, nargs, kwnames,
                              [](PyObject* obj, PyObject* id) { return qv::steal(PyObject_GetItem(obj, id)); });
}

}  // namespace ostrelle
