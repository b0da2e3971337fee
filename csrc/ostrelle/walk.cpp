// optimize_module and blockwise_network: the blockwise walk over a network.
//
// One call examines the children of one module: containers through
// named_children(), everything else through __dir__(). A child whose exact
// type is ZR.ZORNeuronModule is replaced by the block convert_to_zor_layer_block
// builds from it; every other child module is walked in turn through the
// module global optimize_module. Module-level names, settings and the builtin
// print are read when they are used, and every child is fetched afresh at each
// use, so whatever a callback rebinds is seen by the next read.
#include "ostrelle/walk.hpp"

#include <utility>

#include "common/unpack.hpp"
#include "common/calling.hpp"
#include "common/errors.hpp"
#include "common/globals.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

constexpr const char* kSeqSubIsZor = "Seq sub is ZOR so optimizing: %s";
constexpr const char* kSelfPointer = "%s is a self pointer so skipping";
constexpr const char* kSkipping = "Skipping %s during save";
constexpr const char* kSubIsZor = "Sub is in conversion list so initiating optimization for: %s";

constexpr const char* kWhileWalking = " while converting a network";
// What CPython's call of a builtin adds to the recursion count.
constexpr const char* kWhileCalling = " while calling a Python object";

// type(obj), held: code run later may rebind obj.__class__.
py::object type_of(PyObject* obj) { return qv::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))); }

py::object add(PyObject* a, PyObject* b) { return qv::steal(PyNumber_Add(a, b)); }

py::object character(char c) { return qv::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(c))); }

bool is_subclass(PyObject* cls, PyObject* base) { return qv::check(PyObject_IsSubclass(cls, base)) != 0; }

// getattr(obj, name, None) without building the AttributeError where the
// interpreter need not: 1 found, 0 missing, -1 error.
int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

py::object getattr_or_none(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (qv::check(lookup_attr(obj, name, &value)) == 0) return py::none();
    return qv::steal(value);
}

// isinstance(obj, property). Plain functions report their own class and need
// no __class__ read.
bool is_property(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (obj == Py_None || t == &PyFunction_Type || t == &PyCFunction_Type || t == &PyMethodDescr_Type ||
        t == &PyWrapperDescr_Type) {
        return false;
    }
    if (t == &PyProperty_Type) return true;
    return qv::check(PyObject_IsInstance(obj, reinterpret_cast<PyObject*>(&PyProperty_Type))) != 0;
}

// isinstance(getattr(cls, name, None), property) for the class of a walked
// module. When the metaclass reads attributes the ordinary way and has no
// attribute of that name, the read gives the class's plain function itself,
// or fails where the class has nothing of that name (parameters, children
// and instance attributes); neither is a property, and neither needs the read.
bool class_level_property(const py::object& cls, PyObject* name) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (PyUnicode_CheckExact(name) && Py_TYPE(type)->tp_getattro == PyType_Type.tp_getattro &&
        _PyType_Lookup(Py_TYPE(type), name) == nullptr) {
        PyObject* attr = _PyType_Lookup(type, name);
        if (attr == nullptr || Py_IS_TYPE(attr, &PyFunction_Type)) return false;
    }
    return is_property(getattr_or_none(cls.ptr(), name).ptr());
}

// True when getattr(obj, name) is sure to give a method bound from a plain
// function of obj's class, without running any Python code: attributes are
// read the default way, the class has a function of that name and the
// instance dict does not shadow it. Most members of a module are such methods;
// the walk only needs their type, so it need not make them. The instance dict
// is searched exactly as the read searches it.
bool reads_as_method(PyObject* obj, PyObject* name, PyObject* getattribute) {
    if (!PyUnicode_CheckExact(name)) return false;
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr) {
        // A class's own dispatcher runs the default __getattribute__ when the
        // class keeps object's, and __getattr__ only when that finds nothing.
        if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return false;
        PyObject* found = _PyType_Lookup(tp, getattribute);
        if (found == nullptr || !Py_IS_TYPE(found, &PyWrapperDescr_Type) ||
            reinterpret_cast<PyWrapperDescrObject*>(found)->d_wrapped != reinterpret_cast<void*>(PyObject_GenericGetAttr)) {
            return false;
        }
    }
    PyObject* descr = _PyType_Lookup(tp, name);
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyFunction_Type)) return false;
    if (tp->tp_dictoffset == 0) return true;
    py::object dict = qv::steal(PyObject_GenericGetDict(obj, nullptr));
    if (PyDict_GetItemWithError(dict.ptr(), name) != nullptr) return false;
    if (PyErr_Occurred()) throw py::error_already_set();
    return true;
}

