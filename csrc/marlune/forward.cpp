// The forward pass of ZORModulePyThread.
//
// forward runs every layer of the block on the same arguments, either one
// after another on the caller's thread or on one Thread per layer, and then
// combines the outputs on the caller's thread: each dendrite slot receives the
// skip-weighted values of the earlier slots and passes through the dendrite
// nonlinearity, and all of them are added, skip-weighted, into the main slot.
//
// Threaded workers run under the caller's grad, inference and autocast modes
// (and CUDA device and stream), which PyTorch keeps per thread; an exception in
// a worker is kept and raised on the caller's thread once all workers ended.
//
// The member reads go through small fast paths that give exactly what the
// generic Python protocol gives for torch's own classes, and use that generic
// protocol for anything else.
#include "marlune/forward.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "common/torch_code.hpp"
#include "common/unpack.hpp"
#include "common/calling.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "marlune/state.hpp"

namespace marlune {

namespace {

using qv::borrow;
using qv::steal;

// A vectorcall argument vector: small ones on the stack.
class ArgVector {
public:
    explicit ArgVector(std::size_t size) {
        if (size > inline_.size()) heap_.resize(size);
        data_ = size > inline_.size() ? heap_.data() : inline_.data();
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

// Copies `count` arguments (positional, then keyword values) after `at`.
void copy_args(ArgVector& into, std::size_t at, PyObject* const* args, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) into[at + static_cast<std::size_t>(i)] = args[i];
}

Py_ssize_t keyword_count(PyObject* kwnames) { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }

[[noreturn]] void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw py::error_already_set();
}

py::object py_int(Py_ssize_t value) { return steal(PyLong_FromSsize_t(value)); }

// Whether `tp` still has the attributes it had when `tag` was read from it:
// CPython gives a class a new version tag whenever an attribute of it or of a
// base changes.
unsigned int version_tag(PyTypeObject* tp) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return tp->tp_version_tag;
}

enum class Lookup { found, absent, unknown };

// str(index) for index >= 0; one-digit texts are CPython's shared one-character strings.
py::object index_text(Py_ssize_t index) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, index);
    (void)ec;
    return steal(PyUnicode_FromStringAndSize(digits, end - digits));
}

// Fast member reads for one call. They apply only where the result is the one
// the generic protocol would give: an object whose class reads attributes
// through torch.nn.Module.__getattr__ (unchanged, with no class attribute of
// the name), and the exact torch.nn.Sequential and torch.nn.ParameterList.
// Everything else takes the generic path.
class Fast {
public:
    Fast(const State& st, PyTypeObject* cls) : st_(st) {
        // The class was made with nn.Module as its only base.
        PyTypeObject* base = cls->tp_base;
        if (base == nullptr) return;
        PyObject* getattr_fn = _PyType_Lookup(base, st.__getattr__);
        PyObject* getattribute_fn = _PyType_Lookup(&PyBaseObject_Type, st.__getattribute__);
        if (!qv::defined_by_torch(getattr_fn, "nn/modules/module.py") || getattribute_fn == nullptr) return;
        module_type_ = borrow(reinterpret_cast<PyObject*>(base));
        module_getattr_ = borrow(getattr_fn);
        object_getattribute_ = borrow(getattribute_fn);
    }

