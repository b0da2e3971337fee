// Entry points, owned exceptions and recursion accounting.
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
#include <utility>

#include "common/compat.hpp"
#include "common/frames.hpp"
#include "common/refs.hpp"

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

// A raised exception object, owned: taken off the thread, kept while other
// code runs, and raised again. Empty when nothing was raised.
class RaisedException {
public:
    RaisedException() noexcept = default;

    // The pending exception, taken off the thread (normalised, its traceback
    // attached); empty when none is pending.
    static RaisedException take() noexcept { return RaisedException(compat::take_raised_exception()); }

    explicit operator bool() const noexcept { return static_cast<bool>(exc_); }
    py::handle get() const noexcept { return exc_; }

    // Raises it again: it becomes the pending exception, traceback included,
    // and stays held here as well.
    void restore() const noexcept { compat::restore_raised_exception(Py_NewRef(exc_.ptr())); }

    // This exception, raised while `earlier` was in flight, with `earlier` as
    // its __context__, as raising inside an except or finally block does. When
    // either side is empty the other one is what is in flight.
    RaisedException chained_after(RaisedException earlier) && noexcept {
        if (!earlier || earlier.exc_.is(exc_)) return std::move(*this);
        if (!exc_) return earlier;
        PyException_SetContext(exc_.ptr(), earlier.exc_.release().ptr());
        return std::move(*this);
    }

    // The exception as a new reference, no longer held here.
    py::object release() noexcept { return std::move(exc_); }

private:
    explicit RaisedException(PyObject* exc) noexcept : exc_(py::reinterpret_steal<py::object>(exc)) {}

    py::object exc_;
};

// --- recursion ------------------------------------------------------------------

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

// Refuses to go deeper when the C stack itself is nearly used up, which a
// raised recursion limit alone would not prevent.
inline void check_c_stack(const char* where) {
    char probe;
    const std::uintptr_t low = thread_stack_low();
    if (low != 0 && reinterpret_cast<std::uintptr_t>(&probe) < low + kStackReserve) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s (C stack nearly exhausted)", where);
        throw py::error_already_set();
    }
}

// One level of a recursive call that CPython has not counted: it counts
// against the interpreter's recursion limit like a C call does, and checks the
// C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        check_c_stack(where);
        if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// A level that our own code enters in place of a call of a Python function
// (a walk calling itself directly): counted as such a call is counted, so the
// walk goes as deep as the same function written in Python would, and checked
// against the C stack.
class LevelGuard {
public:
    explicit LevelGuard(const char* where) {
        check_c_stack(where);
        if (compat::enter_python_level(where) != 0) throw py::error_already_set();
    }
    ~LevelGuard() { compat::leave_python_level(); }
    LevelGuard(const LevelGuard&) = delete;
    LevelGuard& operator=(const LevelGuard&) = delete;
};

}  // namespace qv
