"""How the modules that take a layer's place read as that layer.

Code written for a layer reads the layer's members: torch's ``TransformerEncoderLayer``
reads ``linear1.weight`` and ``norm1.eps``, transformers' ViT reads
``projection.weight.dtype``, GPT-2's ``tie_weights`` assigns ``lm_head.weight``. The trained
wrapper (``ZORNeuronModule``) and the converted module (``ZORModulePyThread``) therefore
hand a name they do not have themselves to their main layer, when it is a public name
(not starting with "_"), not one of their own member names, and not a method of the
layer's class: a method called through them would act on the main layer alone, without
its dendrites. The layer's parameters, buffers, submodules and settings pass.

Everything the module has itself reads exactly as ``torch.nn.Module`` reads it, so
``dir()``, ``state_dict()``, ``named_parameters()`` and the conversion walks see what
they saw before. ``clean_module_getattr`` is ``ZORModulePyThread.__getattr__``: a
Python function, so that TorchDynamo traces through it.
"""

import types

import torch

_METHOD_DESCRIPTOR = 1 << 17  # Py_TPFLAGS_METHOD_DESCRIPTOR: functions and method descriptors

# The converted module's own member names: never read from its main layer, so that
# hasattr(module, "skip_weights") and the like answer for the module itself.
CLEAN_MEMBERS = frozenset({"layer_array", "processor_array", "skip_weights", "node_index", "num_cycles",
                           "view_tuple"})


def is_method(cls, name):
    """Whether `cls` defines `name` as a method (a function, a static or class method,
    a method descriptor)."""
    for klass in cls.__mro__:
        if name in klass.__dict__:
            value = klass.__dict__[name]
            return (isinstance(value, (staticmethod, classmethod, types.BuiltinFunctionType))
                    or bool(type(value).__flags__ & _METHOD_DESCRIPTOR))
    return False


def passes_through(layer, name, own):
    """Whether a module whose own member names are `own` hands `name` to its main
    layer `layer`."""
    return passable(name, own) and (not is_method(type(layer), name) or name in layer.__dict__)


def passable(name, own):
    """Whether `name` may pass at all, whatever the layer: public and not the module's own."""
    return not name.startswith("_") and name not in own


def _last_layer(module):
    """layer_array[-1] of a converted module, read without its own lookups, or None."""
    layers = module.__dict__.get("layer_array")
    if layers is None:
        layers = module.__dict__.get("_modules", {}).get("layer_array")
    try:
        layer = layers[-1]
    except (TypeError, IndexError, KeyError):  # none, an empty one, or no sequence
        return None
    return None if layer is module else layer


def read_through(module, name, main_of, own):
    """``module.name`` as ``torch.nn.Module`` reads it (its parameters, buffers and child
    modules), else the member `name` of its main layer ``main_of(module)`` where it
    passes (`own`: the module's own member names); the module's own AttributeError
    where neither has it."""
    try:
        return torch.nn.Module.__getattr__(module, name)
    except AttributeError as missing:
        error = missing
    # Raised outside the except clause: TorchDynamo 2.5 and 2.6 cannot trace a bare
    # re-raise, and it traces this function (hasattr on a converted module).
    main = main_of(module) if passable(name, own) else None  # the name first: that is cheap
    if main is None or not passes_through(main, name, own):
        raise error
    try:
        return getattr(main, name)
    except AttributeError:
        raise error from None


def clean_module_getattr(self, name):
    """ZORModulePyThread.__getattr__: a member the converted module does not have,
    read from its main layer, ``layer_array[-1]``, where it passes."""
    return read_through(self, name, _last_layer, CLEAN_MEMBERS)
