"""Times the two network walks on generated networks of about 100, 1,000 and 10,000
modules, side by side with plain-Python renditions of the same walks.

Each network nests containers and attributes and holds a trained wrapper every few
modules. The renditions include the block conversion and the clean module's
construction, written in Python the same way. One sample converts a fresh copy of the network (copying is not timed): the
blockwise walk on the trained network, then the clean-up walk on its result.

Prints, per size: the median time of each walk, ours and the Python rendition's, their
ratio, and the growth in time from one size to the next (ideal: 10x).
"""

import argparse
import copy
import statistics
import time

import torch
import torch.nn as nn

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle
from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR


# --- plain-Python renditions of the two walks, with the conversions they call ----------

class ZORLayer(nn.Module):
    """The block layer, as Python."""

    def __init__(self, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites, node_index,
                 num_cycles, view_tuple):
        super(ZORLayer, self).__init__()
        self.layer_array = layer_array
        self.register_buffer("num_cycles", num_cycles)
        self.register_buffer("view_tuple", torch.tensor(view_tuple))
        self.processor_array = processor_array
        if dendrites_to_dendrites:
            weights = dendrites_to_dendrites
            self.skip_weights = list(weights) if isinstance(weights, list) else type(weights)(weights)
        else:
            self.skip_weights = nn.ParameterList()
        if dendrites_to_top:
            self.skip_weights.append(dendrites_to_top[len(dendrites_to_top) - 1])
        else:
            self.skip_weights = nn.ParameterList()
        if len(self.skip_weights) == 0:
            del self.skip_weights
        self.node_index = node_index
        self.internal_nonlinearity = GZR.pc.get_zor_forward_function()


def py_unWrap_params(model):
    for p in model.parameters():
        if "wrapped" in p.__dir__():
            del p.wrapped


def py_convert_to_zor_layer_block(pretrained_dendrite):
    py_unWrap_params(pretrained_dendrite)
    layer_array, processor_array = [], []
    for layer_id in range(len(pretrained_dendrite.dendrite_module.layers)):
        layer_array.append(pretrained_dendrite.dendrite_module.layers[layer_id])
        if pretrained_dendrite.dendrite_module.processors == []:
            processor_array.append(None)
        else:
            processor = pretrained_dendrite.dendrite_module.processors[layer_id]
            if processor is not None:
                processor.pre = processor.pre_d
                processor.post = processor.post_d
            processor_array.append(pretrained_dendrite.dendrite_module.processors[layer_id])
    layer_array.append(pretrained_dendrite.main_module)
    if pretrained_dendrite.processor is not None:
        pretrained_dendrite.processor.pre = pretrained_dendrite.processor.post_n1
        pretrained_dendrite.processor.post = pretrained_dendrite.processor.post_n2
    processor_array.append(pretrained_dendrite.processor)
    view_tuple = []
    values = pretrained_dendrite.dendrite_module.dendrite_values
    for dim in range(len(values[0].this_output_dimensions)):
        view_tuple.append(-1 if dim == values[0].this_node_index else 1)
    return ZORLayer(nn.Sequential(*layer_array), processor_array, pretrained_dendrite.dendrites_to_top,
                    pretrained_dendrite.dendrite_module.dendrites_to_dendrites, pretrained_dendrite.this_node_index,
                    pretrained_dendrite.dendrite_module.num_cycles, view_tuple)


class ZORModulePyThread(nn.Module):
    """The clean module's construction, as Python."""

    def __init__(self, original_module):
        super(ZORModulePyThread, self).__init__()
        self.layer_array = original_module.layer_array
        self.processor_array = original_module.processor_array
        if hasattr(original_module, "skip_weights") and len(original_module.skip_weights) > 1:
            self.skip_weights = original_module.skip_weights[1:]
        self.register_buffer("node_index", original_module.node_index.clone().detach())
        self.register_buffer("num_cycles", original_module.num_cycles)
        self.register_buffer("view_tuple", original_module.view_tuple)


def py_make_module(module):
    return ZORModulePyThread(module)


def _probe_fails(net, member):
    try:
        getattr(net, member, None)
    except RecursionError:
        raise
    except Exception:
        return True
    return False


def py_optimize_module(net, depth, name_so_far, converted_list):
    all_members = net.__dir__()
    if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList):
        for submodule_id, layer in net.named_children():
            sub_name = name_so_far + "[" + str(submodule_id) + "]"
            if type(net.get_submodule(submodule_id)) is ZR.ZORNeuronModule:
                if GZR.pc.get_extra_verbose():
                    print("Seq sub is ZOR so optimizing: %s" % sub_name)
                setattr(net, submodule_id, py_convert_to_zor_layer_block(net.get_submodule(submodule_id)))
            elif net != net.get_submodule(submodule_id):
                converted_list += [sub_name]
                setattr(net, submodule_id, py_optimize_module(net.get_submodule(submodule_id), depth + 1,
                                                              name_so_far + "[" + str(submodule_id) + "]",
                                                              converted_list))
            elif GZR.pc.get_extra_verbose():
                print("%s is a self pointer so skipping" % sub_name)
    else:
        for member in all_members:
            if isinstance(getattr(type(net), member, None), property):
                continue
            if _probe_fails(net, member):
                continue
            sub_name = name_so_far + "." + member
            if sub_name in GZR.pc.get_module_names_to_not_save() or sub_name in converted_list:
                if GZR.pc.get_extra_verbose():
                    print("Skipping %s during save" % sub_name)
                continue
            if type(getattr(net, member, None)) is ZR.ZORNeuronModule:
                if GZR.pc.get_extra_verbose():
                    print("Sub is in conversion list so initiating optimization for: %s" % sub_name)
                setattr(net, member, py_convert_to_zor_layer_block(getattr(net, member)))
            elif issubclass(type(getattr(net, member, None)), nn.Module):
                if net != getattr(net, member):
                    converted_list += [sub_name]
                    setattr(net, member, py_optimize_module(getattr(net, member), depth + 1, sub_name,
                                                            converted_list))
                elif GZR.pc.get_extra_verbose():
                    print("%s is a self pointer so skipping" % sub_name)
    return net


