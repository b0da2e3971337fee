"""Networks made of PyTorch's own modules convert and compute what they computed."""

import copy
import re

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
from pipeline import check_conversion
from quorvane import utils_quorvane as UZR

torch.manual_seed(0)


@pytest.mark.parametrize("batch_first", [False, True])
@pytest.mark.parametrize("types", [(nn.Linear,), (nn.Linear, nn.LayerNorm)], ids=["linear", "linear+norm"])
def test_transformer_encoder_layer(batch_first, types):
    torch.manual_seed(0)
    layer = nn.TransformerEncoderLayer(d_model=16, nhead=4, dim_feedforward=32, dropout=0.0, batch_first=batch_first)
    plain = copy.deepcopy(layer).eval()
    src = torch.randn(7, 3, 16)
    # Only the feed-forward and norm layers: attention reads its projection weights directly.
    expected = ["linear1", "linear2"] + (["norm1", "norm2"] if nn.LayerNorm in types else [])
    assert UZR.wrap_layers(layer, layer_types=types, num_dendrites=2, sample_input=src) == expected
    # In eval mode under no_grad, batch-first input would take torch's fused path, which
    # reads linear1.weight and norm1.eps and never calls the layers: the wrapped layers
    # keep it from being taken (where torch ignores their hooks there, by the layer's
    # own switch), so the dendrites are computed.
    layer.eval()
    assert (layer.activation_relu_or_gelu == 0) == UZR._fused_path_ignores_hooks()
    trained, converted = check_conversion(layer, src)
    assert type(converted.linear1) is marlune.ZORModulePyThread
    with torch.no_grad():
        assert not torch.allclose(converted(src), plain(src), atol=1e-3)


def test_wrap_layers_refuses_parents_that_read_weights_directly():
    encoder = nn.TransformerEncoder(nn.TransformerEncoderLayer(16, 4, 32, batch_first=True), num_layers=2)
    attention = nn.MultiheadAttention(8, 2)
    for net, types, text in (
            (encoder, (nn.Linear,), "cannot wrap layers.0.linear1: its parent TransformerEncoder (the root) runs a "
                                    "nested-tensor fast path"),
            (nn.Sequential(nn.Linear(8, 8), attention), (nn.Linear, type(attention.out_proj)),
             "cannot wrap 1.out_proj: its parent MultiheadAttention (1) reads out_proj.weight")):
        with pytest.raises(ValueError, match=re.escape(text)):
            UZR.wrap_layers(net, layer_types=types)
        assert UZR.count_wrappers(net) == 0  # nothing changed


def test_transformer_decoder_layer_with_memory():
    layer = nn.TransformerDecoderLayer(d_model=16, nhead=2, dim_feedforward=24, dropout=0.0, batch_first=True)
    tgt, memory = torch.randn(2, 5, 16), torch.randn(2, 6, 16)
    UZR.wrap_layers(layer, layer_types=(nn.Linear,), num_dendrites=lambda n, l: 3 if n == "linear1" else 1,
                    sample_input=(tgt, memory))
    layer.train()  # no dropout, so train mode is deterministic and skips the fused path
    check_conversion(layer, tgt, memory)


@pytest.mark.parametrize("cell", [nn.LSTM, nn.GRU])
def test_recurrent_stacks(cell):
    class Stack(nn.Module):
        def __init__(self):
            super().__init__()
            self.rnn = cell(6, 8, num_layers=2, batch_first=True, bidirectional=True)
            self.out = nn.Linear(16, 3)

        def forward(self, x):
            sequence, _ = self.rnn(x)
            return self.out(sequence)

    net = Stack()
    UZR.wrap_layers(net, layer_types=(cell, nn.Linear), num_dendrites=2, sample_input=torch.randn(2, 4, 6))
    check_conversion(net, torch.randn(3, 5, 6))


class Residual(nn.Module):
    def __init__(self, channels):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x):
        y = torch.relu(self.bn1(self.conv1(x)))
        return torch.relu(x + self.bn2(self.conv2(y)))


@pytest.mark.parametrize("mode", ["eval", "train"])
def test_residual_conv_net_with_batchnorm(mode):
    net = nn.Sequential(nn.Conv2d(3, 8, 3, padding=1), Residual(8), Residual(8), nn.AdaptiveAvgPool2d(1),
                        nn.Flatten(), nn.Linear(8, 4))
    with torch.no_grad():  # non-trivial running statistics
        net.train()
        net(torch.randn(8, 3, 8, 8))
    UZR.wrap_layers(net, layer_types=(nn.Conv2d, nn.Linear), num_dendrites=1)
    getattr(net, mode)()
    check_conversion(net, torch.randn(4, 3, 8, 8))
