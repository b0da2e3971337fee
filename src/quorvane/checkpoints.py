"""Converted checkpoints kept the way the ecosystem keeps adapted models: safetensors
weights and a small JSON config, loaded onto the plain architecture.

    quorvane.save(net, "converted")          # net: a converted network (quorvane.convert)
    base = build_plain_network()             # the architecture as built before wrap_layers
    net = quorvane.load(base, "converted")   # base, now converted, with the saved weights

``save`` writes ``quorvane_config.json`` and ``quorvane_model.safetensors`` into the
directory, both or neither. ``load`` reads JSON and safetensors only (nothing is
unpickled), checks everything against the base network before changing it, and either
converts and loads it completely or raises ``CheckpointError`` and leaves it as it was.
"""

from __future__ import annotations

import os
import signal
import threading
from dataclasses import dataclass

import torch
import torch.nn as nn

from quorvane import checkpoint_layout as layout
from quorvane import modules_quorvane as ZR
from quorvane import utils_quorvane as UZR
from quorvane import checkpoint_files
from quorvane.checkpoint_files import (CONFIG_NAME, FORMAT, FORMAT_VERSION, INDEX_NAME, SHARD_NAME,
                                       SHARDED_FORMAT_VERSION, WEIGHTS_NAME, CheckpointError, open_weights,
                                       read_config, write_config, write_weights)
from quorvane.files import write_all_or_nothing
from quorvane.tensor_files import CODES
from quorvane.module_tree import find_cycle, module_positions, nesting_depth

__all__ = ["save", "load", "prepare", "write", "CheckpointError", "CONFIG_NAME", "WEIGHTS_NAME"]


def _alias_key(tensor):
    """Equal keys: one tensor under several names (the same memory, viewed the same way)."""
    if tensor.numel() == 0:
        return ("empty", id(tensor))
    return (str(tensor.device), tensor.untyped_storage().data_ptr(), tensor.storage_offset(),
            tuple(tensor.shape), tuple(tensor.stride()), tensor.dtype)


def _groups(state):
    """{alias key: the names sharing that tensor, in state_dict order}."""
    groups = {}
    for name, tensor in state.items():
        groups.setdefault(_alias_key(tensor), []).append(name)
    return groups


def _leftover(module):
    """The kind of a module that a plain or a fully converted network must not hold."""
    from quorvane import marlune

    if isinstance(module, ZR.ZORNeuronModule):
        return type(module).__name__
    if type(module).__name__ == "ZORLayer":
        return "ZORLayer"
    return "ZORModulePyThread" if type(module) is marlune.ZORModulePyThread else None


def _checked_network(net, role):
    if not isinstance(net, nn.Module):
        raise TypeError(f"{role} must be a torch.nn.Module, not {type(net).__name__}")
    cycle = find_cycle(net)
    if cycle is not None:
        raise CheckpointError(f"{role}'s module graph has a cycle: {cycle[0]} is "
                              f"{('the module at ' + cycle[1]) if cycle[1] else 'the network itself'}")


# --- saving -----------------------------------------------------------------------------


@dataclass(frozen=True)
class Prepared:
    """A converted network's checkpoint, checked and ready to be written."""

    config: dict
    tensors: dict


def _clean_positions(net):
    """[(clean module, [paths])] of `net`, each module once, in the order met; refuses
    trained wrappers and blocks left over, a converted root and nested clean modules."""
    from quorvane import marlune

    if _leftover(net):
        raise CheckpointError(f"the network itself is a {_leftover(net)}: put it inside a container to save it")
    cleans, inside = {}, {}
    for parent, _, path, module in module_positions(net):
        inside.setdefault(id(module), inside.get(id(parent), False) or type(parent) is marlune.ZORModulePyThread)
        kind = _leftover(module)
        if kind and kind != "ZORModulePyThread":
            raise CheckpointError(f"the network still holds a {kind} at {path}: convert it first (quorvane.convert)")
        if kind and inside[id(module)]:
            raise CheckpointError(f"the converted module at {path}: a ZORModulePyThread inside another one cannot be saved")
        if kind:
            cleans.setdefault(id(module), (module, []))[1].append(path)
    if not cleans:
        raise CheckpointError("the network holds no converted modules (ZORModulePyThread): convert it first "
                              "with quorvane.convert")
    return list(cleans.values())