    // obj.name, as nn.Module's protocol answers it; `unknown` where the
    // generic path must decide.
    Lookup lookup(PyObject* obj, PyObject* name, py::object& out) const {
        if (!module_type_) return Lookup::unknown;
        PyTypeObject* tp = Py_TYPE(obj);
        if (!reads_like_module(tp)) return Lookup::unknown;
        if (_PyType_Lookup(tp, name) != nullptr) return Lookup::unknown;
        PyObject* raw = PyObject_GenericGetDict(obj, nullptr);
        if (raw == nullptr) {
            PyErr_Clear();
            return Lookup::unknown;
        }
        py::object dict = steal(raw);
        if (!PyDict_CheckExact(raw)) return Lookup::unknown;
        if (PyObject* v = PyDict_GetItemWithError(raw, name)) {
            out = borrow(v);
            return Lookup::found;
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        // nn.Module.__getattr__: parameters, then buffers, then child modules.
        for (PyObject* store : {st_._parameters, st_._buffers, st_._modules}) {
            PyObject* sub = PyDict_GetItemWithError(raw, store);
            if (sub == nullptr) {
                if (PyErr_Occurred()) throw py::error_already_set();
                continue;
            }
            if (!PyDict_CheckExact(sub)) return Lookup::unknown;
            py::object held = borrow(sub);
            if (PyObject* v = PyDict_GetItemWithError(sub, name)) {
                out = borrow(v);
                return Lookup::found;
            }
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        return Lookup::absent;
    }

    // getattr(obj, name)
    py::object attr(PyObject* obj, PyObject* name) const {
        py::object out;
        if (lookup(obj, name, out) == Lookup::found) return out;
        return qv::getattr(obj, name);
    }

    // hasattr(obj, name)
    bool has(PyObject* obj, PyObject* name) const {
        py::object out;
        switch (lookup(obj, name, out)) {
            case Lookup::found: return true;
            case Lookup::absent: return false;
            case Lookup::unknown: break;
        }
        return qv::hasattr(obj, name);
    }

    // len(seq)
    Py_ssize_t length(PyObject* seq) {
        py::object modules;
        if (sequential_modules(seq, modules)) return PyDict_GET_SIZE(modules.ptr());
        const Py_ssize_t size = PyObject_Size(seq);
        if (size < 0) throw py::error_already_set();
        return size;
    }

    // seq[index]
    py::object item(PyObject* seq, PyObject* index) {
        py::object modules;
        if (PyLong_CheckExact(index) && sequential_modules(seq, modules)) {
            Py_ssize_t i = PyLong_AsSsize_t(index);
            if (i == -1 && PyErr_Occurred()) {
                PyErr_Clear();
            } else {
                const Py_ssize_t size = PyDict_GET_SIZE(modules.ptr());
                if (-size <= i && i < size) {
                    if (i < 0) i += size;
                    Py_ssize_t pos = 0, at = 0;
                    PyObject *key, *value;
                    while (PyDict_Next(modules.ptr(), &pos, &key, &value))
                        if (at++ == i) return borrow(value);
                }
            }
        }
        return steal(PyObject_GetItem(seq, index));
    }

    // list_like[index] where list_like is usually an nn.ParameterList.
    py::object parameter(PyObject* list_like, Py_ssize_t index) {
        if (is_torch_class(Py_TYPE(list_like), parameter_list_, parameter_list_tag_, st_.ParameterList)) {
            py::object size_obj;
            if (instance_member(list_like, st_._size, size_obj) && PyLong_CheckExact(size_obj.ptr())) {
                const Py_ssize_t size = PyLong_AsSsize_t(size_obj.ptr());
                if (size == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                } else if (-size <= index && index < size) {
                    py::object key = index_text(index < 0 ? index + size : index);
                    py::object out;
                    if (lookup(list_like, key.ptr(), out) == Lookup::found) return out;
                }
            }
        }
        py::object i = py_int(index);
        return steal(PyObject_GetItem(list_like, i.ptr()));
    }

private:
    // Whether instances of `tp` read attributes through nn.Module.__getattr__
    // after the generic lookup, and nothing else. The answer for the last
    // class asked is kept while its version tag stays the same.
    bool reads_like_module(PyTypeObject* tp) const {
        if (tp == checked_type_ && checked_tag_ != 0 && version_tag(tp) == checked_tag_) return true;
        if (tp->tp_getattro != reinterpret_cast<PyTypeObject*>(module_type_.ptr())->tp_getattro) return false;
        if (_PyType_Lookup(tp, st_.__getattr__) != module_getattr_.ptr()) return false;
        if (_PyType_Lookup(tp, st_.__getattribute__) != object_getattribute_.ptr()) return false;
        checked_holder_ = borrow(reinterpret_cast<PyObject*>(tp));
        checked_type_ = tp;
        checked_tag_ = version_tag(tp);
        return true;
    }

    // obj.__dict__[name] when the class has no attribute of that name (so the
    // generic read would find exactly this).
    bool instance_member(PyObject* obj, PyObject* name, py::object& out) const {
        if (_PyType_Lookup(Py_TYPE(obj), name) != nullptr) return false;
        PyObject* raw = PyObject_GenericGetDict(obj, nullptr);
        if (raw == nullptr) {
            PyErr_Clear();
            return false;
        }
        py::object dict = steal(raw);
        if (!PyDict_CheckExact(raw)) return false;
        PyObject* v = PyDict_GetItemWithError(raw, name);
        if (v == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        out = borrow(v);
        return true;
    }

    // The child-module dict of an exact torch.nn.Sequential.
    bool sequential_modules(PyObject* seq, py::object& modules) {
        if (!is_torch_class(Py_TYPE(seq), sequential_, sequential_tag_, st_.Sequential)) return false;
        return instance_member(seq, st_._modules, modules) && PyDict_CheckExact(modules.ptr());
    }

    // Whether `tp` is torch.nn.<name> from torch.nn.modules.container with
    // torch's own __getitem__ and __len__; the answer is kept in `known` for
    // the rest of the call.
    bool is_torch_class(PyTypeObject* tp, py::object& known, unsigned int& tag, PyObject* name) const {
        if (known && known.ptr() == reinterpret_cast<PyObject*>(tp) && tag != 0 && version_tag(tp) == tag) return true;
        if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) || PyUnicode_CompareWithASCIIString(name, tp->tp_name) != 0)
            return false;
        PyObject* where = PyDict_GetItemWithError(tp->tp_dict, st_.__module__);
        if (where == nullptr || !PyUnicode_Check(where) ||
            PyUnicode_CompareWithASCIIString(where, "torch.nn.modules.container") != 0) {
            PyErr_Clear();
            return false;
        }
        py::object where_held = borrow(where);
        PyObject* container = PyImport_GetModule(where);
        if (container == nullptr) {
            PyErr_Clear();
            return false;
        }
        py::object container_held = steal(container);
        PyObject* cls = PyObject_GetAttr(container, name);
        if (cls == nullptr) {
            PyErr_Clear();
            return false;
        }
        py::object cls_held = steal(cls);
        if (cls != reinterpret_cast<PyObject*>(tp)) return false;
        for (PyObject* method : {st_.__getitem__, st_.__len__}) {
            PyObject* fn = PyDict_GetItemWithError(tp->tp_dict, method);
            if (!qv::defined_by_torch(fn, "nn/modules/container.py")) {
                PyErr_Clear();
                return false;
            }
        }
        known = cls_held;
        tag = version_tag(tp);
        return true;
    }

    const State& st_;
    py::object module_type_, module_getattr_, object_getattribute_;
    mutable py::object sequential_, parameter_list_;
    mutable unsigned int sequential_tag_ = 0, parameter_list_tag_ = 0;
    mutable py::object checked_holder_;
    mutable PyTypeObject* checked_type_ = nullptr;
    mutable unsigned int checked_tag_ = 0;
};

// CPython's name for a callable in call-site messages.
py::object function_str(PyObject* fn, const State& st) {
    PyObject* qualname = PyObject_GetAttr(fn, st.__qualname__);
    if (qualname == nullptr) {
        PyErr_Clear();
        return steal(PyObject_Str(fn));
    }
    py::object qn = steal(qualname);
    PyObject* mod = PyObject_GetAttr(fn, st.__module__);
    if (mod == nullptr) PyErr_Clear();
    py::object m = mod ? steal(mod) : py::none();
    if (mod && PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "builtins") != 0)
        return steal(PyUnicode_FromFormat("%U.%U()", mod, qualname));
    return steal(PyUnicode_FromFormat("%U()", qualname));
}

