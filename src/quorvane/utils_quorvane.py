"""Wrapping a network's chosen layers in ``ZORNeuronModule``: how a trained-form
network is made."""

import functools
import types
import warnings

import torch
import torch.nn as nn

from quorvane import modules_quorvane as ZR
from quorvane import wrap_check
# The tree helpers live beside the conversion now; these names stay importable from here.
from quorvane.module_tree import find_cycle, module_positions, nesting_depth  # noqa: F401

DEFAULT_LAYER_TYPES = (nn.Linear, nn.Conv1d, nn.Conv2d, nn.GRU, nn.LSTM)


def _neuron_index(layer, rank):
    """Position of the neuron dimension in a layer's output of rank `rank`."""
    if isinstance(layer, (nn.Conv1d, nn.Conv2d, nn.Conv3d)):
        return 1
    return rank - 1


def keep_module_calls(module, args):
    """Forward pre-hook that does nothing. Its presence is the point: torch's fused
    ``TransformerEncoderLayer`` path, which reads ``linear1.weight`` and the like
    directly, is not taken while any submodule has a hook, so the layer keeps calling
    its (wrapped, and later converted) submodules and the dendrites are computed."""
    return None


@functools.cache
def _fused_path_ignores_hooks():
    """Whether this torch's ``TransformerEncoderLayer`` takes its fused path although a
    submodule has a hook (torch 2.4 does; later releases check for hooks). Found by
    running a small layer the way that path is taken, with the default random state
    left as it was."""
    switch = getattr(torch.backends, "mha", None)  # the global fast-path switch, where torch has one
    with torch.random.fork_rng(devices=[]), torch.no_grad():
        layer = nn.TransformerEncoderLayer(4, 2, 8, dropout=0.0, batch_first=True).eval()
        calls = []
        layer.linear1.register_forward_pre_hook(lambda module, args: calls.append(module))
        enabled = switch.get_fastpath_enabled() if switch else None
        if switch:
            switch.set_fastpath_enabled(True)
        try:
            layer(torch.zeros(1, 2, 4))
        finally:
            if switch:
                switch.set_fastpath_enabled(enabled)
    return not calls


# Parents whose forward reads a child's parameters or attributes directly instead of
# calling it, so a wrapper in that child's place would be bypassed.
_READ_DIRECTLY = {
    (nn.MultiheadAttention, "out_proj"): "reads out_proj.weight and out_proj.bias directly in every forward",
    (nn.TransformerEncoderLayer, "self_attn"): "reads self_attn's projection weights and settings directly",
    (nn.TransformerDecoderLayer, "self_attn"): "reads self_attn's settings directly",
    (nn.TransformerDecoderLayer, "multihead_attn"): "reads multihead_attn's settings directly",
}
# Children that the fused encoder-layer path reads directly; a pre-hook on the wrapped
# layer turns that path off for good (see keep_module_calls), and where torch ignores
# hooks there, the encoder layer's own switch for it.
_FUSED_PATH_CHILDREN = {"linear1", "linear2", "norm1", "norm2"}


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


class WrapResult(list):
    """What ``wrap_layers`` returns: the list of the paths where it put a wrapper, with
    ``left_unwrapped``, {path: reason} for every place of a layer it put back because
    the network failed (or bypassed the wrapper) with that layer wrapped on the sample
    input."""

    def __init__(self, paths=(), left_unwrapped=None):
        super().__init__(paths)
        self.left_unwrapped = dict(left_unwrapped or {})


def _targets(net, places, layer_types, skip):
    """[(layer, its places)] for every layer of exactly one of `layer_types` (the root
    and layers with a path in `skip` left out), each layer once, in place order."""
    exact = tuple(layer_types)
    layers = {}
    for place in places:
        module = place[3]
        if type(module) in exact and module is not net:
            layers.setdefault(id(module), (module, []))[1].append(place)
    skipped = set(skip)
    return [(layer, where) for layer, where in layers.values()
            if not any(path in skipped for _, _, path, _ in where)]


def _refuse_readers(net, places, targets, paths):
    """Raises for a target whose parent reads it instead of calling it."""
    nested = [(m, paths.get(id(m), "")) for m in [net] + [p[3] for p in places]
              if isinstance(m, nn.TransformerEncoder) and getattr(m, "use_nested_tensor", False)]
    for layer, where in targets:
        why = _refusal(where, lambda module: paths.get(id(module), ""), nested)
        if why:
            raise ValueError(why)


def _shape_options(layer, where, shapes, sampled):
    """The wrapper's output_dimensions and node_index from the observed output, {}
    where its type tells them; raises, naming what to do, where neither does."""
    if id(layer) in shapes:
        rank, shape = shapes[id(layer)]
        index = _neuron_index(layer, rank)
        dims = [-1] * rank
        dims[index] = shape[index]
        return {"output_dimensions": dims, "node_index": index}
    try:
        ZR._default_dimensions(layer)
    except ValueError:
        path = where[0][2]
        fix = (f"give a sample input that reaches it, or leave it out with skip=({path!r},)" if sampled else
               "pass sample_input (a tensor, or a tuple of the network's positional arguments) so that "
               "wrap_layers observes it")
        raise ValueError(f"cannot tell the output shape of {type(layer).__name__} ({path}): {fix}") from None
    return {}


