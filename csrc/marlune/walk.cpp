// refresh_zor and refresh_net: the clean-up walk over a network.
//
// One call visits one object: containers through named_children(), everything
// else through __dir__(). Children are walked before the object itself is
// converted, so a block layer's replacement is built from clean parts. The
// recursive call goes through the module global refresh_zor, and every
// module-level name, setting and builtin `print` is read when it is used.
#include <cstring>

#include "common/calling.hpp"
#include "common/member_probe.hpp"
#include "common/walk.hpp"
#include "marlune/state.hpp"

namespace marlune {

namespace {

constexpr const char* kPointedTwice =
    "this is only being called because something in your model is pointed to twice by two different "
    "variables.  Highest thing on the list is one of the duplicates";

// `obj == name` for an interned str `name`. Exact str needs no call into
// Python: identical, or both interned and different, or compared by content.
bool equals_name(PyObject* obj, PyObject* name) {
    if (obj == name) return true;
    if (PyUnicode_CheckExact(obj)) {
        if (qv::compat::is_interned(obj)) return false;
        return PyUnicode_Compare(obj, name) == 0;
    }
    return qv::equal(obj, name);
}

// "%d" % (value,)
py::object as_decimal(PyObject* value) {
    py::object args = qv::steal(PyTuple_Pack(1, value));
    return qv::steal(PyUnicode_Format(qv::text("%d").ptr(), args.ptr()));
}

extern const qv::WalkFunction kRefreshZor;

// One call of refresh_zor.
class Visit : public qv::WalkLevel<State, kRefreshZor> {
public:
    using WalkLevel::WalkLevel;

    py::object run(PyObject* net_arg) {
        py::object net = qv::borrow(net_arg);
        if (verbose()) print_entry_lines(net.ptr());
        if (already_clean(net.ptr())) return net;
        py::object all_members = qv::call_method(net.ptr(), st_.__dir__);
        if (is_container(net.ptr())) {
            for_each_child(net.ptr(), [&](PyObject* id) { visit_child(net.ptr(), id); });
        } else {
            if (is_tracked(net.ptr())) return net;
            qv::for_each(all_members.ptr(), [&](PyObject* member) { visit_member(net.ptr(), member); });
        }
        // The object itself, once its children are clean.
        if (is_block_layer(qv::type_of(net.ptr()).ptr())) net = make_module(net.ptr());
        return net;
    }

private:
    // "CL calling convert on <str(net)> depth <depth>", then "CL calling
    // convert on <str(name_so_far)>: <class name>, depth <depth>", the depth
    // as `%d` formats it.
    void print_entry_lines(PyObject* net) const {
        print([&] {
            py::object line = qv::add(qv::text("CL calling convert on ").ptr(), qv::steal(PyObject_Str(net)).ptr());
            line = qv::add(line.ptr(), qv::text(" depth ").ptr());
            return qv::add(line.ptr(), as_decimal(depth()).ptr());
        });
        print([&] {
            py::object line =
                qv::add(qv::text("CL calling convert on ").ptr(), qv::steal(PyObject_Str(name_so_far())).ptr());
            line = qv::add(line.ptr(), qv::text(": ").ptr());
            line = qv::add(line.ptr(), type_name(net).ptr());
            line = qv::add(line.ptr(), qv::text(", depth ").ptr());
            return qv::add(line.ptr(), as_decimal(depth()).ptr());
        });
    }

    // An object of exactly the clean class, met again through a second reference.
    bool already_clean(PyObject* net) const {
        {
            py::object clean_class = global(st_.ModuleType);
            if (reinterpret_cast<PyObject*>(Py_TYPE(net)) != clean_class.ptr()) return false;
        }
        if (verbose()) print([] { return qv::text(kPointedTwice); });
        return true;
    }

    // A subclass of nn.Sequential, nn.ModuleList or list, tested in that order.
    bool is_container(PyObject* net) const {
        return is_nn_subclass(qv::type_of(net).ptr(), st_.Sequential) ||
               is_nn_subclass(qv::type_of(net).ptr(), st_.ModuleList) ||
               qv::is_subclass(qv::type_of(net).ptr(), reinterpret_cast<PyObject*>(&PyList_Type));
    }

    // type(net) in GZR.pc.get_modules_to_track()
    bool is_tracked(PyObject* net) const {
        py::object type = qv::type_of(net);
        py::object tracked = setting(st_.get_modules_to_track);
        return qv::contains(tracked.ptr(), type.ptr());
    }

    // One child of a container: walked into unless it is the container
    // itself, then converted if it is still a block layer (the recursive call
    // left it alone: a tracked class).
    void visit_child(PyObject* net, PyObject* id) {
        if (qv::not_equal(net, submodule(net, id).ptr())) walk_into_child(net, id, st_.refresh_zor);
        // Read again: the recursive call may have replaced the child.
        if (!is_block_layer(qv::type_of(submodule(net, id).ptr()).ptr())) return;
        py::object make = global(st_.make_module);
        py::object lookup = global(st_.get_pretrained_zor_var);
        replace(net, id, make.ptr(), qv::call(lookup.ptr(), {net, id}));
    }