// The dict that `fn(**mapping)` passes: an exact dict as it is, any other
// mapping copied, anything else refused as the call statement refuses it.
py::object keyword_dict(PyObject* fn, PyObject* mapping, const State& st) {
    if (PyDict_CheckExact(mapping)) return borrow(mapping);
    if (!PyDict_Check(mapping) && !qv::hasattr(mapping, st.keys)) {
        py::object name = function_str(fn, st);
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", name.ptr(),
                     Py_TYPE(mapping)->tp_name);
        throw py::error_already_set();
    }
    py::object copy = steal(PyDict_New());
    qv::check(PyDict_Merge(copy.ptr(), mapping, 1));
    return copy;
}

py::object list_get(PyObject* list, Py_ssize_t index) {
    PyObject* v = PyList_GetItem(list, index);
    if (v == nullptr) throw py::error_already_set();
    return borrow(v);
}

void list_set(PyObject* list, Py_ssize_t index, const py::object& value) {
    qv::check(PyList_SetItem(list, index, py::object(value).release().ptr()));
}

// `p != None`, without a comparison when p is None itself (None's own
// comparison runs no code).
bool is_processor(const py::object& p) { return p.ptr() != Py_None && qv::not_equal(p.ptr(), Py_None); }

// --- the workers -----------------------------------------------------------

