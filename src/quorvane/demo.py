"""The embedded default network of the converter: a small CNN feature stack, one
recurrent block and an MLP head, its layers wrapped with 1 to 3 dendrites, trained for a
fixed, seeded number of steps on a synthetic task (which quadrant of a 12x12 image holds a
bright blob), so every run trains the same network."""

import torch
import torch.nn as nn

from quorvane import utils_quorvane as UZR

IMAGE = 12
CLASSES = 4
INPUT_SHAPE = (64, 1, IMAGE, IMAGE)
TRAIN_STEPS = 150


class DemoNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(
            nn.Conv2d(1, 8, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2),
            nn.Conv2d(8, 16, 3, padding=1), nn.ReLU(), nn.MaxPool2d(2))
        self.recurrent = nn.GRU(16 * 3, 32, batch_first=True)
        self.head = nn.Sequential(nn.Linear(32, 32), nn.ReLU(), nn.Linear(32, CLASSES))

    def forward(self, x):
        features = self.features(x)                           # B, 16, 3, 3
        rows = features.permute(0, 2, 1, 3).flatten(2)        # B, 3 rows, 48
        out, _ = self.recurrent(rows)
        return self.head(out[:, -1])


def synthetic_batch(count, generator):
    """Images with noise and one bright 3x3 blob; the label is the blob's quadrant."""
    images = torch.randn(count, 1, IMAGE, IMAGE, generator=generator) * 0.3
    labels = torch.randint(0, CLASSES, (count,), generator=generator)
    half = IMAGE // 2
    for i, label in enumerate(labels.tolist()):
        top = (label // 2) * half + int(torch.randint(0, half - 2, (1,), generator=generator))
        left = (label % 2) * half + int(torch.randint(0, half - 2, (1,), generator=generator))
        images[i, 0, top:top + 3, left:left + 3] += 2.0
    return images, labels


def dendrites_for(name, layer):
    """1 to 3 dendrites per wrapped layer."""
    return {"features.0": 1, "features.3": 2, "recurrent": 1, "head.0": 3, "head.2": 2}.get(name, 1)


def build_trained(steps=TRAIN_STEPS, seed=0):
    """The default network, wrapped and trained for `steps` Adam steps from `seed`;
    returns (net, sample images, labels). The same arguments give the same network, bit
    for bit, on a given machine and torch thread count."""
    torch.manual_seed(seed)
    generator = torch.Generator().manual_seed(seed)
    net = DemoNet()
    UZR.wrap_layers(net, layer_types=(nn.Conv2d, nn.GRU, nn.Linear), num_dendrites=dendrites_for)
    optimiser = torch.optim.Adam(net.parameters(), lr=3e-3)
    loss_fn = nn.CrossEntropyLoss()
    net.train()
    for _ in range(steps):
        images, labels = synthetic_batch(64, generator)
        optimiser.zero_grad()
        loss_fn(net(images), labels).backward()
        optimiser.step()
    net.eval()
    images, labels = synthetic_batch(INPUT_SHAPE[0] * 8, generator)
    return net, images, labels


def accuracy(net, images, labels):
    with torch.no_grad():
        return (net(images).argmax(1) == labels).float().mean().item()
