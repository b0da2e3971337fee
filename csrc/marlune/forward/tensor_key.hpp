// Where a strided tensor's values lie and how they are read: what a view of it
// depends on, without a reference to the tensor.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>

namespace marlune {

class TorchProbes;

// Two tensors with equal keys present the same values: the same first element
// in memory (data pointers are unique across devices, which share one address
// space), the same sizes and strides, the same dtype, negative and conjugate
// bits. It holds no reference: whoever trusts a key must keep the memory it
// describes from being reused, by holding the storage (a detached alias).
class TensorKey {
public:
    static constexpr int kMaxRank = 4;

    // The key of `tensor`, a plain tensor; nothing for a tensor without
    // strided memory (sparse, meta, no elements), of rank above kMaxRank, or
    // where a read fails.
    static std::optional<TensorKey> of(const TorchProbes& probes, PyObject* tensor);

    bool operator==(const TensorKey&) const = default;

private:
    std::uintptr_t data_ = 0;
    const void* dtype_ = nullptr;  // torch's dtype object, compared by identity only
    bool negative_ = false, conjugate_ = false;
    int rank_ = 0;
    std::array<long long, kMaxRank> sizes_{}, strides_{};
};

}  // namespace marlune
