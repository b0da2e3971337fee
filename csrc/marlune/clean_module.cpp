// ZORModulePyThread's constructor. The class itself is made by the module body
// (qv::make_module_class), as a class statement makes it; each method receives
// its defining class and finds the module (for names and globals) through it.
#include "marlune/clean_module.hpp"

#include "marlune/state.hpp"

namespace marlune {

extern const char clean_init_doc[] = R"(__init__($self, /, original_module)
--

Build the clean module from a block layer, sharing its layers, processors,
skip weights, num_cycles and view_tuple; node_index is copied.)";

// ZORModulePyThread.__init__(self, original_module)
//
// Takes over the block layer's members: the layer and processor lists as they
// are, the skip weights without their first entry (only when there are more
// than one), a detached copy of node_index, and num_cycles and view_tuple as
// buffers, so they are saved and follow .to().
PyObject* clean_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return Entry::method(cls, "__init__", 1, [&](const ModuleRef& m) -> py::object {
        static const qv::Signature<2> sig{"ZORModulePyThread.__init__", {"self", "original_module"}, true};
        const auto bound = qv::bind(sig, self, args, nargs, kwnames);
        PyObject* original = bound[1];
        const State& st = m.st;

        py::object klass = m.global(st.ZORModulePyThread);
        py::object base = qv::call(reinterpret_cast<PyObject*>(&PySuper_Type), {klass.ptr(), self});
        qv::call_method(base.ptr(), st.__init__);

        qv::setattr(self, st.layer_array, qv::getattr(original, st.layer_array).ptr());
        qv::setattr(self, st.processor_array, qv::getattr(original, st.processor_array).ptr());

        // The first skip-weight entry belongs to layer 0, which has no
        // predecessors; the forward pass reads the rest.
        if (qv::hasattr(original, st.skip_weights)) {
            // Read again after the test, as the function reads it again.
            py::object weights = qv::getattr(original, st.skip_weights);
            const Py_ssize_t count = PyObject_Size(weights.ptr());
            if (count < 0) throw py::error_already_set();
            weights = py::object();
            if (count > 1) {
                // Read again, as the slice reads it.
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

}  // namespace marlune
