// The probes of torch's per-thread state, of tensor classes, and the reads of
// tensors through torch's own descriptors.
#include "marlune/forward/torch_probes.hpp"

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

// dict[name] when it is callable, else null (None: this torch cannot tell).
py::object probe(PyObject* probes, const char* name) {
    if (probes == nullptr || !PyDict_Check(probes)) return py::object();
    PyObject* fn = PyDict_GetItemString(probes, name);
    return fn != nullptr && PyCallable_Check(fn) ? qv::borrow(fn) : py::object();
}

// In the order of TorchProbes::Member.
constexpr const char* kReadMembers[TorchProbes::member_count] = {
    "data_ptr", "shape", "stride", "dtype", "is_neg", "is_conj", "requires_grad", "is_cpu", "_version", "device",
    "detach", "grad_fn"};
// The methods the shortcuts call in place of the forward's own calls, then the
// other members those calls and the arithmetic reach.
constexpr const char* kCheckedMembers[] = {"view", "to", "tolist", "__getitem__", "device",
                                           "__mul__", "__rmul__", "__add__", "__radd__"};

bool is_descriptor(PyObject* d) { return Py_IS_TYPE(d, &PyGetSetDescr_Type) || Py_IS_TYPE(d, &PyMethodDescr_Type); }

}  // namespace

void TorchProbes::init(PyObject* torch, PyObject* tracing) {
    py::object probes;
    if (py::object make = find(tracing, "thread_state_probes")) {
        PyObject* made = PyObject_CallNoArgs(make.ptr());
        if (made == nullptr) PyErr_Clear();  // every state then reads as present
        else probes = qv::steal(made);
    }
    function_modes_ = probe(probes.ptr(), "torch_function_modes");
    dispatch_modes_ = probe(probes.ptr(), "dispatch_modes");
    functorch_ = probe(probes.ptr(), "functorch");
    jit_trace_ = probe(probes.ptr(), "jit_trace");
    torch_function_enabled_ = probe(probes.ptr(), "torch_function_enabled");
    saved_tensor_hooks_ = probe(probes.ptr(), "saved_tensor_hooks");
    dual_level_ = probe(probes.ptr(), "dual_level");
    is_grad_enabled_ = find(torch, "is_grad_enabled");
    is_inference_mode_enabled_ = find(torch, "is_inference_mode_enabled");
    const char* complex[] = {"complex32", "complex64", "complex128"};
    for (std::size_t i = 0; i < 3; ++i) complex_dtypes_[i] = find(torch, complex[i]);
    const char* pure[] = {"sigmoid", "tanh", "relu"};
    for (std::size_t i = 0; i < 3; ++i) pure_functions_[i] = find(torch, pure[i]);
    tensor_ = find(torch, "Tensor");
    py::object nn = find(torch, "nn");
    parameter_ = find(nn.ptr(), "Parameter");
    if (!tensor_ || !PyType_Check(tensor_.ptr()) || !reinterpret_cast<PyTypeObject*>(tensor_.ptr())->tp_base) return;
    auto* base = reinterpret_cast<PyTypeObject*>(tensor_.ptr())->tp_base;
    py::object weakref_name = qv::steal(PyUnicode_InternFromString("__weakref__"));
    PyObject* weakrefs = qv::compat::type_lookup(reinterpret_cast<PyTypeObject*>(tensor_.ptr()), weakref_name.ptr());
    if (weakrefs == nullptr || !Py_IS_TYPE(weakrefs, &PyGetSetDescr_Type)) return;
    weakrefs_ = qv::borrow(weakrefs);
    for (std::size_t i = 0; i < std::size(kCheckedMembers); ++i)
        checked_names_[i] = qv::steal(PyUnicode_InternFromString(kCheckedMembers[i]));
    for (int m = 0; m < member_count; ++m) {
        py::object name = qv::steal(PyUnicode_InternFromString(kReadMembers[m]));
        PyObject* d = qv::compat::type_lookup(base, name.ptr());
        if (d == nullptr || !is_descriptor(d)) return;  // another torch: no shortcuts
        member_descriptors_[m] = qv::borrow(d);
    }
    for (int i = 0; i < kCalled; ++i) {
        PyObject* d = qv::compat::type_lookup(base, checked_names_[i].ptr());
        if (d == nullptr || !Py_IS_TYPE(d, &PyMethodDescr_Type)) return;
        called_descriptors_[i] = qv::borrow(d);
    }
    tensor_base_ = qv::borrow(reinterpret_cast<PyObject*>(base));
}

