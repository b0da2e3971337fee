"""What saving and loading ask of a network: which names share one tensor, which modules
are the package's own, and a module graph without cycles."""

import torch.nn as nn

from quorvane import modules_quorvane as ZR
from quorvane.checkpoint.files import CheckpointError
from quorvane.module_tree import find_cycle


def alias_key(tensor):
    """Equal keys: one tensor under several names (the same memory, viewed the same way)."""
    if tensor.numel() == 0:
        return ("empty", id(tensor))
    return (str(tensor.device), tensor.untyped_storage().data_ptr(), tensor.storage_offset(),
            tuple(tensor.shape), tuple(tensor.stride()), tensor.dtype)


def sharing_groups(state):
    """{alias key: the names sharing that tensor, in state_dict order}."""
    groups = {}
    for name, tensor in state.items():
        groups.setdefault(alias_key(tensor), []).append(name)
    return groups


def leftover_kind(module):
    """The kind of a module that a plain or a fully converted network must not hold."""
    from quorvane import marlune

    if isinstance(module, ZR.ZORNeuronModule):
        return type(module).__name__
    if type(module).__name__ == "ZORLayer":
        return "ZORLayer"
    return "ZORModulePyThread" if type(module) is marlune.ZORModulePyThread else None


def checked_network(net, role):
    if not isinstance(net, nn.Module):
        raise TypeError(f"{role} must be a torch.nn.Module, not {type(net).__name__}")
    cycle = find_cycle(net)
    if cycle is not None:
        raise CheckpointError(f"{role}'s module graph has a cycle: {cycle[0]} is "
                              f"{('the module at ' + cycle[1]) if cycle[1] else 'the network itself'}")
