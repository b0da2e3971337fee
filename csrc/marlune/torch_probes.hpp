// What the forward pass asks torch before it takes a shortcut: whether the
// calling thread is in a state where torch operators on plain tensors run no
// Python code and are recorded by nothing but autograd, and whether a tensor's
// class is torch's own with torch's own members.
#pragma once

#include <Python.h>

#include "common/module_members.hpp"
#include "common/refs.hpp"

namespace marlune {

namespace py = pybind11;

class TorchProbes {
public:
    // Looks up what it needs in torch; anything missing (another torch
    // version) leaves the corresponding answer at its cautious value.
    void init(PyObject* torch);

    // No torch-function or dispatch mode, functorch transform or JIT trace on
    // this thread: an operator on plain tensors then runs only torch's kernels.
    bool plain_state() const;

    // The calling thread's state is one that worker threads can reproduce:
    // plain, with torch-function handling on and no saved-tensor hooks.
    bool carried_by_threads() const;

    bool grad_enabled() const { return answer(is_grad_enabled_, true); }
    bool inference_mode() const { return answer(is_inference_mode_enabled_, true); }

    // torch.Tensor or torch.nn.Parameter, exactly, with the members the
    // forward pass reads or calls still torch's own.
    bool plain_tensor(PyTypeObject* tp);
    bool plain_tensor(PyObject* obj) { return plain_tensor(Py_TYPE(obj)); }

    // Members of a plain tensor, read through torch's own descriptors, as
    // `tensor.<member>` (or `tensor.<member>()` for methods) reads them.
    enum Member { version, data_ptr, shape, stride, dtype, device, requires_grad, member_count };
    // How many members plain_tensor checks: those above, then the ones the
    // shortcuts call (__getitem__, view, to, tolist).
    static constexpr std::size_t kCheckedMembers = member_count + 4;
    // The member's value; null (and no error) if reading it fails.
    py::object read(PyObject* tensor, Member member) const;

    // fn is one of torch's own elementwise functions that the default
    // settings offer as the nonlinearity; on a plain tensor, in a plain state,
    // it runs only torch's kernel.
    bool pure_nonlinearity(PyObject* fn) const;

    int traverse(visitproc visit, void* arg) const;

private:
    // fn() tested for truth; `otherwise` when fn is missing or fails.
    static bool answer(const py::object& fn, bool otherwise);
    // fn() == 0 (an int) or fn() is None; false when fn is missing or fails.
    static bool empty(const py::object& fn, PyObject* arg = nullptr);

    py::object len_function_modes_, len_dispatch_modes_, functorch_level_, tracing_state_;
    py::object torch_function_enabled_, is_grad_enabled_, is_inference_mode_enabled_, saved_tensor_hooks_;
    py::object tensor_, parameter_, tensor_base_;
    qv::ClassMemo plain_tensors_;
    py::object member_names_[kCheckedMembers], member_descriptors_[member_count];
    py::object pure_functions_[3];
};

}  // namespace marlune