// The converted_list of a walk that blockwise_network started with the
// builtin optimize_module. No code outside this walk can reach that list (it
// is not even visible to the garbage collector), and while every entry is an
// exact str this walk appended, `path in converted_list` for an exact str path
// is a lookup in a set of the same strings: the test no longer grows with the
// network. Once the list is handed to other code (optimize_module rebound) or
// gets an entry of another type, the list itself is searched again.
struct PrivatePaths {
    PyObject* list;    // owned by blockwise_network
    py::object index;  // the list's entries
    bool indexed = true;

    void give_up() {
        if (!indexed) return;
        indexed = false;
        index = py::object();
        if (!PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
    }
};

PyObject* walk_level(PyObject* module, PyObject* net, PyObject* depth, PyObject* name_so_far,
                     PyObject* converted_list, PrivatePaths* paths) noexcept;

// Our own optimize_module, as bound in this module's namespace.
bool is_builtin_walk(PyObject* fn, PyObject* module) {
    return PyCFunction_Check(fn) && PyCFunction_GET_SELF(fn) == module &&
           PyCFunction_GET_FUNCTION(fn) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(optimize_module));
}

// One call of optimize_module.
class Level {
public:
    Level(PyObject* module, PyObject* depth, PyObject* name_so_far, PyObject* converted_list, PrivatePaths* paths)
        : module_(module),
          globals_(PyModule_GetDict(module)),
          st_(state_of(module)),
          depth_(depth),
          name_so_far_(name_so_far),
          converted_(qv::borrow(converted_list)),
          paths_(paths) {}

    py::object run(PyObject* net) {
        qv::RecursionGuard guard(kWhileWalking);
        py::object all_members = qv::call_method(net, st_.__dir__);
        if (is_container(net)) {
            all_members = py::object();
            walk_children(net);
        } else {
            walk_members(net, all_members.ptr());
        }
        return qv::borrow(net);
    }

private:
    py::object global(PyObject* name) const { return qv::global(globals_, name); }

    py::object settings() const { return qv::getattr(global(st_.GZR).ptr(), st_.pc); }

    bool verbose() const {
        py::object flag = qv::call_method(settings().ptr(), st_.get_extra_verbose);
        return qv::truthy(flag.ptr());
    }

    // print(format % path)
    void say(const char* format, PyObject* path) const {
        py::object print = global(st_.print);
        py::object text = qv::steal(PyUnicode_FromString(format));
        py::object line = qv::steal(PyUnicode_Format(text.ptr(), path));
        qv::call(print.ptr(), {line.ptr()});
    }

    bool is_container(PyObject* net) const {
        py::object sequential = qv::getattr(global(st_.nn).ptr(), st_.Sequential);
        if (is_subclass(type_of(net).ptr(), sequential.ptr())) return true;
        py::object module_list = qv::getattr(global(st_.nn).ptr(), st_.ModuleList);
        return is_subclass(type_of(net).ptr(), module_list.ptr());
    }

    // type is ZR.ZORNeuronModule
    bool is_trained_wrapper(PyObject* type) const {
        py::object cls = qv::getattr(global(st_.ZR).ptr(), st_.ZORNeuronModule);
        return type == cls.ptr();
    }

    // issubclass(type, nn.Module)
    bool is_module(PyObject* type) const {
        py::object cls = qv::getattr(global(st_.nn).ptr(), st_.Module);
        return is_subclass(type, cls.ptr());
    }

    // type(getattr(net, member, None))
    py::object member_type(PyObject* net, PyObject* member) const {
        if (reads_as_method(net, member, st_.__getattribute__)) return qv::borrow(reinterpret_cast<PyObject*>(&PyMethod_Type));
        py::object value = getattr_or_none(net, member);
        return type_of(value.ptr());
    }

    bool indexed() const { return paths_ != nullptr && paths_->indexed && converted_.ptr() == paths_->list; }

