// What the two network walks (marlune's refresh_zor, ostrelle's
// optimize_module) do the same way: the settings and verbose messages, child
// paths, the shared converted_list, depth + 1, the recursion through the
// module global, and replacing a child.
//
// Both walks read every module-level name, setting and the builtin `print`
// when they use it, never before, and never keep a borrowed reference across
// a call that can run Python code.
#pragma once

#include <Python.h>

#include <utility>

#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/refs.hpp"
#include "common/unpack.hpp"

namespace qv {

// What CPython's call of a builtin function adds to the recursion count.
inline constexpr const char* kWhileCalling = " while calling a Python object";

// The converted_list of a walk that our own entry function started with our
// own walk function. No code outside the walk can reach that list (it is not
// even visible to the garbage collector), and while every entry is an exact
// str the walk appended, `path in converted_list` for an exact str path is a
// lookup in a set of the same strs: the test no longer grows with the network.
// Once the list is handed to other code (the walk's global rebound) or gets an
// entry of another type, the list itself is searched again.
struct PrivatePaths {
    PyObject* list;    // owned by the entry function
    py::object index;  // the list's entries
    bool indexed = true;

    void give_up() {
        if (!indexed) return;
        indexed = false;
        index = py::object();
        if (!PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
    }
};

// One walk function of a module: the function its global is bound to at
// import, one level of it entered directly (with its traceback frame), its
// name, and what a RecursionError for the C stack says about it.
struct WalkFunction {
    ModuleFunction* bound;
    PyObject* (*level)(PyObject* module, PyObject* net, PyObject* depth, PyObject* name_so_far,
                       PyObject* converted_list, PrivatePaths* paths) noexcept;
    const char* name;
    const char* while_walking;

    // Whether `fn` is that function as this module bound it.
    bool is(PyObject* fn, PyObject* module) const {
        return PyCFunction_Check(fn) && PyCFunction_GET_SELF(fn) == module &&
               PyCFunction_GET_FUNCTION(fn) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bound));
    }

    // fn(net, depth, name_so_far, converted_list), `fn` being the module
    // global the walk recurses through. While it is this function, the level
    // is entered directly, counted as CPython counts the call, so each level
    // of a walk costs one unit of the recursion limit.
    py::object call(PyObject* module, PyObject* fn, PyObject* net, PyObject* depth, PyObject* name_so_far,
                    PyObject* converted_list, PrivatePaths* paths) const {
        if (is(fn, module)) {
            const LevelGuard guard(kWhileCalling);
            return steal(level(module, net, depth, name_so_far, converted_list, paths));
        }
        if (paths != nullptr) paths->give_up();
        return qv::call(fn, {net, depth, name_so_far, converted_list});
    }

    // The walk from the root: fn(net, 0, "", []) with a new list, kept private
    // while the walk is our own.
    py::object start(PyObject* module, PyObject* fn, PyObject* net) const {
        py::object converted_list = steal(PyList_New(0));
        py::object depth = steal(PyLong_FromLong(0));
        py::object root = steal(PyUnicode_FromStringAndSize("", 0));
        if (!is(fn, module)) return qv::call(fn, {net, depth.ptr(), root.ptr(), converted_list.ptr()});
        // Holds only strs while private, so it can stay out of the collector.
        PyObject_GC_UnTrack(converted_list.ptr());
        PrivatePaths paths{converted_list.ptr(), steal(PySet_New(nullptr))};
        return call(module, fn, net, depth.ptr(), root.ptr(), converted_list.ptr(), &paths);
    }
};

// `item in container`; an exact empty list needs no item, so `item()` (which
// may build it) is not called for one.
template <class Item>
bool holds(PyObject* container, Item&& item) {
    if (PyList_CheckExact(container) && PyList_GET_SIZE(container) == 0) return false;
    return contains(container, item());
}

// The state of one call of the walk `Walk`: its arguments (borrowed from the
// call) and what the steps share. Each walk derives its level from this.
template <class State, const WalkFunction& Walk>
class WalkLevel {
public:
    static constexpr const WalkFunction& kWalk = Walk;

    WalkLevel(const ModuleRef<State>& m, PyObject* depth, PyObject* name_so_far, PyObject* converted_list,
              PrivatePaths* paths)
        : m_(m),
          st_(m.st),
          depth_(depth),
          name_so_far_(name_so_far),
          converted_(borrow(converted_list)),
          paths_(paths),
          plain_name_(PyUnicode_CheckExact(name_so_far)) {}

protected:
    py::object global(PyObject* name) const { return m_.global(name); }

    // --- settings and messages ---

    // GZR.pc.<getter>(), looked up afresh.
    py::object setting(PyObject* getter) const {
        py::object gzr = global(st_.GZR);
        py::object pc = getattr(gzr.ptr(), st_.pc);
        return call_method(pc.ptr(), getter);
    }

