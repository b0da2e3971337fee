// Reading torch objects the way Python reads them, without running Python code
// where the answer is fixed by torch's own classes.
//
// Every shortcut here applies only while the classes involved are torch's own
// and unpatched; for anything else the caller takes the ordinary protocol. The
// answers about a class are kept across calls and trusted only while the
// class's version tag is the one they were computed under: CPython gives a
// class a new tag whenever an attribute of it or of one of its bases changes,
// so patching torch.nn.Module.__getattr__, say, invalidates every answer about
// its subclasses at once.
#pragma once

#include <Python.h>

#include <array>
#include <charconv>
#include <string_view>

#include "common/compat.hpp"
#include "common/refs.hpp"
#include "common/torch_code.hpp"

namespace qv {

// Remembers classes for which some test passed, each with the version tag it
// passed under. A class without a valid tag is never remembered: it is tested
// again at every use.
class ClassMemo {
public:
    bool holds(PyTypeObject* tp) const {
        for (std::size_t i = 0; i < kSlots; ++i) {
            if (types_[i].ptr() == reinterpret_cast<PyObject*>(tp))
                return tags_[i] != 0 && compat::valid_version_tag(tp) == tags_[i];
        }
        return false;
    }

    void remember(PyTypeObject* tp) {
        const unsigned int tag = compat::valid_version_tag(tp);
        if (tag == 0) return;
        std::size_t slot = next_;
        for (std::size_t i = 0; i < kSlots; ++i)
            if (types_[i].ptr() == reinterpret_cast<PyObject*>(tp)) slot = i;
        if (slot == next_) next_ = (next_ + 1) % kSlots;
        types_[slot] = borrow(reinterpret_cast<PyObject*>(tp));
        tags_[slot] = tag;
    }

    int traverse(visitproc visit, void* arg) const {
        for (const py::object& t : types_) Py_VISIT(t.ptr());
        return 0;
    }

private:
    static constexpr std::size_t kSlots = 4;
    std::array<py::object, kSlots> types_{};
    std::array<unsigned int, kSlots> tags_{};
    std::size_t next_ = 0;
};

// obj.__dict__, owned; null (and no error) when it has none or it is not a dict.
inline py::object instance_dict(PyObject* obj) {
    PyObject* raw = PyObject_GenericGetDict(obj, nullptr);
    if (raw == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    py::object dict = steal(raw);
    if (!PyDict_CheckExact(raw)) return py::object();
    return dict;
}

// An exact dict or an exact OrderedDict (torch before 2.5 keeps a module's
// members in OrderedDicts): looking a key up in it, or taking its size, runs no
// code and answers as `key in d` and `len(d)` do. Only an exact dict also
// iterates in its own order: an OrderedDict may have been reordered.
inline bool plain_mapping(PyObject* d) { return PyDict_CheckExact(d) || PyODict_CheckExact(d); }

// dict[key] (owned; null when absent); errors from hashing propagate.
inline py::object dict_item(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return borrow(v);
}

// str(index) for index >= 0; one-digit texts are CPython's shared one-character strings.
inline py::object index_text(Py_ssize_t index) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, index);
    (void)ec;
    return steal(PyUnicode_FromStringAndSize(digits, end - digits));
}

enum class Lookup { found, absent, unknown };

// Member reads of torch modules. Made once per extension module (its state
// owns it) from torch.nn.Module and the interned names it needs.
class ModuleMembers {
public:
    struct Names {
        PyObject *getattr_, *getattribute_, *parameters_, *buffers_, *modules_, *module_, *size_;
    };

    // `module_type` is torch.nn.Module; a replaced __getattr__ at this point
    // leaves every shortcut off.
    void init(PyObject* module_type, const Names& names) {
        names_ = names;
        auto* base = reinterpret_cast<PyTypeObject*>(module_type);
        PyObject* getattr_fn = compat::type_lookup(base, names.getattr_);
        PyObject* getattribute_fn = compat::type_lookup(&PyBaseObject_Type, names.getattribute_);
        if (!defined_by_torch(getattr_fn, "nn/modules/module.py") || getattribute_fn == nullptr) return;
        module_type_ = borrow(module_type);
        module_getattr_ = borrow(getattr_fn);
        object_getattribute_ = borrow(getattribute_fn);
    }

    bool ready() const { return static_cast<bool>(module_type_); }

    // Whether instances of `tp` read attributes as nn.Module's do: the generic
    // lookup, then torch's own nn.Module.__getattr__, or quorvane's
    // clean_module_getattr, which calls that first and, only for a name it does
    // not find, looks further (so a miss is not an answer for such a class).
    bool reads_like_module(PyTypeObject* tp) {
        if (!module_type_) return false;
        if (module_like_.holds(tp) || member_passing_.holds(tp)) return true;
        if (tp->tp_getattro != reinterpret_cast<PyTypeObject*>(module_type_.ptr())->tp_getattro) return false;
        if (compat::type_lookup(tp, names_.getattribute_) != object_getattribute_.ptr()) return false;
        PyObject* getattr_fn = compat::type_lookup(tp, names_.getattr_);
        if (getattr_fn == module_getattr_.ptr()) {
            module_like_.remember(tp);
            return true;
        }
        if (!passes_members_on(getattr_fn)) return false;
        member_passing_.remember(tp);
        return true;
    }

