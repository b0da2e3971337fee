"""quorvane.convert: both passes in one call, and a report of what they did and left."""

import copy

import pytest
import torch
import torch.nn as nn

import quorvane
import quorvane.marlune as marlune
from quorvane import modules_quorvane as ZR


class Special(ZR.ZORNeuronModule):
    pass


class Tracked(nn.Module):
    def __init__(self):
        super().__init__()
        self.inner = ZR.ZORNeuronModule(nn.Linear(3, 3), 1)

    def forward(self, x):
        return x


class Mixed(nn.Module):
    """Wrappers in every place the passes convert, and in every place they leave."""

    def __init__(self):
        super().__init__()
        twice = ZR.ZORNeuronModule(nn.Linear(3, 3), 1)
        self.seq = nn.Sequential(twice, nn.ReLU(), twice)              # repeated position
        self.device = ZR.ZORNeuronModule(nn.Linear(3, 3), 1)           # reserved name
        self.special = Special(nn.Linear(3, 3), 1)                     # subclass
        self.a = ZR.ZORNeuronModule(nn.Linear(3, 3), 2)
        self.b = self.a                                                # shared: converted under both names
        self.kept = ZR.ZORNeuronModule(nn.Linear(3, 3), 1)             # skipped by the settings
        self.tracked = Tracked()                                       # inside a tracked class
        self.heads = nn.ModuleList([ZR.ZORNeuronModule(nn.Linear(3, 3), 3)])
        self.norm = nn.BatchNorm1d(3)
        self.drop = nn.Dropout(0.5)

    def forward(self, x):
        x = self.norm(self.b(self.a(self.seq(x))))
        return self.drop(x + self.heads[0](x) + self.special(x) + self.kept(x))


def test_report_names_every_wrapper_and_why_some_stay(default_settings):
    default_settings.set_module_names_to_not_save([".kept"])
    default_settings.set_modules_to_track([Tracked])
    torch.manual_seed(0)
    net = Mixed().train()
    x = torch.randn(6, 3)
    state = copy.deepcopy(net.state_dict())
    random_state = torch.get_rng_state()

    report = quorvane.convert(net, verify=((x,), {}))

    assert type(report.network.a) is marlune.ZORModulePyThread
    assert {c.path: (c.dendrites, c.parameters, c.shared) for c in report.converted} == {
        "seq.0": (1, 5, 5), "a": (2, 8, 8), "b": (2, 8, 8), "heads.0": (3, 11, 11)}
    assert {u.path: (u.kind, u.reason) for u in report.unconverted} == {
        "seq.2": ("ZORNeuronModule", "repeated position"),
        "device": ("ZORLayer", "reserved name"),
        "special": ("Special", "subclass"),
        "kept": ("ZORNeuronModule", "skipped by the settings"),
        "tracked.inner": ("ZORLayer", "inside a tracked class")}
    assert report.shared_parameters == report.parameters == len(list(report.network.parameters()))
    # Train mode, BatchNorm and Dropout: compared from the same random state, exactly,
    # and nothing of the network or the caller's random state changed by the runs.
    assert report.verification.sequential == report.verification.threaded == report.max_difference == 0
    assert torch.equal(torch.get_rng_state(), random_state)
    assert int(report.network.norm.num_batches_tracked) == 0
    assert torch.equal(report.network.norm.running_mean, state["norm.running_mean"])
    assert "seq.2 (ZORNeuronModule): repeated position" in str(report)

    root = quorvane.convert(ZR.ZORNeuronModule(nn.Linear(2, 2), 1))
    assert root.converted == () and [(u.path, u.reason) for u in root.unconverted] == [("", "root")]


def test_copy_mode_leaves_the_network_alone():
    torch.manual_seed(1)
    net = nn.Sequential(ZR.ZORNeuronModule(nn.Linear(4, 4), 2), nn.Tanh())
    x = torch.randn(2, 4)
    before = net(x)
    report = quorvane.convert(net, inplace=False, verify=((), {"input": x}))
    assert type(net[0]) is ZR.ZORNeuronModule and report.network is not net
    assert type(report.network[0]) is marlune.ZORModulePyThread
    assert torch.equal(report.network(x), before) and report.max_difference == 0
    assert not {id(p) for p in net.parameters()} & {id(p) for p in report.network.parameters()}


def test_convert_refuses_what_it_cannot_convert():
    cyclic = nn.Sequential(ZR.ZORNeuronModule(nn.Linear(2, 2), 1), nn.Sequential())
    cyclic[1].append(cyclic)
    with pytest.raises(ValueError, match=r"cycle: 1\.0 is the network itself"):
        quorvane.convert(cyclic)
    assert type(cyclic[0]) is ZR.ZORNeuronModule  # refused before any change
    with pytest.raises(TypeError, match="torch.nn.Module"):
        quorvane.convert([nn.Linear(2, 2)])
    with pytest.raises(TypeError, match="pair"):
        quorvane.convert(nn.Linear(2, 2), verify=torch.ones(2))