def _factory(layer, processor_factory):
    """The processor factory for `layer`: the one given for its exact type (or for every
    type), None for the wrapper's default."""
    if isinstance(processor_factory, dict):
        return processor_factory.get(type(layer))
    return processor_factory


def _unwrappable(layer, seen, factory):
    """Why the sample's output of `layer` cannot be combined by a wrapper, or None."""
    if seen is None:
        return None
    kind = seen.kinds.get(id(layer))
    if kind is not None and factory is None and not isinstance(layer, ZR._RECURRENT):
        return (f"{type(layer).__name__} returns a {kind.__name__}, not a tensor, on the sample input, and no "
                "processor is given for it: pass wrap_layers a processor_factory that picks the tensor to combine "
                "(quorvane.modules_quorvane.TupleOutputProcessor combines item 0 and passes the rest through)")
    shape = seen.shapes.get(id(layer))
    if shape is not None and shape[0] == 0:
        return (f"{type(layer).__name__} has no neuron dimension: its output on the sample input is 0-dimensional "
                "(a single number)")
    return None


def _make_wrappers(targets, seen, num_dendrites, init_scale, processor_factory):
    """(one wrapper per target, nothing placed yet; {id(layer): reason} for the targets
    that cannot be wrapped at all, which get no wrapper)."""
    made, refused = [], {}
    shapes = {} if seen is None else seen.shapes
    for layer, where in targets:
        factory = _factory(layer, processor_factory)
        why = _unwrappable(layer, seen, factory)
        if why is not None:
            refused[id(layer)] = (where, why)
            continue
        options = _shape_options(layer, where, shapes, seen is not None)
        first = where[0][2]
        count = num_dendrites(first, layer) if callable(num_dendrites) else num_dendrites
        wrapper = ZR.ZORNeuronModule(layer, count, init_scale=init_scale, processor_factory=factory, **options)
        made.append(wrap_check.Wrapped(layer, wrapper, [(parent, name, path) for parent, name, path, _ in where]))
    return made, refused


def _keep_fused_path_off(item, switches):
    """Keeps torch's fused encoder-layer path, which would bypass the wrapper, from being
    taken: a do-nothing pre-hook on the layer, and where torch ignores hooks there the
    encoder layer's `activation_relu_or_gelu` set to 0 (its old value kept in
    `switches`; the flag only chooses the fused kernel, the layer's own computation
    does not read it). Returns the hook's handle, or None."""
    parents = [parent for parent, name, _ in item.places
               if isinstance(parent, nn.TransformerEncoderLayer) and name in _FUSED_PATH_CHILDREN]
    if not parents:
        return None
    if _fused_path_ignores_hooks():
        for parent in parents:
            if hasattr(parent, "activation_relu_or_gelu"):
                switches.setdefault(id(parent), (parent, parent.activation_relu_or_gelu))
                parent.activation_relu_or_gelu = 0
    if keep_module_calls in item.layer._forward_pre_hooks.values():
        return None
    return item.layer.register_forward_pre_hook(keep_module_calls)


def keep_fused_path_off(layer, places):
    """What wrap_layers does to keep torch's fused encoder-layer path from bypassing the
    layer at `places` ((parent, name) pairs), for code that puts a layer's converted form
    in place without wrapping it (``quorvane.load``). Returns a function that undoes it."""
    switches = {}
    handle = _keep_fused_path_off(types.SimpleNamespace(layer=layer, places=[(p, n, "") for p, n in places]),
                                  switches)

    def undo():
        if handle is not None:
            handle.remove()
        for parent, value in switches.values():
            parent.activation_relu_or_gelu = value
    return undo


def _restore_switches(switches):
    """Gives each encoder layer whose fused-path children are all unwrapped its switch back."""
    for parent, value in switches.values():
        if not any(type(getattr(parent, name, None)) is ZR.ZORNeuronModule for name in _FUSED_PATH_CHILDREN):
            parent.activation_relu_or_gelu = value


def _put_back(item, handle, flagged):
    """Unwraps one layer: the layer itself at every place, without the hook and the
    `wrapped` marks its wrapping added."""
    item.put(item.layer)
    if handle is not None:
        handle.remove()
    for parameter in item.layer.parameters():
        if id(parameter) not in flagged and hasattr(parameter, "wrapped"):
            del parameter.wrapped


def _parents(targets, paths):
    """[(parent, path)] of every parent of a target, each once."""
    found = {}
    for _, where in targets:
        for parent, _, _, _ in where:
            found.setdefault(id(parent), (parent, paths.get(id(parent), "")))
    return list(found.values())


