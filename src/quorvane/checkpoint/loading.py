"""quorvane.load: the plain architecture turned into the converted network a checkpoint
holds, every tensor read once from the checked files."""

from __future__ import annotations

import os
import signal
import threading
from dataclasses import dataclass

import torch
import torch.nn as nn

from quorvane import utils_quorvane as UZR
from quorvane.checkpoint import layout
from quorvane.checkpoint.files import CONFIG_NAME, CheckpointError, open_weights, read_config
from quorvane.checkpoint.networks import alias_key, checked_network, leftover_kind
from quorvane.module_tree import module_positions, nesting_depth


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
            return alias_key(tensor)
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
        if leftover_kind(module):
            raise CheckpointError(f"base_net already holds a {leftover_kind(module)} at {path}: quorvane.load needs "
                                  "the plain architecture, as built before wrap_layers")
        places[path] = (parent, name, module)
    if leftover_kind(base_net):
        raise CheckpointError(f"base_net is a {leftover_kind(base_net)}: quorvane.load needs the plain architecture")
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
    """The parts of `position`'s clean module (see ``layout.build_block``):
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
        weights.check_digests()  # every value was read into new tensors: none counts before this
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

    checked_network(base_net, "base_net")
    device = _target_device(device)
    directory = os.fspath(directory)
    config = read_config(directory)
    with open_weights(directory, config, digests_while_reading=True) as weights:
        try:
            entries = _check_entries(config, weights)
            with recursion_room(nesting_depth(base_net)):
                _check_no_meta_outside_state(base_net)
                positions, filled = _plan(base_net, entries, weights, config["shared"], device)
                deliver_interrupt = _install(base_net, positions, filled, config["shared"], weights, device)
        except CheckpointError:
            weights.check_digests()  # a file that is not the one saved explains whatever else was found
            raise
    if deliver_interrupt:
        deliver_interrupt()
    return base_net