    // obj.name as nn.Module's protocol answers it: the instance dict, then
    // parameters, buffers and child modules. `unknown` where the ordinary
    // protocol must decide (another class, a class attribute of that name, a
    // name a class that passes members on does not hold itself).
    Lookup lookup(PyObject* obj, PyObject* name, py::object& out) {
        if (!reads_like_module(Py_TYPE(obj))) return Lookup::unknown;
        if (compat::type_lookup(Py_TYPE(obj), name) != nullptr) return Lookup::unknown;
        py::object dict = instance_dict(obj);
        if (!dict) return Lookup::unknown;
        if ((out = dict_item(dict.ptr(), name))) return Lookup::found;
        for (PyObject* store : {names_.parameters_, names_.buffers_, names_.modules_}) {
            py::object sub = dict_item(dict.ptr(), store);
            if (!sub) continue;
            if (!plain_mapping(sub.ptr())) return Lookup::unknown;
            if ((out = dict_item(sub.ptr(), name))) return Lookup::found;
        }
        return member_passing_.holds(Py_TYPE(obj)) ? Lookup::unknown : Lookup::absent;
    }

    // getattr(obj, name)
    py::object attr(PyObject* obj, PyObject* name) {
        py::object out;
        if (lookup(obj, name, out) == Lookup::found) return out;
        return getattr(obj, name);
    }

    // hasattr(obj, name)
    bool has(PyObject* obj, PyObject* name) {
        py::object out;
        switch (lookup(obj, name, out)) {
            case Lookup::found: return true;
            case Lookup::absent: return false;
            case Lookup::unknown: break;
        }
        return hasattr(obj, name);
    }

    // What `obj.name(...)` calls when the class's own function or method
    // descriptor is found and nothing in the instance shadows it: then calling
    // it with obj prepended is the method call. Null where the ordinary lookup
    // must run.
    py::object unbound_method(PyObject* obj, PyObject* name) {
        PyTypeObject* tp = Py_TYPE(obj);
        if (!reads_like_module(tp)) return py::object();
        PyObject* found = compat::type_lookup(tp, name);
        // Functions and method descriptors promise that calling them with the
        // instance first is the bound call.
        if (found == nullptr || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))
            return py::object();
        py::object held = borrow(found);
        py::object dict = instance_dict(obj);
        if (!dict || dict_item(dict.ptr(), name)) return py::object();
        return held;
    }

    // len(seq) when seq is an exact torch Sequential, read without running
    // code; -1 (and no error) otherwise.
    Py_ssize_t plain_length(PyObject* seq) {
        py::object modules;
        return sequential_modules(seq, modules) ? PyDict_GET_SIZE(modules.ptr()) : -1;
    }

    // len(seq)
    Py_ssize_t length(PyObject* seq) {
        py::object modules;
        if (sequential_modules(seq, modules)) return PyDict_GET_SIZE(modules.ptr());
        const Py_ssize_t size = PyObject_Size(seq);
        if (size < 0) throw py::error_already_set();
        return size;
    }

    // seq[index] for an index object (an exact int takes the shortcut).
    py::object item(PyObject* seq, PyObject* index) {
        if (PyLong_CheckExact(index)) {
            const Py_ssize_t i = PyLong_AsSsize_t(index);
            if (i != -1 || !PyErr_Occurred()) return item(seq, i);
            PyErr_Clear();
        }
        return steal(PyObject_GetItem(seq, index));
    }

    // seq[index]
    py::object item(PyObject* seq, Py_ssize_t index) {
        py::object modules;
        if (sequential_modules(seq, modules) && PyDict_CheckExact(modules.ptr())) {
            const Py_ssize_t size = PyDict_GET_SIZE(modules.ptr());
            if (-size <= index && index < size) {
                if (index < 0) index += size;
                Py_ssize_t pos = 0, at = 0;
                PyObject *key, *value;
                while (PyDict_Next(modules.ptr(), &pos, &key, &value))
                    if (at++ == index) return borrow(value);
            }
        }
        py::object i = steal(PyLong_FromSsize_t(index));
        return steal(PyObject_GetItem(seq, i.ptr()));
    }

    // list_like[index], where list_like is usually an nn.ParameterList.
    py::object parameter(PyObject* list_like, Py_ssize_t index) {
        if (PyList_CheckExact(list_like) || PyTuple_CheckExact(list_like)) {
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(list_like);
            if (-size <= index && index < size)
                return borrow(PySequence_Fast_GET_ITEM(list_like, index < 0 ? index + size : index));
        } else if (is_exact_container(Py_TYPE(list_like), parameter_list_, "ParameterList")) {
            py::object size_obj;
            if (own_member(list_like, names_.size_, size_obj) && PyLong_CheckExact(size_obj.ptr())) {
                const Py_ssize_t size = PyLong_AsSsize_t(size_obj.ptr());
                if (size == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                } else if (-size <= index && index < size) {
                    py::object key = index_text(index < 0 ? index + size : index);
                    py::object out;
                    if (lookup(list_like, key.ptr(), out) == Lookup::found) return out;
                }
            }
        }
        py::object i = steal(PyLong_FromSsize_t(index));
        return steal(PyObject_GetItem(list_like, i.ptr()));
    }

    // seq[index] for an index within an exact list, tuple or torch
    // ParameterList, found without running code; null (and no error) otherwise.
    py::object plain_parameter(PyObject* seq, Py_ssize_t index) {
        if (index < 0) return py::object();
        if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
            if (index >= PySequence_Fast_GET_SIZE(seq)) return py::object();
            return borrow(PySequence_Fast_GET_ITEM(seq, index));
        }
        if (!is_exact_container(Py_TYPE(seq), parameter_list_, "ParameterList")) return py::object();
        py::object size;
        if (!own_member(seq, names_.size_, size) || !PyLong_CheckExact(size.ptr())) return py::object();
        const Py_ssize_t count = PyLong_AsSsize_t(size.ptr());
        if (count == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return py::object();
        }
        if (index >= count) return py::object();
        py::object key = index_text(index);
        py::object out;
        return lookup(seq, key.ptr(), out) == Lookup::found ? out : py::object();
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(module_type_.ptr());
        Py_VISIT(module_getattr_.ptr());
        Py_VISIT(object_getattribute_.ptr());
        if (int rc = module_like_.traverse(visit, arg)) return rc;
        if (int rc = member_passing_.traverse(visit, arg)) return rc;
        if (int rc = sequential_.traverse(visit, arg)) return rc;
        return parameter_list_.traverse(visit, arg);
    }

