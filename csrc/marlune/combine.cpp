// The combination stage: in slot order, each slot receives the skip-weighted
// values of the earlier slots; dendrite slots then pass through the dendrite
// nonlinearity; the main slot, through its processor's post, is the result.
//
// One row of skip weights is `self.skip_weights[k][j, :]` viewed into the shape
// `self.view_tuple.tolist()` and moved to the running value's device. Read
// that way for every row of every call, that is most of the combination's
// cost, and on a GPU a device-to-host copy per row. So where nothing but
// torch's own code can run (plain tensors, torch's own classes, no mode or
// transform or trace on the thread), the shape is read only when `view_tuple`
// changed, a row already on the right device is not moved, and, while autograd
// is not recording the rows, the viewed rows are kept from call to call (see
// forward_cache.hpp). Everything else goes the long way, read by read.
#include <vector>

#include "common/globals.hpp"
#include "marlune/forward_parts.hpp"

namespace marlune {

namespace {

using qv::borrow;
using qv::steal;

// The rows of one slot's skip-weight entry as the shortcut supplies them:
// kept from an earlier call, or made here from the entry and the shape
// remembered for `view_tuple`.
class FastRows {
public:
    FastRows() = default;

    static FastRows kept(std::shared_ptr<const SkipRows> rows) {
        FastRows out;
        out.kept_ = std::move(rows);
        out.device_ = out.kept_->device;
        return out;
    }

    // `keep`: the rows may be kept for later calls, made under inference mode or not.
    static FastRows fresh(py::object entry, py::object shape, py::object device, bool keep, bool inference_mode) {
        FastRows out;
        out.entry_ = std::move(entry);
        out.shape_ = std::move(shape);
        out.device_ = std::move(device);
        out.keep_ = keep;
        out.inference_mode_ = inference_mode;
        return out;
    }

    bool active() const { return static_cast<bool>(device_); }
    void stop() { device_ = py::object(); }

    // entry[in_index, :].view(shape)
    py::object row(const State& st, PyObject* all, Py_ssize_t in_index) {
        if (kept_) return kept_->rows[static_cast<std::size_t>(in_index)];
        py::object index = steal(PyLong_FromSsize_t(in_index));
        py::object key = steal(PyTuple_Pack(2, index.ptr(), all));
        py::object row = steal(PyObject_GetItem(entry_.ptr(), key.ptr()));
        row = qv::call_method(row.ptr(), st.view, {shape_.ptr()});
        if (keep_) made_.push_back(row);
        return row;
    }

    // row.to(current.device), where the row needs no move when it is there
    // already (`to` would give the row itself).
    py::object onto_device_of(const State& st, const TorchProbes& probes, py::object row, PyObject* current) const {
        py::object device = probes.read(current, TorchProbes::device);
        if (!device) device = qv::getattr(current, st.device);
        if (qv::check(PyObject_RichCompareBool(device_.ptr(), device.ptr(), Py_EQ))) return row;
        return qv::call_method(row.ptr(), st.to, {device.ptr()});
    }

    // The rows made for all `count` earlier slots, for the next calls.
    std::shared_ptr<const SkipRows> made(const TorchProbes& probes, Py_ssize_t count) const {
        if (!active() || !keep_ || made_.size() != static_cast<std::size_t>(count)) return nullptr;
        TensorLayout layout = TensorLayout::of(probes, entry_.ptr());
        if (!layout.valid()) return nullptr;
        return std::make_shared<const SkipRows>(SkipRows{std::move(layout), shape_, device_, inference_mode_, made_});
    }

private:
    std::shared_ptr<const SkipRows> kept_;
    py::object entry_, shape_, device_;
    bool keep_ = false, inference_mode_ = false;
    std::vector<py::object> made_;
};

// What the combination has read and checked. It holds only while nothing but
// torch's own code on plain tensors has run on this thread since it was read;
// `forget` drops it wherever other code may have run.
struct Checked {
    int plain_state = -1;  // the probes' answers, -1 until asked
    int grad_enabled = -1;
    int inference_mode = -1;
    Py_ssize_t layer_count = -1;  // len(self.layer_array), when read without running code
    py::object skip_weights;      // self.skip_weights, when found without running code
    py::object shape;             // the view shape, checked against self.view_tuple
};

class Combination {
public:
    Combination(const Call& call, PyObject* self, PyObject* outs)
        : call_(call), st_(call.st), members_(call.fs.members), probes_(call.fs.probes), self_(self), outs_(outs),
          all_(steal(PySlice_New(nullptr, nullptr, nullptr))) {}

