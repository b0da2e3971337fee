// The skip-weighted additions into one slot, the long way or the short way.
//
// The long way reads every row as the loop body does: `self.skip_weights`, the
// entry, the row, `self.view_tuple`, its tolist(), view, the running value's
// device and `to`, all afresh for every row.
//
// The short way is taken for a whole slot when everything those reads would
// run is torch's own code on plain tensors in a plain thread state (the call's
// facts, call_facts.hpp, and the slot's operands and entry, read at the start
// of the slot): then the view shape is read once, a row already on the running
// value's device is not moved (`to` would return it as it is), and while
// autograd does not record the rows (grad mode off, or an entry that does not
// require grad) and no forward-mode AD level is active, the rows viewed on an
// earlier call are used again if the entry's values still lie where and as
// they lay then (kept_rows.hpp). Between two rows of one slot only torch's
// kernels run, so nothing read at its start can change there.
#include "marlune/forward/rows.hpp"

#include <optional>
#include <variant>
#include <vector>

namespace marlune {

namespace {

using qv::steal;

// The rows of one slot on the short way, and where they are.
struct FastRows {
    using Made = std::vector<py::object>;
    std::variant<std::shared_ptr<const KeptRows>, Made> rows;  // kept from an earlier call, or made for this one
    py::object device;

    PyObject* row(Py_ssize_t j) const {
        const Made& all = std::holds_alternative<Made>(rows) ? std::get<Made>(rows)
                                                              : std::get<std::shared_ptr<const KeptRows>>(rows)->rows;
        return all[static_cast<std::size_t>(j)].ptr();
    }
};

class SlotAdditions {
public:
    SlotAdditions(const Call& call, PyObject* self, PyObject* outs, Py_ssize_t out_index, CallFacts& facts)
        : call_(call), st_(call.st), members_(call.fs.members), probes_(call.fs.probes), self_(self), outs_(outs),
          out_index_(out_index), facts_(facts), all_(steal(PySlice_New(nullptr, nullptr, nullptr))) {}

    py::object run(py::object current) {
        if (std::optional<FastRows> rows = fast_rows(current.ptr())) return add(*rows, std::move(current));
        // The long way runs code of the caller's: classes of its own, hooks, modes.
        facts_.forget();
        current = add_literally(std::move(current));
        facts_.forget();
        return current;
    }

private:
    // --- the long way ------------------------------------------------------

    py::object add_literally(py::object current) {
        for (Py_ssize_t in_index = 0; in_index < out_index_; ++in_index) {
            py::object row = literal_row(in_index, current.ptr());
            current = add_product(std::move(current), row.ptr(), in_index);
        }
        return current;
    }

    py::object literal_row(Py_ssize_t in_index, PyObject* current) {
        py::object weights = members_.attr(self_, st_.skip_weights);
        py::object entry = members_.parameter(weights.ptr(), out_index_ - 1);
        weights = py::object();
        py::object row = steal(PyObject_GetItem(entry.ptr(), row_key(in_index).ptr()));
        entry = py::object();
        py::object view_tuple = members_.attr(self_, st_.view_tuple);
        py::object shape = traced_view_shape(view_tuple.ptr());
        if (!shape) shape = qv::call_method(view_tuple.ptr(), st_.tolist);
        view_tuple = py::object();
        row = qv::call_method(row.ptr(), st_.view, {shape.ptr()});
        py::object device = qv::getattr(current, st_.device);
        return qv::call_method(row.ptr(), st_.to, {device.ptr()});
    }

    // Where tolist() on `view_tuple` cannot give the shape (a fake stand-in for
    // the module's buffer while torch.export or the ONNX exporter traces, say),
    // quorvane.tracing gives it; null where `view_tuple` is read as it is.
    py::object traced_view_shape(PyObject* view_tuple) {
        if (probes_.plain_tensor(view_tuple) && probes_.plain_state()) return py::object();
        py::object shape = qv::call_method(call_.fs.tracing.ptr(), st_.traced_view_shape, {view_tuple});
        return shape.ptr() == Py_None ? py::object() : shape;
    }

    // --- the short way -----------------------------------------------------

