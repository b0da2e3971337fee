"""quorvane.save: a converted network checked, described and written as a checkpoint."""

from __future__ import annotations

import os
from dataclasses import dataclass

import torch
import torch.nn as nn

from quorvane.checkpoint import files as checkpoint_files
from quorvane.checkpoint import layout
from quorvane.checkpoint.files import (CONFIG_NAME, FORMAT, FORMAT_VERSION, INDEX_NAME, SHARD_NAME,
                                       SHARDED_FORMAT_VERSION, WEIGHTS_NAME, CheckpointError, write_config,
                                       write_weights)
from quorvane.checkpoint.networks import checked_network, leftover_kind, sharing_groups
from quorvane.checkpoint.tensor_files import CODES
from quorvane.files import write_all_or_nothing
from quorvane.module_tree import module_positions, nesting_depth


@dataclass(frozen=True)
class Prepared:
    """A converted network's checkpoint, checked and ready to be written."""

    config: dict
    tensors: dict


def _clean_positions(net):
    """[(clean module, [paths])] of `net`, each module once, in the order met; refuses
    trained wrappers and blocks left over, a converted root and nested clean modules."""
    from quorvane import marlune

    if leftover_kind(net):
        raise CheckpointError(f"the network itself is a {leftover_kind(net)}: put it inside a container to save it")
    cleans, inside = {}, {}
    for parent, _, path, module in module_positions(net):
        inside.setdefault(id(module), inside.get(id(parent), False) or type(parent) is marlune.ZORModulePyThread)
        kind = leftover_kind(module)
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
    groups = sharing_groups(state)
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

    checked_network(net, "net")
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
    killed. See ``quorvane.checkpoint.files`` for the layout.

    Raises ``ValueError`` for a bad `max_shard_size`, ``OSError`` naming the file for a
    full disk or a directory that cannot be written, and ``CheckpointError`` for a
    network that still holds trained wrappers or blocks, holds no converted module, or
    holds what the config cannot name (a processor that is not one of the package's own,
    a dendrite layer that is not a copy of its main layer's architecture, a non-tensor
    state, a tensor subclass whose memory is not plain bytes, a dtype safetensors lacks)."""
    checkpoint_files.parse_shard_size(max_shard_size)
    write(prepare(net), directory, max_shard_size=max_shard_size)