py::object TorchProbes::read(PyObject* tensor, Member member) const {
    PyObject* d = member_descriptors_[member].ptr();
    PyObject* value = Py_IS_TYPE(d, &PyGetSetDescr_Type)
                          ? Py_TYPE(d)->tp_descr_get(d, tensor, reinterpret_cast<PyObject*>(Py_TYPE(tensor)))
                          : PyObject_Vectorcall(d, &tensor, 1, nullptr);
    if (value == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return qv::steal(value);
}

py::object TorchProbes::call_own(int called, PyObject* tensor, PyObject* arg) const {
    PyObject* args[] = {tensor, arg};
    return qv::steal(PyObject_Vectorcall(called_descriptors_[called].ptr(), args, arg ? 2 : 1, nullptr));
}

py::object TorchProbes::view(PyObject* tensor, PyObject* shape) const { return call_own(0, tensor, shape); }

py::object TorchProbes::to(PyObject* tensor, PyObject* device) const { return call_own(1, tensor, device); }

py::object TorchProbes::own_tolist(PyObject* tensor) const {
    py::object dict = qv::instance_dict(tensor);
    if (!dict || PyDict_Contains(dict.ptr(), checked_names_[2].ptr()) != 0) {
        PyErr_Clear();
        return py::object();
    }
    PyObject* list = PyObject_Vectorcall(called_descriptors_[2].ptr(), &tensor, 1, nullptr);
    if (list == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return qv::steal(list);
}

bool TorchProbes::complex_dtype(PyObject* dtype) const {
    for (const py::object& c : complex_dtypes_)
        if (c && c.ptr() == dtype) return true;
    return false;
}

bool TorchProbes::releases_quietly(PyObject* obj) {
    if (!plain_tensor(obj)) return false;
    PyObject* weakrefs = Py_TYPE(weakrefs_.ptr())->tp_descr_get(weakrefs_.ptr(), obj, nullptr);
    if (weakrefs == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool none = weakrefs == Py_None;
    Py_DECREF(weakrefs);
    if (!none) return false;
    if (qv::compat::has_instance_attributes(obj)) return false;
    py::object history = read(obj, grad_fn);
    return history && history.ptr() == Py_None;
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

bool TorchProbes::empty(const py::object& fn) {
    if (!fn) return false;
    PyObject* r = PyObject_CallNoArgs(fn.ptr());
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

bool TorchProbes::dual_level() const {
    if (!dual_level_) return true;
    PyObject* level = PyObject_CallNoArgs(dual_level_.ptr());
    if (level == nullptr) {
        PyErr_Clear();
        return true;
    }
    const bool none = PyLong_CheckExact(level) && PyLong_AsLong(level) == -1 && !PyErr_Occurred();
    PyErr_Clear();
    Py_DECREF(level);
    return !none;
}

bool TorchProbes::plain_state() const {
    return empty(function_modes_) && empty(dispatch_modes_) && empty(functorch_) && empty(jit_trace_);
}

bool TorchProbes::carried_by_threads() const {
    return plain_state() && answer(torch_function_enabled_, false) && no_saved_tensor_hooks();
}

bool TorchProbes::plain_tensor(PyTypeObject* tp) {
    if (plain_tensors_.holds(tp)) return true;
    if (!tensor_base_ || (reinterpret_cast<PyObject*>(tp) != tensor_.ptr() &&
                          reinterpret_cast<PyObject*>(tp) != parameter_.ptr()))
        return false;
    auto* base = reinterpret_cast<PyTypeObject*>(tensor_base_.ptr());
    for (const py::object& name : checked_names_) {
        PyObject* own = qv::compat::type_lookup(base, name.ptr());
        if (own == nullptr || qv::compat::type_lookup(tp, name.ptr()) != own) return false;
    }
    // A tensor class's own attribute lookup, so the descriptors above are what it finds.
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    plain_tensors_.remember(tp);
    return true;
}

int TorchProbes::traverse(visitproc visit, void* arg) const {
    for (const py::object* o : {&function_modes_, &dispatch_modes_, &functorch_, &jit_trace_,
                                &torch_function_enabled_, &saved_tensor_hooks_, &dual_level_, &is_grad_enabled_,
                                &is_inference_mode_enabled_, &tensor_, &parameter_, &tensor_base_})
        Py_VISIT(o->ptr());
    for (const py::object& o : member_descriptors_) Py_VISIT(o.ptr());
    for (const py::object& o : called_descriptors_) Py_VISIT(o.ptr());
    for (const py::object& o : checked_names_) Py_VISIT(o.ptr());
    for (const py::object& o : complex_dtypes_) Py_VISIT(o.ptr());
    for (const py::object& o : pure_functions_) Py_VISIT(o.ptr());
    Py_VISIT(weakrefs_.ptr());
    return plain_tensors_.traverse(visit, arg);
}

}  // namespace marlune
