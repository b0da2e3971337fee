// ZORLayer's constructor (the class itself is made by the module body, see
// qv::make_module_class).
//
// A block layer only carries data for marlune's clean module: it defines no
// forward, so calling one reaches nn.Module's unimplemented forward.
#include "ostrelle/block_layer.hpp"

#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

py::object new_parameter_list(const ModuleRef& m) {
    py::object nn = m.global(m.st.nn);
    py::object kind = qv::getattr(nn.ptr(), m.st.ParameterList);
    return qv::call(kind.ptr(), {});
}

// A new container of the same kind holding the same entries: a plain list for
// any list, otherwise the object's own type called on it (a ParameterList
// gives a new ParameterList that registers the very same parameters).
py::object same_kind_copy(PyObject* weights) {
    if (PyList_Check(weights)) return qv::steal(PySequence_List(weights));
    return qv::call(reinterpret_cast<PyObject*>(Py_TYPE(weights)), {weights});
}

// dendrites_to_top[len(dendrites_to_top) - 1]
py::object last_entry(PyObject* sequence) {
    const Py_ssize_t count = PyObject_Size(sequence);
    if (count < 0) throw py::error_already_set();
    py::object index = qv::steal(PyLong_FromSsize_t(count - 1));
    return qv::steal(PyObject_GetItem(sequence, index.ptr()));
}

// self.skip_weights: the skip-weight sequence of the block. Entry k < n - 1
// holds, one row per earlier layer, the weights into dendrite k (entry 0 has
// no earlier layer and is never read); the last entry, from dendrites_to_top,
// holds the weights into the main layer. The clean module keeps entries 1 on.
void set_skip_weights(const ModuleRef& m, PyObject* self, PyObject* to_top, PyObject* to_dendrites) {
    const State& st = m.st;
    if (qv::truthy(to_dendrites)) {
        qv::setattr(self, st.skip_weights, to_dendrites);
    } else {
        qv::setattr(self, st.skip_weights, new_parameter_list(m).ptr());
    }
    if (qv::truthy(to_top)) {
        // Read back from self, as the function reads it: an assignment may store another object.
        py::object weights = qv::getattr(self, st.skip_weights);
        if (weights.ptr() == to_dendrites) {
            // Append to a copy: the trained wrapper's own list must keep its
            // entries, or its state_dict would no longer load into the
            // architecture it came from.
            weights = same_kind_copy(to_dendrites);
            qv::setattr(self, st.skip_weights, weights.ptr());
        }
        py::object last = last_entry(to_top);
        if (PyList_Check(weights.ptr())) {
            qv::check(PyList_Append(weights.ptr(), last.ptr()));
        } else {
            qv::call_method(weights.ptr(), st.append, {last.ptr()});
        }
    } else {
        qv::setattr(self, st.skip_weights, new_parameter_list(m).ptr());
    }
    // Read back again for the length test.
    py::object weights = qv::getattr(self, st.skip_weights);
    const Py_ssize_t count = PyObject_Size(weights.ptr());
    if (count < 0) throw py::error_already_set();
    weights = py::object();
    // Without entries the clean module must see no skip_weights at all.
    if (count == 0) qv::check(PyObject_DelAttr(self, st.skip_weights));
}

}  // namespace

extern const char block_init_doc[] = R"(__init__($self, /, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites, node_index, num_cycles, view_tuple)
--

Hold a converted wrapper's layers and processors, its skip weights (the
dendrite-to-dendrite entries, then the last dendrite-to-top entry), node_index,
num_cycles and the broadcast shape view_tuple, for marlune's clean module.)";

// ZORLayer.__init__(self, layer_array, processor_array, dendrites_to_top,
//                   dendrites_to_dendrites, node_index, num_cycles, view_tuple)
PyObject* block_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return Entry::method(cls, "__init__", 1, [&](const ModuleRef& m) -> py::object {
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
        const State& st = m.st;

        py::object klass = m.global(st.ZORLayer);
        py::object base = qv::call(reinterpret_cast<PyObject*>(&PySuper_Type), {klass.ptr(), self});
        qv::call_method(base.ptr(), st.__init__);

        qv::setattr(self, st.layer_array, layer_array);
        qv::call_method(self, st.register_buffer, {st.num_cycles, num_cycles});
        {
            py::object torch = m.global(st.torch);
            py::object make_tensor = qv::getattr(torch.ptr(), st.tensor);
            py::object shape = qv::call(make_tensor.ptr(), {view_tuple});
            qv::call_method(self, st.register_buffer, {st.view_tuple, shape.ptr()});
        }
        qv::setattr(self, st.processor_array, processor_array);

        set_skip_weights(m, self, dendrites_to_top, dendrites_to_dendrites);

        qv::setattr(self, st.node_index, node_index);
        py::object gzr = m.global(st.GZR);
        py::object settings = qv::getattr(gzr.ptr(), st.pc);
        py::object nonlinearity = qv::call_method(settings.ptr(), st.get_zor_forward_function);
        qv::setattr(self, st.internal_nonlinearity, nonlinearity.ptr());
        return py::none();
    });
}

}  // namespace ostrelle