def _tensors_to_save(state):
    """(tensors, shared): each tensor once, under its first name, and {other name: that
    name}. Tensors that overlap another one's memory without being it are saved as
    copies, as are non-contiguous ones: safetensors stores plain, separate tensors."""
    tensors, shared, storages = {}, {}, {}
    groups = _groups(state)
    for key in groups:
        if key[0] != "empty":
            storages[key[:2]] = storages.get(key[:2], 0) + 1
    for key, names in groups.items():
        tensor = state[names[0]].detach()
        if tensor.layout != torch.strided or tensor.device.type == "meta":
            raise CheckpointError(f"{names[0]} is a {tensor.layout} tensor on {tensor.device}, which a "
                                  "safetensors checkpoint cannot hold")
        if tensor.dtype not in CODES:
            raise CheckpointError(f"{names[0]} is a {tensor.dtype} tensor, a dtype a safetensors checkpoint cannot "
                                  "hold")
        copied = key[0] != "empty" and (storages[key[:2]] > 1 or not tensor.is_contiguous())
        tensors[names[0]] = tensor.clone(memory_format=torch.contiguous_format) if copied else tensor
        shared.update((name, names[0]) for name in names[1:])
    return tensors, shared


def _check_memory(name, tensor):
    """Refuses a tensor whose memory cannot be read as plain bytes: a wrapper subclass
    (quantized weights, say) keeps its data in inner tensors and has no storage of its own."""
    if tensor.numel() == 0 or tensor.device.type == "meta":
        return
    try:
        tensor.untyped_storage().data_ptr()
    except (RuntimeError, NotImplementedError, TypeError) as e:
        reason = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise CheckpointError(f"the state_dict entry {name} is a {type(tensor).__name__}, a tensor subclass whose "
                              f"memory cannot be read as plain bytes ({reason}), which a safetensors checkpoint "
                              "cannot hold: turn it into a plain tensor first") from None


def prepare(net: nn.Module) -> Prepared:
    """Checks that the converted network `net` can be saved and describes it; raises
    ``CheckpointError`` naming the position and the reason where it cannot."""
    from quorvane import __version__
    from quorvane.conversion import recursion_room

    _checked_network(net, "net")
    with recursion_room(nesting_depth(net)):
        entries = [layout.describe(module, paths) for module, paths in _clean_positions(net)]
        state = net.state_dict(keep_vars=True)
    for name, value in state.items():
        if not isinstance(value, torch.Tensor):
            raise CheckpointError(f"the state_dict entry {name} is a {type(value).__name__}, which a safetensors "
                                  "checkpoint cannot hold")
        _check_memory(name, value)
    tensors, shared = _tensors_to_save(state)
    config = {"format": FORMAT, "format_version": FORMAT_VERSION, "quorvane_version": __version__,
              "modules": entries, "shared": shared}
    return Prepared(config, tensors)


def write(prepared: Prepared, directory, *, max_shard_size="5GB") -> list:
    """Writes a prepared checkpoint into `directory` (made if missing): every file, or
    on any failure none changes (see ``save``). Returns the paths written: the weights
    files, the shard index if sharded, the config last."""
    max_bytes = checkpoint_files.parse_shard_size(max_shard_size)
    directory = os.fspath(directory)
    checkpoint_files.remove_dead_temporaries(directory)
    groups = checkpoint_files.shards(prepared.tensors, max_bytes)
    sharded = len(groups) > 1
    config = dict(prepared.config, format_version=SHARDED_FORMAT_VERSION) if sharded else prepared.config
    names = [SHARD_NAME.format(n, len(groups)) for n in range(1, len(groups) + 1)] if sharded else [WEIGHTS_NAME]
    entries = {}  # {file name: its entry in the config}, as each is written

    def weights(name, group):
        def write_file(path):
            size, sha256 = write_weights(path, group, config)
            entries[name] = {"file": name, "bytes": size, "sha256": sha256}
        return write_file

    def index(path):
        entries[INDEX_NAME] = checkpoint_files.write_index(path, names, groups)

    def config_file(path):
        files = [entries[name] for name in names]
        write_config(path, config, {"index": entries[INDEX_NAME], "files": files} if sharded else files[0])
    items = [(weights(name, group), os.path.join(directory, name)) for name, group in zip(names, groups)]
    items += [(index, os.path.join(directory, INDEX_NAME))] if sharded else []
    items.append((config_file, os.path.join(directory, CONFIG_NAME)))
    write_all_or_nothing(items)
    checkpoint_files.remove_unused(directory, {*names, INDEX_NAME} if sharded else set(names))
    return [path for _, path in items]


