"""A converted network behaves as a PyTorch module should: saving, loading, copying,
moving, tracing and compiling."""

import copy
import io
import warnings

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
from pipeline import assert_same_outputs, convert
from quorvane import utils_quorvane as UZR


class Small(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(2, 4, 3, padding=1)
        self.head = nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 3))

    def forward(self, x):
        return self.head(self.conv(x).mean((2, 3)))


def make(seed=0):
    torch.manual_seed(seed)
    net = Small()
    UZR.wrap_layers(net, layer_types=(nn.Conv2d, nn.Linear), num_dendrites=2)
    return net.eval()


X = torch.randn(5, 2, 6, 6)


@pytest.fixture
def pair():
    net = make()
    trained = copy.deepcopy(net)
    return trained, convert(net)


def round_trip(obj, **load):
    buffer = io.BytesIO()
    torch.save(obj, buffer)
    buffer.seek(0)
    return torch.load(buffer, **load)


def test_whole_network_survives_save_and_load(pair):
    trained, converted = pair
    loaded = round_trip(converted, weights_only=False)
    assert type(loaded.conv) is marlune.ZORModulePyThread
    with torch.no_grad():
        assert_same_outputs(trained(X), loaded(X))


def test_state_dict_loads_safely_into_a_converted_copy(pair):
    trained, converted = pair
    state = round_trip(converted.state_dict(), weights_only=True)
    other = convert(make(seed=1))
    other.load_state_dict(state, strict=True)
    with torch.no_grad():
        assert_same_outputs(trained(X), other(X))
    # Loading copies into the existing tensors: what was shared stays shared.
    assert other.conv.layer_array[-1].weight is other.conv.layer_array[-1].weight
    assert {id(p) for p in other.parameters()} == {id(p) for p in other.parameters()}
    assert len(list(other.parameters())) == len(list(converted.parameters()))


def test_whole_file_is_refused_under_weights_only(pair):
    _, converted = pair
    with pytest.raises(Exception):
        round_trip(converted, weights_only=True)


def test_deepcopy_and_dtype_moves(pair):
    trained, converted = pair
    twin = copy.deepcopy(converted)
    assert twin.conv.layer_array is not converted.conv.layer_array
    with torch.no_grad():
        assert_same_outputs(trained(X), twin(X))
        assert_same_outputs(trained.to(torch.float64)(X.double()), twin.to(torch.float64)(X.double()))
    assert twin.conv.view_tuple.dtype == torch.int64


def test_train_and_eval_modes_reach_the_layers(pair):
    _, converted = pair
    converted.train()
    assert all(m.training for m in converted.modules())
    converted.eval()
    assert not any(m.training for m in converted.modules())


def test_jit_trace_in_sequential_mode(pair):
    trained, converted = pair
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", torch.jit.TracerWarning)
        traced = torch.jit.trace(converted, (X,), check_trace=False)
    with torch.no_grad():
        assert_same_outputs(trained(X), traced(X))
        assert_same_outputs(trained(X * 2), traced(X * 2))


def test_torch_compile_runs_and_matches(pair):
    trained, converted = pair
    torch._dynamo.reset()
    compiled = torch.compile(converted, backend="eager")
    with torch.no_grad():
        assert_same_outputs(trained(X), compiled(X))
