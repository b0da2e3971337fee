// Traceback frames for C++ functions.
//
// When an exception leaves one of our functions, that function appends a frame
// of its own (file "quorvane/<module>", its Python-level name, a fixed line) so
// a traceback through nested calls shows one frame per level, as it would for
// Python code.
#pragma once

#include <Python.h>

#include "common/compat.hpp"

namespace qv {

// Adds a frame for `func` to the traceback of the pending exception. Never
// replaces that exception: if the frame cannot be built, it is simply left out.
inline void add_traceback_frame(PyObject* globals, const char* file, const char* func, int line) noexcept {
    if (!PyErr_Occurred()) return;
    PyFrameObject* frame = nullptr;
    {
        const compat::SetAsideError pending;
        if (PyCodeObject* code = PyCode_NewEmpty(file, func, line)) {
            frame = compat::new_frame(code, globals);
            Py_DECREF(code);
        }
        if (frame == nullptr) PyErr_Clear();
    }
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace qv
