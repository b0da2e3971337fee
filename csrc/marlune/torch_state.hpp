// The part of the caller's per-thread torch state that a worker thread takes
// on: grad mode, inference mode, autocast, and for CUDA inputs the current
// device and stream. A new thread starts with grad mode on and the rest off.
#pragma once

#include <Python.h>

#include <vector>

#include "common/refs.hpp"
#include "marlune/state.hpp"

namespace marlune {

namespace py = pybind11;

// An exception object taken off the thread, owned; empty when none.
class RaisedError {
public:
    RaisedError() = default;
    explicit RaisedError(py::object exc) : exc_(std::move(exc)) {}
    // The pending exception, with its traceback attached; empty if none is set.
    static RaisedError take();
    explicit operator bool() const { return static_cast<bool>(exc_); }
    PyObject* get() const { return exc_.ptr(); }
    // Makes it the pending exception again (it stays owned here too).
    void restore() const;
    // This exception, raised while `previous` was in flight: `previous` becomes its context.
    RaisedError raised_during(RaisedError previous) &&;

private:
    py::object exc_;
};

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
    RaisedError leave(RaisedError in_flight) noexcept;

private:
    void enter(py::object manager);

    const State& st_;
    std::vector<py::object> entered_;
};

}  // namespace marlune
