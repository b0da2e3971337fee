// The forward pass of ZORModulePyThread: forward and its two workers.
#pragma once

#include <Python.h>

namespace marlune {

// ZORModulePyThread.process_and_forward(self, *args2, **kwargs2): runs dendrite args2[0].
PyObject* clean_process_and_forward(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) noexcept;
// ZORModulePyThread.process_and_pre(self, *args, **kwargs): runs the main layer.
PyObject* clean_process_and_pre(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) noexcept;
// ZORModulePyThread.forward(self, *args, **kwargs): all layers, then the cascade.
PyObject* clean_forward(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) noexcept;

// Docstrings of the three methods (text signature first), beside their code in forward.cpp.
extern const char process_and_forward_doc[];
extern const char process_and_pre_doc[];
extern const char forward_doc[];

// Interned names used only by the forward pass (see state.hpp). It also uses
// Sequential, __getattribute__, device and dtype from walk.hpp's list.
#define MARLUNE_FORWARD_NAMES(X)                                                                       \
    X(process_and_forward) X(process_and_pre) X(forward) X(pre) X(post) X(view) X(tolist) X(to) X(run)  \
    X(get_zor_forward_function) X(start) X(join) X(target) X(args) X(kwargs)                            \
    X(is_grad_enabled) X(set_grad_enabled) X(is_inference_mode_enabled) X(inference_mode)              \
    X(is_autocast_enabled) X(get_autocast_dtype) X(is_autocast_cpu_enabled) X(get_autocast_cpu_dtype)   \
    X(get_autocast_gpu_dtype) X(is_autocast_cache_enabled) X(autocast) X(enabled) X(cache_enabled)      \
    X(cpu) X(cuda) X(current_device) X(current_stream) X(stream) X(Tensor) X(is_cuda) X(__enter__)      \
    X(__exit__) X(__getattr__) X(__module__) X(__qualname__) X(_parameters) X(_buffers) X(_modules)     \
    X(_size) X(traced_view_shape)

}  // namespace marlune
