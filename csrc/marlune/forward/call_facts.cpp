// Reading the torch facts of one call.
#include "marlune/forward/call_facts.hpp"

#include <memory>

namespace marlune {

namespace {

py::object exact_list(py::object value) { return value && PyList_CheckExact(value.ptr()) ? value : py::object(); }

// self.view_tuple.tolist(), read as torch reads it, in a plain state; null
// where the long way must read it. A buffer off the CPU is read again only
// when it changed as far as torch records (its layout, or its version
// counter): reading it would wait for the device.
py::object view_shape(const Call& call, PyObject* self) {
    TorchProbes& probes = call.fs.probes;
    py::object view_tuple;
    if (call.fs.members.lookup(self, call.st.view_tuple, view_tuple) != qv::Lookup::found ||
        !probes.plain_tensor(view_tuple.ptr()))
        return py::object();
    py::object on_cpu = probes.read(view_tuple.ptr(), TorchProbes::is_cpu);
    if (!on_cpu) return py::object();
    if (on_cpu.ptr() == Py_True) return exact_list(probes.own_tolist(view_tuple.ptr()));
    std::optional<TensorKey> key = TensorKey::of(probes, view_tuple.ptr());
    py::object version = probes.read(view_tuple.ptr(), TorchProbes::version);
    if (!key || !version || !PyLong_CheckExact(version.ptr())) return py::object();
    const long long counter = PyLong_AsLongLong(version.ptr());
    std::shared_ptr<const KeptShape> kept = call.fs.cache.shape(self);
    if (kept && kept->key == *key && kept->version == counter) return kept->shape;
    py::object shape = exact_list(probes.own_tolist(view_tuple.ptr()));
    py::object alias = probes.read(view_tuple.ptr(), TorchProbes::detach);
    if (shape && alias)
        call.fs.cache.keep_shape(self, std::make_shared<const KeptShape>(KeptShape{*key, counter, alias, shape}));
    return shape;
}

}  // namespace

TorchFacts TorchFacts::read(const Call& call, PyObject* self) {
    TorchFacts facts;
    TorchProbes& probes = call.fs.probes;
    if (!call.fs.members.ready() || !probes.plain_state()) return facts;
    facts.recording = probes.grad_enabled();
    // Saved-tensor hooks run while autograd records.
    if (facts.recording && !probes.no_saved_tensor_hooks()) return facts;
    if (call.fs.members.lookup(self, call.st.skip_weights, facts.skip_weights) != qv::Lookup::found) return facts;
    facts.shape = view_shape(call, self);
    if (!facts.shape) return facts;
    facts.inference_mode = probes.inference_mode();
    facts.may_keep = !probes.dual_level();
    facts.usable = true;
    return facts;
}

}  // namespace marlune
