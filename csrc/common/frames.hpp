// Traceback frames for C++ functions.
//
// When an exception leaves one of our functions, that function appends a frame
// of its own (file "quorvane/<module>", its Python-level name, a fixed line) so
// a traceback through nested calls shows one frame per level, as it would for
// Python code.
#pragma once

#include <Python.h>
#include <frameobject.h>

namespace qv {

// Adds a frame for `func` to the traceback of the pending exception. Never
// replaces that exception: if the frame cannot be built, it is simply left out.
inline void add_traceback_frame(PyObject* globals, const char* file, const char* func, int line) noexcept {
    if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyFrameObject* frame = nullptr;
    if (PyCodeObject* code = PyCode_NewEmpty(file, func, line)) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        Py_DECREF(code);
    }
    if (frame == nullptr) PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace qv
