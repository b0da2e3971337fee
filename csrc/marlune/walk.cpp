// refresh_zor and refresh_net: the clean-up walk over a network.
//
// One call visits one object: containers through named_children(), everything
// else through __dir__(). Children are walked before the object itself is
// converted, so a block layer's replacement is built from clean parts. The
// recursive call goes through the module global refresh_zor, and every
// module-level name, setting and builtin `print` is read when it is used.
#include <atomic>
#include <cstring>
#include <utility>

#include "common/unpack.hpp"
#include "common/calling.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "marlune/state.hpp"
#include "marlune/walk.hpp"

namespace marlune {

namespace {

constexpr const char* kPointedTwice =
    "this is only being called because something in your model is pointed to twice by two different "
    "variables.  Highest thing on the list is one of the duplicates";

py::object text(const char* s) { return qv::steal(PyUnicode_FromString(s)); }

// a + b, Python's `+`.
py::object add(PyObject* a, PyObject* b) { return qv::steal(PyNumber_Add(a, b)); }

py::object add(PyObject* a, const char* b) { return add(a, text(b).ptr()); }

py::object add(const char* a, PyObject* b) { return add(text(a).ptr(), b); }

// `obj == name` for an interned str `name`. Exact str needs no call into
// Python: identical, or both interned and different, or compared by content.
bool equals_name(PyObject* obj, PyObject* name) {
    if (obj == name) return true;
    if (PyUnicode_CheckExact(obj)) {
        if (PyUnicode_CHECK_INTERNED(obj)) return false;
        return PyUnicode_Compare(obj, name) == 0;
    }
    return qv::equal(obj, name);
}

bool is_subclass(PyObject* cls, PyObject* base) { return qv::check(PyObject_IsSubclass(cls, base)) != 0; }

// Attribute reads that cannot run Python code.
//
// Most members the walk meets are methods and instance-free class attributes,
// and it reads each of them several times, only to learn the type of what it
// read. When the outcome of such a read is fixed by the class dicts alone, it
// is told from them, without making (and dropping) bound methods or raising
// (and clearing) AttributeError. Anything less plain takes the ordinary path.

// The tp_getattro CPython gives a class with a Python-level __getattr__: it runs
// __getattribute__ and falls back to __getattr__ only on AttributeError. Found
// from a class made for the purpose; a C function, so it may live in a static.
getattrofunc getattr_hook_slot() {
    static std::atomic<getattrofunc> slot{nullptr};
    getattrofunc found = slot.load(std::memory_order_relaxed);
    if (found != nullptr) return found;
    py::object name = text("_getattr_hook_probe");
    py::object bases = qv::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::object ns = qv::steal(PyDict_New());
    qv::check(PyDict_SetItemString(ns.ptr(), "__getattr__", Py_None));
    py::object cls = qv::call(reinterpret_cast<PyObject*>(&PyType_Type), {name.ptr(), bases.ptr(), ns.ptr()});
    found = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_getattro;
    slot.store(found, std::memory_order_relaxed);
    return found;
}

// True when instances of `tp` look attributes up as object.__getattribute__
// does (a __getattr__ hook only runs when that lookup fails).
bool generic_lookup(PyTypeObject* tp, PyObject* getattribute_name) {
    if (tp->tp_getattro == PyObject_GenericGetAttr) return true;
    if (tp->tp_getattro != getattr_hook_slot()) return false;
    PyObject* getattribute = _PyType_Lookup(tp, getattribute_name);
    return getattribute == nullptr ||
           (Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) &&
            reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped ==
                reinterpret_cast<void*>(PyObject_GenericGetAttr));
}

bool has_instance_dict(PyTypeObject* tp) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
    return tp->tp_dictoffset != 0;
}