// Dendrite `c`: processor pre, the layer's module call, processor post, slot c.
void run_dendrite(Fast& fast, const State& st, PyObject* self, PyObject* c, PyObject* outs, PyObject* const* inputs,
                  Py_ssize_t ninputs, PyObject* kwnames) {
    py::object out;
    {
        py::object processors = fast.attr(self, st.processor_array);
        py::object processor = steal(PyObject_GetItem(processors.ptr(), c));
        processors = py::object();
        if (is_processor(processor)) {
            py::object pre = qv::getattr(processor.ptr(), st.pre);
            py::object adapted = steal(PyObject_Vectorcall(pre.ptr(), inputs, static_cast<std::size_t>(ninputs), kwnames));
            auto [layer_args, layer_kwargs] = qv::unpack_two(adapted.ptr());
            adapted = py::object();
            py::object layers = fast.attr(self, st.layer_array);
            py::object layer = fast.item(layers.ptr(), c);
            layers = py::object();
            py::object positional = steal(PySequence_Tuple(layer_args.ptr()));
            py::object keywords = keyword_dict(layer.ptr(), layer_kwargs.ptr(), st);
            out = steal(PyObject_Call(layer.ptr(), positional.ptr(), keywords.ptr()));
        } else {
            py::object layers = fast.attr(self, st.layer_array);
            py::object layer = fast.item(layers.ptr(), c);
            layers = py::object();
            out = steal(PyObject_Vectorcall(layer.ptr(), inputs, static_cast<std::size_t>(ninputs), kwnames));
        }
    }
    py::object processors = fast.attr(self, st.processor_array);
    py::object processor = steal(PyObject_GetItem(processors.ptr(), c));
    processors = py::object();
    if (is_processor(processor)) out = qv::call_method(processor.ptr(), st.post, {out.ptr()});
    qv::check(PyObject_SetItem(outs, c, out.ptr()));
}

// The main layer: its forward called directly (its hooks do not run), the
// processor's pre on the result, the last slot.
void run_main(Fast& fast, const State& st, PyObject* self, PyObject* outs, PyObject* const* inputs, Py_ssize_t ninputs,
              PyObject* kwnames) {
    py::object last = py_int(-1);
    py::object out;
    {
        py::object layers = fast.attr(self, st.layer_array);
        py::object main_layer = fast.item(layers.ptr(), last.ptr());
        layers = py::object();
        const Py_ssize_t nkw = keyword_count(kwnames);
        ArgVector stack(1 + static_cast<std::size_t>(ninputs + nkw));
        stack[0] = main_layer.ptr();
        copy_args(stack, 1, inputs, ninputs + nkw);
        out = steal(PyObject_VectorcallMethod(st.forward, stack.data(),
                                              static_cast<std::size_t>(1 + ninputs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              kwnames));
    }
    {
        py::object processors = fast.attr(self, st.processor_array);
        py::object processor = steal(PyObject_GetItem(processors.ptr(), last.ptr()));
        processors = py::object();
        if (processor.ptr() != Py_None) out = qv::call_method(processor.ptr(), st.pre, {out.ptr()});
    }
    py::object layers = fast.attr(self, st.layer_array);
    py::object slot = py_int(fast.length(layers.ptr()) - 1);
    layers = py::object();
    qv::check(PyObject_SetItem(outs, slot.ptr(), out.ptr()));
}

// --- threads -----------------------------------------------------------------

// The pending exception, taken off the thread with its traceback attached.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` the pending exception again, traceback included (new reference
// taken).
void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(exc));
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), Py_NewRef(exc), PyException_GetTraceback(exc));
#endif
}

// What a worker must reproduce of the caller's thread-local torch state.
// The items of the worker's bundle, after its target, error list and index.
enum BundleItem : Py_ssize_t {
    kTarget,
    kErrors,
    kIndex,
    kModule,
    kTorch,
    kGradEnabled,    // bool
    kInferenceMode,  // bool
    kAutocasts,      // tuple of (device_type, dtype, cache_enabled), enabled ones only
    kCudaDevice,     // int, or None when the inputs are not CUDA tensors
    kCudaStream,     // torch.cuda.Stream, or None
    kBundleSize,
};

