// Entry points and recursion accounting.
//
// Every function that CPython calls is `noexcept` and runs its body through
// `entry`: whatever the body throws becomes the pending Python exception, the
// function adds its own traceback frame, and NULL goes back to the caller. No
// C++ exception ever crosses a CPython frame.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <cstdint>
#include <new>
#include <stdexcept>

#include "frames.hpp"
#include "refs.hpp"

namespace qv {

// Where an entry point reports itself in a traceback.
struct Site {
    const char* file;  // "quorvane/marlune" or "quorvane/ostrelle"
    const char* func;  // the Python-level name of the function
    int line;
};

// Makes the C++ exception being handled the pending Python exception. Call it
// only inside a catch block.
inline void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// Runs `body` (returning py::object) on behalf of a CPython caller.
template <class Body>
PyObject* entry(PyObject* globals, const Site& site, Body&& body) noexcept {
    try {
        py::object result = body();
        return result.release().ptr();
    } catch (...) {
        set_python_error_from_current();
    }
    add_traceback_frame(globals, site.file, site.func, site.line);
    return nullptr;
}

// Raises RecursionError when less than this much C stack is left.
inline constexpr std::size_t kStackReserve = 256 * 1024;

// Lowest usable address of the calling thread's stack, found once per thread
// (0 when the platform does not say).
inline std::uintptr_t thread_stack_low() noexcept {
    thread_local std::uintptr_t low = [] {
        std::uintptr_t result = 0;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) result = reinterpret_cast<std::uintptr_t>(addr);
            pthread_attr_destroy(&attr);
        }
#endif
        return result;
    }();
    return low;
}

// One level of a recursive walk. It counts against the interpreter's recursion
// limit like a Python call does, and also refuses to go on when the C stack
// itself is nearly used up, which a raised recursion limit alone would not
// prevent.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        char probe;
        std::uintptr_t low = thread_stack_low();
        if (low != 0 && reinterpret_cast<std::uintptr_t>(&probe) < low + kStackReserve) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s (C stack nearly exhausted)", where);
            throw py::error_already_set();
        }
        if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace qv