// True when getattr(obj, name) is sure to give a new bound method of a plain
// function found on obj's class: the class lookup is generic and the instance
// dict does not shadow the function.
bool reads_as_method(PyObject* obj, PyObject* name, PyObject* getattribute_name) {
    if (!PyUnicode_CheckExact(name)) return false;
    PyTypeObject* tp = Py_TYPE(obj);
    if (!generic_lookup(tp, getattribute_name)) return false;
    PyObject* found = _PyType_Lookup(tp, name);
    if (found == nullptr || !PyFunction_Check(found)) return false;
    if (!has_instance_dict(tp)) return true;
    py::object dict = qv::steal(PyObject_GenericGetDict(obj, nullptr));
    return !PyDict_Check(dict.ptr()) ? false : qv::check(PyDict_Contains(dict.ptr(), name)) == 0;
}

// isinstance(getattr(cls, name, None), property) where the class dicts alone
// decide it: 1 or 0, or -1 when the ordinary lookup has to run. A plain
// metaclass, and no attribute of that name on the metaclass: then the result
// is None for a missing name, the function itself for a function, and the
// property itself for a property.
int class_property_fast(PyTypeObject* cls, PyObject* name) {
    if (!PyUnicode_CheckExact(name) || !Py_IS_TYPE(reinterpret_cast<PyObject*>(cls), &PyType_Type)) return -1;
    if (_PyType_Lookup(&PyType_Type, name) != nullptr) return -1;
    PyObject* found = _PyType_Lookup(cls, name);
    if (found == nullptr || PyFunction_Check(found)) return 0;
    if (Py_IS_TYPE(found, &PyProperty_Type)) return 1;
    return -1;
}

PyObject* type_of(PyObject* obj) { return reinterpret_cast<PyObject*>(Py_TYPE(obj)); }

// type(obj), owned: code run while it is in use may reassign obj.__class__.
py::object class_of(PyObject* obj) { return qv::borrow(type_of(obj)); }

// One call of refresh_zor.
class Visit {
public:
    Visit(PyObject* module, PyObject* depth, PyObject* name_so_far, PyObject* converted_list)
        : globals_(PyModule_GetDict(module)),
          st_(state_of(module)),
          depth_(depth),
          name_so_far_(name_so_far),
          converted_(qv::borrow(converted_list)),
          plain_name_(PyUnicode_CheckExact(name_so_far)) {}

    py::object run(PyObject* net_arg) {
        py::object net = qv::borrow(net_arg);
        if (verbose()) print_entry_lines(net.ptr());

        // Already clean: met again through a second reference.
        {
            py::object clean_class = global(st_.ModuleType);
            if (type_of(net.ptr()) == clean_class.ptr()) {
                if (verbose()) print(text(kPointedTwice).ptr());
                return net;
            }
        }

        py::object all_members = qv::call_method(net.ptr(), st_.__dir__);
        if (is_container(net.ptr())) {
            walk_container(net.ptr());
        } else {
            py::object tracked = setting(st_.get_modules_to_track);
            if (qv::contains(tracked.ptr(), class_of(net.ptr()).ptr())) return net;
            walk_members(net.ptr(), all_members.ptr());
        }

        if (is_block_layer(net.ptr())) {
            py::object make = global(st_.make_module);
            net = qv::call(make.ptr(), {net.ptr()});
        }
        return net;
    }

private:
    py::object global(PyObject* name) const { return qv::global(globals_, name); }

    // GZR.pc.<method>(), looked up afresh.
    py::object setting(PyObject* method) const {
        py::object gzr = global(st_.GZR);
        py::object pc = qv::getattr(gzr.ptr(), st_.pc);
        return qv::call_method(pc.ptr(), method);
    }

    bool verbose() const {
        py::object flag = setting(st_.get_extra_verbose);
        return qv::truthy(flag.ptr());
    }

    void print(PyObject* line) const {
        py::object fn = global(st_.print);
        qv::call(fn.ptr(), {line});
    }

    void print_entry_lines(PyObject* net) const {
        py::object d = text("d");
        {
            py::object fn = global(st_.print);
            py::object line = add("CL calling convert on ", qv::steal(PyObject_Str(net)).ptr());
            line = add(line.ptr(), " depth ");
            line = add(line.ptr(), qv::steal(PyObject_Format(depth_, d.ptr())).ptr());
            qv::call(fn.ptr(), {line.ptr()});
        }
        {
            py::object fn = global(st_.print);
            py::object line = add("CL calling convert on ", qv::steal(PyObject_Str(name_so_far_)).ptr());
            line = add(line.ptr(), ": ");
            line = add(line.ptr(), type_name(net).ptr());
            line = add(line.ptr(), ", depth ");
            line = add(line.ptr(), qv::steal(PyObject_Format(depth_, d.ptr())).ptr());
            qv::call(fn.ptr(), {line.ptr()});
        }
    }

