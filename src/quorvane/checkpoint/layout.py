"""One converted position of a checkpoint: a clean module described as a config entry,
and built again around a plain layer from that entry.

An entry (one per ``ZORModulePyThread``, however many positions hold it):

    {"paths": ["encoder.0"],                       # where it sits, as in named_modules()
     "layer": "torch.nn.modules.linear.Linear",    # the main layer's class; each dendrite
                                                   # layer is a copy of its architecture
     "dendrites": 2,
     "layer_tensors": {"weight": [[8, 5], "float32"], "bias": [[8], "float32"]},
     "processors": [null, null, null],             # per layer, dendrites first, main last:
                                                   # null or a processor class of the package
     "skip_weights": [[1, 8], [2, 8]],             # shapes, or null when there are none
     "node_index": 1, "num_cycles": 2, "view_tuple": [1, -1]}
"""

import copy
import types

import torch
import torch.nn as nn

from quorvane import modules_quorvane as ZR
from quorvane.checkpoint.files import CheckpointError

# The processors a checkpoint may name: the package's own, by class name. Anything else
# could compute something a name cannot bring back.
PROCESSORS = {cls.__name__: cls for cls in (ZR.ZORProcessor, ZR.TupleOutputProcessor)}

DTYPES = {str(d).removeprefix("torch."): d for d in (
    torch.float64, torch.float32, torch.float16, torch.bfloat16, torch.complex128, torch.complex64,
    torch.int64, torch.int32, torch.int16, torch.int8, torch.uint8, torch.bool)}


