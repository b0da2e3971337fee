// What the forward pass keeps from one call of a clean module to the next: the
// view shape read from its `view_tuple`, and the skip-weight rows already
// viewed into that shape.
//
// Each clean module has its own record in a table keyed by the module, with a
// weak reference that drops the record when the module goes. Nothing is stored
// on the module itself, so its state_dict, pickling and deep copies are as
// before. A record is only ever trusted after checking that the tensors it was
// made from are the same objects with the same layout (`TensorLayout`).
#pragma once

#include <Python.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "common/refs.hpp"

namespace marlune {

namespace py = pybind11;

class TorchProbes;

// Everything a view of a tensor depends on: the object, its version counter
// (bumped by every in-place change, resize_ and set_ included), where its data
// starts, its shape, strides and dtype. Replacing `.data` keeps the object and
// the version but changes the rest.
class TensorLayout {
public:
    // The layout of `tensor`, a plain tensor; empty if some part of it cannot
    // be read (a sparse tensor has no strides, say).
    static TensorLayout of(const TorchProbes& probes, PyObject* tensor);

    bool valid() const { return static_cast<bool>(tensor_); }
    bool same_as(const TensorLayout& other) const;
    PyObject* tensor() const { return tensor_.ptr(); }
    int traverse(visitproc visit, void* arg) const;

private:
    py::object tensor_, shape_, stride_, dtype_;
    long long version_ = 0;
    void* data_ = nullptr;
};

// One skip-weight entry's rows, each `entry[j, :].view(shape)`, made while
// autograd was not recording them. They are views, so they follow in-place
// changes of the entry's values.
struct SkipRows {
    TensorLayout entry;
    py::object shape;    // the shape list they were viewed with (identity is checked)
    py::object device;   // the entry's device
    bool inference_mode;  // whether they were made under inference mode
    std::vector<py::object> rows;
};

class ForwardCache {
public:
    ForwardCache() = default;
    ForwardCache(const ForwardCache&) = delete;
    ForwardCache& operator=(const ForwardCache&) = delete;
    ~ForwardCache() { clear(); }

    // The shape list last read from `view_tuple` for `module`, if that tensor
    // still has the layout it had then; null otherwise.
    py::object shape(PyObject* module, const TensorLayout& view_tuple) const;
    void remember_shape(PyObject* module, TensorLayout view_tuple, py::object shape);

    // The rows kept for skip-weight entry `index` of `module`, or null.
    std::shared_ptr<const SkipRows> rows(PyObject* module, Py_ssize_t index) const;
    void remember_rows(PyObject* module, Py_ssize_t index, std::shared_ptr<const SkipRows> rows);

    void clear();
    int traverse(visitproc visit, void* arg) const;

private:
    struct Record {
        py::object weakref;  // to the module; its callback drops the record
        TensorLayout view_tuple;
        py::object shape;
        std::vector<std::shared_ptr<const SkipRows>> rows;
    };

    Record* find(PyObject* module);
    const Record* find(PyObject* module) const;
    Record* record_for(PyObject* module);
    static PyObject* module_dropped(PyObject* self, PyObject* weakref) noexcept;

    std::unordered_map<PyObject*, Record> records_;
};

}  // namespace marlune
