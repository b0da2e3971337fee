// get_pretrained_zor_var and make_module: how the walk fetches a block layer
// and builds its replacement (get_pretrained_zor_attr is common/lookups.hpp's).
#include "common/lookups.hpp"
#include "marlune/state.hpp"

namespace marlune {

extern const char get_pretrained_zor_var_doc[] = R"(get_pretrained_zor_var($module, /, pretrained_dendrite, submodule_id)
--

pretrained_dendrite.get_submodule(submodule_id), or None when
`pretrained_dendrite` is None.)";

PyObject* get_pretrained_zor_var(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return qv::lookup_or_none<State>(module, "get_pretrained_zor_var", "submodule_id", args, nargs, kwnames,
                                     [](const ModuleRef& m, PyObject* obj, PyObject* id) {
                                         return qv::call_method(obj, m.st.get_submodule, {id});
                                     });
}

extern const char make_module_doc[] = R"(make_module($module, /, module)
--

A new clean module built from the block layer `module` by the class
currently bound to ModuleType.)";

// make_module(module): whatever ModuleType is bound to now, called on `module`.
PyObject* make_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr qv::Signature<1> sig{"make_module", {"module"}};
    return Entry::function(module, sig, args, nargs, kwnames, [](const ModuleRef& m, const auto& bound) {
        py::object cls = m.global(m.st.ModuleType);
        return qv::call(cls.ptr(), {bound[0]});
    });
}

}  // namespace marlune
