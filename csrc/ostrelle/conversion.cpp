// unWrap_params and convert_to_zor_layer_block: one trained wrapper becomes one
// ZORLayer block.
//
// Every member is read afresh from the wrapper at each step, never cached, so
// each read sees what the previous step (or code it ran) left behind.
#include "ostrelle/conversion.hpp"

#include "common/calling.hpp"
#include "common/module_members.hpp"
#include "common/torch_code.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

Py_ssize_t length(const py::object& o) {
    const Py_ssize_t n = PyObject_Size(o.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

py::object item(const py::object& container, Py_ssize_t index) {
    py::object key = qv::steal(PyLong_FromSsize_t(index));
    return qv::steal(PyObject_GetItem(container.ptr(), key.ptr()));
}

void append(const py::object& list, PyObject* value) { qv::check(PyList_Append(list.ptr(), value)); }

// Reads of the wrapper and of its dendrite module, each one from the wrapper.
class Wrapper {
public:
    Wrapper(PyObject* wrapper, const State& st) : wrapper_(wrapper), st_(st) {}

    py::object get(PyObject* name) const { return qv::getattr(wrapper_, name); }

    py::object dendrite(PyObject* name) const {
        py::object dendrite_module = get(st_.dendrite_module);
        return qv::getattr(dendrite_module.ptr(), name);
    }

    py::object dendrite_processor(Py_ssize_t index) const { return item(dendrite(st_.processors), index); }

    py::object shape_values() const { return item(dendrite(st_.dendrite_values), 0); }

private:
    PyObject* wrapper_;  // the bound argument, alive for the whole call
    const State& st_;
};

// target.<to> = source.<from>, the right-hand side evaluated first.
template <class Read>
void rebind(const Read& read, PyObject* to, PyObject* from) {
    py::object source = read();
    py::object function = qv::getattr(source.ptr(), from);
    source = read();
    qv::setattr(source.ptr(), to, function.ptr());
}

// The dendrite layers in order, each with its processor switched to its
// block-layer functions (or None when the wrapper has no processors).
void gather_dendrites(const Wrapper& wrapper, const State& st, const py::object& layer_array,
                      const py::object& processor_array) {
    const Py_ssize_t dendrites = length(wrapper.dendrite(st.layers));
    for (Py_ssize_t i = 0; i < dendrites; ++i) {
        append(layer_array, item(wrapper.dendrite(st.layers), i).ptr());

        py::object empty = qv::steal(PyList_New(0));
        if (qv::equal(wrapper.dendrite(st.processors).ptr(), empty.ptr())) {
            append(processor_array, Py_None);
            continue;
        }
        const auto processor = [&] { return wrapper.dendrite_processor(i); };
        if (!processor().is_none()) {
            rebind(processor, st.pre, st.pre_d);
            rebind(processor, st.post, st.post_d);
        }
        append(processor_array, processor().ptr());
    }
}

// The main module, last, with the neuron processor switched likewise.
void gather_main(const Wrapper& wrapper, const State& st, const py::object& layer_array,
                 const py::object& processor_array) {
    append(layer_array, wrapper.get(st.main_module).ptr());
    const auto neuron = [&] { return wrapper.get(st.processor); };
    if (!neuron().is_none()) {
        rebind(neuron, st.pre, st.post_n1);
        rebind(neuron, st.post, st.post_n2);
    }
    append(processor_array, neuron().ptr());
}

// -1 at the neuron dimension, 1 elsewhere: a per-neuron row viewed by this
// shape broadcasts over the layer output.
py::object view_shape(const Wrapper& wrapper, const State& st) {
    py::object view_tuple = qv::steal(PyList_New(0));
    const Py_ssize_t dims = length(qv::getattr(wrapper.shape_values().ptr(), st.this_output_dimensions));
    for (Py_ssize_t dim = 0; dim < dims; ++dim) {
        py::object position = qv::steal(PyLong_FromSsize_t(dim));
        py::object node = qv::getattr(wrapper.shape_values().ptr(), st.this_node_index);
        py::object entry = qv::steal(PyLong_FromLong(qv::equal(position.ptr(), node.ptr()) ? -1 : 1));
        append(view_tuple, entry.ptr());
    }
    return view_tuple;
}

// Answers `name in p.__dir__()` without building the list when that is safe.
//
// For an exact torch.Tensor or torch.nn.Parameter whose __dir__ is torch's own
// Tensor.__dir__, with no torch function mode active, the list is dir(type(p))
// plus the keys of p.__dict__ (less two fixed names), sorted. Membership of a
// name is then a look at those dicts; building and sorting the full list is
// most of what stripping the flags would cost.
class TensorDirShortcut {
public:
    explicit TensorDirShortcut(const ModuleRef& m) : st_(m.st) {
        const State& st = m.st;
        py::object torch = m.global(st.torch);
        tensor_ = qv::getattr(torch.ptr(), st.Tensor);
        py::object nn = m.global(st.nn);
        parameter_ = qv::getattr(nn.ptr(), st.Parameter);
        usable_ = no_function_modes(st);
    }

    // -1: not applicable (ask __dir__); 0 or 1: the answer.
    int lists(PyObject* p, PyObject* name) const {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(p));
        if (!usable_ || (type != tensor_.ptr() && type != parameter_.ptr())) return -1;
        py::object dir = qv::getattr(type, st_.__dir__);
        if (!qv::torch_function_named(dir.ptr(), "_tensor.py", "__dir__")) return -1;
        py::object own = qv::getattr(p, st_.__dict__);
        if (!PyDict_Check(own.ptr())) return -1;
        if (qv::check(PyDict_Contains(own.ptr(), name))) return 1;
        py::object mro = qv::getattr(type, st_.__mro__);
        if (!PyTuple_Check(mro.ptr())) return -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.ptr()); ++i) {
            py::object base = qv::borrow(PyTuple_GET_ITEM(mro.ptr(), i));
            py::object members = qv::getattr(base.ptr(), st_.__dict__);
            if (qv::contains(members.ptr(), name)) return 1;
        }
        return 0;
    }