bool has_cuda_tensor(PyObject* tensor_type, PyObject* const* args, Py_ssize_t count, const State& st) {
    if (!PyType_Check(tensor_type)) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyObject_TypeCheck(args[i], reinterpret_cast<PyTypeObject*>(tensor_type))) continue;
        py::object on_cuda = qv::getattr(args[i], st.is_cuda);
        if (qv::truthy(on_cuda.ptr())) return true;
    }
    return false;
}

// Reads the caller's grad mode, inference mode, autocast state and, for CUDA
// inputs, current device and stream. Newer torch takes a device type in the
// autocast queries; older torch has per-device functions.
std::array<py::object, 5> capture_torch_state(const State& st, PyObject* torch, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
    std::array<py::object, 5> out;
    out[0] = qv::call_method(torch, st.is_grad_enabled);
    out[1] = qv::call_method(torch, st.is_inference_mode_enabled);
    const bool by_device = qv::hasattr(torch, st.get_autocast_dtype);
    py::object autocasts = steal(PyList_New(0));
    for (PyObject* device_type : {st.cpu, st.cuda}) {
        const bool cpu = device_type == st.cpu;
        py::object enabled = by_device ? qv::call_method(torch, st.is_autocast_enabled, {device_type})
                                       : qv::call_method(torch, cpu ? st.is_autocast_cpu_enabled : st.is_autocast_enabled);
        if (!qv::truthy(enabled.ptr())) continue;
        py::object dtype = by_device ? qv::call_method(torch, st.get_autocast_dtype, {device_type})
                                     : qv::call_method(torch, cpu ? st.get_autocast_cpu_dtype : st.get_autocast_gpu_dtype);
        py::object cache = qv::hasattr(torch, st.is_autocast_cache_enabled)
                               ? qv::call_method(torch, st.is_autocast_cache_enabled)
                               : py::none();
        py::object entry = steal(PyTuple_Pack(3, device_type, dtype.ptr(), cache.ptr()));
        qv::check(PyList_Append(autocasts.ptr(), entry.ptr()));
    }
    out[2] = steal(PyList_AsTuple(autocasts.ptr()));
    out[3] = py::none();
    out[4] = py::none();
    py::object tensor_type = qv::getattr(torch, st.Tensor);
    if (has_cuda_tensor(tensor_type.ptr(), args, nargs + keyword_count(kwnames), st)) {
        py::object cuda = qv::getattr(torch, st.cuda);
        out[3] = qv::call_method(cuda.ptr(), st.current_device);
        out[4] = qv::call_method(cuda.ptr(), st.current_stream);
    }
    return out;
}

// Enters each context manager of the caller's state, in order.
void enter_torch_state(const State& st, PyObject* bundle, std::vector<py::object>& entered) {
    PyObject* torch = PyTuple_GET_ITEM(bundle, kTorch);
    auto enter = [&](py::object manager) {
        qv::call_method(manager.ptr(), st.__enter__);
        entered.push_back(std::move(manager));
    };
    PyObject* device = PyTuple_GET_ITEM(bundle, kCudaDevice);
    PyObject* stream = PyTuple_GET_ITEM(bundle, kCudaStream);
    if (device != Py_None) {
        py::object cuda = qv::getattr(torch, st.cuda);
        enter(qv::call_method(cuda.ptr(), st.device, {device}));
        enter(qv::call_method(cuda.ptr(), st.stream, {stream}));
    }
    // A new thread starts with grad mode on, inference mode and autocast off.
    if (!qv::truthy(PyTuple_GET_ITEM(bundle, kGradEnabled)))
        enter(qv::call_method(torch, st.set_grad_enabled, {Py_False}));
    if (qv::truthy(PyTuple_GET_ITEM(bundle, kInferenceMode)))
        enter(qv::call_method(torch, st.inference_mode, {Py_True}));
    PyObject* autocasts = PyTuple_GET_ITEM(bundle, kAutocasts);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(autocasts); ++i) {
        PyObject* autocast = PyTuple_GET_ITEM(autocasts, i);
        py::object cls = qv::getattr(torch, st.autocast);
        py::object names = steal(PyTuple_Pack(3, st.dtype, st.enabled, st.cache_enabled));
        PyObject* call_args[] = {PyTuple_GET_ITEM(autocast, 0), PyTuple_GET_ITEM(autocast, 1), Py_True, PyTuple_GET_ITEM(autocast, 2)};
        enter(steal(PyObject_Vectorcall(cls.ptr(), call_args, 1, names.ptr())));
    }
}

