"""The training-form wrapper, its processors and the wrapping helper."""

import pytest
import torch
import torch.nn as nn

from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR
from quorvane import utils_quorvane as UZR

torch.manual_seed(0)

MAIN_LAYERS = {
    "linear": (lambda: nn.Linear(5, 4), lambda: torch.randn(3, 5)),
    "conv2d": (lambda: nn.Conv2d(2, 3, 3, padding=1), lambda: torch.randn(2, 2, 6, 6)),
    "gru": (lambda: nn.GRU(5, 4, batch_first=True), lambda: torch.randn(2, 7, 5)),
}


@pytest.mark.parametrize("kind", MAIN_LAYERS)
@pytest.mark.parametrize("dendrites", [0, 1, 2, 3])
def test_forward_keeps_the_main_layer_output_shape(kind, dendrites):
    make_layer, make_input = MAIN_LAYERS[kind]
    main = make_layer()
    wrapper = ZR.ZORNeuronModule(main, dendrites)
    x = make_input()
    expected = main(x)
    got = wrapper(x)
    if kind == "gru":
        assert isinstance(got, tuple) and got[0].shape == expected[0].shape
        assert torch.equal(got[1], expected[1])  # the main layer's state passes through
        got, expected = got[0], expected[0]
    assert got.shape == expected.shape
    # Dendrites change the result; without them it is the main layer's own.
    assert torch.equal(got, expected) == (dendrites == 0)


def test_skip_weight_shapes_and_flags():
    wrapper = ZR.ZORNeuronModule(nn.Linear(5, 4), 3)
    dendrites = wrapper.dendrite_module
    assert [tuple(p.shape) for p in dendrites.dendrites_to_dendrites] == [(0, 4), (1, 4), (2, 4)]
    assert tuple(wrapper.dendrites_to_top[-1].shape) == (3, 4)
    assert len(dendrites.layers) == 3 and dendrites.processors == []
    assert all(getattr(p, "wrapped", False) for p in wrapper.parameters())
    assert int(wrapper.this_node_index) == 1 and int(dendrites.num_cycles) == 3
    values = dendrites.dendrite_values[0]
    assert values.this_output_dimensions == [-1, 4] and int(values.this_node_index) == 1
    # Dendrites are fresh layers of the main layer's shape, not shared ones.
    assert dendrites.layers[0].weight is not wrapper.main_module.weight
    assert dendrites.layers[0].weight.shape == wrapper.main_module.weight.shape


def test_cascade_matches_closed_form():
    """Two dendrites: v0 = f(o0), v1 = f(o1 + A[0]*v0), out = m + B[0]*v0 + B[1]*v1."""
    GZR.pc.set_zor_forward_function(torch.tanh)
    wrapper = ZR.ZORNeuronModule(nn.Linear(5, 4), 2)
    x = torch.randn(3, 5)
    layers = wrapper.dendrite_module.layers
    a = wrapper.dendrite_module.dendrites_to_dendrites[1]
    b = wrapper.dendrites_to_top[-1]
    v0 = torch.tanh(layers[0](x))
    v1 = torch.tanh(layers[1](x) + a[0] * v0)
    expected = wrapper.main_module(x) + b[0] * v0 + b[1] * v1
    torch.testing.assert_close(wrapper(x), expected)


def test_processor_protocol():
    base = ZR.ZORProcessor()
    assert base.pre is None and base.post is None
    assert base.pre_d(1, k=2) == ((1,), {"k": 2})
    out = (torch.ones(2), torch.zeros(1))
    recurrent = ZR.TupleOutputProcessor()
    assert recurrent.post_d(out) is out[0]
    assert recurrent.post_n1(out) is out[0]
    combined, state = recurrent.post_n2("combined")
    assert combined == "combined" and state is out[1]


def test_bad_wrapper_arguments():
    with pytest.raises(ValueError, match="output shape"):
        ZR.ZORNeuronModule(nn.ReLU(), 1)
    with pytest.raises(ValueError):
        ZR.ZORNeuronModule(nn.Linear(2, 2), -1)
    with pytest.raises(ValueError):
        ZR.ZORNeuronModule(nn.Linear(2, 2), 1, output_dimensions=[-1, 2], node_index=5)


class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(1, 2, 3), nn.ReLU())
        self.head = nn.Linear(2, 3)

    def forward(self, x):
        return self.head(self.features(x).mean((2, 3)))


def test_wrap_layers_replaces_exact_types_in_place():
    net = Net()
    conv, head = net.features[0], net.head
    names = UZR.wrap_layers(net, num_dendrites=lambda name, layer: 2 if name == "head" else 1)
    assert names == ["features.0", "head"]
    assert type(net.features[0]) is ZR.ZORNeuronModule and net.features[0].main_module is conv
    assert net.head.main_module is head and len(net.head.dendrite_module.layers) == 2
    assert UZR.count_wrappers(net) == 2
    assert net(torch.randn(2, 1, 5, 5)).shape == (2, 3)


def test_wrap_layers_observes_shapes_from_a_sample():
    net = nn.Sequential(nn.Linear(6, 4))  # applied to a 3-D input
    UZR.wrap_layers(net, sample_input=torch.randn(2, 5, 6), skip=())
    values = net[0].dendrite_module.dendrite_values[0]
    assert values.this_output_dimensions == [-1, -1, 4] and int(values.this_node_index) == 2
    assert net(torch.randn(2, 5, 6)).shape == (2, 5, 4)


def test_wrap_layers_skips_named_layers_and_subclasses():
    class MyLinear(nn.Linear):
        pass

    net = nn.Sequential(nn.Linear(2, 2), MyLinear(2, 2))
    assert UZR.wrap_layers(net, skip=("0",)) == []


def test_wrap_layers_keeps_a_shared_layer_shared():
    class Tied(nn.Module):
        def __init__(self):
            super().__init__()
            self.encode = nn.Sequential(nn.Linear(4, 4), nn.Tanh())
            self.decode = self.encode[0]  # the same layer under a second name

        def forward(self, x):
            return self.decode(self.encode(x))

    torch.manual_seed(1)
    net = Tied()
    assert UZR.wrap_layers(net, num_dendrites=2) == ["encode.0", "decode"]
    assert type(net.decode) is ZR.ZORNeuronModule and net.decode is net.encode[0]
    # One set of weights, trained through both places.
    loss = net(torch.randn(3, 4)).square().sum()
    loss.backward()
    assert net.decode.main_module.weight.grad is net.encode[0].main_module.weight.grad
    net.eval()
    from pipeline import check_conversion

    _, converted = check_conversion(net, torch.randn(5, 4))
    assert converted.decode.layer_array[-1] is converted.encode[0].layer_array[-1]