def save(net: nn.Module, directory, *, max_shard_size="5GB") -> None:
    """Saves the converted network `net` into `directory`: its weights as safetensors (a
    tensor shared under several names stored once) and a JSON config
    (``quorvane_config.json``) naming each converted position, its dendrite count, its
    layers' class and tensor shapes, its processors, view shape, neuron index and cycle
    count. Every file is written, or none changes; each gets the mode the umask gives a
    new file (0644 under umask 022).

    Weights that fit in `max_shard_size` (an int of bytes, or a string such as ``"5GB"``,
    ``"500MB"``, ``"2GiB"``: decimal GB/MB/KB, binary GiB/MiB/KiB) go into one file,
    ``quorvane_model.safetensors``; larger ones into shards
    ``quorvane_model-00001-of-0000N.safetensors`` ... with an index
    ``quorvane_model.safetensors.index.json`` mapping each tensor to its shard, as
    transformers writes them (a tensor larger than `max_shard_size` gets a shard of its
    own). Files an earlier save into `directory` left that this one does not use are
    removed once the new ones are in place, as are temporary files of saves that were
    killed. See ``quorvane.checkpoint_files`` for the layout.

    Raises ``ValueError`` for a bad `max_shard_size`, ``OSError`` naming the file for a
    full disk or a directory that cannot be written, and ``CheckpointError`` for a
    network that still holds trained wrappers or blocks, holds no converted module, or
    holds what the config cannot name (a processor that is not one of the package's own,
    a dendrite layer that is not a copy of its main layer's architecture, a non-tensor
    state, a tensor subclass whose memory is not plain bytes, a dtype safetensors lacks)."""
    checkpoint_files.parse_shard_size(max_shard_size)
    write(prepare(net), directory, max_shard_size=max_shard_size)


# --- loading ----------------------------------------------------------------------------


def _target_device(device):
    """`device` as a torch.device that can hold tensors here, or None."""
    if device is None:
        return None
    try:
        device = torch.device(device)
    except (RuntimeError, TypeError) as e:
        raise CheckpointError(f"device={device!r} is not a torch device: {e}") from None
    if device.type == "meta":
        raise CheckpointError("device='meta' cannot hold the checkpoint's values: name the device to load onto "
                              "(\"cpu\", \"cuda:0\", ...)")
    try:
        # Also names the device as its tensors report it ("cuda" becomes "cuda:0").
        return torch.empty(0, device=device).device
    except Exception as e:  # noqa: BLE001 - torch says "not available" in several exception types
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise CheckpointError(f"device {device} is not available here ({reason})") from None


def _tie_key(tensor):
    """Equal keys: one tensor under several names. Where memory says nothing (a meta
    tensor reports address 0, a tensor subclass may have no storage to ask), only the
    object itself counts."""
    if tensor.device.type != "meta":
        try:
            return _alias_key(tensor)
        except (RuntimeError, NotImplementedError):
            pass
    return ("object", id(tensor))


def _check_entries(config, weights):
    """The config's entries, each checked against the tensors it needs."""
    entries, shared, names = config.get("modules"), config.get("shared"), set(weights.names())
    if not (isinstance(entries, list) and entries and isinstance(shared, dict)
            and all(isinstance(k, str) and v in names for k, v in shared.items())):
        raise CheckpointError(f"{CONFIG_NAME} has no valid \"modules\" and \"shared\" entries")
    seen = set()
    for entry in entries:
        problem = layout.entry_problem(entry)
        if problem or seen & set(entry["paths"]):
            raise CheckpointError(f"{CONFIG_NAME}: {problem or 'a path is listed twice'}")
        seen |= set(entry["paths"])
        for name, (shape, dtype) in layout.entry_tensor_names(entry).items():
            saved = shared.get(name, name)
            if (saved not in names or list(weights.shape(saved)) != shape
                    or (dtype and str(weights.dtype(saved)) != f"torch.{dtype}")):
                raise CheckpointError(f"the weights do not hold {name} as {CONFIG_NAME} describes it")
        for name, value in layout.buffer_values(entry).items():
            if weights.read(shared.get(name, name)).tolist() != value:
                raise CheckpointError(f"the weights' {name} differs from {CONFIG_NAME}")
    return entries


