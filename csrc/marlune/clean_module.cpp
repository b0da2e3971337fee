// ZORModulePyThread: the class object and its constructor.
//
// The class is made by calling nn.Module's metaclass, exactly as a class
// statement does, and its functions are method descriptors placed in its own
// dict in a fixed order. Each method receives its defining class and finds the
// module (for names and globals) through it.
#include "marlune/clean_module.hpp"

#include "common/calling.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "marlune/forward.hpp"
#include "marlune/state.hpp"

namespace marlune {

namespace {

// ZORModulePyThread.__init__(self, original_module)
//
// Takes over the block layer's members: the layer and processor lists as they
// are, the skip weights without their first entry (only when there are more
// than one), a detached copy of node_index, and num_cycles and view_tuple as
// buffers, so they are saved and follow .to().
PyObject* clean_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "__init__", 1}, [&]() -> py::object {
        static const qv::Signature<2> sig{"ZORModulePyThread.__init__", {"self", "original_module"}, true};
        const auto bound = qv::bind(sig, self, args, nargs, kwnames);
        PyObject* original = bound[1];
        const State& st = state_of(module);

        py::object klass = qv::global(globals, st.ZORModulePyThread);
        py::object base = qv::call(reinterpret_cast<PyObject*>(&PySuper_Type), {klass.ptr(), self});
        qv::call_method(base.ptr(), st.__init__);

        qv::setattr(self, st.layer_array, qv::getattr(original, st.layer_array).ptr());
        qv::setattr(self, st.processor_array, qv::getattr(original, st.processor_array).ptr());

        // The first skip-weight entry belongs to layer 0, which has no
        // predecessors; the forward pass reads the rest.
        if (qv::hasattr(original, st.skip_weights)) {
            py::object weights = qv::getattr(original, st.skip_weights);
            const Py_ssize_t count = PyObject_Size(weights.ptr());
            if (count < 0) throw py::error_already_set();
            weights = py::object();
            if (count > 1) {
                py::object all = qv::getattr(original, st.skip_weights);
                py::object one = qv::steal(PyLong_FromLong(1));
                py::object tail = qv::steal(PySlice_New(one.ptr(), nullptr, nullptr));
                py::object rest = qv::steal(PyObject_GetItem(all.ptr(), tail.ptr()));
                qv::setattr(self, st.skip_weights, rest.ptr());
            }
        }

        py::object index = qv::getattr(original, st.node_index);
        py::object cloned = qv::call_method(index.ptr(), st.clone);
        py::object detached = qv::call_method(cloned.ptr(), st.detach);
        qv::call_method(self, st.register_buffer, {st.node_index, detached.ptr()});

        py::object cycles = qv::getattr(original, st.num_cycles);
        qv::call_method(self, st.register_buffer, {st.num_cycles, cycles.ptr()});

        py::object view = qv::getattr(original, st.view_tuple);
        qv::call_method(self, st.register_buffer, {st.view_tuple, view.ptr()});
        return py::none();
    });
}

// The class's own functions, in the order its namespace receives them.
PyMethodDef class_functions[] = {
    QV_METHOD("__init__", clean_init,
              "__init__($self, /, original_module)\n--\n\n"
              "Build the clean module from a block layer, sharing its layers, processors,\n"
              "skip weights, num_cycles and view_tuple; node_index is copied."),
    MARLUNE_FORWARD_METHODS
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

py::object make_clean_module_class(PyObject* module) {
    const State& st = state_of(module);
    py::object nn = qv::global(PyModule_GetDict(module), st.nn);
    py::object base = qv::getattr(nn.ptr(), st.Module);
    return qv::make_class(module, "ZORModulePyThread", "quorvane.marlune", base.ptr(), class_functions);
}

}  // namespace marlune
