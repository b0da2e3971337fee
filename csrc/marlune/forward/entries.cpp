// The forward pass of ZORModulePyThread: forward and its two worker methods.
//
// forward runs every layer of the block on the same arguments, either one
// after another on the caller's thread (workers.cpp) or on one Thread per
// layer (threads.cpp), and then combines the outputs on the caller's thread
// (combine.cpp).
#include "marlune/forward/forward.hpp"

#include "common/errors.hpp"
#include "common/globals.hpp"
#include "marlune/forward/parts.hpp"

namespace marlune {

ForwardState& forward_state(PyObject* module, PyTypeObject* cls) {
    State& st = state_of(module);
    if (st.forward_pass != nullptr) return *st.forward_pass;
    auto made = std::make_unique<ForwardState>();
    // The clean class was made with nn.Module as its only base.
    if (cls->tp_base != nullptr) {
        made->members.init(reinterpret_cast<PyObject*>(cls->tp_base),
                           {st.__getattr__, st.__getattribute__, st._parameters, st._buffers, st._modules,
                            st.__module__, st._size});
    }
    py::object torch = qv::steal(PyImport_ImportModule("torch"));
    made->tracing = qv::steal(PyImport_ImportModule("quorvane.tracing"));
    made->probes.init(torch.ptr(), made->tracing.ptr());
    made->settings.init(st.get_zor_forward_function);
    // The imports above may let another thread in, which may have made it meanwhile.
    if (st.forward_pass == nullptr) st.forward_pass = made.release();
    return *st.forward_pass;
}

void State::clear_more() noexcept {
    ForwardState* forward = forward_pass;
    forward_pass = nullptr;
    delete forward;
}

int State::traverse_more(visitproc visit, void* arg) const {
    return forward_pass != nullptr ? forward_pass->traverse(visit, arg) : 0;
}

namespace {

[[noreturn]] void raise_missing_argument() {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    throw py::error_already_set();
}

// Runs `body(call)` as the method `name` of the clean class `cls`.
template <class Body>
PyObject* clean_method(PyTypeObject* cls, const char* name, int line, const char* recursion_note, Body&& body) noexcept {
    return Entry::method(cls, name, line, [&](const ModuleRef& m) -> py::object {
        qv::RecursionGuard guard(recursion_note);
        Call call{m.module, m.st, m.globals, forward_state(m.module, cls)};
        return body(call);
    });
}

}  // namespace

const char process_and_forward_doc[] = R"(process_and_forward($self, /, *args2, **kwargs2)
--

Run dendrite layer args2[0] on args2[2:] and kwargs2 (through its processor)
and store its output in slot args2[0] of the list args2[1].)";

PyObject* clean_process_and_forward(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return clean_method(cls, "process_and_forward", 2, " while running a dendrite layer", [&](const Call& call) {
        if (nargs < 2) raise_missing_argument();
        run_dendrite(call, self, args[0], args[1], args + 2, nargs - 2, kwnames);
        return py::none();
    });
}

const char process_and_pre_doc[] = R"(process_and_pre($self, /, *args, **kwargs)
--

Call the main layer's forward on args[1:] and kwargs, apply its processor's
pre, and store the result in the last slot of the list args[0].)";

PyObject* clean_process_and_pre(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return clean_method(cls, "process_and_pre", 3, " while running a main layer", [&](const Call& call) {
        if (nargs < 1) raise_missing_argument();
        run_main(call, self, args[0], args + 1, nargs - 1, kwnames);
        return py::none();
    });
}

const char forward_doc[] = R"(forward($self, /, *args, **kwargs)
--

Run every layer on the same arguments (one thread per layer while
doing_threading is true) and combine their outputs through the skip
weights and the dendrite nonlinearity.)";

PyObject* clean_forward(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return clean_method(cls, "forward", 4, " while running a clean neuron module", [&](const Call& call) {
        // Read once: a change during the call does not affect it.
        py::object doing_multi = qv::global(call.globals, call.st.doing_threading);
        const Py_ssize_t n = layer_count(call, self);
        py::object outs = qv::steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(outs.ptr(), i, Py_NewRef(Py_None));
        // A bool, None or int answers the truth test without running code, and
        // then nothing has run since n was read.
        PyObject* flag = doing_multi.ptr();
        const bool plain_flag = PyBool_Check(flag) || flag == Py_None || PyLong_CheckExact(flag);
        if (qv::truthy(flag))
            run_threaded(call, self, outs.ptr(), args, nargs, kwnames);
        else
            run_sequential(call, self, outs.ptr(), plain_flag ? n : layer_count(call, self), args, nargs, kwnames);
        return combine(call, self, outs.ptr());
    });
}

}  // namespace marlune