    bool verbose() const {
        py::object flag = setting(st_.get_extra_verbose);
        return truthy(flag.ptr());
    }

    // print(line()), `print` read before the line is built, as Python reads it.
    template <class Line>
    void print(Line&& line) const {
        py::object fn = global(st_.print);
        py::object text = line();
        qv::call(fn.ptr(), {text.ptr()});
    }

    // print(format % value), with Python's `%`.
    void say(const char* format, PyObject* value) const {
        py::object fn = global(st_.print);
        py::object line = steal(PyNumber_Remainder(text(format).ptr(), value));
        qv::call(fn.ptr(), {line.ptr()});
    }

    // --- classes ---

    // issubclass(type, nn.<name>), nn read now.
    bool is_nn_subclass(PyObject* type, PyObject* name) const {
        py::object nn = global(st_.nn);
        py::object base = getattr(nn.ptr(), name);
        return is_subclass(type, base.ptr());
    }

    // --- paths ---

    // name_so_far + "[" + str(submodule_id) + "]"
    py::object item_path(PyObject* submodule_id) const {
        py::object head = add(name_so_far_, text("[").ptr());
        py::object id = steal(PyObject_Str(submodule_id));
        py::object body = add(head.ptr(), id.ptr());
        return add(body.ptr(), text("]").ptr());
    }

    // The item path built a second time, for the recursive call. For a str
    // path and a str or int child name it can only give the same text, so
    // `first` is passed on.
    py::object item_path_again(PyObject* submodule_id, const py::object& first) const {
        if (plain_name_ && (PyUnicode_CheckExact(submodule_id) || PyLong_CheckExact(submodule_id))) return first;
        return item_path(submodule_id);
    }

    // name_so_far + "." + member. Joining two exact strs can neither fail nor
    // run code, so then it waits until the path is first used.
    class MemberPath {
    public:
        MemberPath(WalkLevel& level, PyObject* member) : level_(level), member_(member) {
            if (!(level.plain_name_ && PyUnicode_CheckExact(member))) path_ = level.join_member(member);
        }
        PyObject* operator()() {
            if (!path_) path_ = level_.join_member(member_);
            return path_.ptr();
        }

    private:
        WalkLevel& level_;
        PyObject* member_;
        py::object path_;
    };

    MemberPath member_path(PyObject* member) { return MemberPath(*this, member); }

    // name_so_far == "", as the walk's test reads it.
    bool at_root() const {
        if (plain_name_) return PyUnicode_GET_LENGTH(name_so_far_) == 0;
        py::object empty = steal(PyUnicode_FromStringAndSize("", 0));
        return equal(name_so_far_, empty.ptr());
    }

    // --- converted_list ---

    // converted_list += [path]; the local is rebound to the result, as `+=` does.
    void record(PyObject* path) {
        if (!PyList_CheckExact(converted_.ptr())) {
            py::object one = steal(PyList_New(1));
            PyList_SET_ITEM(one.ptr(), 0, Py_NewRef(path));
            converted_ = steal(PyNumber_InPlaceAdd(converted_.ptr(), one.ptr()));
            return;
        }
        const bool mirror = indexed();
        check(PyList_Append(converted_.ptr(), path));
        if (!mirror) return;
        if (PyUnicode_CheckExact(path))
            check(PySet_Add(paths_->index.ptr(), path));
        else
            paths_->give_up();
    }

    // `path in converted_list`
    template <class Path>
    bool recorded(Path&& path) const {
        if (indexed()) {
            PyObject* p = path();
            if (PyUnicode_CheckExact(p)) return check(PySet_Contains(paths_->index.ptr(), p)) != 0;
            return contains(converted_.ptr(), p);
        }
        return holds(converted_.ptr(), path);
    }

    // --- recursion ---

    // depth + 1; an exact int gives the same value every time, so it is made once.
    py::object child_depth() {
        if (!PyLong_CheckExact(depth_)) return add(depth_, one().ptr());
        if (!child_depth_) child_depth_ = add(depth_, one().ptr());
        return child_depth_;
    }

    // converted_list += [path], then setattr(net, submodule_id,
    // walk(net.get_submodule(submodule_id), depth + 1, path, converted_list))
    // with `walk` the module global of that name.
    void walk_into_child(PyObject* net, PyObject* submodule_id, PyObject* walk_name) {
        py::object path = item_path(submodule_id);
        record(path.ptr());
        py::object walk = global(walk_name);
        // Read again, as the call's argument.
        py::object child = submodule(net, submodule_id);
        py::object depth = child_depth();
        py::object again = item_path_again(submodule_id, path);
        assign_walked(net, submodule_id, walk.ptr(), std::move(child), depth.ptr(), again.ptr());
    }

