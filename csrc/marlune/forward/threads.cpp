// The threaded worker stage: one Thread per layer (the dendrites by index, the
// main layer last), all started, then all joined, in key order.
//
// Each Thread runs a small worker callable around the worker method: it takes
// on the caller's torch state, and keeps an exception in the call's error list
// instead of letting it reach threading.excepthook, so the caller raises the
// lowest-keyed worker's exception once every thread has ended.
//
// Some per-thread torch state cannot be given to another thread: torch-function
// and dispatch modes (the default-device mode among them), functorch
// transforms, saved-tensor hooks, a JIT trace. While any of it is active, the
// threads are still built as usual, but each one's run() is called on the
// caller's thread, in key order, so that every layer sees it.
#include <memory>
#include <utility>
#include <vector>

#include "common/calling.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "marlune/forward/parts.hpp"
#include "marlune/forward/torch_state.hpp"

namespace marlune {

namespace {

using qv::borrow;
using qv::steal;

// What one worker callable carries.
struct WorkerBundle {
    py::object target;   // the bound worker method
    py::object module;   // this extension module (for its names)
    py::object errors;   // the call's error list
    Py_ssize_t position;  // this worker's entry in it
    std::shared_ptr<const CallerTorchState> state;  // null: runs on the caller's thread
};

constexpr const char* kBundle = "quorvane.marlune.worker";

void free_bundle(PyObject* capsule) { delete static_cast<WorkerBundle*>(PyCapsule_GetPointer(capsule, kBundle)); }

// The body of a worker callable: the worker method under the caller's state.
PyObject* run_worker(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    auto* bundle = static_cast<WorkerBundle*>(PyCapsule_GetPointer(capsule, kBundle));
    if (bundle == nullptr) return nullptr;
    const State& st = state_of(bundle->module.ptr());
    qv::RaisedException failure;
    try {
        std::unique_ptr<TorchStateScope> scope;
        if (bundle->state) scope = std::make_unique<TorchStateScope>(st, *bundle->state);
        try {
            steal(PyObject_Vectorcall(bundle->target.ptr(), args, static_cast<std::size_t>(nargs), kwnames));
        } catch (...) {
            qv::set_python_error_from_current();
        }
        failure = qv::RaisedException::take();
        if (scope) failure = scope->leave(std::move(failure));
    } catch (...) {
        qv::set_python_error_from_current();
        failure = qv::RaisedException::take();
    }
    if (failure && PyList_SetItem(bundle->errors.ptr(), bundle->position, failure.release().release().ptr()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef worker_defs[] = {
    {"process_and_forward", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_worker)),
     METH_FASTCALL | METH_KEYWORDS, "Runs one dendrite worker under the calling thread's torch state."},
    {"process_and_pre", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_worker)),
     METH_FASTCALL | METH_KEYWORDS, "Runs the main-layer worker under the calling thread's torch state."},
};

// The threads of one call, by key: a later thread under a key replaces the
// earlier one, as a dict assignment does.
class ThreadTable {
public:
    void put(Py_ssize_t key, py::object thread) {
        for (auto& entry : entries_) {
            if (entry.first == key) {
                entry.second = std::move(thread);
                return;
            }
        }
        entries_.emplace_back(key, std::move(thread));
    }

    // threads[key], KeyError if there is none.
    PyObject* at(Py_ssize_t key) const {
        for (const auto& entry : entries_)
            if (entry.first == key) return entry.second.ptr();
        py::object missing = steal(PyLong_FromSsize_t(key));
        PyErr_SetObject(PyExc_KeyError, missing.ptr());
        throw py::error_already_set();
    }

private:
    std::vector<std::pair<Py_ssize_t, py::object>> entries_;
};

class ThreadedStage {
public:
    ThreadedStage(const Call& call, PyObject* self, PyObject* outs, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames)
        : call_(call), self_(self), outs_(outs), args_(args), nargs_(nargs), kwnames_(kwnames) {}

