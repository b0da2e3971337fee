"""Constructing ZORLayer blocks directly."""

import collections
import gc
import sys
import traceback

import pytest
import torch
import torch.nn as nn

import quorvane.ostrelle as ostrelle
from quorvane.ostrelle import ZORLayer


def weights(count, rows=2, width=3):
    return [nn.Parameter(torch.randn(rows, width)) for _ in range(count)]


def build(**overrides):
    arguments = dict(layer_array=nn.Sequential(nn.Linear(3, 3), nn.Linear(3, 3)), processor_array=[None, None],
                     dendrites_to_top=nn.ParameterList(weights(1)), dendrites_to_dendrites=nn.ParameterList(weights(1)),
                     node_index=torch.tensor(1), num_cycles=torch.tensor(1), view_tuple=[1, -1])
    arguments.update(overrides)
    return ZORLayer(**arguments), arguments


def test_members_order_and_sharing():
    block, args = build()
    assert block.layer_array is args["layer_array"]
    assert block.processor_array is args["processor_array"]
    assert block.node_index is args["node_index"]
    assert block.num_cycles is args["num_cycles"]
    assert list(block._modules) == ["layer_array", "skip_weights"]
    assert list(block._buffers) == ["num_cycles", "view_tuple"]
    ours = {"processor_array", "node_index", "internal_nonlinearity"}
    assert [k for k in vars(block) if k in ours] == ["processor_array", "node_index", "internal_nonlinearity"]
    assert list(block.state_dict()) == ["num_cycles", "view_tuple", "layer_array.0.weight", "layer_array.0.bias",
                                        "layer_array.1.weight", "layer_array.1.bias", "skip_weights.0",
                                        "skip_weights.1"]


def test_view_tuple_and_none_cycle_buffer():
    block, _ = build(view_tuple=[1, -1, 1, 1], num_cycles=None)
    assert block.view_tuple.dtype == torch.int64 and block.view_tuple.tolist() == [1, -1, 1, 1]
    assert "num_cycles" in block._buffers and block.num_cycles is None
    assert "num_cycles" not in block.state_dict()


def _param_list(items):
    return nn.ParameterList(items)


KINDS = {"ParameterList": _param_list, "list": list, "None": lambda items: None}


@pytest.mark.parametrize("to_dendrites_kind", ["ParameterList", "list"])
@pytest.mark.parametrize("to_top_kind", ["ParameterList", "list"])
@pytest.mark.parametrize("m,k", [(0, 0), (0, 3), (2, 0), (2, 1), (2, 3)])
def test_skip_weights_table(m, k, to_dendrites_kind, to_top_kind):
    to_dendrites_items, to_top_items = weights(m), weights(k)
    to_dendrites = KINDS[to_dendrites_kind](to_dendrites_items)
    to_top = KINDS[to_top_kind](to_top_items)
    block, _ = build(dendrites_to_dendrites=to_dendrites, dendrites_to_top=to_top)

    # The caller's list is never grown.
    assert len(to_dendrites) == m and [id(p) for p in to_dendrites] == [id(p) for p in to_dendrites_items]
    if m == 0 and k == 0 or k == 0:
        assert not hasattr(block, "skip_weights")
        assert "skip_weights" not in block._modules and "skip_weights" not in vars(block)
        return
    expected = (to_dendrites_items if m else []) + [to_top_items[-1]]
    assert block.skip_weights is not to_dendrites
    assert [id(p) for p in block.skip_weights] == [id(p) for p in expected]
    if m and to_dendrites_kind == "list":
        assert type(block.skip_weights) is list and "skip_weights" in vars(block)
    else:
        assert type(block.skip_weights) is nn.ParameterList
        # Registered, so the weights remain parameters of the block.
        assert [id(p) for p in block.parameters()][-len(expected):] == [id(p) for p in expected]


@pytest.mark.parametrize("to_dendrites,to_top", [(None, None), (None, weights(2)), ([], None),
                                                 (weights(1), None)])
def test_none_counts_as_empty(to_dendrites, to_top):
    block, _ = build(dendrites_to_dendrites=to_dendrites, dendrites_to_top=to_top)
    assert hasattr(block, "skip_weights") == (to_top is not None)
    if to_top is not None:
        assert list(block.skip_weights) == [to_top[-1]]