    // converted_list += [path]
    void append(PyObject* path) {
        if (!PyList_CheckExact(converted_.ptr())) {
            py::object one = qv::steal(PyList_New(1));
            Py_INCREF(path);
            PyList_SET_ITEM(one.ptr(), 0, path);
            converted_ = qv::steal(PyNumber_InPlaceAdd(converted_.ptr(), one.ptr()));
            return;
        }
        const bool mirror = indexed();
        qv::check(PyList_Append(converted_.ptr(), path));
        if (!mirror) return;
        if (PyUnicode_CheckExact(path))
            qv::check(PySet_Add(paths_->index.ptr(), path));
        else
            paths_->give_up();
    }

    bool already_walked(PyObject* path) const {
        if (indexed() && PyUnicode_CheckExact(path)) return qv::check(PySet_Contains(paths_->index.ptr(), path)) != 0;
        return qv::contains(converted_.ptr(), path);
    }

    py::object deeper() const {
        py::object one = qv::steal(PyLong_FromLong(1));
        return add(depth_, one.ptr());
    }

    // fn(child, next_depth, path, converted_list), fn being the module global
    // optimize_module; our own function is entered directly, as its call would.
    py::object recurse(PyObject* fn, PyObject* child, PyObject* next_depth, PyObject* path) {
        const bool private_list = indexed();
        if (is_builtin_walk(fn, module_)) {
            qv::RecursionGuard guard(kWhileCalling);
            return qv::steal(
                walk_level(module_, child, next_depth, path, converted_.ptr(), private_list ? paths_ : nullptr));
        }
        if (private_list) paths_->give_up();
        return qv::call(fn, {child, next_depth, path, converted_.ptr()});
    }

    // name_so_far + "[" + str(submodule_id) + "]"
    py::object child_path(PyObject* submodule_id) const {
        py::object head = add(name_so_far_, character('[').ptr());
        py::object id = qv::steal(PyObject_Str(submodule_id));
        py::object body = add(head.ptr(), id.ptr());
        return add(body.ptr(), character(']').ptr());
    }

    // name_so_far + "." + member; the prefix is made once for a str path.
    py::object member_path(PyObject* member) {
        if (!PyUnicode_CheckExact(name_so_far_)) return add(add(name_so_far_, character('.').ptr()).ptr(), member);
        if (!prefix_) prefix_ = add(name_so_far_, character('.').ptr());
        if (PyUnicode_CheckExact(member)) return qv::steal(PyUnicode_Concat(prefix_.ptr(), member));
        return add(prefix_.ptr(), member);
    }

    py::object submodule(PyObject* net, PyObject* submodule_id) const {
        return qv::call_method(net, st_.get_submodule, {submodule_id});
    }

    void walk_children(PyObject* net) {
        py::object children = qv::call_method(net, st_.named_children);
        py::object it = qv::steal(PyObject_GetIter(children.ptr()));
        children = py::object();
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object item = qv::steal(raw);
            auto [submodule_id, layer] = qv::unpack_two(item.ptr());
            visit_child(net, submodule_id.ptr());
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }

    void visit_child(PyObject* net, PyObject* submodule_id) {
        if (is_trained_wrapper(type_of(submodule(net, submodule_id).ptr()).ptr())) {
            if (verbose()) say(kSeqSubIsZor, child_path(submodule_id).ptr());
            py::object convert = global(st_.convert_to_zor_layer_block);
            py::object block = qv::call(convert.ptr(), {submodule(net, submodule_id).ptr()});
            qv::setattr(net, submodule_id, block.ptr());
            return;
        }
        if (!qv::not_equal(net, submodule(net, submodule_id).ptr())) {
            if (verbose()) say(kSelfPointer, child_path(submodule_id).ptr());
            return;
        }
        py::object path = child_path(submodule_id);
        append(path.ptr());
        py::object walk = global(st_.optimize_module);
        py::object child = submodule(net, submodule_id);
        py::object depth = deeper();
        // The path is built again for the call; for a str path and a str or
        // int name that would only give an equal string.
        py::object again = PyUnicode_CheckExact(name_so_far_) &&
                                   (PyUnicode_CheckExact(submodule_id) || PyLong_CheckExact(submodule_id))
                               ? path
                               : child_path(submodule_id);
        py::object result = recurse(walk.ptr(), child.ptr(), depth.ptr(), again.ptr());
        qv::setattr(net, submodule_id, result.ptr());
    }

    void walk_members(PyObject* net, PyObject* all_members) {
        py::object it = qv::steal(PyObject_GetIter(all_members));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object member = qv::steal(raw);
            visit_member(net, member.ptr());
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }

