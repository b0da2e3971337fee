// The pieces of the forward pass, shared by its files: the worker methods'
// bodies (workers.cpp), the threaded stage (threads.cpp), the combination
// (combine.cpp, rows.cpp) and the state they keep across calls.
#pragma once

#include <Python.h>

#include "common/module_members.hpp"
#include "marlune/forward/kept_rows.hpp"
#include "marlune/forward/settings_probe.hpp"
#include "marlune/forward/torch_probes.hpp"
#include "marlune/state.hpp"

namespace marlune {

// What the forward pass keeps in the module's state: answers about torch's
// classes, quorvane.tracing, and the per-module records. Made at the first call.
struct ForwardState {
    qv::ModuleMembers members;
    TorchProbes probes;
    SettingsProbe settings;
    py::object tracing;
    ForwardCache cache;

    int traverse(visitproc visit, void* arg) const {
        if (int rc = members.traverse(visit, arg)) return rc;
        if (int rc = probes.traverse(visit, arg)) return rc;
        if (int rc = settings.traverse(visit, arg)) return rc;
        Py_VISIT(tracing.ptr());
        return cache.traverse(visit, arg);
    }
};

// The forward state of `module`, the module that made the clean class `cls`.
ForwardState& forward_state(PyObject* module, PyTypeObject* cls);

// One call of a forward-pass method: the extension module, its state and
// globals, the forward state.
struct Call {
    PyObject* module;
    const State& st;
    PyObject* globals;
    ForwardState& fs;
};

// len(self.layer_array), read afresh.
Py_ssize_t layer_count(const Call& call, PyObject* self);

// self.name(*stack[1:], **kw) with stack[0] = self and a writable slot before
// stack; `nargs` counts self.
py::object call_method(const Call& call, PyObject* name, PyObject** stack, std::size_t nargs, PyObject* kwnames);

// The worker bodies: dendrite `c`, and the main layer.
void run_dendrite(const Call& call, PyObject* self, PyObject* c, PyObject* outs, PyObject* const* inputs,
                  Py_ssize_t ninputs, PyObject* kwnames);
void run_main(const Call& call, PyObject* self, PyObject* outs, PyObject* const* inputs, Py_ssize_t ninputs,
              PyObject* kwnames);

// The worker stage, one layer after another (`layers` is len(self.layer_array)
// as the dendrite loop reads it) or on one Thread each.
void run_sequential(const Call& call, PyObject* self, PyObject* outs, Py_ssize_t layers, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames);
void run_threaded(const Call& call, PyObject* self, PyObject* outs, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames);

// The cascade over the slots, then the main processor's post: the result.
py::object combine(const Call& call, PyObject* self, PyObject* outs);

// list[index] (owned) and list[index] = value, with the list's own errors.
py::object list_get(PyObject* list, Py_ssize_t index);
void list_set(PyObject* list, Py_ssize_t index, const py::object& value);

}  // namespace marlune
