"""Small networks for the clean-up walk tests.

`ZORLayer` here stands in for the block layer that blockwise conversion builds: the
walk recognises a block layer by its class name alone, and the clean module's
constructor reads only the members below.
"""

import torch
import torch.nn as nn


class ZORLayer(nn.Module):
    """A block of `dendrites` dendrite layers and one main layer, all Linear(width, width)."""

    def __init__(self, width=3, dendrites=1, layers=None):
        super().__init__()
        if layers is None:
            layers = [nn.Linear(width, width) for _ in range(dendrites + 1)]
        self.layer_array = nn.Sequential(*layers)
        self.processor_array = [None] * len(layers)
        self.skip_weights = nn.ParameterList(
            [nn.Parameter(torch.randn(max(k, 1), width)) for k in range(len(layers))])
        self.node_index = torch.tensor(1)
        self.num_cycles = torch.tensor(len(layers) - 1)
        self.view_tuple = torch.tensor([1, -1])


class Holder(nn.Module):
    """A plain module whose keyword arguments become its attributes, in order."""

    def __init__(self, **children):
        super().__init__()
        for name, child in children.items():
            setattr(self, name, child)


def chain(depth, leaf=None):
    """`depth` Holders nested through the attribute `inner`; the innermost holds `leaf`."""
    node = Holder(inner=leaf) if leaf is not None else Holder()
    for _ in range(depth - 1):
        node = Holder(inner=node)
    return node


def parameter_ids(net):
    return {name: id(p) for name, p in net.named_parameters(remove_duplicate=False)}
