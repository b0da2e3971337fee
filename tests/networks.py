"""Small networks made of torch's own modules, wrapped, given running statistics of
their own and converted: what several test files check paths and round trips on."""

import torch
import torch.nn as nn

from pipeline import convert
from quorvane import utils_quorvane as UZR


class ConvNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv1, self.bn1 = nn.Conv2d(3, 6, 3, padding=1), nn.BatchNorm2d(6)
        self.conv2, self.bn2 = nn.Conv2d(6, 6, 3, padding=1), nn.BatchNorm2d(6)
        self.head = nn.Linear(6, 5)

    def forward(self, x):
        x = torch.relu(self.bn1(self.conv1(x)))
        x = torch.relu(self.bn2(self.conv2(x)))
        return self.head(x.mean((2, 3)))


class GRUNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.rnn = nn.GRU(6, 8, batch_first=True)
        self.out = nn.Linear(8, 3)

    def forward(self, x):
        sequence, _ = self.rnn(x)
        return self.out(sequence)


class Encoder(nn.Module):
    def __init__(self):
        super().__init__()
        # Without the nested-tensor fast path, which reads the layers' weights directly.
        self.encoder = nn.TransformerEncoder(
            nn.TransformerEncoderLayer(16, 4, 32, dropout=0.0, batch_first=True), 1, enable_nested_tensor=False)

    def forward(self, x):
        return self.encoder(x)


NETWORKS = {
    "mlp": (lambda: nn.Sequential(nn.Linear(8, 16), nn.ReLU(), nn.Linear(16, 16), nn.Tanh(), nn.Linear(16, 4)),
            (nn.Linear,), (8,)),
    "cnn": (ConvNet, (nn.Conv2d, nn.Linear), (3, 6, 6)),
    "encoder": (Encoder, (nn.Linear,), (7, 16)),
    "gru": (GRUNet, (nn.GRU, nn.Linear), (5, 6)),
}
BATCHES = (10, 13)  # sizes no other dimension has: one symbol for the batch


def deployed(kind, seed=0):
    """(converted network in eval mode, the shape of one sample)."""
    make_net, layer_types, sample = ROUND_TRIP[kind]
    torch.manual_seed(seed)
    net = make_net()
    UZR.wrap_layers(net, layer_types=layer_types, num_dendrites=2, sample_input=torch.randn(2, *sample))
    net.train()
    with torch.no_grad():  # running statistics of their own for the batch norms
        for _ in range(2):
            net(torch.randn(4, *sample))
    return convert(net.eval()), sample


class TiedNet(nn.Module):
    """One layer under two names, and an output layer whose weight is an embedding's."""

    def __init__(self):
        super().__init__()
        self.a = nn.Linear(5, 8)
        self.b = self.a
        self.embed = nn.Embedding(10, 8)
        self.rnn = nn.GRU(8, 8, batch_first=True)
        self.head = nn.Linear(8, 10)
        self.head.weight = self.embed.weight

    def forward(self, x):
        h, _ = self.rnn(self.a(x) + self.b(x).tanh())
        return self.head(h)


def _halved(module, args, output):
    return output * 0.5


class Odd(nn.Module):
    """A layer with what a plain copy of it keeps beyond its values: a transposed weight,
    an attribute on a buffer, a buffer outside the state_dict and a forward hook."""

    def __init__(self):
        super().__init__()
        self.weight = nn.Parameter(torch.randn(6, 5).t())
        self.register_buffer("scale", torch.rand(6) + 0.5)
        self.scale.unit = "per neuron"
        self.register_buffer("offset", torch.full((6,), 0.25), persistent=False)
        self.register_forward_hook(_halved)

    def forward(self, x):
        return x @ self.weight * self.scale + self.offset


class OddNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.odd, self.out = Odd(), nn.Linear(6, 3)

    def forward(self, x):
        return self.out(self.odd(x).relu())


# What the checkpoint round trips run on: the networks above, sharing, and a layer whose
# copies must keep more than its tensors' values.
ROUND_TRIP = {**NETWORKS, "tied": (TiedNet, (nn.Linear, nn.GRU), (3, 5)), "odd": (OddNet, (Odd, nn.Linear), (5,))}


def structure(net):
    """What a round trip must keep: the class at every position, and which state_dict
    names share one tensor."""
    positions = [(name, type(m).__name__) for name, m in net.named_modules(remove_duplicate=False)]
    groups = {}
    for name, tensor in net.state_dict(keep_vars=True).items():
        groups.setdefault(id(tensor), []).append(name)
    return positions, sorted(groups.values())