def _check_no_meta_outside_state(base_net):
    """Refuses a meta tensor the checkpoint cannot give a value: one outside the state_dict."""
    in_state = {id(t) for t in base_net.state_dict(keep_vars=True).values()}
    for path, module in base_net.named_modules(remove_duplicate=False):
        members = [*module._parameters.items(), *module._buffers.items(),
                   *((k, v) for k, v in vars(module).items() if isinstance(v, torch.Tensor))]
        for key, tensor in members:
            if tensor is not None and tensor.device.type == "meta" and id(tensor) not in in_state:
                what = ("a non-persistent buffer" if key in module._non_persistent_buffers_set else
                        "a parameter its state_dict leaves out" if key in module._parameters else
                        "a buffer its state_dict leaves out" if key in module._buffers else "a plain attribute")
                raise CheckpointError(
                    f"base_net's {path + '.' if path else ''}{key} is a meta tensor outside its state_dict ({what}), "
                    "so the checkpoint holds no value for it: give it its value before loading (build that module "
                    "off the meta device, or assign it a real tensor)")


@dataclass
class _Position:
    entry: dict
    layer: nn.Module
    places: list  # [(parent, name)]
    clean: nn.Module = None


def _places(base_net):
    places = {}
    for parent, name, path, module in module_positions(base_net):
        if _leftover(module):
            raise CheckpointError(f"base_net already holds a {_leftover(module)} at {path}: quorvane.load needs "
                                  "the plain architecture, as built before wrap_layers")
        places[path] = (parent, name, module)
    if _leftover(base_net):
        raise CheckpointError(f"base_net is a {_leftover(base_net)}: quorvane.load needs the plain architecture")
    return places


def _layer_difference(layer, entry, path):
    """What differs between base_net's layer at `path` and the checkpoint's, or None."""
    shapes, saved = layout.tensor_shapes(layer, f"base_net's {path}"), entry["layer_tensors"]
    for name in sorted(set(shapes) | set(saved)):
        mine, theirs = shapes.get(name), saved.get(name)
        if mine and theirs and mine[0] == theirs[0] and mine[1] != theirs[1]:
            return (f"base_net's {path}.{name} is {mine[1]}, the checkpoint's {theirs[1]} (convert base_net first, "
                    f"e.g. base_net.to(torch.{theirs[1]}))")
        if mine != theirs:
            return (f"base_net's {path}.{name} is {_described(mine)}, the checkpoint's {_described(theirs)}: is "
                    "base_net built with the configuration the checkpoint was saved from?")
    return None


def _described(shape_and_dtype):
    return "missing" if shape_and_dtype is None else f"{shape_and_dtype[1]} of shape {tuple(shape_and_dtype[0])}"


def _position(entry, places):
    """Where `entry` goes in the base network, checked."""
    missing = [path for path in entry["paths"] if path not in places]
    if missing:
        raise CheckpointError(f"the checkpoint converts the layer at {missing[0]}, which base_net does not have: "
                              "is base_net the architecture the checkpoint was saved from?")
    layers = {id(places[path][2]): places[path][2] for path in entry["paths"]}
    path = entry["paths"][0]
    if len(layers) > 1:
        raise CheckpointError(f"the checkpoint holds one converted module at {', '.join(entry['paths'])}; base_net "
                              "holds different layers there (it must be one layer registered at each)")
    layer = next(iter(layers.values()))
    if layout.class_name(type(layer)) != entry["layer"]:
        raise CheckpointError(f"base_net's {path} is a {layout.class_name(type(layer))}; the checkpoint's main layer "
                              f"there is a {entry['layer']}")
    difference = _layer_difference(layer, entry, path)
    if difference:
        raise CheckpointError(difference)
    return _Position(entry, layer, [places[p][:2] for p in entry["paths"]])


def _layer_device(layer, device):
    """Where the tensors load makes for `layer` go: `device`, else the layer's own (the
    CPU for a layer on the meta device)."""
    if device is not None:
        return device
    for tensor in (*layer.parameters(), *layer.buffers()):
        return torch.device("cpu") if tensor.device.type == "meta" else tensor.device
    return torch.device("cpu")


