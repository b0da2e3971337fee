// ZORLayer: the class object and its constructor.
//
// A block layer only carries data for marlune's clean module: it defines no
// forward, so calling one reaches nn.Module's unimplemented forward.
#include "ostrelle/block_layer.hpp"

#include "common/calling.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

py::object new_parameter_list(PyObject* globals, const State& st) {
    py::object nn = qv::global(globals, st.nn);
    py::object kind = qv::getattr(nn.ptr(), st.ParameterList);
    return qv::call(kind.ptr(), {});
}

// A new container of the same kind holding the same entries: a plain list for
// any list, otherwise the object's own type called on it (a ParameterList
// gives a new ParameterList that registers the very same parameters).
py::object same_kind_copy(PyObject* weights) {
    if (PyList_Check(weights)) return qv::steal(PySequence_List(weights));
    return qv::call(reinterpret_cast<PyObject*>(Py_TYPE(weights)), {weights});
}

// ZORLayer.__init__(self, layer_array, processor_array, dendrites_to_top,
//                   dendrites_to_dendrites, node_index, num_cycles, view_tuple)
PyObject* block_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "__init__", 1}, [&]() -> py::object {
        static const qv::Signature<8> sig{"ZORLayer.__init__",
                                          {"self", "layer_array", "processor_array", "dendrites_to_top",
                                           "dendrites_to_dendrites", "node_index", "num_cycles", "view_tuple"},
                                          true};
        const auto bound = qv::bind(sig, self, args, nargs, kwnames);
        PyObject* layer_array = bound[1];
        PyObject* processor_array = bound[2];
        PyObject* dendrites_to_top = bound[3];
        PyObject* dendrites_to_dendrites = bound[4];
        PyObject* node_index = bound[5];
        PyObject* num_cycles = bound[6];
        PyObject* view_tuple = bound[7];
        const State& st = state_of(module);

        py::object klass = qv::global(globals, st.ZORLayer);
        py::object base = qv::call(reinterpret_cast<PyObject*>(&PySuper_Type), {klass.ptr(), self});
        qv::call_method(base.ptr(), st.__init__);

        qv::setattr(self, st.layer_array, layer_array);
        qv::call_method(self, st.register_buffer, {st.num_cycles, num_cycles});
        {
            py::object torch = qv::global(globals, st.torch);
            py::object make_tensor = qv::getattr(torch.ptr(), st.tensor);
            py::object shape = qv::call(make_tensor.ptr(), {view_tuple});
            qv::call_method(self, st.register_buffer, {st.view_tuple, shape.ptr()});
        }
        qv::setattr(self, st.processor_array, processor_array);

        // Skip weights: the dendrite-to-dendrite entries, then the last
        // dendrite-to-top entry, which feeds the main layer.
        if (qv::truthy(dendrites_to_dendrites)) {
            qv::setattr(self, st.skip_weights, dendrites_to_dendrites);
        } else {
            qv::setattr(self, st.skip_weights, new_parameter_list(globals, st).ptr());
        }
        if (qv::truthy(dendrites_to_top)) {
            py::object weights = qv::getattr(self, st.skip_weights);
            if (weights.ptr() == dendrites_to_dendrites) {
                // Append to a copy: the trained wrapper's own list must keep its
                // entries, or its state_dict would no longer load into the
                // architecture it came from.
                weights = same_kind_copy(dendrites_to_dendrites);
                qv::setattr(self, st.skip_weights, weights.ptr());
            }
            const Py_ssize_t count = PyObject_Size(dendrites_to_top);
            if (count < 0) throw py::error_already_set();
            py::object index = qv::steal(PyLong_FromSsize_t(count - 1));
            py::object last = qv::steal(PyObject_GetItem(dendrites_to_top, index.ptr()));
            if (PyList_Check(weights.ptr())) {
                qv::check(PyList_Append(weights.ptr(), last.ptr()));
            } else {
                qv::call_method(weights.ptr(), st.append, {last.ptr()});
            }
        } else {
            qv::setattr(self, st.skip_weights, new_parameter_list(globals, st).ptr());
        }
        {
            py::object weights = qv::getattr(self, st.skip_weights);
            const Py_ssize_t count = PyObject_Size(weights.ptr());
            if (count < 0) throw py::error_already_set();
            weights = py::object();
            // Without entries the clean module must see no skip_weights at all.
            if (count == 0) qv::check(PyObject_DelAttr(self, st.skip_weights));
        }

        qv::setattr(self, st.node_index, node_index);
        py::object gzr = qv::global(globals, st.GZR);
        py::object settings = qv::getattr(gzr.ptr(), st.pc);
        py::object nonlinearity = qv::call_method(settings.ptr(), st.get_zor_forward_function);
        qv::setattr(self, st.internal_nonlinearity, nonlinearity.ptr());
        return py::none();
    });
}

// The class's own functions, in the order its namespace receives them.
PyMethodDef class_functions[] = {
    QV_METHOD("__init__", block_init,
              "__init__($self, /, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites, "
              "node_index, num_cycles, view_tuple)\n--\n\n"
              "Hold a converted wrapper's layers and processors, its skip weights (the\n"
              "dendrite-to-dendrite entries, then the last dendrite-to-top entry), node_index,\n"
              "num_cycles and the broadcast shape view_tuple, for marlune's clean module."),
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
