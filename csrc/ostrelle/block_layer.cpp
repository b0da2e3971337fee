// ZORLayer: the class object and its constructor.
#include "ostrelle/block_layer.hpp"

#include "common/classes.hpp"
#include "common/globals.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

// The class's own functions, in the order its namespace receives them.
PyMethodDef class_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

py::object make_block_layer_class(PyObject* module) {
    const State& st = state_of(module);
    py::object nn = qv::global(PyModule_GetDict(module), st.nn);
    py::object base = qv::getattr(nn.ptr(), st.Module);
    return qv::make_class(module, "ZORLayer", "quorvane.ostrelle", base.ptr(), class_functions);
}

}  // namespace ostrelle