def _block(position, blocks, weights, shared, device, filled):
    """The parts of `position`'s clean module (see ``checkpoint_layout.build_block``):
    for a later position of a layer, built from the first position's block."""
    first = blocks.get(id(position.layer))
    entry, path = position.entry, position.entry["paths"][0]
    if first is not None and not layout.same_module(first[0], entry):
        raise CheckpointError(f"base_net's layer at {path} is also at {first[0]['paths'][0]}, which the checkpoint "
                              "converts differently")
    earlier_prefix = first[0]["paths"][0] + "." if first else ""
    where = _layer_device(position.layer, device)

    def same(name):
        return shared.get(f"{path}.{name}", f"{path}.{name}") == shared.get(earlier_prefix + name, earlier_prefix + name)

    def value_of(name):
        return weights.read(shared.get(f"{path}.{name}", f"{path}.{name}"), where)
    try:
        block = layout.build_block(entry, position.layer, lambda name: weights.dtype(shared.get(name, name)), value_of,
                                   where, filled, first[1] if first else None, same)
    except CheckpointError:
        raise
    except Exception as e:
        raise CheckpointError(f"cannot build the converted module at {path} around base_net's layer: "
                              f"{type(e).__name__}: {e}") from e
    blocks.setdefault(id(position.layer), (entry, block))
    return block


def _plan(base_net, entries, weights, shared, device):
    """Every position checked and its clean module built, without changing base_net;
    returns the positions and the ids of the tensors built with their saved values."""
    from quorvane import marlune

    places, blocks, filled = _places(base_net), {}, set()
    positions = [_position(entry, places) for entry in entries]
    for position in positions:
        position.clean = marlune.ZORModulePyThread(_block(position, blocks, weights, shared, device, filled))
    return positions, filled


def _name_difference(target, wanted):
    lacking = [name for name in target if name not in wanted]
    extra = [name for name in wanted if name not in target]
    parts = []
    if lacking:
        parts.append(f"base_net has {len(lacking)} tensors the checkpoint lacks ({', '.join(lacking[:4])}"
                     f"{', ...' if len(lacking) > 4 else ''})")
    if extra:
        parts.append(f"the checkpoint has {len(extra)} tensors base_net lacks ({', '.join(extra[:4])}"
                     f"{', ...' if len(extra) > 4 else ''})")
    return "; ".join(parts) + ": is base_net the architecture the checkpoint was saved from?" if parts else None


def _check_target(target, shared, weights):
    difference = _name_difference(target, set(weights.names()) | set(shared))
    if difference:
        raise CheckpointError(difference)
    for name, tensor in target.items():
        saved = shared.get(name, name)
        if not isinstance(tensor, torch.Tensor):
            raise CheckpointError(f"base_net's state_dict holds a {type(tensor).__name__} under {name}")
        shape, dtype = tuple(weights.shape(saved)), weights.dtype(saved)
        if tuple(tensor.shape) != shape:
            raise CheckpointError(f"{name}: the checkpoint's tensor has shape {shape}, base_net's "
                                  f"{tuple(tensor.shape)}: is base_net built with the configuration it was saved from?")
        if tensor.dtype != dtype:
            raise CheckpointError(f"{name}: the checkpoint holds {dtype}, base_net {tensor.dtype} (convert "
                                  f"base_net first, e.g. base_net.to({dtype}))")
    _check_ties(target, shared)


def _check_ties(target, shared):
    """The same names share one tensor in base_net as in the saved network."""
    groups = {}
    for name, tensor in target.items():
        groups.setdefault(_tie_key(tensor), []).append(name)
    for names in groups.values():
        saved = {shared.get(name, name) for name in names}
        if len(saved) > 1:
            raise CheckpointError(f"base_net shares one tensor between {names[0]} and {names[1]}, which the "
                                  "checkpoint holds as separate tensors")
    saved_groups = {}
    for name in target:
        saved_groups.setdefault(shared.get(name, name), []).append(name)
    for names in saved_groups.values():
        if len({_tie_key(target[name]) for name in names}) > 1:
            raise CheckpointError(f"the checkpoint shares one tensor between {names[0]} and {names[1]}; base_net "
                                  "holds separate tensors there (tie them as in the saved network)")