    // getattr(net, member, None), keeping nothing. False when the member is
    // to be skipped: its read raised an ordinary exception. A RecursionError
    // (the walk near the limit) and any BaseException that is not an
    // Exception (KeyboardInterrupt, SystemExit) go on to the caller.
    bool probe(PyObject* net, PyObject* member) const {
        if (reads_as_method(net, member, st_.__getattribute__)) return true;
        PyObject* value = nullptr;
        if (lookup_attr(net, member, &value) >= 0) {
            Py_XDECREF(value);
            return true;
        }
        if (PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_RecursionError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }

    void visit_member(PyObject* net, PyObject* member) {
        // Never run a property's getter: not even the probe reads it.
        if (class_level_property(type_of(net), member)) return;
        if (!probe(net, member)) return;
        py::object sub_name = member_path(member);

        py::object not_to_save = qv::call_method(settings().ptr(), st_.get_module_names_to_not_save);
        const bool listed = qv::contains(not_to_save.ptr(), sub_name.ptr());
        not_to_save = py::object();
        if (listed || already_walked(sub_name.ptr())) {
            if (verbose()) say(kSkipping, sub_name.ptr());
            return;
        }

        if (is_trained_wrapper(member_type(net, member).ptr())) {
            if (verbose()) say(kSubIsZor, sub_name.ptr());
            py::object convert = global(st_.convert_to_zor_layer_block);
            py::object block = qv::call(convert.ptr(), {qv::getattr(net, member).ptr()});
            qv::setattr(net, member, block.ptr());
            return;
        }
        if (!is_module(member_type(net, member).ptr())) return;
        if (!qv::not_equal(net, qv::getattr(net, member).ptr())) {
            if (verbose()) say(kSelfPointer, sub_name.ptr());
            return;
        }
        append(sub_name.ptr());
        py::object walk = global(st_.optimize_module);
        py::object child = qv::getattr(net, member);
        py::object depth = deeper();
        py::object result = recurse(walk.ptr(), child.ptr(), depth.ptr(), sub_name.ptr());
        qv::setattr(net, member, result.ptr());
    }

    PyObject* module_;
    PyObject* globals_;
    const State& st_;
    PyObject* depth_;
    PyObject* name_so_far_;
    py::object converted_;  // rebound by `+=` as in the function body
    PrivatePaths* paths_;
    py::object prefix_;
};

// One level of the walk as optimize_module runs it, with its traceback frame.
PyObject* walk_level(PyObject* module, PyObject* net, PyObject* depth, PyObject* name_so_far,
                     PyObject* converted_list, PrivatePaths* paths) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "optimize_module", 1}, [&]() -> py::object {
        return Level(module, depth, name_so_far, converted_list, paths).run(net);
    });
}

}  // namespace

PyObject* optimize_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "optimize_module", 1}, [&]() -> py::object {
        static const qv::Signature<4> sig{"optimize_module", {"net", "depth", "name_so_far", "converted_list"}};
        const auto bound = qv::bind(sig, nullptr, args, nargs, kwnames);
        return Level(module, bound[1], bound[2], bound[3], nullptr).run(bound[0]);
    });
}

PyObject* blockwise_network(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qv::entry(PyModule_GetDict(module), {kFile, "blockwise_network", 1}, [&]() -> py::object {
        static const qv::Signature<1> sig{"blockwise_network", {"net"}};
        const auto bound = qv::bind(sig, nullptr, args, nargs, kwnames);
        py::object walk = qv::global(PyModule_GetDict(module), state_of(module).optimize_module);
        py::object converted_list = qv::steal(PyList_New(0));
        py::object depth = qv::steal(PyLong_FromLong(0));
        py::object name = qv::steal(PyUnicode_FromStringAndSize("", 0));
        if (!is_builtin_walk(walk.ptr(), module))
            return qv::call(walk.ptr(), {bound[0], depth.ptr(), name.ptr(), converted_list.ptr()});

        // Holds only strs while private, so it can stay out of the collector.
        PyObject_GC_UnTrack(converted_list.ptr());
        PrivatePaths paths{converted_list.ptr(), qv::steal(PySet_New(nullptr))};
        qv::RecursionGuard guard(kWhileCalling);
        return qv::steal(walk_level(module, bound[0], depth.ptr(), name.ptr(), converted_list.ptr(), &paths));
    });
}

}  // namespace ostrelle
