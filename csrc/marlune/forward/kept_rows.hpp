// What the forward pass keeps from one call of a clean module to the next: the
// skip-weight rows it viewed, for calls that autograd does not record, and the
// view shape of a `view_tuple` off the CPU.
//
// Nothing kept refers to anything of the module's:
// - kept rows are detached views of the entry's memory: they keep its storage
//   alive, never the entry's tensor object, so torch.utils.swap_tensors and
//   module conversions that swap tensors work as without them, and nothing
//   that the entry refers to (hooks, say) is kept alive through them;
// - the entry is remembered only by where and how its values lie (TensorKey),
//   which the rows' storage keeps from being reused by another tensor;
// - each module's record is found by the module's address and dropped by the
//   callback of a weak reference to it, so it goes with its module.
// Nothing is stored on the module, so its state_dict, pickling and deep
// copies are as before.
#pragma once

#include <Python.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "common/refs.hpp"
#include "marlune/forward/tensor_key.hpp"

namespace marlune {

namespace py = pybind11;

// The rows `entry[j, :].view(shape)` of one skip-weight entry.
struct KeptRows {
    TensorKey entry;               // where the entry's values lay
    py::object shape;              // the shape list they were viewed with
    bool inference_mode = false;   // made under inference mode
    py::object device;             // the entry's device, where they are
    std::vector<py::object> rows;  // detached views of the entry's memory
};

// The view shape of a `view_tuple` whose values cannot be read without waiting
// for its device: trusted while the buffer lies where it lay and its version
// counter has not moved.
struct KeptShape {
    TensorKey key;
    long long version = 0;
    py::object alias;  // a detached alias of the buffer: holds its memory
    py::object shape;  // the list read from it
};

class ForwardCache {
public:
    ForwardCache() = default;
    ForwardCache(const ForwardCache&) = delete;
    ForwardCache& operator=(const ForwardCache&) = delete;
    ~ForwardCache() { clear(); }

    // The rows kept for skip-weight entry `index` of `module`, or null.
    std::shared_ptr<const KeptRows> rows(py::handle module, Py_ssize_t index) const;
    void keep_rows(py::handle module, Py_ssize_t index, std::shared_ptr<const KeptRows> rows);

    // The view shape kept for `module`, or null.
    std::shared_ptr<const KeptShape> shape(py::handle module) const;
    void keep_shape(py::handle module, std::shared_ptr<const KeptShape> shape);

    void clear();
    int traverse(visitproc visit, void* arg) const;

private:
    struct Record {
        py::object weakref;  // to the module; its callback drops the record
        std::shared_ptr<const KeptShape> shape;
        std::vector<std::shared_ptr<const KeptRows>> rows;
    };
    // Modules are only looked up by address, never referred to.
    struct ModuleHash {
        std::size_t operator()(py::handle module) const { return std::hash<PyObject*>()(module.ptr()); }
    };
    struct SameModule {
        bool operator()(py::handle a, py::handle b) const { return a.ptr() == b.ptr(); }
    };

    const Record* find(py::handle module) const;
    Record* record_for(py::handle module);
    static PyObject* module_dropped(PyObject* self, PyObject* weakref) noexcept;

    std::unordered_map<py::handle, Record, ModuleHash, SameModule> records_;
};

}  // namespace marlune