def _new_tensors(positions):
    """Ids of the tensors load made (dendrite layers, skip weights, buffers): nothing of
    base_net's own to put back if loading fails."""
    made = set()
    for position in positions:
        clean = position.clean
        made |= {id(t) for layer in list(clean.layer_array)[:-1] for t in (*layer.parameters(), *layer.buffers())}
        made |= {id(t) for t in clean.parameters(recurse=False)} | {id(t) for t in clean.buffers(recurse=False)}
        if hasattr(clean, "skip_weights"):
            made |= {id(t) for t in clean.skip_weights.parameters()}
    return made


@dataclass
class _Values:
    """What loading changes in base_net's tensors, every value already read."""

    copied: list  # [(base_net's tensor, its new value)]: same shape, dtype and device
    replaced: list  # [(tensor, the tensor taking its place wherever it is registered)]
    moved: list  # [(parameter, its new data, its gradient there or None)]


def _materialised(meta, value):
    """The tensor standing for `meta` from now on, holding `value`: a parameter stays one
    (of its class, requires_grad kept), and its strides and the attributes set on it stay."""
    if not meta.is_contiguous():
        value = torch.empty_strided(meta.shape, meta.stride(), dtype=value.dtype, device=value.device).copy_(value)
    new = type(meta)(value, meta.requires_grad) if isinstance(meta, nn.Parameter) else value
    new.__dict__.update(vars(meta))
    return new


def _read_values(net, target, shared, weights, made, filled, device):
    """Reads every value `net` (base_net with its clean modules in place) needs into new
    tensors, one read per tensor straight from the file; nothing of base_net changes."""
    values, seen, copied = _Values([], [], []), set(), set()
    with torch.no_grad():
        for name, tensor in target.items():
            if id(tensor) in seen or id(tensor) in filled:
                continue
            seen.add(id(tensor))
            saved = shared.get(name, name)
            if tensor.device.type == "meta":
                where = torch.device("cpu") if device is None else device
                values.replaced.append((tensor, _materialised(tensor, weights.read(saved, where))))
            elif id(tensor) in made:
                tensor.copy_(weights.read(saved, tensor.device))
            elif device is None or device == tensor.device:
                if _tie_key(tensor) not in copied:  # one copy into memory several tensors view
                    copied.add(_tie_key(tensor))
                    values.copied.append((tensor, weights.read(saved, tensor.device)))
            else:
                _move(tensor, weights.read(saved, device), values)
        if device is not None:
            # As module.to moves them: what the state_dict leaves out (a non-persistent
            # buffer) goes to the device too.
            in_state = {id(t) for t in target.values()}
            for module in net.modules():
                for tensor in (*module._parameters.values(), *module._buffers.values()):
                    if tensor is not None and id(tensor) not in in_state and tensor.device != device:
                        in_state.add(id(tensor))
                        _move(tensor, tensor.detach().to(device), values)
    return values


def _move(tensor, value, values):
    if isinstance(tensor, nn.Parameter):
        grad = None if tensor.grad is None else tensor.grad.to(value.device)
        values.moved.append((tensor, value, grad))
    else:
        values.replaced.append((tensor, value))


def _hold_interrupts():
    """Holds Ctrl-C (SIGINT) back from now on. Returns the function that ends the hold,
    which returns a function delivering a SIGINT that came meanwhile (to the handler set
    before), or None."""
    if threading.current_thread() is not threading.main_thread():
        return lambda: None  # Python runs signal handlers in the main thread only
    previous, received = signal.getsignal(signal.SIGINT), []
    if previous is None:  # a handler not set from Python, which could not be put back
        return lambda: None
    try:
        signal.signal(signal.SIGINT, lambda number, frame: received.append(number))
    except ValueError:  # not the main interpreter
        return lambda: None

    def end():
        signal.signal(signal.SIGINT, previous)
        return (lambda: signal.raise_signal(signal.SIGINT)) if received else None
    return end


