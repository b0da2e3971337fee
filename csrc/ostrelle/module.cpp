// quorvane.ostrelle: the method tables and the module body.
//
// The body binds the namespace in a fixed order; every function reads these
// names from the namespace when it runs, so rebinding one from outside takes
// effect at the next use.
#include <Python.h>

#include "common/classes.hpp"
#include "common/lookups.hpp"
#include "common/module.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

constexpr char kDoc[] = "Blockwise conversion: replaces every trained ZORNeuronModule of a network by a ZORLayer block.";

// ZORLayer's own functions, in the order its namespace receives them.
PyMethodDef block_layer_methods[] = {
    QV_METHOD("__init__", block_init, block_init_doc),
    {nullptr, nullptr, 0, nullptr},
};

// Bound right after the class, in this order.
PyMethodDef module_functions[] = {
    QV_FUNCTION("unWrap_params", unwrap_params, unwrap_params_doc),
    QV_FUNCTION("convert_to_zor_layer_block", convert_to_zor_layer_block, convert_to_zor_layer_block_doc),
    QV_FUNCTION("get_pretrained_zor_attr", qv::get_pretrained_zor_attr<State>, qv::get_pretrained_zor_attr_doc),
    QV_FUNCTION("get_pretrained_zor_var", get_pretrained_zor_var, get_pretrained_zor_var_doc),
    QV_FUNCTION("optimize_module", optimize_module, optimize_module_doc),
    QV_FUNCTION("blockwise_network", blockwise_network, blockwise_network_doc),
    {nullptr, nullptr, 0, nullptr},
};

void body(PyObject* m, PyObject* ns, const State& st) {
    // The sibling modules first: a missing one fails before torch loads.
    qv::bind_imports(ns, {{st.GZR, "quorvane.globals_quorvane"}, {st.ZR, "quorvane.modules_quorvane"},
                          {st.UZR, "quorvane.utils_quorvane"}, {st.nn, "torch.nn"}, {st.torch, "torch"},
                          {st.pdb, "pdb"}, {st.np, "numpy"}, {st.string, "string"}, {st.copy, "copy"}});
    qv::bind_name(ns, st.ZORLayer, qv::make_module_class<State>(m, "ZORLayer", block_layer_methods).ptr());
    qv::bind_functions(m, module_functions);
}

PyModuleDef definition = qv::ModuleDefinition<State, kInternedNames>::make<body>("quorvane.ostrelle", kDoc);

}  // namespace

}  // namespace ostrelle

PyMODINIT_FUNC PyInit_ostrelle(void) { return PyModuleDef_Init(&ostrelle::definition); }
