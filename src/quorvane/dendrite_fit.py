"""Keeping a trained wrapper's dendrites the shape of its main layer.

The dendrites of a ``ZORNeuronModule`` are layers of its main layer's type and shape, and
its skip weights have one column per neuron of the main layer's output. When the main
layer changes shape (a vocabulary resized, a weight of another shape tied in), the
dendrites follow it through ``refit_dendrites``, which the wrapper runs after every
assignment it passes on to its main layer. A shape change the wrapper cannot see (the
main layer's tensors changed directly) is caught by ``check_fit`` at the next forward
pass, which raises rather than combine outputs that do not fit.
"""

import copy

import torch
import torch.nn as nn

RECURRENT = (nn.RNN, nn.GRU, nn.LSTM)


def fresh_copy(layer):
    """A layer of the same shape with its own, newly initialised parameters."""
    twin = copy.deepcopy(layer)
    for module in twin.modules():
        reset = getattr(module, "reset_parameters", None)
        if callable(reset):
            reset()
    return twin


def recurrent_width(layer):
    """Features per step of a recurrent layer's output."""
    width = layer.proj_size if isinstance(layer, nn.LSTM) and layer.proj_size else layer.hidden_size
    return width * (2 if layer.bidirectional else 1)


def neuron_count(layer):
    """The neurons of a layer of a type whose neuron count its tensors tell (read from
    their shapes, which is what the layer computes with), or None for other types."""
    if isinstance(layer, (nn.Linear, nn.Bilinear, nn.Conv1d, nn.Conv2d, nn.Conv3d)):
        return layer.weight.shape[0]
    if isinstance(layer, nn.Embedding):
        return layer.weight.shape[1]
    if isinstance(layer, RECURRENT):
        return recurrent_width(layer)
    return None


def _owner(layer, name):
    """(the module that holds the tensor `name`, its own name for it), or None."""
    prefix, _, leaf = name.rpartition(".")
    try:
        return layer.get_submodule(prefix), leaf
    except AttributeError:
        return None


def _tensor(module, leaf):
    """The parameter or buffer `leaf` of `module`, or None."""
    for store in (module._parameters, module._buffers):
        if store.get(leaf) is not None:
            return store[leaf]
    return None


def _resized(old, values):
    """A tensor with the shape of `values`: `old`'s entries where both shapes have them,
    `values`' elsewhere; `old`'s dtype, device and, for a parameter, kind."""
    new = values.detach().to(dtype=old.dtype, device=old.device).clone()
    if new.dim() == old.dim():
        overlap = tuple(slice(0, min(a, b)) for a, b in zip(old.shape, new.shape))
        new[overlap] = old.detach()[overlap]
    if isinstance(old, nn.Parameter):
        new = nn.Parameter(new, requires_grad=old.requires_grad)
        new.wrapped = True
    return new


def _refit_layer(layer, main, fresh):
    """Gives each tensor of the dendrite `layer` the shape of the main layer's tensor of
    the same name; returns the fresh copy of the main layer that supplied new values."""
    for name, tensor in [*main.named_parameters(remove_duplicate=False), *main.named_buffers(remove_duplicate=False)]:
        place = _owner(layer, name)
        theirs = None if place is None else _tensor(*place)
        if theirs is None or theirs.shape == tensor.shape:
            continue
        if fresh is None:
            fresh = fresh_copy(main)
        setattr(place[0], place[1], _resized(theirs, _tensor(*_owner(fresh, name))))
    return fresh


def _refit_skip_weights(wrapper, old, new):
    """Skip weights of `old` columns (of any count but `new` when `old` is None) get
    `new`: a column kept where it was, zero for a new neuron."""
    for weights in (wrapper.dendrite_module.dendrites_to_dendrites, wrapper.dendrites_to_top):
        for i, was in enumerate(weights):
            if was.shape[1] != new and old in (None, was.shape[1]):
                weights[i] = _resized(was, torch.zeros(was.shape[0], new))
    values = wrapper.dendrite_module.dendrite_values[0]
    node = int(values.this_node_index)
    if 0 <= node < len(values.this_output_dimensions) and old in (None, values.this_output_dimensions[node]):
        values.this_output_dimensions[node] = new


def refit_dendrites(wrapper, neurons=None):
    """Makes the dendrites of ``wrapper`` fit its main layer again after the main layer
    changed shape.

    Every dendrite tensor whose shape differs from the main layer's tensor of the same
    name gets that shape: the entries both shapes have keep their values, new ones are
    drawn as for a new dendrite. When the main layer's neuron count changed, the skip
    weights get one column per neuron: a new neuron's columns start at zero, so its
    output starts as the main layer's own. The count is read from the layer's tensors
    for ``Linear``, ``Bilinear``, ``Conv1d/2d/3d``, ``Embedding`` and
    ``RNN``/``GRU``/``LSTM``; for other types pass ``neurons``. Changed tensors are new
    objects: an optimizer made before must be made again.
    """
    main = wrapper.main_module
    layers = wrapper.dendrite_module.layers
    old = None
    if neurons is None and len(layers) > 0:
        old, neurons = neuron_count(layers[0]), neuron_count(main)
        if old is None or old == neurons:
            neurons = None
    fresh = None
    for layer in layers:
        fresh = _refit_layer(layer, main, fresh)
    if neurons is not None:
        _refit_skip_weights(wrapper, old, int(neurons))


def _misfit(wrapper, detail):
    kind = type(wrapper.main_module).__name__
    if neuron_count(wrapper.main_module) is None:
        advice = (f"A {kind} does not tell its neuron count: after changing its shape, call "
                  "quorvane.modules_quorvane.refit_dendrites(wrapper, neurons=...) with the size of its output "
                  "at the neuron dimension")
    else:
        advice = ("Its shape changed without the wrapper seeing it: assign the main layer's tensors through the "
                  "wrapper (wrapper.weight = ...), or call quorvane.modules_quorvane.refit_dendrites(wrapper) after "
                  "changing them")
    return RuntimeError(f"the dendrites of this ZORNeuronModule no longer fit its main layer ({kind}): {detail}. "
                        + advice)


def check_fit(wrapper, out, first, view, neurons):
    """Raises unless the layer output `out` can be combined with the first dendrite's
    output `first` (None for that one itself) through skip weights of `neurons` columns
    viewed into `view`: the same shape, and `neurons` entries where the view puts them.
    Outputs that are not tensors are the processors' business and are not checked."""
    if not isinstance(out, torch.Tensor):
        return
    if isinstance(first, torch.Tensor) and out.shape != first.shape:
        raise _misfit(wrapper, f"a layer output has shape {tuple(out.shape)}, "
                               f"the first dendrite's {tuple(first.shape)}")
    if -1 in view and out.dim() >= len(view):
        at = view.index(-1) - len(view)
        if out.shape[at] != neurons:
            raise _misfit(wrapper, f"a layer output has {out.shape[at]} neurons at dimension {out.dim() + at}, "
                                   f"the skip weights have {neurons} columns")