private:
    // Whether `fn` is quorvane's clean_module_getattr (member_passing.py) while
    // nn.Module.__getattr__, which it calls first, is still torch's own.
    bool passes_members_on(PyObject* fn) const {
        if (!defined_in(fn, "quorvane/", "member_passing.py")) return false;
        if (PyUnicode_CompareWithASCIIString(compat::function_code_name(fn), "clean_module_getattr") != 0) return false;
        auto* base = reinterpret_cast<PyTypeObject*>(module_type_.ptr());
        return compat::type_lookup(base, names_.getattr_) == module_getattr_.ptr();
    }

    // obj.__dict__[name] when the class has no attribute of that name (so the
    // generic read would find exactly this).
    bool own_member(PyObject* obj, PyObject* name, py::object& out) const {
        if (compat::type_lookup(Py_TYPE(obj), name) != nullptr) return false;
        py::object dict = instance_dict(obj);
        if (!dict) return false;
        out = dict_item(dict.ptr(), name);
        return static_cast<bool>(out);
    }

    // The child-module dict (or OrderedDict) of an exact torch.nn.Sequential.
    bool sequential_modules(PyObject* seq, py::object& modules) {
        if (!is_exact_container(Py_TYPE(seq), sequential_, "Sequential")) return false;
        return own_member(seq, names_.modules_, modules) && plain_mapping(modules.ptr());
    }

    // Whether `tp` is torch.nn.<name> of torch.nn.modules.container with
    // torch's own __getitem__ and __len__, and reads members like a module.
    bool is_exact_container(PyTypeObject* tp, ClassMemo& memo, const char* name) {
        if (memo.holds(tp)) return true;
        if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) || std::string_view(tp->tp_name) != name) return false;
        if (!reads_like_module(tp)) return false;
        py::object own_dict = steal(compat::type_dict(tp));
        PyObject* where = PyDict_GetItemWithError(own_dict.ptr(), names_.module_);
        if (where == nullptr || !PyUnicode_Check(where) ||
            PyUnicode_CompareWithASCIIString(where, "torch.nn.modules.container") != 0) {
            PyErr_Clear();
            return false;
        }
        py::object container = steal_or_clear(PyImport_GetModule(where));
        if (!container) return false;
        py::object cls = steal_or_clear(PyObject_GetAttrString(container.ptr(), name));
        if (cls.ptr() != reinterpret_cast<PyObject*>(tp)) return false;
        for (const char* method : {"__getitem__", "__len__"}) {
            py::object fn = steal_or_clear(PyObject_GetAttrString(cls.ptr(), method));
            if (!defined_by_torch(fn.ptr(), "nn/modules/container.py")) return false;
        }
        memo.remember(tp);
        return true;
    }

    static py::object steal_or_clear(PyObject* o) {
        if (o == nullptr) {
            PyErr_Clear();
            return py::object();
        }
        return steal(o);
    }

    Names names_{};
    py::object module_type_, module_getattr_, object_getattribute_;
    ClassMemo module_like_, member_passing_, sequential_, parameter_list_;
};

}  // namespace qv
