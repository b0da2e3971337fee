"""The two passes together: trained networks convert and compute what they computed."""

import copy
import io

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle
from pipeline import assert_same_outputs, check_conversion, convert
from quorvane import utils_quorvane as UZR


class MLP(nn.Module):
    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(nn.Linear(6, 16), nn.ReLU(), nn.Linear(16, 16), nn.ReLU())
        self.out = nn.Linear(16, 3)

    def forward(self, x):
        return self.out(self.body(x))


class CNN(nn.Module):
    def __init__(self):
        super().__init__()
        self.layers = nn.ModuleList([nn.Conv2d(3, 6, 3, padding=1), nn.Conv2d(6, 6, 3)])
        self.classifier = nn.Linear(6, 2)

    def forward(self, x):
        for conv in self.layers:
            x = torch.relu(conv(x))
        return self.classifier(x.mean((2, 3)))


class Recurrent(nn.Module):
    def __init__(self):
        super().__init__()
        self.encoder = nn.GRU(4, 8, batch_first=True)
        self.decoder = nn.Linear(8, 4)

    def forward(self, x):
        sequence, state = self.encoder(x)
        return self.decoder(sequence), state


class Encoder(nn.Module):
    def __init__(self):
        super().__init__()
        self.layer = nn.TransformerEncoderLayer(d_model=8, nhead=2, dim_feedforward=16, dropout=0.0,
                                                batch_first=True)
        self.proj = nn.Linear(8, 2)

    def forward(self, x):
        return self.proj(self.layer(x))


NETWORKS = {
    "mlp": (MLP, (nn.Linear,), lambda: torch.randn(5, 6)),
    "cnn": (CNN, (nn.Linear, nn.Conv2d), lambda: torch.randn(2, 3, 7, 7)),
    "recurrent": (Recurrent, (nn.GRU, nn.Linear), lambda: torch.randn(3, 6, 4)),
    "transformer": (Encoder, (nn.Linear,), lambda: torch.randn(2, 5, 8)),
}


def build(kind, seed=0):
    cls, types, make_input = NETWORKS[kind]
    torch.manual_seed(seed)
    net = cls()
    x = make_input()
    UZR.wrap_layers(net, layer_types=types, num_dendrites=lambda name, layer: 1 + len(name) % 3, sample_input=x)
    return net.train(), x  # train mode: no dropout here, and the fused attention path stays off


@pytest.mark.parametrize("kind", NETWORKS)
def test_whole_pipeline_is_exact_and_shares_parameters(kind):
    net, x = build(kind)
    wrapped = UZR.count_wrappers(net)
    assert wrapped >= 2
    _, converted = check_conversion(net, x)
    assert converted is net
    assert sum(type(m) is marlune.ZORModulePyThread for m in converted.modules()) == wrapped


@pytest.mark.parametrize("kind", NETWORKS)
def test_state_dict_saves_and_loads_into_a_second_converted_copy(kind):
    net, x = build(kind)
    converted = convert(net)
    buffer = io.BytesIO()
    torch.save(converted.state_dict(), buffer)
    buffer.seek(0)
    second = convert(build(kind, seed=1)[0])
    with torch.no_grad():
        differs = second(x)
    second.load_state_dict(torch.load(buffer, weights_only=True), strict=True)
    with torch.no_grad():
        assert_same_outputs(converted(x), second(x))
        assert not all(torch.equal(a, b) for a, b in zip(*map(lambda v: v if isinstance(v, tuple) else (v,),
                                                               (differs, second(x)))))


def test_block_layers_in_between_hold_the_wrappers_parts():
    net, x = build("mlp")
    main = net.out.main_module
    ostrelle.blockwise_network(net)
    assert type(net.out) is ostrelle.ZORLayer and net.out.layer_array[-1] is main
    marlune.refresh_net(net)
    assert type(net.out) is marlune.ZORModulePyThread and net.out.layer_array[-1] is main


def test_converting_twice_changes_nothing_more():
    net, x = build("cnn")
    trained = copy.deepcopy(net)
    convert(net)
    modules = [id(m) for m in net.modules()]
    convert(net)
    assert [id(m) for m in net.modules()] == modules
    with torch.no_grad():
        assert_same_outputs(trained(x), net(x))
