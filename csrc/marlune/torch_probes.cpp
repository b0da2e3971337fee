// The probes of torch's per-thread state and of tensor classes.
#include "marlune/torch_probes.hpp"

namespace marlune {

namespace {

// getattr(obj, name), or null (no error) when it cannot be read.
py::object find(PyObject* obj, const char* name) {
    if (obj == nullptr) return py::object();
    PyObject* v = PyObject_GetAttrString(obj, name);
    if (v == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return qv::steal(v);
}

// The members of a tensor that the forward pass reads or calls on its
// shortcuts: the first ones in the order of TorchProbes::Member.
constexpr const char* kTensorMembers[TorchProbes::kCheckedMembers] = {"_version", "data_ptr", "shape",  "stride", "dtype", "device",
                                          "requires_grad", "__getitem__", "view", "to", "tolist"};

}  // namespace

void TorchProbes::init(PyObject* torch) {
    py::object c = find(torch, "_C");
    len_function_modes_ = find(c.ptr(), "_len_torch_function_stack");
    len_dispatch_modes_ = find(c.ptr(), "_len_torch_dispatch_stack");
    tracing_state_ = find(c.ptr(), "_get_tracing_state");
    torch_function_enabled_ = find(c.ptr(), "_is_torch_function_enabled");
    is_grad_enabled_ = find(c.ptr(), "is_grad_enabled");
    is_inference_mode_enabled_ = find(c.ptr(), "is_inference_mode_enabled");
    py::object functorch = find(c.ptr(), "_functorch");
    functorch_level_ = find(functorch.ptr(), "peek_interpreter_stack");
    py::object autograd = find(c.ptr(), "_autograd");
    saved_tensor_hooks_ = find(autograd.ptr(), "_top_saved_tensors_default_hooks");
    tensor_ = find(torch, "Tensor");
    py::object nn = find(torch, "nn");
    parameter_ = find(nn.ptr(), "Parameter");
    if (tensor_ && PyType_Check(tensor_.ptr()) && reinterpret_cast<PyTypeObject*>(tensor_.ptr())->tp_base)
        tensor_base_ = qv::borrow(reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(tensor_.ptr())->tp_base));
    const char* pure[] = {"sigmoid", "tanh", "relu"};
    for (std::size_t i = 0; i < 3; ++i) pure_functions_[i] = find(torch, pure[i]);
    if (!tensor_base_) return;
    for (std::size_t i = 0; i < kCheckedMembers; ++i)
        member_names_[i] = qv::steal(PyUnicode_InternFromString(kTensorMembers[i]));
    for (int m = 0; m < member_count; ++m) {
        PyObject* name = member_names_[m].ptr();
        PyObject* descriptor = qv::compat::type_lookup(reinterpret_cast<PyTypeObject*>(tensor_base_.ptr()), name);
        if (descriptor == nullptr ||
            !(Py_IS_TYPE(descriptor, &PyGetSetDescr_Type) || Py_IS_TYPE(descriptor, &PyMethodDescr_Type))) {
            tensor_base_ = py::object();  // another torch: no shortcuts
            return;
        }
        member_descriptors_[m] = qv::borrow(descriptor);
    }
}

py::object TorchProbes::read(PyObject* tensor, Member member) const {
    PyObject* descriptor = member_descriptors_[member].ptr();
    PyObject* value;
    if (Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) {
        // A data descriptor of the class wins over the instance dict.
        value = Py_TYPE(descriptor)->tp_descr_get(descriptor, tensor, reinterpret_cast<PyObject*>(Py_TYPE(tensor)));
    } else {
        // A method: unless the instance shadows it, the call of the class's own.
        PyObject* dict = PyObject_GenericGetDict(tensor, nullptr);
        const int shadowed = dict == nullptr ? -1 : PyDict_Contains(dict, member_names_[member].ptr());
        Py_XDECREF(dict);
        value = shadowed == 0 ? PyObject_Vectorcall(descriptor, &tensor, 1, nullptr)
              : shadowed > 0  ? PyObject_CallMethodNoArgs(tensor, member_names_[member].ptr())
                              : nullptr;
    }
    if (value == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return qv::steal(value);
}

bool TorchProbes::pure_nonlinearity(PyObject* fn) const {
    for (const py::object& pure : pure_functions_)
        if (pure && fn == pure.ptr()) return true;
    return false;
}

bool TorchProbes::answer(const py::object& fn, bool otherwise) {
    if (!fn) return otherwise;
    PyObject* r = PyObject_CallNoArgs(fn.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        return otherwise;
    }
    const int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) {
        PyErr_Clear();
        return otherwise;
    }
    return truth != 0;
}

bool TorchProbes::empty(const py::object& fn, PyObject* arg) {
    if (!fn) return false;
    PyObject* r = arg ? PyObject_CallOneArg(fn.ptr(), arg) : PyObject_CallNoArgs(fn.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool none = r == Py_None;
    if (!none && PyLong_CheckExact(r)) none = PyLong_AsLong(r) == 0;
    Py_DECREF(r);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return none;
}

bool TorchProbes::plain_state() const {
    return empty(len_function_modes_) && empty(len_dispatch_modes_) && empty(functorch_level_) &&
           empty(tracing_state_);
}

bool TorchProbes::carried_by_threads() const {
    return plain_state() && answer(torch_function_enabled_, false) && empty(saved_tensor_hooks_, Py_True);
}

bool TorchProbes::plain_tensor(PyTypeObject* tp) {
    if (plain_tensors_.holds(tp)) return true;
    if (!tensor_base_ || (reinterpret_cast<PyObject*>(tp) != tensor_.ptr() &&
                          reinterpret_cast<PyObject*>(tp) != parameter_.ptr()))
        return false;
    auto* base = reinterpret_cast<PyTypeObject*>(tensor_base_.ptr());
    for (const py::object& name : member_names_) {
        PyObject* own = qv::compat::type_lookup(base, name.ptr());
        if (own == nullptr || qv::compat::type_lookup(tp, name.ptr()) != own) return false;
    }
    // A tensor class's own attribute lookup, so the descriptors above are what it finds.
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    plain_tensors_.remember(tp);
    return true;
}

int TorchProbes::traverse(visitproc visit, void* arg) const {
    for (const py::object* o : {&len_function_modes_, &len_dispatch_modes_, &functorch_level_, &tracing_state_,
                                &torch_function_enabled_, &is_grad_enabled_, &is_inference_mode_enabled_,
                                &saved_tensor_hooks_, &tensor_, &parameter_, &tensor_base_})
        Py_VISIT(o->ptr());
    for (const py::object& o : member_descriptors_) Py_VISIT(o.ptr());
    for (const py::object& o : member_names_) Py_VISIT(o.ptr());
    for (const py::object& o : pure_functions_) Py_VISIT(o.ptr());
    return plain_tensors_.traverse(visit, arg);
}

}  // namespace marlune