// `raised` (owned) with `previous` (owned, may be null) as its context, as
// raising while an exception is in flight does.
PyObject* chain(PyObject* raised, PyObject* previous) {
    if (previous == nullptr) return raised;
    if (raised == nullptr) return previous;
    if (raised == previous)
        Py_DECREF(previous);
    else
        PyException_SetContext(raised, previous);
    return raised;
}

// Leaves the entered managers in reverse order, as nested `with` statements
// do: each sees the exception in flight (`exc`, owned, may be null), may
// suppress it, or replace it with its own.
PyObject* leave_torch_state(const State& st, std::vector<py::object>& entered, PyObject* exc) noexcept {
    while (!entered.empty()) {
        py::object manager = std::move(entered.back());
        entered.pop_back();
        PyObject* result;
        if (exc == nullptr) {
            result = PyObject_CallMethodObjArgs(manager.ptr(), st.__exit__, Py_None, Py_None, Py_None, nullptr);
        } else {
            PyObject* tb = PyException_GetTraceback(exc);
            result = PyObject_CallMethodObjArgs(manager.ptr(), st.__exit__, reinterpret_cast<PyObject*>(Py_TYPE(exc)),
                                                exc, tb ? tb : Py_None, nullptr);
            Py_XDECREF(tb);
        }
        if (result == nullptr) {
            exc = chain(take_exception(), exc);
            continue;
        }
        const int suppress = exc != nullptr ? PyObject_IsTrue(result) : 0;
        Py_DECREF(result);
        if (suppress < 0)
            exc = chain(take_exception(), exc);
        else if (suppress > 0)
            Py_CLEAR(exc);
    }
    return exc;
}

// The target of each worker Thread: runs the worker method under the caller's
// torch state and keeps any exception in the call's error list instead of
// letting it reach threading.excepthook.
PyObject* run_worker(PyObject* bundle, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* module = PyTuple_GET_ITEM(bundle, kModule);
    const State& st = state_of(module);
    PyObject* exc = nullptr;
    std::vector<py::object> entered;
    try {
        enter_torch_state(st, bundle, entered);
        py::object target = borrow(PyTuple_GET_ITEM(bundle, kTarget));
        steal(PyObject_Vectorcall(target.ptr(), args, static_cast<std::size_t>(nargs), kwnames));
    } catch (...) {
        qv::set_python_error_from_current();
    }
    if (PyErr_Occurred()) exc = take_exception();
    exc = leave_torch_state(st, entered, exc);
    if (exc != nullptr) {
        const Py_ssize_t index = PyLong_AsSsize_t(PyTuple_GET_ITEM(bundle, kIndex));
        if (PyList_SetItem(PyTuple_GET_ITEM(bundle, kErrors), index, exc) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef worker_defs[] = {
    {"process_and_forward", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_worker)),
     METH_FASTCALL | METH_KEYWORDS, "Runs one dendrite worker under the calling thread's torch state."},
    {"process_and_pre", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_worker)),
     METH_FASTCALL | METH_KEYWORDS, "Runs the main-layer worker under the calling thread's torch state."},
};

