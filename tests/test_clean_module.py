"""Building a ZORModulePyThread from an object with a block layer's members."""

import copy
import pickle
import types

import pytest
import torch
import torch.nn as nn

from quorvane.marlune import ZORModulePyThread


def parameters(count, rows=1, width=3):
    return [nn.Parameter(torch.randn(rows, width)) for _ in range(count)]


def block(**overrides):
    """A stand-in with the members a block layer carries."""
    members = dict(
        layer_array=nn.Sequential(nn.Linear(3, 3), nn.Linear(3, 3)),
        processor_array=[None, None],
        skip_weights=nn.ParameterList(parameters(3)),
        node_index=torch.tensor(1),
        num_cycles=torch.tensor(2),
        view_tuple=torch.tensor([1, -1]),
    )
    members.update(overrides)
    return types.SimpleNamespace(**{k: v for k, v in members.items() if v is not _ABSENT})


_ABSENT = object()


def test_members_are_shared_not_copied():
    source = block()
    clean = ZORModulePyThread(source)
    assert clean.layer_array is source.layer_array
    assert clean.processor_array is source.processor_array
    assert clean.num_cycles is source.num_cycles
    assert clean.view_tuple is source.view_tuple
    assert isinstance(clean.skip_weights, nn.ParameterList)
    assert [id(p) for p in clean.skip_weights] == [id(p) for p in list(source.skip_weights)[1:]]
    # The sliced weights stay parameters of the clean module.
    assert {id(p) for p in clean.parameters()} >= {id(p) for p in list(source.skip_weights)[1:]}


def test_node_index_is_an_independent_detached_copy():
    index = torch.tensor([1.0], requires_grad=True)
    source = block(node_index=index * 1)
    clean = ZORModulePyThread(source)
    assert clean.node_index is not source.node_index
    assert not clean.node_index.requires_grad
    with torch.no_grad():
        source.node_index.add_(5)
    assert clean.node_index.item() == 1.0


@pytest.mark.parametrize("weights", [
    nn.ParameterList(parameters(1)), nn.ParameterList(), [], parameters(1), _ABSENT,
], ids=["one", "empty-list", "empty-plain", "one-plain", "absent"])
def test_no_skip_weights_unless_more_than_one(weights):
    clean = ZORModulePyThread(block(skip_weights=weights))
    assert not hasattr(clean, "skip_weights")


def test_plain_list_skip_weights_stay_a_plain_attribute():
    weights = parameters(3)
    clean = ZORModulePyThread(block(skip_weights=weights))
    assert type(clean.skip_weights) is list and clean.skip_weights == weights[1:]
    assert "skip_weights" in vars(clean)


def test_saved_state_and_device_dtype_moves():
    source = block()
    clean = ZORModulePyThread(source)
    keys = list(clean.state_dict())
    assert keys[:3] == ["node_index", "num_cycles", "view_tuple"]
    assert "layer_array.0.weight" in keys and "skip_weights.0" in keys and "skip_weights.1" in keys
    clean.to(torch.float64)
    assert clean.layer_array[0].weight.dtype == torch.float64
    assert clean.skip_weights[0].dtype == torch.float64
    assert clean.view_tuple.dtype == torch.int64  # integer buffers keep their dtype

    float_buffers = ZORModulePyThread(block(num_cycles=torch.tensor(2.0)))
    float_buffers.to(torch.float16)
    assert float_buffers.num_cycles.dtype == torch.float16


def test_none_num_cycles_is_a_buffer_entry():
    clean = ZORModulePyThread(block(num_cycles=None))
    assert "num_cycles" in clean._buffers and clean.num_cycles is None
    assert "num_cycles" not in clean.state_dict()


@pytest.mark.parametrize("missing", ["layer_array", "processor_array", "node_index", "num_cycles", "view_tuple"])
def test_missing_member_raises_attribute_error(missing):
    with pytest.raises(AttributeError, match=missing):
        ZORModulePyThread(block(**{missing: _ABSENT}))


@pytest.mark.parametrize("overrides, error", [
    ({"skip_weights": 5}, TypeError),                       # no len()
    ({"skip_weights": type("Sized", (), {"__len__": lambda self: 2})()}, TypeError),  # len() but no slicing
    ({"node_index": 3}, AttributeError),                     # no clone()
    ({"num_cycles": 3}, TypeError),                          # not a tensor
    ({"view_tuple": [1, -1]}, TypeError),
])
def test_bad_members_raise(overrides, error):
    with pytest.raises(error):
        ZORModulePyThread(block(**overrides))


def test_none_and_other_non_blocks_raise_attribute_error():
    for bad in (None, 3, "x", nn.Linear(1, 1)):
        with pytest.raises(AttributeError):
            ZORModulePyThread(bad)


def test_skip_weights_error_other_than_attribute_error_propagates():
    class Raising(types.SimpleNamespace):
        @property
        def skip_weights(self):
            raise RuntimeError("boom")

    source = Raising(**vars(block(skip_weights=_ABSENT)))
    with pytest.raises(RuntimeError, match="boom"):
        ZORModulePyThread(source)


def test_reads_members_in_order_and_changes_nothing():
    reads = []

    class Recording:
        def __init__(self, inner):
            object.__setattr__(self, "inner", inner)

        def __getattr__(self, name):
            reads.append(name)
            return getattr(self.inner, name)

        def __setattr__(self, name, value):
            raise AssertionError("the constructor must not change its argument")

    ZORModulePyThread(Recording(block()))
    assert reads == ["layer_array", "processor_array", "skip_weights", "skip_weights", "skip_weights",
                     "node_index", "num_cycles", "view_tuple"]


def test_pickle_and_deepcopy_round_trip():
    clean = ZORModulePyThread(block())
    for twin in (pickle.loads(pickle.dumps(clean)), copy.deepcopy(clean)):
        assert type(twin) is ZORModulePyThread
        assert twin.layer_array is not clean.layer_array
        assert torch.equal(twin.layer_array[0].weight, clean.layer_array[0].weight)
        assert twin.state_dict().keys() == clean.state_dict().keys()
