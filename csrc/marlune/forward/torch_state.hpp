// The part of the caller's per-thread torch state that a worker thread takes
// on: grad mode, inference mode, autocast, and for CUDA inputs the current
// device and stream. A new thread starts with grad mode on and the rest off.
#pragma once

#include <Python.h>

#include <vector>

#include "common/errors.hpp"
#include "common/refs.hpp"
#include "marlune/state.hpp"

namespace marlune {

namespace py = pybind11;

struct CallerTorchState {
    struct Autocast {
        py::object device_type, dtype, cache_enabled;
    };

    // Read from the calling thread through `torch` (the module global), for a
    // call whose arguments are `args` (positional, then keyword values).
    static CallerTorchState capture(const State& st, PyObject* torch, PyObject* const* args, Py_ssize_t count);

    py::object torch;
    bool grad_enabled = true;
    bool inference_mode = false;
    std::vector<Autocast> autocasts;
    py::object cuda_device, cuda_stream;  // null unless an argument is a CUDA tensor
};

// The caller's state entered on a worker thread as nested `with` statements,
// left in reverse order by `leave`.
class TorchStateScope {
public:
    TorchStateScope(const State& st, const CallerTorchState& state);
    TorchStateScope(const TorchStateScope&) = delete;
    TorchStateScope& operator=(const TorchStateScope&) = delete;
    ~TorchStateScope();

    // Leaves every entered manager; each sees the exception in flight, may
    // suppress it or replace it. Returns what is then in flight.
    qv::RaisedException leave(qv::RaisedException in_flight) noexcept;

private:
    void enter(py::object manager);

    const State& st_;
    std::vector<py::object> entered_;
};

}  // namespace marlune