// Threaded worker stage: one Thread per layer (dendrites by index, the main
// layer last), all started, then all joined, in that order. Raises the
// exception of the lowest-index failing worker once every thread has ended.
void run_threaded(const State& st, PyObject* module, PyObject* globals, PyObject* self, PyObject* outs, Py_ssize_t n,
                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::object torch = qv::global(globals, st.torch);
    auto state = capture_torch_state(st, torch.ptr(), args, nargs, kwnames);
    py::object errors = steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(errors.ptr(), i, Py_NewRef(Py_None));
    py::object kwargs = qv::kwargs_dict(args, nargs, kwnames);
    py::object thread_kw = steal(PyTuple_Pack(3, st.target, st.args, st.kwargs));

    auto make_thread = [&](Py_ssize_t index, PyMethodDef* def, PyObject* method, PyObject* lead_index) {
        py::object target = qv::getattr(self, method);
        py::object bundle = steal(PyTuple_New(kBundleSize));
        PyObject* items[kBundleSize] = {target.ptr(), errors.ptr(),  nullptr,         module,
                                        torch.ptr(),  state[0].ptr(), state[1].ptr(), state[2].ptr(),
                                        state[3].ptr(), state[4].ptr()};
        py::object index_obj = py_int(index);
        items[kIndex] = index_obj.ptr();
        for (Py_ssize_t i = 0; i < kBundleSize; ++i) PyTuple_SET_ITEM(bundle.ptr(), i, Py_NewRef(items[i]));
        py::object worker = steal(PyCFunction_New(def, bundle.ptr()));
        const Py_ssize_t lead = lead_index ? 2 : 1;
        py::object thread_args = steal(PyTuple_New(lead + nargs));
        if (lead_index) PyTuple_SET_ITEM(thread_args.ptr(), 0, Py_NewRef(lead_index));
        PyTuple_SET_ITEM(thread_args.ptr(), lead - 1, Py_NewRef(outs));
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(thread_args.ptr(), lead + i, Py_NewRef(args[i]));
        py::object thread_class = qv::global(globals, st.Thread);
        PyObject* call_args[] = {worker.ptr(), thread_args.ptr(), kwargs.ptr()};
        return steal(PyObject_Vectorcall(thread_class.ptr(), call_args, 0, thread_kw.ptr()));
    };

    std::vector<py::object> threads;
    threads.reserve(static_cast<std::size_t>(n > 0 ? n : 1));
    for (Py_ssize_t c = 0; c + 1 < n; ++c) {
        py::object index = py_int(c);
        threads.push_back(make_thread(c, &worker_defs[0], st.process_and_forward, index.ptr()));
    }
    threads.push_back(make_thread(n - 1, &worker_defs[1], st.process_and_pre, nullptr));

    // With no layers there is no slot, so no thread is started.
    Py_ssize_t started = 0;
    try {
        for (; started < n; ++started) qv::call_method(threads[static_cast<std::size_t>(started)].ptr(), st.start);
    } catch (py::error_already_set&) {
        // Threads already running must not outlive the call.
        for (Py_ssize_t i = 0; i < started; ++i) {
            PyObject* r = PyObject_CallMethodNoArgs(threads[static_cast<std::size_t>(i)].ptr(), st.join);
            if (r == nullptr) PyErr_Clear();
            Py_XDECREF(r);
        }
        throw;
    }
    for (Py_ssize_t i = 0; i < n; ++i) qv::call_method(threads[static_cast<std::size_t>(i)].ptr(), st.join);

    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* exc = PyList_GET_ITEM(errors.ptr(), i);
        if (exc != Py_None) {
            restore_exception(exc);
            throw py::error_already_set();
        }
    }
}