    // type(obj).__name__; a heap class under the plain metaclass holds it directly.
    py::object type_name(PyObject* obj) const {
        PyTypeObject* tp = Py_TYPE(obj);
        if (Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type) && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE))
            return qv::borrow(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name);
        return qv::getattr(class_of(obj).ptr(), st_.__name__);
    }

    // Recognised by class name only, whichever module defined the class.
    bool is_block_layer(PyObject* obj) const { return is_block_layer_class(Py_TYPE(obj)); }

    bool is_block_layer_class(PyTypeObject* tp) const {
        if (Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type)) {
            if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
                // Owned: comparing a str subclass runs code that may rename the class.
                py::object name = qv::borrow(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name);
                return equals_name(name.ptr(), st_.ZORLayer);
            }
            // A static class's __name__ is its tp_name after the last dot.
            const char* dot = std::strrchr(tp->tp_name, '.');
            return std::strcmp(dot != nullptr ? dot + 1 : tp->tp_name, "ZORLayer") == 0;
        }
        py::object cls = qv::borrow(reinterpret_cast<PyObject*>(tp));
        py::object name = qv::getattr(cls.ptr(), st_.__name__);
        return equals_name(name.ptr(), st_.ZORLayer);
    }

    bool is_container(PyObject* net) const {
        {
            py::object nn = global(st_.nn);
            py::object sequential = qv::getattr(nn.ptr(), st_.Sequential);
            if (is_subclass(class_of(net).ptr(), sequential.ptr())) return true;
        }
        {
            py::object nn = global(st_.nn);
            py::object module_list = qv::getattr(nn.ptr(), st_.ModuleList);
            if (is_subclass(class_of(net).ptr(), module_list.ptr())) return true;
        }
        return is_subclass(class_of(net).ptr(), reinterpret_cast<PyObject*>(&PyList_Type));
    }

    // depth + 1; an exact int gives the same value every time, so it is made once.
    py::object child_depth() {
        if (!PyLong_CheckExact(depth_)) return next_depth();
        if (!child_depth_) child_depth_ = next_depth();
        return child_depth_;
    }

    py::object next_depth() const {
        py::object one = qv::steal(PyLong_FromLong(1));
        return add(depth_, one.ptr());
    }

    // converted_list += [path]; the local is rebound to the result, as `+=` does.
    void record(PyObject* path) {
        if (PyList_CheckExact(converted_.ptr())) {
            qv::check(PyList_Append(converted_.ptr(), path));
            return;
        }
        py::object one = qv::steal(PyList_New(1));
        PyList_SET_ITEM(one.ptr(), 0, qv::borrow(path).release().ptr());
        converted_ = qv::steal(PyNumber_InPlaceAdd(converted_.ptr(), one.ptr()));
    }

    py::object recurse(PyObject* fn, PyObject* child, PyObject* path) {
        py::object depth = child_depth();
        return qv::call(fn, {child, depth.ptr(), path, converted_.ptr()});
    }

    // name_so_far + "[" + str(submodule_id) + "]"
    py::object item_path(PyObject* submodule_id) const {
        py::object path = add(name_so_far_, "[");
        path = add(path.ptr(), qv::steal(PyObject_Str(submodule_id)).ptr());
        return add(path.ptr(), "]");
    }

    py::object get_submodule(PyObject* net, PyObject* submodule_id) const {
        return qv::call_method(net, st_.get_submodule, {submodule_id});
    }

    void walk_container(PyObject* net) {
        py::object children = qv::call_method(net, st_.named_children);
        py::object it = qv::steal(PyObject_GetIter(children.ptr()));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object item = qv::steal(raw);
            auto [submodule_id, layer] = qv::unpack_two(item.ptr());
            item = py::object();
            PyObject* id = submodule_id.ptr();

            if (qv::not_equal(net, get_submodule(net, id).ptr())) {
                py::object path = item_path(id);
                record(path.ptr());
                py::object fn = global(st_.refresh_zor);
                py::object child = get_submodule(net, id);
                // Built again for the call; the same text, so an exact str path is reused.
                if (!plain_name_ || !PyUnicode_CheckExact(id)) {
                    py::object depth = child_depth();
                    py::object again = item_path(id);
                    py::object result = qv::call(fn.ptr(), {child.ptr(), depth.ptr(), again.ptr(), converted_.ptr()});
                    child = py::object();
                    qv::setattr(net, id, result.ptr());
                } else {
                    py::object result = recurse(fn.ptr(), child.ptr(), path.ptr());
                    child = py::object();
                    qv::setattr(net, id, result.ptr());
                }
            }

            // Still a block layer: the recursive call left it alone (tracked class).
            bool convert;
            {
                py::object current = get_submodule(net, id);
                convert = is_block_layer(current.ptr());
            }
            if (convert) {
                py::object make = global(st_.make_module);
                py::object lookup = global(st_.get_pretrained_zor_var);
                py::object block = qv::call(lookup.ptr(), {net, id});
                py::object clean = qv::call(make.ptr(), {block.ptr()});
                block = py::object();
                qv::setattr(net, id, clean.ptr());
            }
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }

    // getattr(net, member, None) only to see whether reading it fails. Failures
    // that are ordinary errors skip the member; interrupts, exits and
    // RecursionError are not the member's fault and must stop the walk.
    static bool readable(PyObject* net, PyObject* member) {
        PyObject* value = PyObject_GetAttr(net, member);
        if (value != nullptr) {
            Py_DECREF(value);
            return true;
        }
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_RecursionError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }

    bool is_root() {
        if (plain_name_) return PyUnicode_GET_LENGTH(name_so_far_) == 0;
        py::object empty = qv::steal(PyUnicode_FromStringAndSize("", 0));
        return qv::equal(name_so_far_, empty.ptr());
    }

    // `item in container`; an exact empty list needs no item.
    template <class Item>
    static bool holds(PyObject* container, Item&& item) {
        if (PyList_CheckExact(container) && PyList_GET_SIZE(container) == 0) return false;
        return qv::contains(container, item());
    }

    void walk_members(PyObject* net, PyObject* all_members) {
        // name_so_far + "." is the same for every member when name_so_far is a str.
        py::object prefix;
        if (plain_name_) prefix = add(name_so_far_, ".");
        const bool root = plain_name_ && PyUnicode_GET_LENGTH(name_so_far_) == 0;

        py::object it = qv::steal(PyObject_GetIter(all_members));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object member_ref = qv::steal(raw);
            PyObject* member = raw;

            // Class-level properties are never evaluated on the instance.
            int on_class_is_property = class_property_fast(Py_TYPE(net), member);
            if (on_class_is_property < 0) {
                py::object cls = class_of(net);
                py::object on_class = qv::getattr_or_none(cls.ptr(), member);
                on_class_is_property =
                    qv::check(PyObject_IsInstance(on_class.ptr(), reinterpret_cast<PyObject*>(&PyProperty_Type)));
            }
            if (on_class_is_property) continue;
            if (!reads_as_method(net, member, st_.__getattribute__) && !readable(net, member)) continue;

            // sub_name = name_so_far + "." + member. Joining two exact str cannot
            // fail or run code, so it waits until the path is first needed.
            py::object sub_name_ref;
            const bool lazy_name = plain_name_ && PyUnicode_CheckExact(member);
            if (!lazy_name)
                sub_name_ref = plain_name_ ? add(prefix.ptr(), member) : add(add(name_so_far_, ".").ptr(), member);
            auto sub_name = [&]() -> PyObject* {
                if (!sub_name_ref) sub_name_ref = add(prefix.ptr(), member);
                return sub_name_ref.ptr();
            };
            if (equals_name(member, st_.device) || equals_name(member, st_.dtype)) continue;
            {
                py::object not_saved = setting(st_.get_module_names_to_not_save);
                if (holds(not_saved.ptr(), sub_name)) continue;
            }
            if (plain_name_ ? root : is_root()) {
                bool skip;
                {
                    py::object not_saved = setting(st_.get_module_names_to_not_save);
                    skip = holds(not_saved.ptr(), sub_name) || holds(converted_.ptr(), sub_name);
                }
                if (skip) {
                    if (verbose()) {
                        py::object fn = global(st_.print);
                        py::object fmt = text("Skipping %s during save");
                        py::object line = qv::steal(PyNumber_Remainder(fmt.ptr(), sub_name()));
                        qv::call(fn.ptr(), {line.ptr()});
                    }
                    continue;
                }
            }

            bool descend;
            {
                py::object value_class;
                if (reads_as_method(net, member, st_.__getattribute__)) {
                    value_class = qv::borrow(reinterpret_cast<PyObject*>(&PyMethod_Type));
                } else {
                    py::object value = qv::getattr_or_none(net, member);
                    value_class = class_of(value.ptr());
                }
                py::object nn = global(st_.nn);
                py::object module_class = qv::getattr(nn.ptr(), st_.Module);
                descend = is_subclass(value_class.ptr(), module_class.ptr());
            }
            if (!descend) descend = equals_name(member, st_.layer_array);
            if (descend) {
                record(sub_name());
                bool differs;
                {
                    py::object attr = qv::getattr(net, member);
                    differs = qv::not_equal(net, attr.ptr());
                }
                if (differs) {
                    py::object fn = global(st_.refresh_zor);
                    py::object child = qv::getattr(net, member);
                    py::object result = recurse(fn.ptr(), child.ptr(), sub_name());
                    child = py::object();
                    qv::setattr(net, member, result.ptr());
                }
            }

            // Still a block layer: not descended into, the object itself, or a tracked class.
            bool convert;
            if (reads_as_method(net, member, st_.__getattribute__)) {
                convert = is_block_layer_class(&PyMethod_Type);
            } else {
                py::object value = qv::getattr_or_none(net, member);
                convert = is_block_layer(value.ptr());
            }
            if (convert) {
                py::object make = global(st_.make_module);
                py::object lookup = global(st_.get_pretrained_zor_attr);
                py::object block = qv::call(lookup.ptr(), {net, member});
                py::object clean = qv::call(make.ptr(), {block.ptr()});
                block = py::object();
                qv::setattr(net, member, clean.ptr());
            }
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }

    PyObject* globals_;
    const State& st_;
    PyObject* depth_;        // borrowed from the call's arguments
    PyObject* name_so_far_;  // borrowed from the call's arguments
    py::object converted_;
    py::object child_depth_;
    bool plain_name_;
};

}  // namespace