def test_other_appendable_sequences_are_copied_as_their_own_kind():
    to_dendrites = collections.deque(weights(2))
    last = weights(1)
    block, _ = build(dendrites_to_dendrites=to_dendrites, dendrites_to_top=last)
    assert type(block.skip_weights) is collections.deque and block.skip_weights is not to_dendrites
    assert list(block.skip_weights) == list(to_dendrites) + last and len(to_dendrites) == 2


def test_repeated_construction_from_one_list_gives_independent_skip_weights():
    to_dendrites, to_top = nn.ParameterList(weights(2)), nn.ParameterList(weights(2))
    first, _ = build(dendrites_to_dendrites=to_dendrites, dendrites_to_top=to_top)
    second, _ = build(dendrites_to_dendrites=to_dendrites, dendrites_to_top=to_top)
    assert len(to_dendrites) == 2 and len(first.skip_weights) == len(second.skip_weights) == 3
    assert first.skip_weights is not second.skip_weights
    assert all(a is b for a, b in zip(first.skip_weights, second.skip_weights))


def test_internal_nonlinearity_comes_from_settings_each_time(default_settings):
    assert build()[0].internal_nonlinearity is torch.sigmoid
    activation = nn.Tanh()
    default_settings.set_zor_forward_function(activation)
    block, _ = build()
    assert block.internal_nonlinearity is activation and block._modules["internal_nonlinearity"] is activation


def test_calling_a_block_raises_not_implemented():
    block, _ = build()
    with pytest.raises(NotImplementedError):
        block(torch.zeros(1, 3))


def test_module_globals_are_read_at_call_time(monkeypatch):
    class Recording(nn.ParameterList):
        pass

    class FakeNN:
        ParameterList = Recording

    monkeypatch.setattr(ostrelle, "nn", FakeNN)
    block, _ = build(dendrites_to_dendrites=[], dendrites_to_top=weights(1))
    assert type(block.skip_weights) is Recording

    seen = []

    class FakeTorch:
        @staticmethod
        def tensor(value):
            seen.append(value)
            return torch.tensor(value)

    monkeypatch.setattr(ostrelle, "torch", FakeTorch)
    build(view_tuple=[1, 1, -1])
    assert seen == [[1, 1, -1]]

    monkeypatch.delattr(ostrelle, "ZORLayer")
    with pytest.raises(NameError, match="^name 'ZORLayer' is not defined$"):
        build()


class NoLength:
    def __bool__(self):
        return True

    def append(self, value):
        pass


@pytest.mark.parametrize("overrides,error", [
    (dict(num_cycles=3), TypeError),
    (dict(view_tuple=object()), RuntimeError),
    (dict(view_tuple=[1, "x"]), TypeError),
    (dict(dendrites_to_top=NoLength()), TypeError),
    (dict(dendrites_to_dendrites=(nn.Parameter(torch.ones(1)),)), AttributeError),
    (dict(dendrites_to_dendrites=NoLength()), TypeError),
    (dict(dendrites_to_dendrites=torch.ones(2, 2)), RuntimeError),
], ids=["num_cycles", "view_tuple-object", "view_tuple-mixed", "to_top-no-len", "tuple-no-append",
        "skip-no-len", "ambiguous-truth"])
def test_bad_arguments_raise_and_leave_inputs_alone(overrides, error):
    untouched = nn.ParameterList(weights(2))
    overrides.setdefault("dendrites_to_dendrites", untouched)
    with pytest.raises(error) as info:
        build(**overrides)
    assert len(untouched) == 2
    frames = [(f.filename, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
    assert ("quorvane/ostrelle", "__init__") in frames


def test_settings_failures_propagate(monkeypatch, default_settings):
    def broken():
        raise KeyError("no nonlinearity")

    monkeypatch.setattr(default_settings, "get_zor_forward_function", broken)
    with pytest.raises(KeyError, match="no nonlinearity"):
        build()
    monkeypatch.setattr(ostrelle, "GZR", object())
    with pytest.raises(AttributeError, match="pc"):
        build()


def test_construction_keeps_reference_counts_balanced():
    to_dendrites, to_top = nn.ParameterList(weights(2)), [nn.Parameter(torch.ones(2, 3))]
    layers, processors, index = nn.Sequential(nn.Linear(3, 3)), [None], torch.tensor(1)
    tracked = [to_dendrites, to_top, to_top[0], layers, processors, index, to_dendrites[0]]

    def once():
        ZORLayer(layers, processors, to_top, to_dendrites, index, None, [1, -1])
        with pytest.raises(TypeError):
            ZORLayer(layers, processors, to_top, to_dendrites, index, 5, [1, -1])

    once()
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(50):
        once()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before
