// The per-module records of the forward pass.
#include "marlune/forward_cache.hpp"

#include <memory>

#include "marlune/torch_probes.hpp"

namespace marlune {

TensorLayout TensorLayout::of(const TorchProbes& probes, PyObject* tensor) {
    TensorLayout out;
    py::object version = probes.read(tensor, TorchProbes::version);
    py::object data = version ? probes.read(tensor, TorchProbes::data_ptr) : py::object();
    py::object shape = data ? probes.read(tensor, TorchProbes::shape) : py::object();
    py::object stride = shape ? probes.read(tensor, TorchProbes::stride) : py::object();
    py::object dtype = stride ? probes.read(tensor, TorchProbes::dtype) : py::object();
    if (!dtype || !PyLong_Check(version.ptr()) || !PyLong_Check(data.ptr())) return out;
    out.version_ = PyLong_AsLongLong(version.ptr());
    out.data_ = PyLong_AsVoidPtr(data.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return out;
    }
    out.tensor_ = qv::borrow(tensor);
    out.shape_ = std::move(shape);
    out.stride_ = std::move(stride);
    out.dtype_ = std::move(dtype);
    return out;
}

bool TensorLayout::same_as(const TensorLayout& other) const {
    if (!valid() || !other.valid()) return false;
    if (tensor_.ptr() != other.tensor_.ptr() || version_ != other.version_ || data_ != other.data_ ||
        dtype_.ptr() != other.dtype_.ptr())
        return false;
    // Sizes and strides are exact tuples of ints: comparing them runs no Python code.
    const int same_shape = PyObject_RichCompareBool(shape_.ptr(), other.shape_.ptr(), Py_EQ);
    const int same_stride = same_shape == 1 ? PyObject_RichCompareBool(stride_.ptr(), other.stride_.ptr(), Py_EQ) : 0;
    if (same_shape < 0 || same_stride < 0) {
        PyErr_Clear();
        return false;
    }
    return same_stride == 1;
}

int TensorLayout::traverse(visitproc visit, void* arg) const {
    Py_VISIT(tensor_.ptr());
    Py_VISIT(shape_.ptr());
    Py_VISIT(stride_.ptr());
    Py_VISIT(dtype_.ptr());
    return 0;
}

ForwardCache::Record* ForwardCache::find(PyObject* module) {
    auto it = records_.find(module);
    return it == records_.end() ? nullptr : &it->second;
}

const ForwardCache::Record* ForwardCache::find(PyObject* module) const {
    auto it = records_.find(module);
    return it == records_.end() ? nullptr : &it->second;
}

py::object ForwardCache::shape(PyObject* module, const TensorLayout& view_tuple) const {
    const Record* record = find(module);
    if (record == nullptr || !record->shape || !record->view_tuple.same_as(view_tuple)) return py::object();
    return record->shape;
}

void ForwardCache::remember_shape(PyObject* module, TensorLayout view_tuple, py::object shape) {
    Record* record = record_for(module);
    if (record == nullptr) return;
    record->view_tuple = std::move(view_tuple);
    record->shape = std::move(shape);
}

std::shared_ptr<const SkipRows> ForwardCache::rows(PyObject* module, Py_ssize_t index) const {
    const Record* record = find(module);
    if (record == nullptr || index < 0 || static_cast<std::size_t>(index) >= record->rows.size()) return nullptr;
    return record->rows[static_cast<std::size_t>(index)];
}

void ForwardCache::remember_rows(PyObject* module, Py_ssize_t index, std::shared_ptr<const SkipRows> rows) {
    Record* record = record_for(module);
    if (record == nullptr) return;
    if (record->rows.size() <= static_cast<std::size_t>(index)) record->rows.resize(static_cast<std::size_t>(index) + 1);
    record->rows[static_cast<std::size_t>(index)] = std::move(rows);
}

// The weak reference's callback carries the table and the key it drops.
struct DropTarget {
    ForwardCache* cache;
    PyObject* module;
};

namespace {

constexpr const char* kDropTarget = "quorvane.marlune.forward_cache";

void free_drop_target(PyObject* capsule) { delete static_cast<DropTarget*>(PyCapsule_GetPointer(capsule, kDropTarget)); }

}  // namespace

PyObject* ForwardCache::module_dropped(PyObject* self, PyObject*) noexcept {
    auto* target = static_cast<DropTarget*>(PyCapsule_GetPointer(self, kDropTarget));
    if (target == nullptr) return nullptr;
    // Moved out first: releasing what the record holds may run Python code.
    auto it = target->cache->records_.find(target->module);
    if (it != target->cache->records_.end()) {
        Record dropped = std::move(it->second);
        target->cache->records_.erase(it);
    }
    Py_RETURN_NONE;
}

// The record of `module`, made with its weak reference if there is none yet;
// null (and no error) if the module cannot be referenced weakly.
ForwardCache::Record* ForwardCache::record_for(PyObject* module) {
    if (Record* record = find(module)) return record;
    static PyMethodDef dropped_def = {"module_dropped", reinterpret_cast<PyCFunction>(module_dropped), METH_O,
                                      "Drops the forward pass's record of a clean module that no longer exists."};
    auto target = std::make_unique<DropTarget>(DropTarget{this, module});
    PyObject* capsule = PyCapsule_New(target.get(), kDropTarget, free_drop_target);
    if (capsule != nullptr) target.release();
    PyObject* callback = capsule ? PyCFunction_New(&dropped_def, capsule) : nullptr;
    Py_XDECREF(capsule);
    PyObject* weakref = callback ? PyWeakref_NewRef(module, callback) : nullptr;
    Py_XDECREF(callback);
    if (weakref == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    Record& record = records_[module];
    record.weakref = qv::steal(weakref);
    return &record;
}

void ForwardCache::clear() {
    // Releasing a record may run Python code that reaches this table again.
    std::unordered_map<PyObject*, Record> dropped;
    dropped.swap(records_);
}

int ForwardCache::traverse(visitproc visit, void* arg) const {
    for (const auto& [module, record] : records_) {
        Py_VISIT(record.weakref.ptr());
        if (int rc = record.view_tuple.traverse(visit, arg)) return rc;
        Py_VISIT(record.shape.ptr());
        for (const auto& rows : record.rows) {
            if (!rows) continue;
            if (int rc = rows->entry.traverse(visit, arg)) return rc;
            Py_VISIT(rows->shape.ptr());
            Py_VISIT(rows->device.ptr());
            for (const py::object& row : rows->rows) Py_VISIT(row.ptr());
        }
    }
    return 0;
}

}  // namespace marlune
