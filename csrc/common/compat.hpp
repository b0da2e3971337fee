// Every use of CPython's private API, of object internals, and of calls that
// differ between interpreter versions, in one place. Each sits behind a version
// check where versions differ, and uses the public call where the running
// version has one. Nothing else in csrc/ calls an underscore function of
// CPython or reads a code object's fields or a type field whose meaning
// changed between versions (tp_dict, the heap-type fields); the slots that
// every version reads alike (tp_name, tp_base, tp_flags, tp_getattro, tp_iter,
// tp_descr_get) are read where they are used.
#pragma once

#include <Python.h>
#include <frameobject.h>

namespace qv::compat {

// --- types ------------------------------------------------------------------

// The attribute `name` along the MRO of `type`, as the generic attribute
// lookup finds it, without calling descriptors or running any code: borrowed,
// or null when absent (never an error). 3.10 to 3.13 have no public call for it.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

// The type's version tag while it is valid, else 0. CPython gives a class a new
// tag whenever an attribute of it or of one of its bases changes, so an answer
// kept together with the tag holds as long as the tag does.
inline unsigned int valid_version_tag(PyTypeObject* type) noexcept {
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    return type->tp_version_tag;
}

// The type's own dict (new reference).
inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_NewRef(type->tp_dict);
#endif
}

// The __name__ a heap class holds (borrowed). Only for classes whose metaclass
// is exactly `type`, where this is what type(obj).__name__ reads.
inline PyObject* heap_type_name(PyTypeObject* type) noexcept {
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
}

// Ties a heap class made by calling a metaclass to the module that made it,
// as PyType_FromModuleAndSpec does, so PyType_GetModule finds the module from
// the class's methods. Takes a new reference to `module`.
inline void set_type_module(PyTypeObject* type, PyObject* module) noexcept {
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
    Py_XSETREF(heap->ht_module, Py_NewRef(module));
}

// Whether instances of `type` may have an instance dict.
inline bool has_instance_dict(PyTypeObject* type) noexcept {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
    return type->tp_dictoffset != 0;
}

// Whether `obj` holds instance attributes: a __dict__ that is not empty,
// looked at without making one where it has none (reading __dict__ would).
// 3.10 to 3.13 offer only the dict pointer for it.
inline bool has_instance_attributes(PyObject* obj) noexcept {
    if (!has_instance_dict(Py_TYPE(obj))) return false;
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (slot == nullptr) {
        PyErr_Clear();
        return true;  // unknown: as if it had some
    }
    return *slot != nullptr && (!PyDict_Check(*slot) || PyDict_GET_SIZE(*slot) != 0);
}

// Whether `descr` is a slot wrapper of the C function `fn` (such as
// object.__getattribute__ wrapping PyObject_GenericGetAttr).
inline bool wraps_slot(PyObject* descr, void* fn) noexcept {
    return Py_IS_TYPE(descr, &PyWrapperDescr_Type) && reinterpret_cast<PyWrapperDescrObject*>(descr)->d_wrapped == fn;
}

// --- code objects -----------------------------------------------------------

// co_filename and co_name of a Python function's code (borrowed). 3.10 to 3.13
// offer these only as attributes, which would go through a lookup each time.
inline PyObject* function_filename(PyObject* function) noexcept {
    return reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function))->co_filename;
}

inline PyObject* function_code_name(PyObject* function) noexcept {
    return reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function))->co_name;
}

// --- attributes and strings -------------------------------------------------

// getattr(obj, name, None) as the builtin reads it, without building the
// AttributeError where the type need not: 1 found (*result owned), 0 absent,
// -1 error.
inline int lookup_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// Whether the str `s` is interned (two different interned strs never compare equal).
inline bool is_interned(PyObject* s) noexcept { return PyUnicode_CHECK_INTERNED(s) != 0; }

// --- exceptions -------------------------------------------------------------

// The pending exception as one object (new reference, or null when none),
// normalised and with its traceback attached: what `except E as e` binds.
inline PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` (a reference that is stolen) the pending exception, with the
// traceback it carries.
inline void restore_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// The pending exception set aside exactly as it is (not normalised, so no
// exception class runs code earlier than it would have) and put back when
// this goes out of scope.
class SetAsideError {
public:
    SetAsideError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    ~SetAsideError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, value_, tb_);
#endif
    }
    SetAsideError(const SetAsideError&) = delete;
    SetAsideError& operator=(const SetAsideError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    PyObject *type_, *value_, *tb_;
#endif
};

// --- frames -------------------------------------------------------------------

// A new frame object running `code` in `globals` on this thread (for a
// traceback entry only; it never executes).
inline PyFrameObject* new_frame(PyCodeObject* code, PyObject* globals) noexcept {
    return PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
}

// --- recursion ----------------------------------------------------------------

// Counts one call of a Python function against sys.getrecursionlimit(), for
// code that stands for such a call without making one; 0 or -1 with
// RecursionError set. Up to 3.11 the interpreter counts C and Python calls
// together, and so do we. From 3.12 the interpreter counts C calls against a
// fixed limit of its own and only Python frames against sys.getrecursionlimit(),
// a count that is not reachable from outside: such levels are counted here,
// per thread, against that limit.
#if PY_VERSION_HEX >= 0x030C0000
inline thread_local int python_levels = 0;

inline int enter_python_level(const char* where) noexcept {
    if (python_levels >= Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    ++python_levels;
    return 0;
}

inline void leave_python_level() noexcept { --python_levels; }
#else
inline int enter_python_level(const char* where) noexcept { return Py_EnterRecursiveCall(where); }

inline void leave_python_level() noexcept { Py_LeaveRecursiveCall(); }
#endif

}  // namespace qv::compat