def wrap_layers(net, layer_types=DEFAULT_LAYER_TYPES, num_dendrites=1, sample_input=None,
                sample_kwargs=None, skip=(), init_scale=0.1, processor_factory=None):
    """Replaces, in place, every submodule of ``net`` whose exact type is one of
    ``layer_types`` by a ``ZORNeuronModule`` around it, and returns the paths where a
    wrapper was put: a list (``WrapResult``) whose ``left_unwrapped`` maps the path of
    every layer put back to the reason.

    ``num_dendrites`` is an int or a callable ``(name, layer) -> int``. With a
    ``sample_input`` (a tensor or a tuple of positional arguments; ``sample_kwargs`` for
    keyword arguments) the output shape of each layer is observed on one forward pass,
    so layers of any type applied to inputs of any rank get the right view shape;
    without it the layer type's usual shape is assumed, and a type that does not tell
    it is refused. ``processor_factory`` makes the processors of every wrapper (a
    ``ZORNeuronModule`` argument), or is a dict {layer type: factory} for some types;
    where it gives none, the wrapper's default is used. A layer whose output on the
    sample is not a tensor (a tuple, say) while it has no processor, or is
    0-dimensional (it has no neuron dimension), is left unwrapped with a warning
    naming the reason. After wrapping, the sample runs again: a layer whose parent
    fails with it wrapped, or does not call its wrapper although it called the layer,
    is put back (unwrapped) with a warning naming the reason. A network on the meta
    device wraps from a meta sample as any other: only shapes are read. The sample runs change no buffer
    of the network and leave torch's random state as it was. Layers with a name listed
    in ``skip`` are left alone. The root itself is never wrapped.

    A layer registered under several names is wrapped once, and that one wrapper is put
    under every name, so the layer stays shared. A layer whose parent reads its
    parameters directly instead of calling it (``MultiheadAttention.out_proj``, the
    attention modules of the transformer layers, any layer of a
    ``TransformerEncoder`` with the nested-tensor fast path on) is refused with a
    ``ValueError`` naming the layer and the parent, before anything is changed. The
    feed-forward and norm layers of ``TransformerEncoderLayer`` are wrapped: a
    do-nothing pre-hook on each (``keep_module_calls``) keeps torch's fused path, which
    would read their weights, from being taken (where torch ignores hooks there, the
    encoder layer's ``activation_relu_or_gelu`` switch is set to 0 instead).
    """
    places = module_positions(net)
    paths = {}
    for _, _, path, module in places:
        paths.setdefault(id(module), path)
    targets = _targets(net, places, layer_types, skip)
    _refuse_readers(net, places, targets, paths)
    flagged = {id(p) for layer, _ in targets for p in layer.parameters() if hasattr(p, "wrapped")}
    sample = None if sample_input is None else (
        sample_input if isinstance(sample_input, tuple) else (sample_input,), sample_kwargs or {})
    parents = _parents(targets, paths)
    placed, handles, switches = [], {}, {}
    try:
        seen = None
        if sample is not None:
            with wrap_check.state_kept(net):
                seen = wrap_check.observe(net, [layer for layer, _ in targets], [p for p, _ in parents], *sample)
        made, refused = _make_wrappers(targets, seen, num_dendrites, init_scale, processor_factory)
        for item in made:
            item.put(item.wrapper)
            placed.append(item)
            handles[id(item)] = _keep_fused_path_off(item, switches)
        reasons = {}
        if seen is not None:
            with wrap_check.state_kept(net):
                reasons = wrap_check.failing_layers(net, made, seen, parents, *sample)
    except BaseException:
        for item in placed:
            _put_back(item, handles.get(id(item)), flagged)
        _restore_switches(switches)
        raise
    return _report(made, reasons, handles, flagged, switches, refused)


def _report(made, reasons, handles, flagged, switches, refused):
    """The result of wrap_layers, after putting back the layers that failed."""
    left = {}
    for where, why in refused.values():
        paths = [path for _, _, path, _ in where]
        warnings.warn(f"wrap_layers left {', '.join(paths)} unwrapped: {why}", stacklevel=3)
        left.update({path: why for path in paths})
    for item in made:
        if id(item) in reasons:
            _put_back(item, handles.get(id(item)), flagged)
            where = ", ".join(path for _, _, path in item.places)
            warnings.warn(f"wrap_layers left {where} unwrapped: {reasons[id(item)]}", stacklevel=3)
            left.update({path: reasons[id(item)] for _, _, path in item.places})
        elif item.called is False:
            where = ", ".join(path for _, _, path in item.places)
            warnings.warn(f"wrap_layers wrapped {where}, but the sample input calls neither the layer nor its "
                          "wrapper: if its parent reads its weights instead of calling it, the wrapper is bypassed "
                          "and its dendrites are never computed", stacklevel=3)
    _restore_switches(switches)
    return WrapResult([path for item in made if id(item) not in reasons for _, _, path in item.places], left)


def count_wrappers(net):
    """Number of trained wrappers (exact ``ZORNeuronModule``) reachable in ``net``."""
    return sum(1 for module in net.modules() if type(module) is ZR.ZORNeuronModule)