    // setattr(net, member, walk(getattr(net, member), depth + 1, sub_name,
    // converted_list)) with `walk` the module global of that name.
    void walk_into_member(PyObject* net, PyObject* member, PyObject* walk_name, PyObject* sub_name) {
        py::object walk = global(walk_name);
        // Read again, as the call's argument.
        py::object child = getattr(net, member);
        py::object depth = child_depth();
        assign_walked(net, member, walk.ptr(), std::move(child), depth.ptr(), sub_name);
    }

    // --- the children ---

    // `for submodule_id, layer in net.named_children(): body(submodule_id)`.
    template <class Body>
    void for_each_child(PyObject* net, Body&& body) const {
        py::object children = call_method(net, st_.named_children);
        for_each(children.ptr(), [&](PyObject* item) {
            auto [submodule_id, layer] = unpack_two(item);
            body(submodule_id.ptr());
        });
    }

    // net.get_submodule(submodule_id)
    py::object submodule(PyObject* net, PyObject* submodule_id) const {
        return call_method(net, st_.get_submodule, {submodule_id});
    }

    // setattr(net, name, convert(source)), `convert` read by the caller first;
    // `source` is let go before the assignment, as the expression lets it go.
    static void replace(PyObject* net, PyObject* name, PyObject* convert, py::object source) {
        py::object replacement = qv::call(convert, {source.ptr()});
        source = py::object();
        setattr(net, name, replacement.ptr());
    }

    PyObject* depth() const { return depth_; }
    PyObject* name_so_far() const { return name_so_far_; }

    const ModuleRef<State>& m_;
    const State& st_;

private:
    static py::object one() { return steal(PyLong_FromLong(1)); }

    // setattr(net, name, walk(child, depth, path, converted_list)); the child
    // is let go before the assignment.
    void assign_walked(PyObject* net, PyObject* name, PyObject* walk, py::object child, PyObject* depth,
                       PyObject* path) {
        py::object result =
            Walk.call(m_.module, walk, child.ptr(), depth, path, converted_.ptr(), indexed() ? paths_ : nullptr);
        child = py::object();
        setattr(net, name, result.ptr());
    }

    bool indexed() const { return paths_ != nullptr && paths_->indexed && converted_.ptr() == paths_->list; }

    py::object join_member(PyObject* member) {
        if (!plain_name_) {
            py::object head = add(name_so_far_, text(".").ptr());
            return add(head.ptr(), member);
        }
        if (!prefix_) prefix_ = add(name_so_far_, text(".").ptr());
        // Two exact strs: `+` is their concatenation.
        if (PyUnicode_CheckExact(member)) return steal(PyUnicode_Concat(prefix_.ptr(), member));
        return add(prefix_.ptr(), member);
    }

    PyObject* depth_;        // borrowed from the call's arguments
    PyObject* name_so_far_;  // borrowed from the call's arguments
    py::object converted_;   // rebound by `+=`, as in the function body
    PrivatePaths* paths_;
    const bool plain_name_;
    py::object child_depth_;
    py::object prefix_;
};

// --- the entry points of a walk ---------------------------------------------------
//
// `Level` is the walk's level class (a WalkLevel), constructed from
// (ModuleRef<State>, depth, name_so_far, converted_list, PrivatePaths*) and
// run on `net`.

// One level entered directly by the walk itself (see WalkFunction).
template <class State, class Level>
PyObject* enter_level(PyObject* module, PyObject* net, PyObject* depth, PyObject* name_so_far,
                      PyObject* converted_list, PrivatePaths* paths) noexcept {
    return Entry<State>::function(module, Level::kWalk.name, [&](const ModuleRef<State>& m) -> py::object {
        return Level(m, depth, name_so_far, converted_list, paths).run(net);
    });
}

// The walk function (net, depth, name_so_far, converted_list) as CPython
// calls it. CPython counted the call against the recursion limit; the C stack
// is for us to watch.
template <class State, class Level>
PyObject* walk_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature<4> sig{Level::kWalk.name, {"net", "depth", "name_so_far", "converted_list"}};
    return Entry<State>::function(module, sig, args, nargs, kwnames, [&](const ModuleRef<State>& m, const auto& bound) {
        check_c_stack(Level::kWalk.while_walking);
        return Level(m, bound[1], bound[2], bound[3], nullptr).run(bound[0]);
    });
}

// The whole-network entry of signature `sig`: the walk function read from
// the module global `walk_name`, started at the root (WalkFunction::start).
template <class State>
PyObject* network_entry(PyObject* module, const Signature<1>& sig, PyObject* State::*walk_name, const WalkFunction& walk,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return Entry<State>::function(module, sig, args, nargs, kwnames, [&](const ModuleRef<State>& m, const auto& bound) {
        py::object fn = m.global(m.st.*walk_name);
        return walk.start(module, fn.ptr(), bound[0]);
    });
}

}  // namespace qv