    void run() {
        const bool on_threads = call_.fs.probes.carried_by_threads();
        if (on_threads) {
            py::object torch = qv::global(call_.globals, call_.st.torch);
            const Py_ssize_t nkw = kwnames_ ? PyTuple_GET_SIZE(kwnames_) : 0;
            state_ = std::make_shared<const CallerTorchState>(
                CallerTorchState::capture(call_.st, torch.ptr(), args_, nargs_ + nkw));
        }
        errors_ = steal(PyList_New(0));
        kwargs_ = qv::kwargs_dict(args_, nargs_, kwnames_);
        build_threads();
        if (on_threads)
            start_and_join();
        else
            run_here();
        raise_first_failure();
    }

private:
    void build_threads() {
        const Py_ssize_t dendrites = layer_count(call_, self_) - 1;  // range() is evaluated once
        for (Py_ssize_t c = 0; c < dendrites; ++c) {
            py::object index = steal(PyLong_FromSsize_t(c));
            threads_.put(c, make_thread(&worker_defs[0], call_.st.process_and_forward, index.ptr()));
        }
        const Py_ssize_t main_key = layer_count(call_, self_) - 1;
        threads_.put(main_key, make_thread(&worker_defs[1], call_.st.process_and_pre, nullptr));
    }

    // Thread(target=<worker>, args=(lead_index?, outs, *args), kwargs=kwargs)
    py::object make_thread(PyMethodDef* def, PyObject* method, PyObject* lead_index) {
        const Py_ssize_t position = PyList_GET_SIZE(errors_.ptr());
        qv::check(PyList_Append(errors_.ptr(), Py_None));
        auto bundle = std::make_unique<WorkerBundle>(
            WorkerBundle{qv::getattr(self_, method), borrow(call_.module), errors_, position, state_});
        py::object capsule = steal(PyCapsule_New(bundle.get(), kBundle, free_bundle));
        bundle.release();
        py::object worker = steal(PyCFunction_New(def, capsule.ptr()));

        const Py_ssize_t lead = lead_index ? 2 : 1;
        py::object thread_args = steal(PyTuple_New(lead + nargs_));
        if (lead_index) PyTuple_SET_ITEM(thread_args.ptr(), 0, Py_NewRef(lead_index));
        PyTuple_SET_ITEM(thread_args.ptr(), lead - 1, Py_NewRef(outs_));
        for (Py_ssize_t i = 0; i < nargs_; ++i) PyTuple_SET_ITEM(thread_args.ptr(), lead + i, Py_NewRef(args_[i]));

        py::object thread_class = qv::global(call_.globals, call_.st.Thread);
        py::object names = steal(PyTuple_Pack(3, call_.st.target, call_.st.args, call_.st.kwargs));
        PyObject* call_args[] = {worker.ptr(), thread_args.ptr(), kwargs_.ptr()};
        return steal(PyObject_Vectorcall(thread_class.ptr(), call_args, 0, names.ptr()));
    }

    // Every thread started, then every one joined; with no slots, none is.
    void start_and_join() {
        std::vector<PyObject*> started;
        try {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outs_); ++i) {
                PyObject* thread = threads_.at(i);
                qv::call_method(thread, call_.st.start);
                started.push_back(thread);
            }
        } catch (py::error_already_set&) {
            // Threads already running must not outlive the call.
            for (PyObject* thread : started) {
                PyObject* r = PyObject_CallMethodNoArgs(thread, call_.st.join);
                if (r == nullptr) PyErr_Clear();
                Py_XDECREF(r);
            }
            throw;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outs_); ++i) qv::call_method(threads_.at(i), call_.st.join);
    }

    // Each thread's body run on the caller's thread, in key order.
    void run_here() {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outs_); ++i) qv::call_method(threads_.at(i), call_.st.run);
    }

    void raise_first_failure() const {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(errors_.ptr()); ++i) {
            PyObject* exc = PyList_GET_ITEM(errors_.ptr(), i);
            if (exc == Py_None) continue;
            qv::compat::restore_raised_exception(Py_NewRef(exc));
            throw py::error_already_set();
        }
    }

    const Call& call_;
    PyObject* self_;
    PyObject* outs_;
    PyObject* const* args_;
    Py_ssize_t nargs_;
    PyObject* kwnames_;
    std::shared_ptr<const CallerTorchState> state_;
    py::object errors_, kwargs_;
    ThreadTable threads_;
};

}  // namespace

void run_threaded(const Call& call, PyObject* self, PyObject* outs, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    ThreadedStage(call, self, outs, args, nargs, kwnames).run();
}

}  // namespace marlune