    py::object run() {
        py::object current;
        const Py_ssize_t slots = layer_count();  // range() is evaluated once
        for (Py_ssize_t out_index = 0; out_index < slots; ++out_index) {
            current = list_get(outs_, out_index);
            // len(self.layer_array) is read again at every slot, as the loop body reads it.
            if (layer_count() > 1 && has_skip_weights()) {
                current = add_earlier_slots(out_index, std::move(current));
                if (out_index < layer_count() - 1) current = nonlinearity(std::move(current));
            }
            store(out_index, current);
        }
        return main_post(std::move(current));
    }

private:
    void forget() { checked_ = Checked(); }

    Py_ssize_t layer_count() {
        if (checked_.layer_count >= 0) return checked_.layer_count;
        py::object layers;
        if (members_.lookup(self_, st_.layer_array, layers) == qv::Lookup::found) {
            const Py_ssize_t count = members_.plain_length(layers.ptr());
            if (count >= 0) return checked_.layer_count = count;
        }
        forget();  // a class of another kind answers with code of its own
        return marlune::layer_count(call_, self_);
    }

    bool has_skip_weights() {
        if (checked_.skip_weights) return true;
        py::object weights;
        switch (members_.lookup(self_, st_.skip_weights, weights)) {
            case qv::Lookup::found: checked_.skip_weights = std::move(weights); return true;
            case qv::Lookup::absent: return false;
            case qv::Lookup::unknown: break;
        }
        forget();
        return qv::hasattr(self_, st_.skip_weights);
    }

    bool plain_state() {
        if (checked_.plain_state < 0) checked_.plain_state = probes_.plain_state();
        return checked_.plain_state == 1;
    }

    // current + row_0 * slot_0 + ... + row_{k-1} * slot_{k-1}, left to right.
    py::object add_earlier_slots(Py_ssize_t out_index, py::object current) {
        if (out_index == 0) return current;
        FastRows fast = prepare(out_index);
        for (Py_ssize_t in_index = 0; in_index < out_index; ++in_index) {
            py::object row;
            if (fast.active() && probes_.plain_tensor(current.ptr())) {
                row = fast.row(st_, all_.ptr(), in_index);
                row = fast.onto_device_of(st_, probes_, std::move(row), current.ptr());
            } else {
                fast.stop();
                forget();
                row = generic_row(out_index, in_index, current.ptr());
            }
            py::object earlier = list_get(outs_, in_index);
            // An operand of another class may run code of its own from here on.
            if (!probes_.plain_tensor(earlier.ptr())) {
                fast.stop();
                forget();
            }
            py::object product = steal(PyNumber_Multiply(row.ptr(), earlier.ptr()));
            current = steal(PyNumber_Add(current.ptr(), product.ptr()));
        }
        if (auto rows = fast.made(probes_, out_index)) call_.fs.cache.remember_rows(self_, out_index - 1, rows);
        return current;
    }

    // The row read the way the loop body reads it, every member afresh.
    py::object generic_row(Py_ssize_t out_index, Py_ssize_t in_index, PyObject* current) {
        py::object weights = members_.attr(self_, st_.skip_weights);
        py::object entry = members_.parameter(weights.ptr(), out_index - 1);
        weights = py::object();
        py::object index = steal(PyLong_FromSsize_t(in_index));
        py::object key = steal(PyTuple_Pack(2, index.ptr(), all_.ptr()));
        py::object row = steal(PyObject_GetItem(entry.ptr(), key.ptr()));
        entry = py::object();
        py::object view_tuple = members_.attr(self_, st_.view_tuple);
        py::object shape = traced_view_shape(view_tuple.ptr());
        if (!shape) shape = qv::call_method(view_tuple.ptr(), st_.tolist);
        view_tuple = py::object();
        row = qv::call_method(row.ptr(), st_.view, {shape.ptr()});
        py::object device = qv::getattr(current, st_.device);
        return qv::call_method(row.ptr(), st_.to, {device.ptr()});
    }

    // Under a fake-tensor trace (torch.export without strict, the ONNX exporter)
    // `view_tuple` is a fake stand-in for the module's buffer, and its tolist()
    // gives unbacked symbols, by which a view cannot be solved (-1 is a valid
    // entry, a size is not). What eager reads is the real buffer's values:
    // quorvane.tracing.traced_view_shape reads them, and the traced program records
    // them as constants, as torch.jit.trace does. Null where `view_tuple` is not a
    // fake tensor, or stands for no real one: it is then read as it is.
    py::object traced_view_shape(PyObject* view_tuple) {
        if (probes_.plain_tensor(view_tuple)) return py::object();
        // Fake tensors exist only once torch has imported their module.
        py::object module_name = steal(PyUnicode_FromString("torch._subclasses.fake_tensor"));
        PyObject* fake_module = PyImport_GetModule(module_name.ptr());
        if (fake_module == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::object();
        }
        py::object fake_tensors = steal(fake_module);
        PyObject* found = PyObject_GetAttr(fake_tensors.ptr(), st_.FakeTensor);
        if (found == nullptr) {
            PyErr_Clear();  // another torch: read as it is
            return py::object();
        }
        py::object fake_class = steal(found);
        if (!PyType_Check(found) || !PyObject_TypeCheck(view_tuple, reinterpret_cast<PyTypeObject*>(found)))
            return py::object();
        py::object tracing = steal(PyImport_ImportModule("quorvane.tracing"));
        py::object shape = qv::call_method(tracing.ptr(), st_.traced_view_shape, {view_tuple});
        if (shape.ptr() == Py_None) return py::object();
        return shape;
    }