// Sequential worker stage: self.process_and_forward(c, outs, *args, **kwargs)
// for each dendrite in order, then self.process_and_pre(outs, *args, **kwargs).
void run_sequential(const State& st, PyObject* self, PyObject* outs, Py_ssize_t n, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = keyword_count(kwnames);
    ArgVector stack(3 + static_cast<std::size_t>(nargs + nkw));
    copy_args(stack, 3, args, nargs + nkw);
    for (Py_ssize_t c = 0; c + 1 < n; ++c) {
        py::object index = py_int(c);
        stack[0] = self;
        stack[1] = index.ptr();
        stack[2] = outs;
        steal(PyObject_VectorcallMethod(st.process_and_forward, stack.data(),
                                        static_cast<std::size_t>(3 + nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    stack[1] = self;
    stack[2] = outs;
    steal(PyObject_VectorcallMethod(st.process_and_pre, stack.data() + 1,
                                    static_cast<std::size_t>(2 + nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The cascade over the slots, then the main processor's post.
py::object combine(Fast& fast, const State& st, PyObject* globals, PyObject* self, PyObject* outs, Py_ssize_t n) {
    py::object current;
    py::object all = steal(PySlice_New(nullptr, nullptr, nullptr));
    for (Py_ssize_t out_index = 0; out_index < n; ++out_index) {
        current = list_get(outs, out_index);
        if (n > 1 && fast.has(self, st.skip_weights)) {
            for (Py_ssize_t in_index = 0; in_index < out_index; ++in_index) {
                py::object weights = fast.attr(self, st.skip_weights);
                py::object entry = fast.parameter(weights.ptr(), out_index - 1);
                weights = py::object();
                py::object row_key = steal(PyTuple_Pack(2, py_int(in_index).ptr(), all.ptr()));
                py::object row = steal(PyObject_GetItem(entry.ptr(), row_key.ptr()));
                entry = py::object();
                py::object view_tuple = fast.attr(self, st.view_tuple);
                py::object shape = qv::call_method(view_tuple.ptr(), st.tolist);
                view_tuple = py::object();
                row = qv::call_method(row.ptr(), st.view, {shape.ptr()});
                py::object device = qv::getattr(current.ptr(), st.device);
                row = qv::call_method(row.ptr(), st.to, {device.ptr()});
                py::object earlier = list_get(outs, in_index);
                py::object product = steal(PyNumber_Multiply(row.ptr(), earlier.ptr()));
                current = steal(PyNumber_Add(current.ptr(), product.ptr()));
            }
            if (out_index < n - 1) {
                py::object gzr = qv::global(globals, st.GZR);
                py::object settings = qv::getattr(gzr.ptr(), st.pc);
                py::object nonlinearity = qv::call_method(settings.ptr(), st.get_zor_forward_function);
                current = qv::call(nonlinearity.ptr(), {current.ptr()});
            }
        }
        list_set(outs, out_index, current);
    }
    py::object last = py_int(-1);
    py::object processors = fast.attr(self, st.processor_array);
    py::object processor = steal(PyObject_GetItem(processors.ptr(), last.ptr()));
    processors = py::object();
    if (processor.ptr() != Py_None) {
        py::object post = qv::getattr(processor.ptr(), st.post);
        if (current) return qv::call(post.ptr(), {current.ptr()});
    }
    if (!current) {
        // Only an empty layer_array leaves no slot to combine.
#if PY_VERSION_HEX >= 0x030C0000
        raise(PyExc_UnboundLocalError,
              "cannot access local variable 'current_out' where it is not associated with a value");
#else
        raise(PyExc_UnboundLocalError, "local variable 'current_out' referenced before assignment");
#endif
    }
    return current;
}

[[noreturn]] void raise_missing_argument() { raise(PyExc_IndexError, "tuple index out of range"); }

}  // namespace

PyObject* clean_process_and_forward(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "process_and_forward", 2}, [&]() -> py::object {
        qv::RecursionGuard guard(" while running a dendrite layer");
        const State& st = state_of(module);
        if (nargs < 2) raise_missing_argument();
        Fast fast(st, cls);
        run_dendrite(fast, st, self, args[0], args[1], args + 2, nargs - 2, kwnames);
        return py::none();
    });
}

PyObject* clean_process_and_pre(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "process_and_pre", 3}, [&]() -> py::object {
        qv::RecursionGuard guard(" while running a main layer");
        const State& st = state_of(module);
        if (nargs < 1) raise_missing_argument();
        Fast fast(st, cls);
        run_main(fast, st, self, args[0], args + 1, nargs - 1, kwnames);
        return py::none();
    });
}

PyObject* clean_forward(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    PyObject* module = PyType_GetModule(cls);
    if (module == nullptr) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "forward", 4}, [&]() -> py::object {
        qv::RecursionGuard guard(" while running a clean neuron module");
        const State& st = state_of(module);
        Fast fast(st, cls);
        // Read once: a change during the call does not affect it.
        py::object doing_multi = qv::global(globals, st.doing_threading);
        py::object layers = fast.attr(self, st.layer_array);
        const Py_ssize_t n = fast.length(layers.ptr());
        layers = py::object();
        py::object outs = steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(outs.ptr(), i, Py_NewRef(Py_None));
        if (qv::truthy(doing_multi.ptr()))
            run_threaded(st, module, globals, self, outs.ptr(), n, args, nargs, kwnames);
        else
            run_sequential(st, self, outs.ptr(), n, args, nargs, kwnames);
        return combine(fast, st, globals, self, outs.ptr(), n);
    });
}

}  // namespace marlune
