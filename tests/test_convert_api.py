"""quorvane.convert: both passes in one call, and a report of what they did and left."""

import contextlib
import copy
import os
import re
import sys

import pytest
import torch
import torch.nn as nn

import quorvane
import quorvane.marlune as marlune
from quorvane import modules_quorvane as ZR
from subproc import run_python


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


# --- verification on forwards that change their own state ---------------------------------


class SelfChanging(nn.Module):
    """A layer after a trained wrapper whose forward changes its own parameter or buffer
    in one of the ways a forward can."""

    def __init__(self, how):
        super().__init__()
        self.how = how
        self.weight = nn.Parameter(torch.randn(4))
        self.register_buffer("scale", torch.full((4,), 2.0))
        if how == "inference tensor written through .data":
            with torch.inference_mode():
                self.weight = nn.Parameter(torch.randn(4))

    def forward(self, x):
        with torch.no_grad():
            if self.how == "parameter written in place":
                self.weight.add_(1)       # seen by its version counter, values not kept
            elif self.how == "another layer's parameter written in place":
                self.others[0].mul_(2)    # named as in the converted network
            elif self.how == "parameter renormalised in a view":
                self.weight[:2].div_(self.weight[:2].norm())
            elif self.how == "parameter .data reassigned":
                self.weight.data = self.weight.data * 3
            elif self.how == "parameter object replaced":
                self.weight = nn.Parameter(self.weight * 3)
            elif self.how == "buffer object replaced":
                self.scale = torch.full_like(self.scale, 5.0)
            elif self.how == "buffer resized and written":
                self.scale.resize_(8).fill_(7.0)
            elif self.how == "inference tensor written through .data":
                self.weight.data.add_(1)  # invisible to version counters: inference tensors are copied
        return x * self.weight * self.scale[:4]


@pytest.mark.parametrize("how, written", [
    ("parameter written in place", ("1.weight",)),
    ("parameter renormalised in a view", ("1.weight",)),
    ("another layer's parameter written in place", ("0.layer_array.2.weight",)),
    ("parameter .data reassigned", ()),
    ("parameter object replaced", ()),
    ("buffer object replaced", ()),
    ("buffer resized and written", ()),
    ("inference tensor written through .data", ()),
])
@pytest.mark.parametrize("mode", [contextlib.nullcontext, torch.inference_mode])
def test_verification_puts_back_what_the_forward_changed_or_names_it(how, written, mode):
    torch.manual_seed(2)
    net = nn.Sequential(ZR.ZORNeuronModule(nn.Linear(4, 4), 2), SelfChanging(how)).eval()
    net[1].others = [net[0].main_module.weight]
    x = torch.randn(3, 4)
    objects = {name: (t, t.data_ptr(), t.shape, t.stride()) for name, t in
               list(net.named_parameters()) + list(net.named_buffers())}
    values = {name: t.detach().clone() for name, (t, *_) in objects.items()}
    after_one = copy.deepcopy(net)
    after_one(x)

    with mode():
        report = quorvane.convert(net, verify=((x,), {}))

    assert report.verification.written == written
    # Every tensor is the same object in the same memory; its values are those from before,
    # or, where named, those one trained forward left. All three runs started from the same
    # weights, so the comparison is exact even where a forward writes them.
    held = dict(report.network.named_parameters()) | dict(report.network.named_buffers())
    reference = dict(after_one.named_parameters()) if written else {}
    for name, (tensor, pointer, shape, stride) in objects.items():
        if not (how.startswith("buffer resized") and name == "1.scale"):  # resize_ frees the old memory
            assert tensor.data_ptr() == pointer, name
        assert (tensor.shape, tensor.stride()) == (shape, stride), name
        assert torch.equal(tensor, reference.get(name, values[name])), name
    assert held["1.weight"] is objects["1.weight"][0] and held["1.scale"] is objects["1.scale"][0]
    assert report.max_difference == 0
    assert ("could not put back " + ", ".join(written) + ":" in str(report)) == bool(written)


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


