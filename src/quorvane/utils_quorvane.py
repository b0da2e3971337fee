"""Wrapping a network's chosen layers in ``ZORNeuronModule``: how a trained-form
network is made."""

import torch
import torch.nn as nn

from quorvane import modules_quorvane as ZR
# The tree helpers live beside the conversion now; these names stay importable from here.
from quorvane.module_tree import find_cycle, module_positions, nesting_depth  # noqa: F401

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
    for key, layer in targets:
        def hook(module, inputs, output, key=key):
            tensor = output[0] if isinstance(output, tuple) else output
            shapes[key] = (tensor.dim(), tensor.shape)
        handles.append(layer.register_forward_hook(hook))
    try:
        with torch.no_grad():
            net(*sample_args, **sample_kwargs)
    finally:
        for handle in handles:
            handle.remove()
    return shapes


def keep_module_calls(module, args):
    """Forward pre-hook that does nothing. Its presence is the point: torch's fused
    ``TransformerEncoderLayer`` path, which reads ``linear1.weight`` and the like
    directly, is not taken while any submodule has a hook, so the layer keeps calling
    its (wrapped, and later converted) submodules and the dendrites are computed."""
    return None


# Parents whose forward reads a child's parameters or attributes directly instead of
# calling it, so a wrapper in that child's place would be bypassed or fail.
_READ_DIRECTLY = {
    (nn.MultiheadAttention, "out_proj"): "reads out_proj.weight and out_proj.bias directly in every forward",
    (nn.TransformerEncoderLayer, "self_attn"): "reads self_attn's projection weights and settings directly",
    (nn.TransformerDecoderLayer, "self_attn"): "reads self_attn's settings directly",
    (nn.TransformerDecoderLayer, "multihead_attn"): "reads multihead_attn's settings directly",
}
# Children that the fused encoder-layer path reads directly; a pre-hook on the wrapped
# layer turns that path off for good (see keep_module_calls).
_FUSED_PATH_CHILDREN = {"linear1", "linear2", "norm1", "norm2"}


def keep_calls_where_fused(layer, places):
    """Registers ``keep_module_calls`` on `layer` when one of its places (parent, name)
    is a layer that torch's fused encoder-layer path reads directly, unless it is there
    already. Returns the hook's handle, or None."""
    if any(isinstance(parent, nn.TransformerEncoderLayer) and name in _FUSED_PATH_CHILDREN
           for parent, name in places) and keep_module_calls not in layer._forward_pre_hooks.values():
        return layer.register_forward_pre_hook(keep_module_calls)
    return None


def _refusal(places, positions_of, nested_encoders):
    """Why a layer at these places cannot be wrapped, or None."""
    for parent, name, path, _ in places:
        for (parent_type, child), why in _READ_DIRECTLY.items():
            if isinstance(parent, parent_type) and name == child:
                return (f"cannot wrap {path}: its parent {type(parent).__name__} "
                        f"({positions_of(parent) or 'the root'}) {why}, so the wrapper would be bypassed")
        for encoder, encoder_path in nested_encoders:
            if any(parent is layer for layer in encoder.layers):
                return (f"cannot wrap {path}: its parent TransformerEncoder ({encoder_path or 'the root'}) runs "
                        "a nested-tensor fast path that reads its layers' weights directly; build it with "
                        "enable_nested_tensor=False")
    return None


def wrap_layers(net, layer_types=DEFAULT_LAYER_TYPES, num_dendrites=1, sample_input=None,
                sample_kwargs=None, skip=(), init_scale=0.1):
    """Replaces, in place, every submodule of ``net`` whose exact type is one of
    ``layer_types`` by a ``ZORNeuronModule`` around it, and returns the list of the
    names (paths) where a wrapper was put.

    ``num_dendrites`` is an int or a callable ``(name, layer) -> int``. With a
    ``sample_input`` (a tensor or a tuple of positional arguments) the output shape of
    each layer is observed on one forward pass, so layers applied to inputs of any rank
    get the right view shape; without it the layer type's usual shape is assumed.
    Layers with a name listed in ``skip`` are left alone. The root itself is never
    wrapped.

    A layer registered under several names is wrapped once, and that one wrapper is put
    under every name, so the layer stays shared. A layer whose parent reads its
    parameters directly instead of calling it (``MultiheadAttention.out_proj``, the
    attention modules of the transformer layers, any layer of a
    ``TransformerEncoder`` with the nested-tensor fast path on) is refused with a
    ``ValueError`` naming the layer and the parent, before anything is changed. The
    feed-forward and norm layers of ``TransformerEncoderLayer`` are wrapped: a
    do-nothing pre-hook on each (``keep_module_calls``) keeps torch's fused path, which
    would read their weights, from being taken.
    """
    exact = tuple(layer_types)
    places = module_positions(net)
    paths = {}
    for _, _, path, module in places:
        paths.setdefault(id(module), path)
    layers = {}
    for place in places:
        module = place[3]
        if type(module) in exact and module is not net:
            layers.setdefault(id(module), (module, []))[1].append(place)
    skipped = set(skip)
    targets = [(layer, where) for layer, where in layers.values()
               if not any(path in skipped for _, _, path, _ in where)]

    nested = [(m, paths.get(id(m), "")) for m in [net] + [p[3] for p in places]
              if isinstance(m, nn.TransformerEncoder) and getattr(m, "use_nested_tensor", False)]
    for layer, where in targets:
        why = _refusal(where, lambda module: paths.get(id(module), ""), nested)
        if why:
            raise ValueError(why)

    shapes = {}
    if sample_input is not None:
        args = sample_input if isinstance(sample_input, tuple) else (sample_input,)
        shapes = _observe_output_shapes(net, [(id(layer), layer) for layer, _ in targets], args, sample_kwargs or {})

    wrapped = []
    for layer, where in targets:
        first = where[0][2]
        count = num_dendrites(first, layer) if callable(num_dendrites) else num_dendrites
        options = {}
        if id(layer) in shapes:
            rank, shape = shapes[id(layer)]
            index = _neuron_index(layer, torch.empty(shape))
            dims = [-1] * rank
            dims[index] = shape[index]
            options = {"output_dimensions": dims, "node_index": index}
        wrapper = ZR.ZORNeuronModule(layer, count, init_scale=init_scale, **options)
        keep_calls_where_fused(layer, [(parent, name) for parent, name, _, _ in where])
        for parent, name, path, _ in where:
            setattr(parent, name, wrapper)
            wrapped.append(path)
    return wrapped


def count_wrappers(net):
    """Number of trained wrappers (exact ``ZORNeuronModule``) reachable in ``net``."""
    return sum(1 for module in net.modules() if type(module) is ZR.ZORNeuronModule)
