// quorvane.marlune: the method tables and the module body.
//
// The body binds the namespace in a fixed order; every function reads these
// names from the namespace when it runs, so rebinding one from outside takes
// effect at the next use.
#include <Python.h>

#include "common/classes.hpp"
#include "common/lookups.hpp"
#include "common/module.hpp"
#include "marlune/state.hpp"

namespace marlune {

namespace {

constexpr char kDoc[] = "Inference clean-up: replaces every ZORLayer block of a network by a ZORModulePyThread.";

// ZORModulePyThread's own functions, in the order its namespace receives them.
PyMethodDef clean_module_methods[] = {
    QV_METHOD("__init__", clean_init, clean_init_doc),
    QV_METHOD("process_and_forward", clean_process_and_forward, process_and_forward_doc),
    QV_METHOD("process_and_pre", clean_process_and_pre, process_and_pre_doc),
    QV_METHOD("forward", clean_forward, forward_doc),
    {nullptr, nullptr, 0, nullptr},
};

// Bound right after the class.
PyMethodDef lookup_functions[] = {
    QV_FUNCTION("get_pretrained_zor_attr", qv::get_pretrained_zor_attr<State>, qv::get_pretrained_zor_attr_doc),
    QV_FUNCTION("get_pretrained_zor_var", get_pretrained_zor_var, get_pretrained_zor_var_doc),
    {nullptr, nullptr, 0, nullptr},
};

// Bound last, after ModuleType.
PyMethodDef walk_functions[] = {
    QV_FUNCTION("make_module", make_module, make_module_doc),
    QV_FUNCTION("refresh_zor", refresh_zor, refresh_zor_doc),
    QV_FUNCTION("refresh_net", refresh_net, refresh_net_doc),
    {nullptr, nullptr, 0, nullptr},
};

// The clean class reads a member it does not have from its main layer, as the
// layer it took the place of would answer (quorvane.member_passing). Its
// __getattr__ is that Python function, which TorchDynamo traces through.
py::object make_clean_class(PyObject* m, const State& st) {
    py::object cls = qv::make_module_class<State>(m, "ZORModulePyThread", clean_module_methods);
    py::object passing = qv::import("quorvane.member_passing");
    qv::setattr(cls.ptr(), st.__getattr__, qv::import_from(passing.ptr(), st.clean_module_getattr).ptr());
    return cls;
}

void body(PyObject* m, PyObject* ns, const State& st) {
    // The settings module first: without it nothing else is imported.
    qv::bind_imports(ns, {{st.GZR, "quorvane.globals_quorvane"}, {st.copy, "copy"}, {st.nn, "torch.nn"},
                          {st.torch, "torch"}, {st.pdb, "pdb"}});
    qv::bind_name(ns, st.Thread, qv::import_from(qv::import("threading").ptr(), st.Thread).ptr());
    qv::bind_name(ns, st.doing_threading, Py_False);
    qv::bind_name(ns, st.ZORModulePyThread, make_clean_class(m, st).ptr());
    qv::bind_functions(m, lookup_functions);
    qv::bind_name(ns, st.ModuleType, qv::global(ns, st.ZORModulePyThread).ptr());
    qv::bind_name(ns, st.doing_threading, Py_False);
    qv::bind_functions(m, walk_functions);
}

PyModuleDef definition = qv::ModuleDefinition<State, kInternedNames>::make<body>("quorvane.marlune", kDoc);

}  // namespace

}  // namespace marlune

PyMODINIT_FUNC PyInit_marlune(void) { return PyModuleDef_Init(&marlune::definition); }