def _commit(values, registered):
    """Gives base_net the values read; returns a function delivering an interrupt held
    meanwhile, or None.

    Copying a value into a tensor of its shape, dtype and device cannot fail, so the
    only thing that can stop the copies half-way is an interrupt: Ctrl-C is held back
    until the last copy is done (milliseconds per GB, against the minutes a read can
    take, which stays interruptible) and delivered once base_net is the loaded network.
    That keeps the all-or-nothing promise without a backup of the model or a second
    pass over its bytes. What else could stop them (an exception sent to this thread
    from another) is reported as leaving base_net partly loaded."""
    undo, done, end_hold = [], 0, _hold_interrupts()
    try:
        with torch.no_grad():
            for old, new in values.replaced:
                # Through the module's own attribute setting, which modules that keep
                # lists of their weights (torch's RNNs) hook to refresh them.
                for module, key in registered.get(id(old), ()):
                    undo.append(lambda module=module, key=key, old=old: setattr(module, key, old))
                    setattr(module, key, new)
            for parameter, data, grad in values.moved:
                old_data, old_grad = parameter.data, parameter.grad
                undo.append(lambda p=parameter, d=old_data, g=old_grad: (setattr(p, "data", d), setattr(p, "grad", g)))
                parameter.data = data
                parameter.grad = grad
            for index, (tensor, value) in enumerate(values.copied):
                tensor.copy_(value)
                values.copied[index] = (tensor, None)  # its memory goes back now
                done += 1
    except BaseException as e:
        with torch.no_grad():
            for step in reversed(undo):
                step()
        if not done:
            raise
        message = (f"loading stopped after {done} of base_net's {len(values.copied)} tensors took their saved values "
                   f"({type(e).__name__}: {e}): base_net holds some saved values and some of its own; build it "
                   "again to load it")
        if not isinstance(e, Exception):
            if hasattr(e, "add_note"):
                e.add_note(message)
            raise
        raise RuntimeError(message) from e
    finally:
        deliver = end_hold()
    return deliver


def _registrations(net):
    """{id(tensor): [(module registering it, name)]} over every module of `net`."""
    registered = {}
    for module in net.modules():
        for key, tensor in (*module._parameters.items(), *module._buffers.items()):
            if tensor is not None:
                registered.setdefault(id(tensor), []).append((module, key))
    return registered


def _install(base_net, positions, filled, shared, weights, device):
    """Puts each clean module in its places and loads every value; on any failure
    base_net is put back as it was."""
    undo, fused_path = [], []
    try:
        for position in positions:
            for parent, name in position.places:
                undo.append((parent, name, parent._modules[name]))
                setattr(parent, name, position.clean)
            fused_path.append(UZR.keep_fused_path_off(position.layer, position.places))
        target = base_net.state_dict(keep_vars=True)
        _check_target(target, shared, weights)
        values = _read_values(base_net, target, shared, weights, _new_tensors(positions), filled, device)
        return _commit(values, _registrations(base_net))
    except BaseException:
        for parent, name, old in reversed(undo):
            setattr(parent, name, old)
        for put_back in fused_path:
            put_back()
        raise


def load(base_net: nn.Module, directory, *, device=None) -> nn.Module:
    """Turns `base_net`, the plain architecture (as built before ``wrap_layers``), into
    the converted network saved in `directory` by ``quorvane.save``, in place, and
    returns it: each saved position's layer becomes the main layer of a
    ``ZORModulePyThread`` whose dendrite layers are copies of its architecture, and every
    tensor gets its saved value, read from the file once.

    `base_net` may be built on the meta device (``with torch.device("meta"):``): each
    of its meta tensors is then made from the file, a new parameter for each parameter
    (names tied to one stay tied; ``requires_grad`` kept), installed wherever it was
    registered. A materialised base keeps its parameters and their memory and takes the
    values in place. `device`: where every tensor of the loaded network goes (a meta
    base's are made there; a base elsewhere moves as ``module.to`` moves it); None:
    a meta base's tensors go to the CPU and a materialised base stays where it is.

    Reads JSON and safetensors only. Everything is checked before `base_net` changes:
    the files belong together and are complete, every position exists with the saved
    class and shapes, every tensor name, shape and dtype fits, names that shared one
    tensor still do, every meta tensor can be given a value and the device is there.
    Any mismatch raises ``CheckpointError`` (``TypeError`` for a `base_net` that is not
    a module), and `base_net` is left as it was (a meta base still on the meta device),
    as it is on any failure while reading."""
    from quorvane.conversion import recursion_room

    _checked_network(base_net, "base_net")
    device = _target_device(device)
    directory = os.fspath(directory)
    config = read_config(directory)
    with open_weights(directory, config) as weights:
        entries = _check_entries(config, weights)
        with recursion_room(nesting_depth(base_net)):
            _check_no_meta_outside_state(base_net)
            positions, filled = _plan(base_net, entries, weights, config["shared"], device)
            deliver_interrupt = _install(base_net, positions, filled, config["shared"], weights, device)
    if deliver_interrupt:
        deliver_interrupt()
    return base_net