def test_copy_mode_counts_none_of_the_callers_tensors_as_shared():
    net = nn.Sequential(ZR.ZORNeuronModule(nn.Linear(4, 4), 2), nn.Tanh())
    report = quorvane.convert(net, inplace=False)
    assert report.parameters == 8 and report.shared_parameters == 0 and report.shared_modules == 0
    assert [(c.parameters, c.shared) for c in report.converted] == [(8, 0)]
    assert "0 of 8 parameter tensors and 0 of 8 modules are the trained network's own (8 copied: inplace=False " \
           "converted a copy)" in str(report)
    in_place = quorvane.convert(net)
    assert (in_place.shared_parameters, in_place.shared_modules, in_place.modules) == (8, 5, 8)


# --- what the dendrites cost, against the network that never had them -------------------


class Doubler(ZR.ZORProcessor):
    """A main processor that changes the main layer's output."""

    def post_n2(self, out):
        return out * 2


class Recurrent(nn.Module):
    def __init__(self):
        super().__init__()
        self.rnn = nn.GRU(3, 4, batch_first=True)
        self.out = nn.Linear(4, 2)

    def forward(self, x):
        return self.out(self.rnn(x)[0])


@pytest.mark.parametrize("make_plain, types, x", [
    (lambda: nn.Sequential(nn.Linear(3, 5), nn.ReLU(), nn.Linear(5, 2)), (nn.Linear,), torch.randn(4, 3)),
    (Recurrent, (nn.GRU, nn.Linear), torch.randn(2, 5, 3)),
])
def test_without_dendrites_is_the_network_before_wrapping(make_plain, types, x):
    from quorvane import conversion
    from quorvane import utils_quorvane as UZR

    torch.manual_seed(0)
    plain = make_plain()
    trained = copy.deepcopy(plain)
    dendrites = {name: 1 + i for i, name in enumerate(UZR.wrap_layers(copy.deepcopy(plain), types))}
    UZR.wrap_layers(trained, types, num_dendrites=lambda name, layer: dendrites[name], sample_input=x)
    report = quorvane.convert(trained)
    with torch.no_grad():
        assert torch.equal(conversion.without_dendrites(report.network)(x), plain(x))
    cost = report.cost
    # Every parameter of the plain network, once per dendrite layer, and k rows of
    # neuron-wide skip weights for the k-th dendrite.
    layers = {name: layer for name, layer in plain.named_modules() if name in dendrites}
    assert cost.without_dendrites == cost.main_layers == sum(p.numel() for p in plain.parameters())
    assert cost.dendrites == sum(n * sum(p.numel() for p in layers[name].parameters()) for name, n in dendrites.items())
    width = {name: (layer.hidden_size if isinstance(layer, nn.GRU) else layer.out_features)
             for name, layer in layers.items()}
    assert cost.skip_weights == sum(width[name] * n * (n + 1) // 2 for name, n in dendrites.items())
    assert f"{cost.total:,} in all, {cost.ratio:.2f}x" in str(report)


def test_without_dendrites_keeps_a_main_processor_that_changes_the_output():
    from quorvane import conversion

    torch.manual_seed(0)
    layer = nn.Linear(3, 3)
    net = quorvane.convert(nn.Sequential(ZR.ZORNeuronModule(copy.deepcopy(layer), 2, processor_factory=Doubler))).network
    x = torch.randn(2, 3)
    with torch.no_grad():
        assert torch.equal(conversion.without_dendrites(net)(x), layer(x) * 2)


# --- the report's reasons agree with what the walks did ---------------------------------------


class Hidden(nn.Module):
    """A registered child that the walks never see: a class-level property has its name."""

    def __init__(self):
        super().__init__()
        self._modules["inner"] = ZR.ZORNeuronModule(nn.Linear(3, 3), 1)

    inner = property(lambda self: self._modules["inner"])


def every_situation():
    net = Mixed()
    net.nested = ZR.ZORNeuronModule(nn.Sequential(ZR.ZORNeuronModule(nn.Linear(3, 3), 1)), 1,
                                    output_dimensions=[-1, 3], node_index=1)
    net.hidden = Hidden()
    return net


def walk_path(net, dotted):
    """A named_modules path as the walks print it ("seq.2" -> ".seq[2]")."""
    out, module = "", net
    for part in dotted.split(".") if dotted else []:
        out += f"[{part}]" if isinstance(module, (nn.Sequential, nn.ModuleList)) else f".{part}"
        module = module._modules[part]
    return out


def walk_logs(net, capsys, default_settings):
    """What each walk printed about the paths it converted, skipped and visited."""
    import quorvane.ostrelle as ostrelle

    default_settings.set_extra_verbose(True)
    capsys.readouterr()
    net = ostrelle.blockwise_network(net)
    blockwise = capsys.readouterr().out
    marlune.refresh_net(net)
    cleanup = capsys.readouterr().out
    default_settings.set_extra_verbose(False)
    return {"converted": set(re.findall(r"(?:optimizing|optimization for): (\S*)$", blockwise, re.M)),
            "skipped": set(re.findall(r"^Skipping (\S+) during save$", blockwise, re.M)),
            "visited": dict(re.findall(r"^CL calling convert on (\S*): (\w+), depth \d+$", cleanup, re.M))}


def reason_from_logs(path, kind, logs):
    """Why a wrapper is left, as the walks' own diagnostics show it."""
    under = [c for c in logs["converted"] if path.startswith(c) and path != c]
    if path == "":
        return "root"
    if kind == "ZORLayer":  # made by the blockwise walk, never replaced by the clean-up walk
        assert path in logs["converted"] and path not in logs["visited"]
        tracked = [v for v, cls in logs["visited"].items() if path.startswith(v + ".") and cls == "Tracked"]
        if tracked:
            return "inside a tracked class"
        if re.search(r"\.(device|dtype)$", path):
            return "reserved name"
        return "not reached by the walks"
    assert path not in logs["converted"]
    if path in logs["skipped"]:
        return "skipped by the settings"
    if under:
        return "inside another wrapper"
    if kind != "ZORNeuronModule" and logs["visited"].get(path) == kind:
        return "subclass"  # walked into as any other module
    container, index = re.fullmatch(r"(.*)\[(\d+)\]", path).groups() if path.endswith("]") else (None, None)
    if container is not None and any(c.startswith(container + "[") and int(c[len(container) + 1:-1]) < int(index)
                                     for c in logs["converted"]):
        return "repeated position"
    assert not any(path in found for found in logs.values())
    return "not reached by the walks"


def test_reasons_agree_with_the_walks_diagnostics(default_settings, capsys):
    for settings in (lambda s: s.set_module_names_to_not_save([".kept"]), lambda s: s.set_modules_to_track([Tracked])):
        settings(default_settings)
    report = quorvane.convert(every_situation())
    net = every_situation()
    logs = walk_logs(net, capsys, default_settings)  # converts net, as convert() did its twin
    paths = {u.path: walk_path(net, u.path) for u in report.unconverted}
    reasons = {u.path: (u.reason, reason_from_logs(paths[u.path], u.kind, logs)) for u in report.unconverted}
    assert {reason for reason, _ in reasons.values()} == {
        "repeated position", "reserved name", "subclass", "skipped by the settings", "inside a tracked class",
        "inside another wrapper", "not reached by the walks"}
    assert all(ours == theirs for ours, theirs in reasons.values()), reasons
    root = ZR.ZORNeuronModule(nn.Linear(2, 2), 1)
    assert reason_from_logs("", "ZORNeuronModule", walk_logs(copy.deepcopy(root), capsys, default_settings)) == \
        quorvane.convert(root).unconverted[0].reason


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="peak memory read through /proc")
@pytest.mark.skipif(bool(os.environ.get("QUORVANE_SANITIZED")), reason="the sanitizer's allocator holds freed memory back")
def test_verification_does_not_copy_the_weights():
    # Peak memory in a process of its own: verifying costs the activations and the buffers,
    # not a second copy of the weights (48 MB of them here).
    result = run_python("""
        import gc, os, torch, torch.nn as nn, quorvane
        from quorvane import modules_quorvane as ZR
        net = nn.Sequential(ZR.ZORNeuronModule(nn.Linear(2048, 2048), 2), nn.BatchNorm1d(2048)).train()
        x = torch.randn(4, 2048)
        with torch.no_grad():
            net(x)
        weights = sum(p.numel() * p.element_size() for p in net.parameters())
        gc.collect()
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        with open("/proc/self/statm") as f:
            before = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        report = quorvane.convert(net, verify=((x,), {}))
        assert report.max_difference == 0
        # VmHWM, which clear_refs resets (ru_maxrss keeps the peaks of threads that ended before)
        with open("/proc/self/status") as f:
            peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
        print((peak - before) / weights)
    """)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 0.4
