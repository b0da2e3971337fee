"""Wrapping a network's chosen layers in ``ZORNeuronModule``: how a trained-form
network is made."""

import torch
import torch.nn as nn

from quorvane import modules_quorvane as ZR

DEFAULT_LAYER_TYPES = (nn.Linear, nn.Conv1d, nn.Conv2d, nn.GRU, nn.LSTM)


def _neuron_index(layer, output):
    """Position of the neuron dimension in a layer's output."""
    if isinstance(layer, (nn.Conv1d, nn.Conv2d, nn.Conv3d)):
        return 1
    return output.dim() - 1


def _observe_output_shapes(net, targets, sample_args, sample_kwargs):
    """Runs one forward pass and records the output rank of each target layer."""
    shapes = {}
    handles = []
    for name, layer in targets:
        def hook(module, inputs, output, name=name):
            tensor = output[0] if isinstance(output, tuple) else output
            shapes[name] = (tensor.dim(), tensor.shape)
        handles.append(layer.register_forward_hook(hook))
    try:
        with torch.no_grad():
            net(*sample_args, **sample_kwargs)
    finally:
        for handle in handles:
            handle.remove()
    return shapes


def wrap_layers(net, layer_types=DEFAULT_LAYER_TYPES, num_dendrites=1, sample_input=None,
                sample_kwargs=None, skip=(), init_scale=0.1):
    """Replaces, in place, every submodule of ``net`` whose exact type is one of
    ``layer_types`` by a ``ZORNeuronModule`` around it, and returns the list of the
    wrapped layers' names.

    ``num_dendrites`` is an int or a callable ``(name, layer) -> int``. With a
    ``sample_input`` (a tensor or a tuple of positional arguments) the output shape of
    each layer is observed on one forward pass, so layers applied to inputs of any rank
    get the right view shape; without it the layer type's usual shape is assumed.
    Names listed in ``skip`` are left alone. The root itself is never wrapped.
    """
    exact = tuple(layer_types)
    targets = [(name, module) for name, module in net.named_modules()
               if name and type(module) in exact and name not in skip]
    shapes = {}
    if sample_input is not None:
        args = sample_input if isinstance(sample_input, tuple) else (sample_input,)
        shapes = _observe_output_shapes(net, targets, args, sample_kwargs or {})

    wrapped = []
    for name, layer in targets:
        parent_name, _, child = name.rpartition(".")
        parent = net.get_submodule(parent_name)
        count = num_dendrites(name, layer) if callable(num_dendrites) else num_dendrites
        options = {}
        if name in shapes:
            rank, shape = shapes[name]
            index = _neuron_index(layer, torch.empty(shape))
            dims = [-1] * rank
            dims[index] = shape[index]
            options = {"output_dimensions": dims, "node_index": index}
        setattr(parent, child, ZR.ZORNeuronModule(layer, count, init_scale=init_scale, **options))
        wrapped.append(name)
    return wrapped


def count_wrappers(net):
    """Number of trained wrappers (exact ``ZORNeuronModule``) reachable in ``net``."""
    return sum(1 for module in net.modules() if type(module) is ZR.ZORNeuronModule)
