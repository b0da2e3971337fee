// The worker methods' bodies and the sequential worker stage.
//
// Dendrite c: its processor's pre, the layer's module call (hooks run), its
// processor's post, slot c. The main layer: its forward called directly (its
// hooks do not run), its processor's pre, the last slot.
#include <array>
#include <vector>

#include "common/unpack.hpp"
#include "marlune/forward/parts.hpp"

namespace marlune {

namespace {

using qv::borrow;
using qv::steal;

// A vectorcall argument vector with one writable slot before the arguments;
// small ones live on the stack.
class ArgVector {
public:
    explicit ArgVector(std::size_t size) {
        if (size + 1 > inline_.size()) heap_.resize(size + 1);
        data_ = (size + 1 > inline_.size() ? heap_.data() : inline_.data()) + 1;
    }
    ArgVector(const ArgVector&) = delete;
    ArgVector& operator=(const ArgVector&) = delete;
    PyObject** data() { return data_; }
    PyObject*& operator[](std::size_t i) { return data_[i]; }

private:
    std::array<PyObject*, 12> inline_{};
    std::vector<PyObject*> heap_;
    PyObject** data_;
};

Py_ssize_t keyword_count(PyObject* kwnames) { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }

// Copies `count` arguments (positional, then keyword values) to `at`.
void copy_args(ArgVector& into, std::size_t at, PyObject* const* args, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) into[at + static_cast<std::size_t>(i)] = args[i];
}

// How CPython names a callable in the messages of a call statement.
py::object function_str(PyObject* fn, const State& st) {
    py::object qualname = qv::getattr_if_present(fn, st.__qualname__);
    if (!qualname) return steal(PyObject_Str(fn));
    py::object module = qv::getattr_if_present(fn, st.__module__);
    if (module && module.ptr() != Py_None) {
        py::object builtins = steal(PyUnicode_FromString("builtins"));
        if (qv::check(PyObject_RichCompareBool(module.ptr(), builtins.ptr(), Py_NE)))
            return steal(PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr()));
    }
    return steal(PyUnicode_FromFormat("%S()", qualname.ptr()));
}

// TypeError(f"{function_str(fn)} got multiple values for keyword argument '{key}'")
[[noreturn]] void raise_repeated_keyword(PyObject* fn, PyObject* key, const State& st) {
    py::object name = function_str(fn, st);
    PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", name.ptr(), key);
    throw py::error_already_set();
}

// TypeError(f"{function_str(fn)} argument after {stars} must be {what}, not {type(value).__name__}")
[[noreturn]] void raise_bad_unpacking(PyObject* fn, const char* stars, const char* what, PyObject* value,
                                      const State& st) {
    py::object name = function_str(fn, st);
    PyErr_Format(PyExc_TypeError, "%U argument after %s must be %s, not %.200s", name.ptr(), stars, what,
                 Py_TYPE(value)->tp_name);
    throw py::error_already_set();
}

// The keys of `mapping` merged into `into` as `f(**mapping)` merges them:
// through keys() and item reads, a repeated key refused.
void merge_keywords(PyObject* fn, PyObject* into, PyObject* mapping, const State& st) {
    if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
        qv::check(PyDict_Merge(into, mapping, 1));
        return;
    }
    py::object keys = steal(PyMapping_Keys(mapping));
    py::object it = steal(PyObject_GetIter(keys.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object key = steal(raw);
        if (qv::check(PyDict_Contains(into, key.ptr()))) raise_repeated_keyword(fn, key.ptr(), st);
        py::object value = steal(PyObject_GetItem(mapping, key.ptr()));
        qv::check(PyDict_SetItem(into, key.ptr(), value.ptr()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// The dict that `fn(*args, **mapping)` passes: an exact dict as it is, any
// other mapping copied, anything else refused with the call statement's text.
py::object keyword_dict(PyObject* fn, PyObject* mapping, const State& st) {
    if (PyDict_CheckExact(mapping)) return borrow(mapping);
    py::object copy = steal(PyDict_New());
    try {
        merge_keywords(fn, copy.ptr(), mapping, st);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_AttributeError)) raise_bad_unpacking(fn, "**", "a mapping", mapping, st);
#if PY_VERSION_HEX >= 0x030C0000
        // From 3.12 a KeyError with one argument, from wherever, is reported as
        // a repeated keyword.
        if (e.matches(PyExc_KeyError)) {
            py::object args = qv::getattr(e.value().ptr(), st.args);
            if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1)
                raise_repeated_keyword(fn, PyTuple_GET_ITEM(args.ptr(), 0), st);
        }
#endif
        throw;
    }
    return copy;
}

// tuple(args) as `fn(*args)` makes it: any iterable, anything else refused
// with the call statement's text.
py::object positional_tuple(PyObject* fn, PyObject* args, const State& st) {
    if (PyTuple_CheckExact(args)) return borrow(args);
    if (Py_TYPE(args)->tp_iter == nullptr && !PySequence_Check(args))
        raise_bad_unpacking(fn, "*", "an iterable", args, st);
    return steal(PySequence_Tuple(args));
}

// `p != None`, without a comparison when p is None itself (None's own
// comparison runs no code).
bool is_processor(PyObject* p) { return p != Py_None && qv::not_equal(p, Py_None); }

// self.processor_array[index]
py::object processor_at(const Call& call, PyObject* self, PyObject* index) {
    py::object processors = call.fs.members.attr(self, call.st.processor_array);
    return steal(PyObject_GetItem(processors.ptr(), index));
}

// self.layer_array[index]
py::object layer_at(const Call& call, PyObject* self, PyObject* index) {
    py::object layers = call.fs.members.attr(self, call.st.layer_array);
    return call.fs.members.item(layers.ptr(), index);
}

// The layer call of a dendrite whose processor adapted the arguments.
py::object call_adapted(const Call& call, PyObject* self, PyObject* c, PyObject* processor, PyObject* const* inputs,
                        Py_ssize_t ninputs, PyObject* kwnames) {
    py::object pre = qv::getattr(processor, call.st.pre);
    py::object adapted = steal(PyObject_Vectorcall(pre.ptr(), inputs, static_cast<std::size_t>(ninputs), kwnames));
    auto [layer_args, layer_kwargs] = qv::unpack_two(adapted.ptr());
    adapted = py::object();
    py::object layer = layer_at(call, self, c);
    // As the call statement does: the keywords are merged before the positionals are.
    py::object keywords = keyword_dict(layer.ptr(), layer_kwargs.ptr(), call.st);
    py::object positional = positional_tuple(layer.ptr(), layer_args.ptr(), call.st);
    return steal(PyObject_Call(layer.ptr(), positional.ptr(), keywords.ptr()));
}

}  // namespace

