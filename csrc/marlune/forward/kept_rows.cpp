// The per-module records of the forward pass.
#include "marlune/forward/kept_rows.hpp"

#include <memory>

namespace marlune {

const ForwardCache::Record* ForwardCache::find(py::handle module) const {
    auto it = records_.find(module);
    return it == records_.end() ? nullptr : &it->second;
}

std::shared_ptr<const KeptRows> ForwardCache::rows(py::handle module, Py_ssize_t index) const {
    const Record* record = find(module);
    if (record == nullptr || index < 0 || static_cast<std::size_t>(index) >= record->rows.size()) return nullptr;
    return record->rows[static_cast<std::size_t>(index)];
}

void ForwardCache::keep_rows(py::handle module, Py_ssize_t index, std::shared_ptr<const KeptRows> rows) {
    Record* record = record_for(module);
    if (record == nullptr) return;
    const auto at = static_cast<std::size_t>(index);
    if (record->rows.size() <= at) record->rows.resize(at + 1);
    // Swapped out first: releasing the rows they replace frees only memory, but
    // the slot is in place before anything is released.
    std::shared_ptr<const KeptRows> replaced = std::exchange(record->rows[at], std::move(rows));
}

std::shared_ptr<const KeptShape> ForwardCache::shape(py::handle module) const {
    const Record* record = find(module);
    return record == nullptr ? nullptr : record->shape;
}

void ForwardCache::keep_shape(py::handle module, std::shared_ptr<const KeptShape> shape) {
    Record* record = record_for(module);
    if (record == nullptr) return;
    std::shared_ptr<const KeptShape> replaced = std::exchange(record->shape, std::move(shape));
}

// The weak reference's callback carries the table and the key it drops.
struct DropTarget {
    ForwardCache* cache;
    py::handle module;
};

namespace {

constexpr const char* kDropTarget = "quorvane.marlune.kept_rows";

void free_drop_target(PyObject* capsule) { delete static_cast<DropTarget*>(PyCapsule_GetPointer(capsule, kDropTarget)); }

}  // namespace

PyObject* ForwardCache::module_dropped(PyObject* self, PyObject*) noexcept {
    auto* target = static_cast<DropTarget*>(PyCapsule_GetPointer(self, kDropTarget));
    if (target == nullptr) return nullptr;
    // Moved out first: the table is consistent before anything is released.
    auto it = target->cache->records_.find(target->module);
    if (it != target->cache->records_.end()) {
        Record dropped = std::move(it->second);
        target->cache->records_.erase(it);
    }
    Py_RETURN_NONE;
}

// The record of `module`, made with its weak reference if there is none yet;
// null (and no error) if the module cannot be referenced weakly.
ForwardCache::Record* ForwardCache::record_for(py::handle module) {
    if (auto it = records_.find(module); it != records_.end()) return &it->second;
    static PyMethodDef dropped_def = {"module_dropped", reinterpret_cast<PyCFunction>(module_dropped), METH_O,
                                      "Drops what the forward pass kept for a clean module that no longer exists."};
    auto target = std::make_unique<DropTarget>(DropTarget{this, module});
    PyObject* capsule = PyCapsule_New(target.get(), kDropTarget, free_drop_target);
    if (capsule != nullptr) target.release();
    PyObject* callback = capsule ? PyCFunction_New(&dropped_def, capsule) : nullptr;
    Py_XDECREF(capsule);
    PyObject* weakref = callback ? PyWeakref_NewRef(module.ptr(), callback) : nullptr;
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
    decltype(records_) dropped;
    dropped.swap(records_);
}

int ForwardCache::traverse(visitproc visit, void* arg) const {
    for (const auto& [module, record] : records_) {
        Py_VISIT(record.weakref.ptr());
        if (const KeptShape* shape = record.shape.get()) {
            Py_VISIT(shape->alias.ptr());
            Py_VISIT(shape->shape.ptr());
        }
        for (const auto& rows : record.rows) {
            if (!rows) continue;
            Py_VISIT(rows->shape.ptr());
            Py_VISIT(rows->device.ptr());
            for (const py::object& row : rows->rows) Py_VISIT(row.ptr());
        }
    }
    return 0;
}

}  // namespace marlune
