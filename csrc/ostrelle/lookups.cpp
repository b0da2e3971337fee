// get_pretrained_zor_var: a subscription that lets an absent object (None)
// through as None (get_pretrained_zor_attr is common/lookups.hpp's).
#include "ostrelle/lookups.hpp"

#include "common/lookups.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

extern const char get_pretrained_zor_var_doc[] = R"(get_pretrained_zor_var($module, /, pretrained_dendrite, submodule_id)
--

None when pretrained_dendrite is None, else pretrained_dendrite[submodule_id].)";

// Subscription, not get_submodule: a container needs the integer position.
PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return qv::lookup_or_none<State>(module, "get_pretrained_zor_var", "submodule_id", args, nargs, kwnames,
                                     [](const ModuleRef&, PyObject* obj, PyObject* id) {
                                         return qv::steal(PyObject_GetItem(obj, id));
                                     });
}

}  // namespace ostrelle