py::object list_get(PyObject* list, Py_ssize_t index) {
    PyObject* v = PyList_GetItem(list, index);
    if (v == nullptr) throw py::error_already_set();
    return borrow(v);
}

void list_set(PyObject* list, Py_ssize_t index, const py::object& value) {
    qv::check(PyList_SetItem(list, index, py::object(value).release().ptr()));
}

Py_ssize_t layer_count(const Call& call, PyObject* self) {
    py::object layers = call.fs.members.attr(self, call.st.layer_array);
    return call.fs.members.length(layers.ptr());
}

py::object call_method(const Call& call, PyObject* name, PyObject** stack, std::size_t nargs, PyObject* kwnames) {
    const std::size_t flags = nargs | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (py::object fn = call.fs.members.unbound_method(stack[0], name))
        return steal(PyObject_Vectorcall(fn.ptr(), stack, flags, kwnames));
    return steal(PyObject_VectorcallMethod(name, stack, flags, kwnames));
}

void run_dendrite(const Call& call, PyObject* self, PyObject* c, PyObject* outs, PyObject* const* inputs,
                  Py_ssize_t ninputs, PyObject* kwnames) {
    py::object out;
    {
        py::object processor = processor_at(call, self, c);
        if (is_processor(processor.ptr())) {
            out = call_adapted(call, self, c, processor.ptr(), inputs, ninputs, kwnames);
        } else {
            processor = py::object();
            py::object layer = layer_at(call, self, c);
            out = steal(PyObject_Vectorcall(layer.ptr(), inputs, static_cast<std::size_t>(ninputs), kwnames));
        }
    }
    // Looked up and compared again: the layer may have changed the entry.
    py::object processor = processor_at(call, self, c);
    if (is_processor(processor.ptr())) out = qv::call_method(processor.ptr(), call.st.post, {out.ptr()});
    qv::check(PyObject_SetItem(outs, c, out.ptr()));
}

void run_main(const Call& call, PyObject* self, PyObject* outs, PyObject* const* inputs, Py_ssize_t ninputs,
              PyObject* kwnames) {
    py::object last = steal(PyLong_FromLong(-1));
    py::object out;
    {
        py::object main_layer = layer_at(call, self, last.ptr());
        ArgVector stack(1 + static_cast<std::size_t>(ninputs + keyword_count(kwnames)));
        stack[0] = main_layer.ptr();
        copy_args(stack, 1, inputs, ninputs + keyword_count(kwnames));
        out = call_method(call, call.st.forward, stack.data(), 1 + static_cast<std::size_t>(ninputs), kwnames);
    }
    {
        py::object processor = processor_at(call, self, last.ptr());
        if (processor.ptr() != Py_None) out = qv::call_method(processor.ptr(), call.st.pre, {out.ptr()});
    }
    py::object slot = steal(PyLong_FromSsize_t(layer_count(call, self) - 1));
    qv::check(PyObject_SetItem(outs, slot.ptr(), out.ptr()));
}

void run_sequential(const Call& call, PyObject* self, PyObject* outs, Py_ssize_t layers, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = keyword_count(kwnames);
    ArgVector stack(3 + static_cast<std::size_t>(nargs + nkw));
    copy_args(stack, 3, args, nargs + nkw);
    for (Py_ssize_t c = 0; c < layers - 1; ++c) {
        py::object index = steal(PyLong_FromSsize_t(c));
        stack[0] = self;
        stack[1] = index.ptr();
        stack[2] = outs;
        call_method(call, call.st.process_and_forward, stack.data(), 3 + static_cast<std::size_t>(nargs), kwnames);
    }
    stack[1] = self;
    stack[2] = outs;
    call_method(call, call.st.process_and_pre, stack.data() + 1, 2 + static_cast<std::size_t>(nargs), kwnames);
}

}  // namespace marlune
