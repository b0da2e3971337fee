// The combination stage: in slot order, each slot receives the skip-weighted
// values of the earlier slots (rows.cpp); dendrite slots then pass through the
// dendrite nonlinearity; the main slot, through its processor's post, is the
// result.
//
// The call's facts (call_facts.hpp) are forgotten wherever code other than
// torch's kernels and the package's own settings getter may run: a member read
// that takes the ordinary protocol, a nonlinearity that is not torch's own or
// runs outside a plain state, the release of a slot's previous value that may
// run code, and the long way of a slot (rows.cpp).
#include "common/globals.hpp"
#include "marlune/forward/call_facts.hpp"
#include "marlune/forward/parts.hpp"
#include "marlune/forward/rows.hpp"

namespace marlune {

namespace {

using qv::steal;

class Combination {
public:
    Combination(const Call& call, PyObject* self, PyObject* outs)
        : call_(call), st_(call.st), members_(call.fs.members), self_(self), outs_(outs) {}

    py::object run() {
        py::object current;
        const Py_ssize_t slots = layer_count();  // range() is evaluated once
        for (Py_ssize_t out_index = 0; out_index < slots; ++out_index) {
            current = list_get(outs_, out_index);
            // The loop body reads len(self.layer_array) and hasattr(self, "skip_weights")
            // at every slot; an answer read without running code holds while no code runs.
            if (layer_count() > 1 && has_skip_weights()) {
                current = add_earlier_slots(call_, self_, outs_, out_index, std::move(current), facts_);
                if (out_index < layer_count() - 1) current = nonlinearity(std::move(current));
            }
            store(out_index, current);
        }
        return main_post(std::move(current));
    }

private:
    // len(self.layer_array): an exact Sequential is counted without running
    // code, and then the count holds until code may have run.
    Py_ssize_t layer_count() {
        if (facts_.layer_count) return *facts_.layer_count;
        py::object layers;
        if (members_.lookup(self_, st_.layer_array, layers) == qv::Lookup::found) {
            const Py_ssize_t count = members_.plain_length(layers.ptr());
            if (count >= 0) return *(facts_.layer_count = count);
        }
        facts_.forget();
        return marlune::layer_count(call_, self_);
    }

    // hasattr(self, "skip_weights"), held as the count is.
    bool has_skip_weights() {
        if (facts_.has_skip_weights) return *facts_.has_skip_weights;
        py::object weights;
        switch (members_.lookup(self_, st_.skip_weights, weights)) {
            case qv::Lookup::found: return *(facts_.has_skip_weights = true);
            case qv::Lookup::absent: return *(facts_.has_skip_weights = false);
            case qv::Lookup::unknown: break;
        }
        facts_.forget();
        return qv::hasattr(self_, st_.skip_weights);
    }

    // GZR.pc.get_zor_forward_function()(current), the getter called anew each
    // time. Only the package's own getter handing out one of torch's own
    // functions, applied to a plain tensor in a plain state, runs no other code.
    py::object nonlinearity(py::object current) {
        py::object gzr = qv::global(call_.globals, st_.GZR);
        const bool own_getter = call_.fs.settings.pure_read(gzr.ptr(), st_.pc);
        py::object settings = qv::getattr(gzr.ptr(), st_.pc);
        gzr = py::object();
        py::object fn = qv::call_method(settings.ptr(), st_.get_zor_forward_function);
        settings = py::object();
        TorchProbes& probes = call_.fs.probes;
        const bool quiet = own_getter && probes.pure_nonlinearity(fn.ptr()) && probes.plain_tensor(current.ptr()) &&
                           facts_.torch_facts(call_, self_).usable;
        if (!quiet) facts_.forget();
        return qv::call(fn.ptr(), {current.ptr()});
    }

    // outs[index] = value, where the value it replaces may go with it. (Asked
    // only in a state known to be plain: a mode would see the reads.)
    void store(Py_ssize_t index, const py::object& value) {
        if (facts_.plain() && index < PyList_GET_SIZE(outs_)) {
            PyObject* old = PyList_GET_ITEM(outs_, index);
            if (old != Py_None && Py_REFCNT(old) == 1 && !call_.fs.probes.releases_quietly(old)) facts_.forget();
        }
        list_set(outs_, index, value);
    }

    // The main processor's post on the combined main value.
    py::object main_post(py::object current) {
        py::object last = steal(PyLong_FromLong(-1));
        py::object processors = members_.attr(self_, st_.processor_array);
        py::object processor = steal(PyObject_GetItem(processors.ptr(), last.ptr()));
        processors = py::object();
        if (processor.ptr() != Py_None) {
            py::object post = qv::getattr(processor.ptr(), st_.post);
            if (current) return qv::call(post.ptr(), {current.ptr()});
        }
        if (!current) raise_unbound_result();
        return current;
    }

    // Only an empty layer_array leaves no slot to combine.
    [[noreturn]] static void raise_unbound_result() {
#if PY_VERSION_HEX >= 0x030B0000
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'current_out' where it is not associated with a value");
#else
        PyErr_SetString(PyExc_UnboundLocalError, "local variable 'current_out' referenced before assignment");
#endif
        throw py::error_already_set();
    }

    const Call& call_;
    const State& st_;
    qv::ModuleMembers& members_;
    PyObject* self_;
    PyObject* outs_;
    CallFacts facts_;
};

}  // namespace

py::object combine(const Call& call, PyObject* self, PyObject* outs) { return Combination(call, self, outs).run(); }

}  // namespace marlune