private:
    // No torch function mode on this thread's stack, as quorvane.tracing's probe
    // tells (the one place that reads torch's private names); false where this torch
    // cannot tell.
    static bool no_function_modes(const State& st) {
        py::object tracing = qv::import("quorvane.tracing");
        py::object probes = qv::call_method(tracing.ptr(), st.thread_state_probes);
        if (!PyDict_Check(probes.ptr())) return false;
        py::object probe = qv::dict_item(probes.ptr(), st.torch_function_modes);
        if (!probe || probe.ptr() == Py_None) return false;
        py::object depth = qv::call(probe.ptr(), {});
        if (!PyLong_CheckExact(depth.ptr())) return false;
        const long modes = PyLong_AsLong(depth.ptr());
        if (modes == -1 && PyErr_Occurred()) PyErr_Clear();
        return modes == 0;
    }

    const State& st_;
    py::object tensor_, parameter_;
    bool usable_ = false;
};

}  // namespace

extern const char unwrap_params_doc[] = R"(unWrap_params($module, /, model)
--

Delete the training-time attribute 'wrapped' from every parameter of model
that lists it.)";

PyObject* unwrap_params(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr qv::Signature<1> sig{"unWrap_params", {"model"}};
    return Entry::function(module, sig, args, nargs, kwnames, [](const ModuleRef& m, const auto& bound) {
        const State& st = m.st;

        py::object parameters = qv::call_method(bound[0], st.parameters);
        py::object it = qv::steal(PyObject_GetIter(parameters.ptr()));
        const TensorDirShortcut shortcut(m);
        qv::for_each_next(it.ptr(), [&](PyObject* parameter) {
            // The object's own __dir__ (not the sorted builtin dir) lists
            // instance attributes such as 'wrapped'.
            int listed = shortcut.lists(parameter, st.wrapped);
            if (listed < 0) {
                py::object names = qv::call_method(parameter, st.__dir__);
                listed = qv::contains(names.ptr(), st.wrapped) ? 1 : 0;
            }
            if (listed) qv::check(PyObject_DelAttr(parameter, st.wrapped));
        });
        return py::none();
    });
}

extern const char convert_to_zor_layer_block_doc[] = R"(convert_to_zor_layer_block($module, /, pretrained_dendrite)
--

Build the ZORLayer block for one trained ZORNeuronModule: its dendrite layers
and main module, their processors (switched to their block-layer functions),
its skip weights, node index, cycle count and broadcast shape.)";

PyObject* convert_to_zor_layer_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    static constexpr qv::Signature<1> sig{"convert_to_zor_layer_block", {"pretrained_dendrite"}};
    return Entry::function(module, sig, args, nargs, kwnames, [](const ModuleRef& m, const auto& bound) {
        const State& st = m.st;
        const Wrapper wrapper(bound[0], st);

        {
            py::object unwrap = m.global(st.unWrap_params);
            qv::call(unwrap.ptr(), {bound[0]});
        }

        py::object layer_array = qv::steal(PyList_New(0));
        py::object processor_array = qv::steal(PyList_New(0));
        gather_dendrites(wrapper, st, layer_array, processor_array);
        gather_main(wrapper, st, layer_array, processor_array);
        py::object view_tuple = view_shape(wrapper, st);

        py::object block_class = m.global(st.ZORLayer);
        py::object sequential;
        {
            py::object nn = m.global(st.nn);
            py::object kind = qv::getattr(nn.ptr(), st.Sequential);
            py::object layers = qv::steal(PyList_AsTuple(layer_array.ptr()));
            sequential = qv::steal(PyObject_Call(kind.ptr(), layers.ptr(), nullptr));
        }
        py::object to_top = wrapper.get(st.dendrites_to_top);
        py::object to_dendrites = wrapper.dendrite(st.dendrites_to_dendrites);
        py::object node_index = wrapper.get(st.this_node_index);
        py::object num_cycles = wrapper.dendrite(st.num_cycles);
        return qv::call(block_class.ptr(), {sequential.ptr(), processor_array.ptr(), to_top.ptr(), to_dendrites.ptr(),
                                            node_index.ptr(), num_cycles.ptr(), view_tuple.ptr()});
    });
}

}  // namespace ostrelle