    std::optional<FastRows> fast_rows(PyObject* current) {
        const TorchFacts& facts = facts_.torch_facts(call_, self_);
        if (!facts.usable || !plain_operands(current)) return std::nullopt;
        py::object entry = members_.plain_parameter(facts.skip_weights.ptr(), out_index_ - 1);
        if (!entry || !probes_.plain_tensor(entry.ptr())) return std::nullopt;
        const bool keep = facts.may_keep && (!facts.recording || !requires_grad(entry.ptr()));
        std::optional<TensorKey> key = keep ? TensorKey::of(probes_, entry.ptr()) : std::nullopt;
        if (key) {
            std::shared_ptr<const KeptRows> kept = call_.fs.cache.rows(self_, out_index_ - 1);
            if (kept && kept->entry == *key && kept->inference_mode == facts.inference_mode &&
                kept->rows.size() >= static_cast<std::size_t>(out_index_) && same_list(kept->shape, facts.shape)) {
                py::object device = kept->device;
                return FastRows{std::move(kept), std::move(device)};
            }
        }
        py::object device = probes_.read(entry.ptr(), TorchProbes::device);
        if (!device) return std::nullopt;
        FastRows rows{make_rows(entry.ptr(), facts.shape.ptr()), std::move(device)};
        if (key) keep_rows(*key, facts.shape, facts.inference_mode, rows);
        return rows;
    }

    // Every operand of the slot's arithmetic is a plain tensor.
    bool plain_operands(PyObject* current) {
        if (!probes_.plain_tensor(current) || PyList_GET_SIZE(outs_) < out_index_) return false;
        for (Py_ssize_t j = 0; j < out_index_; ++j)
            if (!probes_.plain_tensor(PyList_GET_ITEM(outs_, j))) return false;
        return true;
    }

    // Two exact lists of ints, compared without running code.
    static bool same_list(const py::object& a, const py::object& b) {
        if (a.ptr() == b.ptr()) return true;
        const int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
        if (same < 0) PyErr_Clear();
        return same == 1;
    }

    bool requires_grad(PyObject* tensor) const {
        py::object flag = probes_.read(tensor, TorchProbes::requires_grad);
        return !flag || flag.ptr() != Py_False;
    }

    // entry[j, :].view(shape) for the slot's rows.
    std::vector<py::object> make_rows(PyObject* entry, PyObject* shape) {
        std::vector<py::object> rows;
        rows.reserve(static_cast<std::size_t>(out_index_));
        for (Py_ssize_t j = 0; j < out_index_; ++j) {
            py::object row = steal(PyObject_GetItem(entry, row_key(j).ptr()));
            rows.push_back(probes_.view(row.ptr(), shape));
        }
        return rows;
    }

    // Detached copies of the rows made, kept for the next calls.
    void keep_rows(const TensorKey& key, const py::object& shape, bool inference_mode, const FastRows& rows) {
        auto kept = std::make_shared<KeptRows>(KeptRows{key, shape, inference_mode, rows.device, {}});
        for (const py::object& row : std::get<FastRows::Made>(rows.rows)) {
            py::object detached = probes_.read(row.ptr(), TorchProbes::detach);
            if (!detached) return;
            kept->rows.push_back(std::move(detached));
        }
        call_.fs.cache.keep_rows(self_, out_index_ - 1, std::move(kept));
    }

    py::object add(const FastRows& rows, py::object current) {
        for (Py_ssize_t in_index = 0; in_index < out_index_; ++in_index) {
            py::object row = qv::borrow(rows.row(in_index));
            py::object device = probes_.read(current.ptr(), TorchProbes::device);
            if (!device) device = qv::getattr(current.ptr(), st_.device);
            if (!qv::check(PyObject_RichCompareBool(rows.device.ptr(), device.ptr(), Py_EQ)))
                row = probes_.to(row.ptr(), device.ptr());
            current = add_product(std::move(current), row.ptr(), in_index);
        }
        return current;
    }

    // --- both ways ---------------------------------------------------------

    // current + row * outs[in_index]
    py::object add_product(py::object current, PyObject* row, Py_ssize_t in_index) {
        py::object earlier = list_get(outs_, in_index);
        py::object product = steal(PyNumber_Multiply(row, earlier.ptr()));
        return steal(PyNumber_Add(current.ptr(), product.ptr()));
    }

    // (j, slice(None)): the index of row j.
    py::object row_key(Py_ssize_t j) const {
        py::object index = steal(PyLong_FromSsize_t(j));
        return steal(PyTuple_Pack(2, index.ptr(), all_.ptr()));
    }

    const Call& call_;
    const State& st_;
    qv::ModuleMembers& members_;
    TorchProbes& probes_;
    PyObject* self_;
    PyObject* outs_;
    const Py_ssize_t out_index_;
    CallFacts& facts_;
    py::object all_;  // slice(None), the ':' of a row index
};

}  // namespace

py::object add_earlier_slots(const Call& call, PyObject* self, PyObject* outs, Py_ssize_t out_index,
                             py::object current, CallFacts& facts) {
    if (out_index == 0) return current;
    return SlotAdditions(call, self, outs, out_index, facts).run(std::move(current));
}

}  // namespace marlune
