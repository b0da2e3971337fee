// The skip-weighted additions into one slot of the combination.
#pragma once

#include <Python.h>

#include "marlune/forward/call_facts.hpp"
#include "marlune/forward/parts.hpp"

namespace marlune {

// current + row_0 * slot_0 + ... + row_{k-1} * slot_{k-1}, left to right, for
// slot k = `out_index` of `outs`, each row being
// `self.skip_weights[k - 1][j, :].view(self.view_tuple.tolist()).to(current.device)`.
// `facts` are read where they are needed and not known, and forgotten where
// the additions ran code.
py::object add_earlier_slots(const Call& call, PyObject* self, PyObject* outs, Py_ssize_t out_index,
                             py::object current, CallFacts& facts);

}  // namespace marlune