// refresh_zor(net, depth, name_so_far, converted_list)
PyObject* refresh_zor(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "refresh_zor", 1}, [&]() -> py::object {
        static const qv::Signature<4> sig{"refresh_zor", {"net", "depth", "name_so_far", "converted_list"}};
        const auto bound = qv::bind(sig, module, args, nargs, kwnames);
        // Each level counts against the recursion limit, so a cyclic or very
        // deep network ends in RecursionError rather than a C stack overflow.
        qv::RecursionGuard guard(" while cleaning up a network");
        Visit visit(module, bound[1], bound[2], bound[3]);
        return visit.run(bound[0]);
    });
}

// refresh_net(pretrained_dendrite)
PyObject* refresh_net(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    return qv::entry(globals, {kFile, "refresh_net", 1}, [&]() -> py::object {
        static const qv::Signature<1> sig{"refresh_net", {"pretrained_dendrite"}};
        const auto bound = qv::bind(sig, module, args, nargs, kwnames);
        py::object walk = qv::global(globals, state_of(module).refresh_zor);
        py::object converted_list = qv::steal(PyList_New(0));
        py::object depth = qv::steal(PyLong_FromLong(0));
        py::object root_name = qv::steal(PyUnicode_FromStringAndSize("", 0));
        return qv::call(walk.ptr(), {bound[0], depth.ptr(), root_name.ptr(), converted_list.ptr()});
    });
}

}  // namespace marlune