def py_blockwise_network(net):
    return py_optimize_module(net, 0, "", [])


def py_refresh_zor(net, depth, name_so_far, converted_list):
    if GZR.pc.get_extra_verbose():
        print("CL calling convert on " + str(net) + " depth " + format(depth, "d"))
        print("CL calling convert on " + str(name_so_far) + ": " + type(net).__name__ + ", depth " + format(depth, "d"))
    if type(net) is ZORModulePyThread:
        if GZR.pc.get_extra_verbose():
            print("this is only being called because something in your model is pointed to twice by two "
                  "different variables.  Highest thing on the list is one of the duplicates")
        return net
    all_members = net.__dir__()
    if issubclass(type(net), nn.Sequential) or issubclass(type(net), nn.ModuleList) or issubclass(type(net), list):
        for submodule_id, layer in net.named_children():
            if net != net.get_submodule(submodule_id):
                converted_list += [name_so_far + "[" + str(submodule_id) + "]"]
                setattr(net, submodule_id, py_refresh_zor(net.get_submodule(submodule_id), depth + 1,
                                                          name_so_far + "[" + str(submodule_id) + "]",
                                                          converted_list))
            if type(net.get_submodule(submodule_id)).__name__ == "ZORLayer":
                setattr(net, submodule_id, py_make_module(net.get_submodule(submodule_id)))
    else:
        if type(net) in GZR.pc.get_modules_to_track():
            return net
        for member in all_members:
            if isinstance(getattr(type(net), member, None), property):
                continue
            if _probe_fails(net, member):
                continue
            sub_name = name_so_far + "." + member
            if member == "device" or member == "dtype":
                continue
            if sub_name in GZR.pc.get_module_names_to_not_save():
                continue
            if name_so_far == "" and (sub_name in GZR.pc.get_module_names_to_not_save()
                                      or sub_name in converted_list):
                if GZR.pc.get_extra_verbose():
                    print("Skipping %s during save" % sub_name)
                continue
            if issubclass(type(getattr(net, member, None)), nn.Module) or member == "layer_array":
                converted_list += [sub_name]
                if net != getattr(net, member):
                    setattr(net, member, py_refresh_zor(getattr(net, member), depth + 1, sub_name, converted_list))
            if type(getattr(net, member, None)).__name__ == "ZORLayer":
                setattr(net, member, py_make_module(getattr(net, member)))
    if type(net).__name__ == "ZORLayer":
        net = py_make_module(net)
    return net


def py_refresh_net(net):
    return py_refresh_zor(net, 0, "", [])


# --- generated networks ------------------------------------------------------------------

class Block(nn.Module):
    """A module with attribute children: a container, a plain layer and a nested block."""

    def __init__(self, width, inner):
        super().__init__()
        self.norm = nn.LayerNorm(width)
        self.stack = nn.Sequential(*inner)
        self.act = nn.ReLU()


def generate(target_modules, width=4, wrap_every=4):
    """A tree of Blocks and containers with about `target_modules` modules; every
    `wrap_every`-th leaf is a trained wrapper (itself a few modules)."""
    count = [0]
    leaves = [0]

    def leaf():
        leaves[0] += 1
        if leaves[0] % wrap_every == 0:
            count[0] += 6  # wrapper, main, dendrite module, its ModuleList, one dendrite, ParameterList
            return ZR.ZORNeuronModule(nn.Linear(width, width), 1)
        count[0] += 1
        return nn.Linear(width, width)

    def block(depth):
        count[0] += 4
        inner = [leaf() for _ in range(3)]
        if depth < 3:
            inner.append(block(depth + 1))
        return Block(width, inner)

    roots = []
    while count[0] < target_modules:
        roots.append(block(0))
    return nn.ModuleList(roots)


def measure(walks, network, repeats):
    samples = {name: [] for name in walks}
    for _ in range(repeats):
        for name, (first, second) in walks.items():
            net = copy.deepcopy(network)
            start = time.perf_counter()
            mid = first(net)
            middle = time.perf_counter()
            second(mid)
            end = time.perf_counter()
            samples[name].append((middle - start, end - middle))
    return {name: (statistics.median(s[0] for s in values), statistics.median(s[1] for s in values))
            for name, values in samples.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="100,1000,10000")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    walks = {"ours": (ostrelle.blockwise_network, marlune.refresh_net),
             "python": (py_blockwise_network, py_refresh_net)}
    previous = None
    print(f"{'modules':>8} {'walk':>10} {'ours ms':>10} {'python ms':>10} {'ratio':>7} {'growth':>8}")
    for size in (int(s) for s in args.sizes.split(",")):
        network = generate(size)
        modules = sum(1 for _ in network.modules())
        repeats = max(1, args.repeats if size < 5000 else args.repeats // 2)
        times = measure(walks, network, repeats)
        for index, walk in enumerate(("blockwise", "clean-up")):
            ours, python = times["ours"][index], times["python"][index]
            growth = f"{ours / previous[index]:.1f}x" if previous else "-"
            print(f"{modules:>8} {walk:>10} {ours * 1e3:>10.2f} {python * 1e3:>10.2f} {ours / python:>7.2f} {growth:>8}")
        previous = times["ours"]


if __name__ == "__main__":
    main()
