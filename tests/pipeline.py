"""Helpers for tests that convert whole networks."""

import copy

import torch

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle


def convert(net):
    """Both passes, in place; returns the converted network."""
    return marlune.refresh_net(ostrelle.blockwise_network(net))


def tensors(value):
    if isinstance(value, torch.Tensor):
        return [value]
    if isinstance(value, (tuple, list)):
        return [t for item in value for t in tensors(item)]
    if isinstance(value, dict):  # transformers' model outputs among them
        return [t for item in value.values() for t in tensors(item)]
    return []


def assert_same_outputs(a, b):
    first, second = tensors(a), tensors(b)
    assert len(first) == len(second) and first
    for x, y in zip(first, second):
        assert torch.equal(x, y), (x - y).abs().max()


def check_conversion(net, *inputs, **kwargs):
    """Converts `net` and checks that it computes what its trained form computed, bit for
    bit, sequentially and threaded, sharing every parameter. Returns (trained copy,
    converted network)."""
    trained = copy.deepcopy(net)
    parameters = {id(p) for p in net.parameters()}
    with torch.no_grad():
        expected = trained(*inputs, **kwargs)
    converted = convert(net)
    assert all(id(p) in parameters for p in converted.parameters())
    assert not any(type(m).__name__ in ("ZORNeuronModule", "ZORLayer") for m in converted.modules())
    for threaded in (False, True):
        marlune.doing_threading = threaded
        try:
            with torch.no_grad():
                assert_same_outputs(expected, converted(*inputs, **kwargs))
        finally:
            marlune.doing_threading = False
    return trained, converted
