// Capturing the caller's torch state and entering it on a worker thread.
#include "marlune/forward/torch_state.hpp"

namespace marlune {

using qv::steal;

namespace {

bool has_cuda_tensor(const State& st, PyObject* tensor_type, PyObject* const* args, Py_ssize_t count) {
    if (!PyType_Check(tensor_type)) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyObject_TypeCheck(args[i], reinterpret_cast<PyTypeObject*>(tensor_type))) continue;
        py::object on_cuda = qv::getattr(args[i], st.is_cuda);
        if (qv::truthy(on_cuda.ptr())) return true;
    }
    return false;
}

}  // namespace

// Newer torch takes a device type in the autocast queries; older torch has
// per-device functions.
CallerTorchState CallerTorchState::capture(const State& st, PyObject* torch, PyObject* const* args,
                                           Py_ssize_t count) {
    CallerTorchState out;
    out.torch = qv::borrow(torch);
    out.grad_enabled = qv::truthy(qv::call_method(torch, st.is_grad_enabled).ptr());
    out.inference_mode = qv::truthy(qv::call_method(torch, st.is_inference_mode_enabled).ptr());
    const bool by_device = qv::hasattr(torch, st.get_autocast_dtype);
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
        out.autocasts.push_back({qv::borrow(device_type), std::move(dtype), std::move(cache)});
    }
    py::object tensor_type = qv::getattr(torch, st.Tensor);
    if (has_cuda_tensor(st, tensor_type.ptr(), args, count)) {
        py::object cuda = qv::getattr(torch, st.cuda);
        out.cuda_device = qv::call_method(cuda.ptr(), st.current_device);
        out.cuda_stream = qv::call_method(cuda.ptr(), st.current_stream);
    }
    return out;
}

TorchStateScope::TorchStateScope(const State& st, const CallerTorchState& state) : st_(st) {
    PyObject* torch = state.torch.ptr();
    try {
        if (state.cuda_device) {
            py::object cuda = qv::getattr(torch, st.cuda);
            enter(qv::call_method(cuda.ptr(), st.device, {state.cuda_device.ptr()}));
            enter(qv::call_method(cuda.ptr(), st.stream, {state.cuda_stream.ptr()}));
        }
        if (!state.grad_enabled) enter(qv::call_method(torch, st.set_grad_enabled, {Py_False}));
        if (state.inference_mode) enter(qv::call_method(torch, st.inference_mode, {Py_True}));
        for (const CallerTorchState::Autocast& autocast : state.autocasts) {
            py::object cls = qv::getattr(torch, st.autocast);
            py::object names = steal(PyTuple_Pack(3, st.dtype, st.enabled, st.cache_enabled));
            PyObject* call_args[] = {autocast.device_type.ptr(), autocast.dtype.ptr(), Py_True,
                                     autocast.cache_enabled.ptr()};
            enter(steal(PyObject_Vectorcall(cls.ptr(), call_args, 1, names.ptr())));
        }
    } catch (py::error_already_set& e) {
        // What was entered is left as the failed `with` would leave it.
        e.restore();
        qv::RaisedException failed = leave(qv::RaisedException::take());
        failed.restore();
        throw py::error_already_set();
    }
}

TorchStateScope::~TorchStateScope() {
    if (!entered_.empty()) {
        qv::RaisedException stray = leave(qv::RaisedException());
        (void)stray;
    }
}

void TorchStateScope::enter(py::object manager) {
    qv::call_method(manager.ptr(), st_.__enter__);
    entered_.push_back(std::move(manager));
}

qv::RaisedException TorchStateScope::leave(qv::RaisedException in_flight) noexcept {
    while (!entered_.empty()) {
        py::object manager = std::move(entered_.back());
        entered_.pop_back();
        PyObject* result;
        if (!in_flight) {
            result = PyObject_CallMethodObjArgs(manager.ptr(), st_.__exit__, Py_None, Py_None, Py_None, nullptr);
        } else {
            PyObject* exc = in_flight.get().ptr();
            PyObject* tb = PyException_GetTraceback(exc);
            result = PyObject_CallMethodObjArgs(manager.ptr(), st_.__exit__, reinterpret_cast<PyObject*>(Py_TYPE(exc)),
                                                exc, tb ? tb : Py_None, nullptr);
            Py_XDECREF(tb);
        }
        if (result == nullptr) {
            in_flight = qv::RaisedException::take().chained_after(std::move(in_flight));
            continue;
        }
        const int suppress = in_flight ? PyObject_IsTrue(result) : 0;
        Py_DECREF(result);
        if (suppress < 0)
            in_flight = qv::RaisedException::take().chained_after(std::move(in_flight));
        else if (suppress > 0)
            in_flight = qv::RaisedException();
    }
    return in_flight;
}

}  // namespace marlune