def class_name(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


def tensor_shapes(module, where):
    """{name: [shape, dtype name]} of `module`'s state_dict; refuses anything but tensors."""
    shapes = {}
    for name, value in module.state_dict().items():
        if not isinstance(value, torch.Tensor) or value.dtype not in DTYPES.values():
            raise CheckpointError(f"{where}: {name} is a {type(value).__name__}"
                                  f"{' of ' + str(value.dtype) if isinstance(value, torch.Tensor) else ''}, "
                                  "which a safetensors checkpoint cannot hold")
        shapes[name] = [list(value.shape), str(value.dtype).removeprefix("torch.")]
    return shapes


# --- describing a clean module (saving) ---------------------------------------------------


def _role_functions(processor, is_main):
    return (processor.post_n1, processor.post_n2) if is_main else (processor.pre_d, processor.post_d)


def _processor_name(processor, path, index, is_main):
    if processor is None:
        return None
    role = "main layer" if is_main else f"dendrite layer {index}"
    if type(processor) not in PROCESSORS.values():
        raise CheckpointError(f"the converted module at {path}: the processor of its {role} is a {class_name(type(processor))}; a "
                              f"checkpoint holds only the package's own processors ({', '.join(PROCESSORS)}), "
                              "whose behaviour their name brings back")
    if (processor.pre, processor.post) != _role_functions(processor, is_main):
        raise CheckpointError(f"the converted module at {path}: the processor of its {role} has pre/post functions of its own, "
                              "which a checkpoint cannot hold")
    return type(processor).__name__


def _one_integer(tensor, what, path):
    if not isinstance(tensor, torch.Tensor) or tensor.numel() != 1 or tensor.is_floating_point():
        raise CheckpointError(f"the converted module at {path}: {what} must be an integer tensor with one element")
    return int(tensor.item())


def _skip_shapes(module, path, dendrites):
    if not hasattr(module, "skip_weights"):
        return None
    skip = module.skip_weights
    if type(skip) is not nn.ParameterList or len(skip) != dendrites:
        raise CheckpointError(f"the converted module at {path}: skip_weights must be a torch.nn.ParameterList of {dendrites} entries "
                              "(one per dendrite), as the conversion makes it")
    return [list(weight.shape) for weight in skip]


def describe(module, paths):
    """The config entry of the clean module `module`, registered at `paths`; refuses
    what a checkpoint cannot bring back."""
    path = paths[0]
    layers = list(module.layer_array)
    if type(module.layer_array) is not nn.Sequential or not layers:
        raise CheckpointError(f"the converted module at {path}: layer_array must be a torch.nn.Sequential of layers")
    main, dendrites = layers[-1], layers[:-1]
    shapes = tensor_shapes(main, f"the converted module at {path}")
    for index, layer in enumerate(dendrites):
        if type(layer) is not type(main) or tensor_shapes(layer, f"the converted module at {path}") != shapes:
            raise CheckpointError(f"the converted module at {path}: dendrite layer {index} is not a copy of the main layer's architecture "
                                  "(its class or tensor shapes differ), so it cannot be built again from the main layer")
    processors = list(module.processor_array)
    if len(processors) != len(layers):
        raise CheckpointError(f"the converted module at {path}: processor_array must have one entry per layer")
    return {
        "paths": list(paths), "layer": class_name(type(main)), "dendrites": len(dendrites), "layer_tensors": shapes,
        "processors": [_processor_name(p, path, i, i == len(layers) - 1) for i, p in enumerate(processors)],
        "skip_weights": _skip_shapes(module, path, len(dendrites)),
        "node_index": _one_integer(module.node_index, "node_index", path),
        "num_cycles": None if module.num_cycles is None else _one_integer(module.num_cycles, "num_cycles", path),
        "view_tuple": [int(v) for v in _integers(module.view_tuple, "view_tuple", path)],
    }


def _integers(tensor, what, path):
    if not isinstance(tensor, torch.Tensor) or tensor.dim() != 1 or tensor.is_floating_point():
        raise CheckpointError(f"the converted module at {path}: {what} must be a one-dimensional integer tensor")
    return tensor.tolist()


# --- checking an entry read from a file ---------------------------------------------------


def _is_int(value, least=None):
    return isinstance(value, int) and not isinstance(value, bool) and (least is None or value >= least)


def _is_shape(value):
    return isinstance(value, list) and all(_is_int(n, 0) for n in value)


def _is_tensor_shape(value):
    return (isinstance(value, list) and len(value) == 2 and _is_shape(value[0]) and value[1] in DTYPES)


def entry_problem(entry):
    """What is wrong with a config entry, or None."""
    if not isinstance(entry, dict):
        return "an entry of \"modules\" is not an object"
    checks = {
        "paths": lambda v: isinstance(v, list) and v and all(isinstance(p, str) and p for p in v),
        "layer": lambda v: isinstance(v, str),
        "dendrites": lambda v: _is_int(v, 0),
        "layer_tensors": lambda v: isinstance(v, dict) and all(_is_tensor_shape(s) for s in v.values()),
        "processors": lambda v: (isinstance(v, list) and len(v) == entry.get("dendrites", -2) + 1
                                 and all(p is None or p in PROCESSORS for p in v)),
        "skip_weights": lambda v: v is None or (isinstance(v, list) and len(v) == entry.get("dendrites")
                                                and v and all(_is_shape(s) for s in v)),
        "node_index": _is_int,
        "num_cycles": lambda v: v is None or _is_int(v),
        "view_tuple": lambda v: isinstance(v, list) and all(_is_int(n) for n in v),
    }
    for key, valid in checks.items():
        if key not in entry or not valid(entry[key]):
            return f"the entry for {entry.get('paths', '?')} has no valid {key!r}"
    unknown = set(entry) - set(checks)
    return f"the entry for {entry['paths']} has unknown keys {sorted(unknown)}" if unknown else None


def entry_tensor_names(entry):
    """{state_dict name below the entry's first path: (shape, dtype name or None)}: what
    the checkpoint must hold for it (the buffers' dtypes are the checkpoint's own)."""
    prefix = entry["paths"][0] + "."
    names = {}
    for index in range(entry["dendrites"] + 1):
        for name, (shape, dtype) in entry["layer_tensors"].items():
            names[f"{prefix}layer_array.{index}.{name}"] = (shape, dtype)
    for index, shape in enumerate(entry["skip_weights"] or []):
        names[f"{prefix}skip_weights.{index}"] = (shape, None)
    names[f"{prefix}node_index"] = ([], None)
    if entry["num_cycles"] is not None:
        names[f"{prefix}num_cycles"] = ([], None)
    names[f"{prefix}view_tuple"] = ([len(entry["view_tuple"])], None)
    return names


def buffer_values(entry):
    """{name below the first path: the value the config gives that buffer}."""
    prefix = entry["paths"][0] + "."
    values = {f"{prefix}node_index": entry["node_index"], f"{prefix}view_tuple": entry["view_tuple"]}
    if entry["num_cycles"] is not None:
        values[f"{prefix}num_cycles"] = entry["num_cycles"]
    return values


# --- building a clean module again (loading) ----------------------------------------------


def _processors(entry):
    made = []
    last = len(entry["processors"]) - 1
    for index, name in enumerate(entry["processors"]):
        processor = None if name is None else PROCESSORS[name]()
        if processor is not None:
            processor.pre, processor.post = _role_functions(processor, index == last)
        made.append(processor)
    return made


def same_module(entry, other):
    """Whether two entries describe the same module apart from where it sits."""
    return {k: v for k, v in entry.items() if k != "paths"} == {k: v for k, v in other.items() if k != "paths"}


def _tensor(earlier, name, make, same):
    """The earlier block's tensor `name` where the checkpoint holds one tensor for both
    positions, else a new one from `make()`."""
    if earlier is None or not same(name):
        return make()
    if name.startswith("skip_weights."):
        return earlier.skip_weights[int(name.split(".")[1]) + 1]
    return getattr(earlier, name)


def _fresh(tensor, value):
    """What ``copy.deepcopy`` makes of `tensor`, a parameter or a plain buffer that owns
    its memory, holding `value()` instead of a copy of its data; None where deepcopy
    would keep more than that (strides, a storage shared or larger than the tensor,
    attributes, a subclass with a copy of its own)."""
    if tensor.layout != torch.strided or not tensor.is_contiguous():
        return None
    if isinstance(tensor, nn.Parameter):
        if type(tensor).__deepcopy__ is not nn.Parameter.__deepcopy__:
            return None
        return type(tensor)(value(), tensor.requires_grad)
    if (type(tensor) is not torch.Tensor or tensor.requires_grad or tensor.grad is not None or vars(tensor)
            or tensor.storage_offset() or tensor.untyped_storage().nbytes() != tensor.numel() * tensor.element_size()):
        return None
    return value()


def _dendrite(index, entry, layer, earlier, same, value_of, filled):
    """Dendrite layer `index`: a deep copy of `layer` whose tensors are read from the
    checkpoint as they are made, not copied from `layer` and then overwritten."""
    if earlier is not None and all(same(f"layer_array.{index}.{n}") for n in entry["layer_tensors"]):
        return earlier.layer_array[index]
    memo, owners = {}, {}
    for name, tensor in layer.state_dict(keep_vars=True).items():
        owners.setdefault(id(tensor), (name, tensor))
    for name, tensor in owners.values():
        # A tensor sharing its storage with another one of the layer keeps that sharing
        # through deepcopy's own copy.
        if tensor.device.type != "meta" and sum(t.untyped_storage().data_ptr() == tensor.untyped_storage().data_ptr()
                                                for _, t in owners.values()) > 1:
            continue
        made = _fresh(tensor, lambda name=name: value_of(f"layer_array.{index}.{name}"))
        if made is not None:
            memo[id(tensor)] = made
            filled.add(id(made))
    return copy.deepcopy(layer, memo)


def build_block(entry, layer, dtype_of, value_of, device, filled, earlier=None, same=None):
    """The parts of a clean module around the plain `layer`, as `entry` describes them,
    in the form the clean module's constructor reads (a block layer's members):
    dendrite layers that are copies of `layer`'s architecture, new skip weights and
    buffers, on `device`; `dtype_of(name)` gives a tensor's dtype in the checkpoint and
    `value_of(name)` a new tensor on `device` holding its saved value (names below the
    entry's first path). The ids of the tensors made with their saved values are added
    to `filled`; the others' values are loaded afterwards. `layer` itself is not changed.

    Where the conversion met one trained wrapper at several positions, their clean
    modules hold the same layers, processors and some of the same tensors: for a later
    position of `layer`, `earlier` is the block of its first position and
    `same(name)` tells whether the checkpoint holds one tensor for both under that
    name (below each position); those parts are taken from `earlier`."""
    prefix = entry["paths"][0] + "."

    def new(name, value):
        return lambda: torch.tensor(value, dtype=dtype_of(prefix + name), device=device)

    def skip(index):
        def make():
            weight = nn.Parameter(value_of(f"skip_weights.{index}"))
            filled.add(id(weight))
            return weight
        return make

    block = types.SimpleNamespace(
        layer_array=nn.Sequential(*[_dendrite(i, entry, layer, earlier, same, value_of, filled)
                                    for i in range(entry["dendrites"])], layer),
        processor_array=list(earlier.processor_array) if earlier is not None else _processors(entry),
        node_index=new("node_index", entry["node_index"])(),
        num_cycles=None if entry["num_cycles"] is None else _tensor(
            earlier, "num_cycles", new("num_cycles", entry["num_cycles"]), same),
        view_tuple=_tensor(earlier, "view_tuple", new("view_tuple", entry["view_tuple"]), same))
    if entry["skip_weights"] is not None:
        # The clean module keeps every entry but the first, which belongs to a layer
        # without predecessors.
        block.skip_weights = nn.ParameterList([nn.Parameter(torch.empty(0))] + [
            _tensor(earlier, f"skip_weights.{i}", skip(i), same) for i in range(len(entry["skip_weights"]))])
    return block