    // The shortcut for slot `out_index`, if every read it replaces would run
    // only torch's own code and cannot fail here; inactive otherwise.
    FastRows prepare(Py_ssize_t out_index) {
        if (!members_.ready() || !checked_.skip_weights || !plain_state()) return FastRows();
        py::object entry = members_.plain_parameter(checked_.skip_weights.ptr(), out_index - 1);
        if (!entry || !probes_.plain_tensor(entry.ptr())) return FastRows();
        py::object shape = view_shape();
        if (!shape) return FastRows();
        // Rows kept from a call autograd did not record may serve only such calls.
        if (checked_.grad_enabled < 0) checked_.grad_enabled = probes_.grad_enabled();
        const bool keep = checked_.grad_enabled == 0 || !requires_grad(entry.ptr());
        if (keep && checked_.inference_mode < 0) checked_.inference_mode = probes_.inference_mode();
        const bool inference_mode = keep && checked_.inference_mode == 1;
        if (keep) {
            auto kept = call_.fs.cache.rows(self_, out_index - 1);
            if (kept && kept->shape.ptr() == shape.ptr() && kept->inference_mode == inference_mode &&
                kept->rows.size() >= static_cast<std::size_t>(out_index) &&
                kept->entry.same_as(TensorLayout::of(probes_, entry.ptr())))
                return FastRows::kept(std::move(kept));
        }
        py::object device = probes_.read(entry.ptr(), TorchProbes::device);
        if (!device) return FastRows();
        return FastRows::fresh(std::move(entry), std::move(shape), std::move(device), keep, inference_mode);
    }

    // view_tuple.tolist(), read again only when the tensor changed.
    py::object view_shape() {
        if (checked_.shape) return checked_.shape;
        py::object view_tuple;
        if (members_.lookup(self_, st_.view_tuple, view_tuple) != qv::Lookup::found ||
            !probes_.plain_tensor(view_tuple.ptr()))
            return py::object();
        TensorLayout layout = TensorLayout::of(probes_, view_tuple.ptr());
        if (!layout.valid()) return py::object();
        py::object shape = call_.fs.cache.shape(self_, layout);
        if (!shape) {
            PyObject* list = PyObject_CallMethodNoArgs(view_tuple.ptr(), st_.tolist);
            if (list == nullptr || !PyList_CheckExact(list)) {
                Py_XDECREF(list);
                PyErr_Clear();
                return py::object();
            }
            shape = steal(list);
            call_.fs.cache.remember_shape(self_, std::move(layout), shape);
        }
        return checked_.shape = shape;
    }

    bool requires_grad(PyObject* tensor) const {
        py::object flag = probes_.read(tensor, TorchProbes::requires_grad);
        return !flag || flag.ptr() != Py_False;
    }

    // GZR.pc.get_zor_forward_function()(current), the getter called anew each time.
    py::object nonlinearity(py::object current) {
        py::object gzr = qv::global(call_.globals, st_.GZR);
        const bool pure_getter = call_.fs.settings.pure_read(gzr.ptr(), st_.pc);
        py::object settings = qv::getattr(gzr.ptr(), st_.pc);
        py::object fn = qv::call_method(settings.ptr(), st_.get_zor_forward_function);
        if (!(pure_getter && probes_.pure_nonlinearity(fn.ptr()) && probes_.plain_tensor(current.ptr()) &&
              plain_state()))
            forget();
        py::object result = qv::call(fn.ptr(), {current.ptr()});
        if (!probes_.plain_tensor(result.ptr())) forget();
        return result;
    }

    // outs[index] = value. The value it replaces may go with it, and only a
    // plain tensor goes without running code of its own.
    void store(Py_ssize_t index, const py::object& value) {
        if (index < PyList_GET_SIZE(outs_)) {
            PyObject* old = PyList_GET_ITEM(outs_, index);
            if (Py_REFCNT(old) == 1 && old != Py_None && !probes_.plain_tensor(old)) forget();
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
    TorchProbes& probes_;
    PyObject* self_;
    PyObject* outs_;
    py::object all_;  // slice(None), the ':' of a row index
    Checked checked_;
};

}  // namespace

py::object combine(const Call& call, PyObject* self, PyObject* outs) { return Combination(call, self, outs).run(); }

}  // namespace marlune