    // One member of a module that is not a container. Each test reads the
    // member afresh, as the function reads it again at each use.
    void visit_member(PyObject* net, PyObject* member) {
        if (!qv::member_is_readable(net, member, st_.__getattribute__)) return;
        MemberPath sub_name = member_path(member);
        if (equals_name(member, st_.device) || equals_name(member, st_.dtype)) return;
        if (qv::holds(setting(st_.get_module_names_to_not_save).ptr(), sub_name)) return;
        if (skipped_at_root(sub_name)) return;
        if (descends_into(net, member)) {
            record(sub_name());
            if (not_itself(net, member)) walk_into_member(net, member, st_.refresh_zor, sub_name());
        }
        // Still a block layer: not descended into, the object itself, or a tracked class.
        if (!is_block_layer(member_type(net, member).ptr())) return;
        py::object make = global(st_.make_module);
        py::object lookup = global(st_.get_pretrained_zor_attr);
        replace(net, member, make.ptr(), qv::call(lookup.ptr(), {net, member}));
    }

    // At the root only: a path not to save (read afresh) or already walked is
    // skipped, with a message.
    bool skipped_at_root(MemberPath& sub_name) {
        if (!at_root()) return false;
        const bool skip =
            qv::holds(setting(st_.get_module_names_to_not_save).ptr(), sub_name) || recorded(sub_name);
        if (skip && verbose()) say("Skipping %s during save", sub_name());
        return skip;
    }

    // The member's value is a module, or the member is layer_array.
    bool descends_into(PyObject* net, PyObject* member) const {
        return is_nn_subclass(member_type(net, member).ptr(), st_.Module) || equals_name(member, st_.layer_array);
    }

    // net != getattr(net, member)
    static bool not_itself(PyObject* net, PyObject* member) {
        py::object value = qv::getattr(net, member);
        return qv::not_equal(net, value.ptr());
    }

    py::object member_type(PyObject* net, PyObject* member) const {
        return qv::member_type(net, member, st_.__getattribute__);
    }

    // make_module(obj), make_module read now.
    py::object make_module(PyObject* obj) const {
        py::object make = global(st_.make_module);
        return qv::call(make.ptr(), {obj});
    }

    // type(obj).__name__; a heap class under the plain metaclass holds it directly.
    py::object type_name(PyObject* obj) const {
        PyTypeObject* tp = Py_TYPE(obj);
        if (Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type) && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE))
            return qv::borrow(qv::compat::heap_type_name(tp));
        return qv::getattr(qv::type_of(obj).ptr(), st_.__name__);
    }

    // type.__name__ == "ZORLayer": block layers are recognised by class name
    // only, whichever module defined the class.
    bool is_block_layer(PyObject* type) const {
        auto* tp = reinterpret_cast<PyTypeObject*>(type);
        if (Py_IS_TYPE(type, &PyType_Type)) {
            if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
                // Owned: comparing a str subclass runs code that may rename the class.
                py::object name = qv::borrow(qv::compat::heap_type_name(tp));
                return equals_name(name.ptr(), st_.ZORLayer);
            }
            // A static class's __name__ is its tp_name after the last dot.
            const char* dot = std::strrchr(tp->tp_name, '.');
            return std::strcmp(dot != nullptr ? dot + 1 : tp->tp_name, "ZORLayer") == 0;
        }
        py::object name = qv::getattr(type, st_.__name__);
        return equals_name(name.ptr(), st_.ZORLayer);
    }
};

const qv::WalkFunction kRefreshZor{refresh_zor, qv::enter_level<State, Visit>, "refresh_zor",
                                   " while cleaning up a network"};

}  // namespace

extern const char refresh_zor_doc[] = R"(refresh_zor($module, /, net, depth, name_so_far, converted_list)
--

Walk `net` depth-first, replacing every ZORLayer below it by a clean
module, and return what is to stand in `net`'s place: `net`, or its
replacement when `net` is itself a ZORLayer. `converted_list` collects
the paths descended into and is extended in place.)";

PyObject* refresh_zor(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qv::walk_function<State, Visit>(module, args, nargs, kwnames);
}

extern const char refresh_net_doc[] = R"(refresh_net($module, /, pretrained_dendrite)
--

Clean a whole network: every ZORLayer becomes a ZORModulePyThread.
Returns the network, or a new module when the root is a ZORLayer.)";

PyObject* refresh_net(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr qv::Signature<1> sig{"refresh_net", {"pretrained_dendrite"}};
    return qv::network_entry<State>(module, sig, &State::refresh_zor, kRefreshZor, args, nargs, kwnames);
}

}  // namespace marlune
