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

#include "common/calling.hpp"
#include "common/member_probe.hpp"
#include "common/walk.hpp"
#include "ostrelle/state.hpp"

namespace ostrelle {

namespace {

constexpr const char* kSeqSubIsZor = "Seq sub is ZOR so optimizing: %s";
constexpr const char* kSelfPointer = "%s is a self pointer so skipping";
constexpr const char* kSkipping = "Skipping %s during save";
constexpr const char* kSubIsZor = "Sub is in conversion list so initiating optimization for: %s";

extern const qv::WalkFunction kOptimizeModule;

// One call of optimize_module.
class Level : public qv::WalkLevel<State, kOptimizeModule> {
public:
    using WalkLevel::WalkLevel;

    py::object run(PyObject* net) {
        py::object all_members = qv::call_method(net, st_.__dir__);
        if (is_container(net)) {
            all_members = py::object();
            for_each_child(net, [&](PyObject* id) { visit_child(net, id); });
        } else {
            qv::for_each(all_members.ptr(), [&](PyObject* member) { visit_member(net, member); });
        }
        return qv::borrow(net);
    }

private:
    // A subclass of nn.Sequential or nn.ModuleList.
    bool is_container(PyObject* net) const {
        return is_nn_subclass(qv::type_of(net).ptr(), st_.Sequential) ||
               is_nn_subclass(qv::type_of(net).ptr(), st_.ModuleList);
    }

    // type is ZR.ZORNeuronModule
    bool is_trained_wrapper(PyObject* type) const {
        py::object cls = qv::getattr(global(st_.ZR).ptr(), st_.ZORNeuronModule);
        return type == cls.ptr();
    }

    // One child of a container: converted when it is a trained wrapper, else
    // walked into unless it is the container itself.
    void visit_child(PyObject* net, PyObject* id) {
        if (is_trained_wrapper(qv::type_of(submodule(net, id).ptr()).ptr())) {
            if (verbose()) say(kSeqSubIsZor, item_path(id).ptr());
            py::object convert = global(st_.convert_to_zor_layer_block);
            // Read again, as the call's argument.
            replace(net, id, convert.ptr(), submodule(net, id));
            return;
        }
        // Read again for the self-pointer test.
        if (qv::not_equal(net, submodule(net, id).ptr())) {
            walk_into_child(net, id, st_.optimize_module);
        } else if (verbose()) {
            say(kSelfPointer, item_path(id).ptr());
        }
    }

    // One member of a module that is not a container. Each test reads the
    // member afresh, as the function reads it again at each use.
    void visit_member(PyObject* net, PyObject* member) {
        if (!qv::member_is_readable(net, member, st_.__getattribute__)) return;
        MemberPath sub_name = member_path(member);
        if (qv::holds(setting(st_.get_module_names_to_not_save).ptr(), sub_name) || recorded(sub_name)) {
            if (verbose()) say(kSkipping, sub_name());
            return;
        }
        if (is_trained_wrapper(member_type(net, member).ptr())) {
            if (verbose()) say(kSubIsZor, sub_name());
            py::object convert = global(st_.convert_to_zor_layer_block);
            replace(net, member, convert.ptr(), qv::getattr(net, member));
            return;
        }
        if (!is_nn_subclass(member_type(net, member).ptr(), st_.Module)) return;
        if (qv::not_equal(net, qv::getattr(net, member).ptr())) {
            record(sub_name());
            walk_into_member(net, member, st_.optimize_module, sub_name());
        } else if (verbose()) {
            say(kSelfPointer, sub_name());
        }
    }

    py::object member_type(PyObject* net, PyObject* member) const {
        return qv::member_type(net, member, st_.__getattribute__);
    }
};

const qv::WalkFunction kOptimizeModule{optimize_module, qv::enter_level<State, Level>, "optimize_module",
                                       " while converting a network"};

}  // namespace

extern const char optimize_module_doc[] = R"(optimize_module($module, /, net, depth, name_so_far, converted_list)
--

Replace, in place, every trained ZORNeuronModule among the children of net by
its ZORLayer block, and walk every other child module the same way. The path of
each child walked into is appended to converted_list; attribute paths already
in it are skipped. Returns net.)";

PyObject* optimize_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return qv::walk_function<State, Level>(module, args, nargs, kwnames);
}

extern const char blockwise_network_doc[] = R"(blockwise_network($module, /, net)
--

Convert every trained ZORNeuronModule of the network net to a ZORLayer block,
in place, and return net.)";

PyObject* blockwise_network(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr qv::Signature<1> sig{"blockwise_network", {"net"}};
    return qv::network_entry<State>(module, sig, &State::optimize_module, kOptimizeModule, args, nargs, kwnames);
}

}  // namespace ostrelle
