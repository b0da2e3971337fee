// Reading a tensor's key.
#include "marlune/forward/tensor_key.hpp"

#include "marlune/forward/torch_probes.hpp"

namespace marlune {

namespace {

// The ints of an exact tuple (or torch.Size) into `out`; false if it is not
// one, is longer than `out`, or an item is not an int.
bool read_ints(PyObject* seq, std::array<long long, TensorKey::kMaxRank>& out, int& count) {
    if (seq == nullptr || !PyTuple_Check(seq) || PyTuple_GET_SIZE(seq) > TensorKey::kMaxRank) return false;
    count = static_cast<int>(PyTuple_GET_SIZE(seq));
    for (int i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(seq, i);
        if (!PyLong_CheckExact(item)) return false;
        out[static_cast<std::size_t>(i)] = PyLong_AsLongLong(item);
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A method's answer that must be an exact bool.
std::optional<bool> read_bool(const TorchProbes& probes, PyObject* tensor, TorchProbes::Member member) {
    py::object value = probes.read(tensor, member);
    if (!value || !PyBool_Check(value.ptr())) return std::nullopt;
    return value.ptr() == Py_True;
}

}  // namespace

std::optional<TensorKey> TensorKey::of(const TorchProbes& probes, PyObject* tensor) {
    TensorKey key;
    py::object data = probes.read(tensor, TorchProbes::data_ptr);
    if (!data || !PyLong_Check(data.ptr())) return std::nullopt;
    key.data_ = reinterpret_cast<std::uintptr_t>(PyLong_AsVoidPtr(data.ptr()));
    if (key.data_ == 0) {  // no memory, or an error
        PyErr_Clear();
        return std::nullopt;
    }
    py::object dtype = probes.read(tensor, TorchProbes::dtype);
    py::object sizes = probes.read(tensor, TorchProbes::shape);
    py::object strides = probes.read(tensor, TorchProbes::stride);
    int stride_count = -1;
    if (!dtype || !read_ints(sizes.ptr(), key.sizes_, key.rank_) || !read_ints(strides.ptr(), key.strides_, stride_count) ||
        stride_count != key.rank_)
        return std::nullopt;
    key.dtype_ = dtype.ptr();
    std::optional<bool> negative = read_bool(probes, tensor, TorchProbes::is_neg);
    if (!negative) return std::nullopt;
    key.negative_ = *negative;
    if (probes.complex_dtype(dtype.ptr())) {
        std::optional<bool> conjugate = read_bool(probes, tensor, TorchProbes::is_conj);
        if (!conjugate) return std::nullopt;
        key.conjugate_ = *conjugate;
    }
    return key;
}

}  // namespace marlune
