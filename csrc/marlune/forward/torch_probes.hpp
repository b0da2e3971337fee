// What the forward pass asks torch before it takes a shortcut: whether the
// calling thread is in a state where torch operators on plain tensors run no
// Python code and are recorded by nothing but autograd, whether a tensor's
// class is torch's own with torch's own members, and facts about a tensor read
// through torch's own descriptors.
//
// The per-thread state is asked through callables that quorvane.tracing picks
// for the running torch (they are private to torch); one it cannot offer reads
// as "present", which only ever sends the forward the long way.
#pragma once

#include <Python.h>

#include "common/module_members.hpp"
#include "common/refs.hpp"

namespace marlune {

namespace py = pybind11;

class TorchProbes {
public:
    // `torch` is the torch module, `tracing` quorvane.tracing.
    void init(PyObject* torch, PyObject* tracing);

    // No torch-function or dispatch mode, functorch transform or JIT trace on
    // this thread: an operator on plain tensors then runs only torch's kernels
    // and autograd.
    bool plain_state() const;
    // No default saved-tensor hooks: autograd runs no Python code when it saves
    // a tensor for backward.
    bool no_saved_tensor_hooks() const { return empty(saved_tensor_hooks_); }
    // The calling thread's state is one that worker threads can reproduce:
    // plain, with torch-function handling on and no saved-tensor hooks.
    bool carried_by_threads() const;

    bool grad_enabled() const { return answer(is_grad_enabled_, true); }
    bool inference_mode() const { return answer(is_inference_mode_enabled_, true); }
    // A forward-mode AD level is active: tensors may carry tangents.
    bool dual_level() const;

    // torch.Tensor or torch.nn.Parameter, exactly, with the members that the
    // forward pass calls on tensors (indexing, view, to, tolist, device, * and
    // +) still torch's own.
    bool plain_tensor(PyTypeObject* tp);
    bool plain_tensor(PyObject* obj) { return plain_tensor(Py_TYPE(obj)); }

    // What the shortcuts read of a tensor. They are read through torch's own
    // descriptors whatever the tensor's class or instance holds, since they
    // are the shortcuts' own reads, not calls the forward pass makes.
    enum Member { data_ptr, shape, stride, dtype, is_neg, is_conj, requires_grad, is_cpu, version, device, detach,
                  grad_fn, member_count };
    // The member's value (a method is called without arguments); null, and no
    // error, if reading it fails.
    py::object read(PyObject* tensor, Member member) const;
    // tensor.view(shape) and tensor.to(device) by torch's own methods.
    py::object view(PyObject* tensor, PyObject* shape) const;
    py::object to(PyObject* tensor, PyObject* device) const;
    // tensor.tolist() as `tensor.tolist()` reads it, when that is torch's own
    // method (the instance does not shadow it); null, and no error, otherwise.
    py::object own_tolist(PyObject* tensor) const;

    // dtype is one of torch's complex dtypes (the only ones with a conjugate bit).
    bool complex_dtype(PyObject* dtype) const;

    // Letting go of the last reference to `obj` runs no code: a plain tensor
    // with no weak references, nothing in its instance dict and no autograd
    // history (whose nodes may hold hooks).
    bool releases_quietly(PyObject* obj);

    // fn is one of torch's own elementwise functions that the default
    // settings offer as the nonlinearity; on a plain tensor, in a plain state,
    // it runs only torch's kernel.
    bool pure_nonlinearity(PyObject* fn) const;

    int traverse(visitproc visit, void* arg) const;

private:
    static constexpr int kCalled = 3;  // view, to, tolist
    // fn() tested for truth; `otherwise` when fn is missing or fails.
    static bool answer(const py::object& fn, bool otherwise);
    // fn() == 0 (an int) or fn() is None; false when fn is missing or fails.
    static bool empty(const py::object& fn);
    py::object call_own(int called, PyObject* tensor, PyObject* arg) const;

    py::object function_modes_, dispatch_modes_, functorch_, jit_trace_, torch_function_enabled_,
        saved_tensor_hooks_, dual_level_, is_grad_enabled_, is_inference_mode_enabled_;
    py::object tensor_, parameter_, tensor_base_;
    qv::ClassMemo plain_tensors_;
    py::object member_descriptors_[member_count];
    py::object called_descriptors_[kCalled];
    py::object checked_names_[kCalled + 6];  // the called methods first
    py::object complex_dtypes_[3];
    py::object weakrefs_;  // torch.Tensor.__weakref__
    py::object pure_functions_[3];
};

}  // namespace marlune
