// What one call of the combination reads once and trusts until code other
// than torch's kernels and the package's own settings getter may have run: the
// layer count, whether there are skip weights, and what the short way of every
// slot relies on besides the slot's own entry (rows.cpp). The combination
// forgets them at each point where such code can run (combine.cpp says where).
//
// One kind of code is not seen: a finalizer or weak-reference callback that
// the garbage collector runs for some unrelated object while torch allocates a
// tensor. A change it makes to the module is seen from the next call on.
#pragma once

#include <Python.h>

#include <optional>

#include "marlune/forward/parts.hpp"

namespace marlune {

// The thread's torch state and the members the short way reads.
struct TorchFacts {
    bool usable = false;          // every read below ran only torch's own code in a plain state
    bool recording = true;        // grad mode: autograd records the rows
    bool inference_mode = false;  // rows kept under inference mode serve only such calls
    bool may_keep = false;        // no forward-mode AD level: kept rows carry no tangent
    py::object skip_weights;      // self.skip_weights
    py::object shape;             // self.view_tuple.tolist()

    // The facts as they are now for the clean module `self`.
    static TorchFacts read(const Call& call, PyObject* self);
};

struct CallFacts {
    std::optional<Py_ssize_t> layer_count;  // len(self.layer_array)
    std::optional<bool> has_skip_weights;   // hasattr(self, "skip_weights")
    std::optional<TorchFacts> torch;

    void forget() { *this = CallFacts(); }

    const TorchFacts& torch_facts(const Call& call, PyObject* self) {
        if (!torch) torch = TorchFacts::read(call, self);
        return *torch;
    }
    // The torch state is known to be plain (so reads of tensors run no mode).
    bool plain() const { return torch && torch->usable; }
};

}  // namespace marlune
