"""quorvane.save and quorvane.load: a converted network kept as safetensors weights and a
JSON config, and built again on its plain architecture in another process."""

import copy
import json
import os
import re
import signal

import pytest
import torch
import torch.nn as nn

pytest.importorskip("safetensors", reason="quorvane.save/load write safetensors (a dependency of the package)")

import quorvane  # noqa: E402
from networks import ROUND_TRIP, deployed, structure  # noqa: E402
from quorvane import modules_quorvane as ZR  # noqa: E402
from quorvane.checkpoints import CONFIG_NAME, WEIGHTS_NAME, CheckpointError  # noqa: E402
from subproc import run_python  # noqa: E402

TESTS = os.path.dirname(os.path.abspath(__file__))


def outputs(net, x):
    threads = torch.get_num_threads()
    torch.set_num_threads(1)  # as in the loading process: the same kernels, bit for bit
    try:
        with torch.no_grad():
            return net(x)
    finally:
        torch.set_num_threads(threads)


LOAD_ELSEWHERE = """
    import json, sys
    import torch
    sys.path.insert(0, {tests!r})
    torch.set_num_threads(1)
    import quorvane
    from networks import ROUND_TRIP, structure
    from safetensors.torch import load_file, save_file

    torch.manual_seed(12345)  # initial weights other than the saved ones
    net = quorvane.load(ROUND_TRIP[{kind!r}][0](), {directory!r}).eval()
    # A copy where torch puts a tensor: one read in place from the file may sit at an
    # address whose alignment sends the CPU kernels down another path.
    x = load_file({io!r})["x"].clone()
    with torch.no_grad():
        out = net(x)
    save_file({{"out": out.contiguous()}}, {io!r})
    print(json.dumps(structure(net)))
"""


@pytest.mark.parametrize("kind", list(ROUND_TRIP))
def test_round_trip_in_a_new_process_is_bit_equal(tmp_path, kind):
    from safetensors.torch import load_file, save_file

    net, sample = deployed(kind)
    x = torch.randn(6, *sample)
    expected = outputs(net, x)
    quorvane.save(net, tmp_path / "converted")
    assert sorted(os.listdir(tmp_path / "converted")) == [CONFIG_NAME, WEIGHTS_NAME]
    save_file({"x": x}, tmp_path / "io.safetensors")

    result = run_python(LOAD_ELSEWHERE.format(tests=TESTS, kind=kind, directory=str(tmp_path / "converted"),
                                              io=str(tmp_path / "io.safetensors")))
    assert result.returncode == 0, result.stderr
    assert torch.equal(load_file(tmp_path / "io.safetensors")["out"], expected)
    # Every position holds what it held, and exactly the same names share one tensor
    # (a layer under two names, an output layer tied to an embedding).
    positions, groups = json.loads(result.stdout)
    assert [tuple(p) for p in positions] == structure(net)[0]
    assert groups == structure(net)[1]


def test_config_names_each_position_and_what_it_holds(tmp_path):
    net, _ = deployed("tied")
    quorvane.save(net, tmp_path)
    config = json.loads((tmp_path / CONFIG_NAME).read_text())
    by_path = {entry["paths"][0]: entry for entry in config["modules"]}
    assert sorted(by_path) == ["a", "b", "head", "rnn"]
    assert by_path["rnn"]["processors"] == ["TupleOutputProcessor"] * 3
    assert by_path["a"] == dict(by_path["b"], paths=["a"])
    assert by_path["a"] | {"paths": None} == {
        "paths": None, "layer": "torch.nn.modules.linear.Linear", "dendrites": 2,
        "layer_tensors": {"weight": [[8, 5], "float32"], "bias": [[8], "float32"]},
        "processors": [None, None, None], "skip_weights": [[1, 8], [2, 8]], "node_index": 2, "num_cycles": 2,
        "view_tuple": [1, 1, -1]}
    # Stored once: the tied output weight, and what the two clean modules of one wrapper share.
    assert config["shared"]["head.layer_array.2.weight"] == "embed.weight"
    assert config["shared"]["b.layer_array.0.weight"] == "a.layer_array.0.weight"
    assert "b.view_tuple" not in config["shared"]


# --- bad input: one CheckpointError, and nothing of the base network changed ------------------


def plain(kind="mlp", seed=7):
    torch.manual_seed(seed)
    return ROUND_TRIP[kind][0]()


def edit_config(directory, change):
    path = directory / CONFIG_NAME
    config = json.loads(path.read_text())
    change(config)
    path.write_text(json.dumps(config))


def truncate(path, keep):
    data = path.read_bytes()
    path.write_bytes(data[:keep(len(data))])


def other_save(directory, tmp_path):
    quorvane.save(deployed("mlp", seed=1)[0], tmp_path / "other")
    (directory / WEIGHTS_NAME).write_bytes((tmp_path / "other" / WEIGHTS_NAME).read_bytes())


def untied():
    net = plain("tied")
    net.head.weight = nn.Parameter(net.embed.weight.detach().clone())
    return net


BAD_LOADS = {
    # case: (what to do to the saved directory, the base network, the message)
    "another architecture": (None, lambda: plain("cnn"),
                             "the checkpoint converts the layer at 0, which base_net does not have"),
    "a missing position": (None, lambda: nn.Sequential(*list(plain())[:3]),
                           "the checkpoint converts the layer at 4, which base_net does not have"),
    "an extra position": (None, lambda: nn.Sequential(*plain(), nn.Linear(4, 4)),
                          "base_net has 2 tensors the checkpoint lacks (5.weight, 5.bias)"),
    "another shape": (None, lambda: nn.Sequential(nn.Linear(8, 16), nn.ReLU(), nn.Linear(16, 12), nn.Tanh(),
                                                  nn.Linear(12, 4)),
                      "base_net's 2.bias is float32 of shape (12,), the checkpoint's float32 of shape (16,)"),
    "another class": (None, lambda: nn.Sequential(nn.Linear(8, 16), nn.ReLU(), nn.Bilinear(16, 16, 16)),
                      "base_net's 2 is a torch.nn.modules.linear.Bilinear; the checkpoint's main layer there is a "
                      "torch.nn.modules.linear.Linear"),
    "another dtype": (None, lambda: plain().double(),
                      "base_net's 0.bias is float64, the checkpoint's float32 (convert base_net first, e.g. "
                      "base_net.to(torch.float32))"),
    "an already converted base": (None, lambda: deployed("mlp")[0],
                                  "base_net already holds a ZORModulePyThread at 0"),
    "a base with tied weights untied": (None, untied, "the checkpoint shares one tensor between embed.weight and "
                                                      "head.layer_array.2.weight; base_net holds separate tensors"),
    "a tampered config": (lambda d, _: edit_config(d, lambda c: c["modules"][0].update(dendrites=3)), plain,
                          f"{CONFIG_NAME} was changed after it was saved"),
    "a config that is not JSON": (lambda d, _: truncate(d / CONFIG_NAME, lambda n: n - 5), plain,
                                  "is not valid JSON"),
    "a config nested 200,000 deep": (lambda d, _: (d / CONFIG_NAME).write_text("[" * 200_000 + "]" * 200_000),
                                     plain, "is nested too deeply to be a quorvane checkpoint config"),
    "a newer format version": (lambda d, _: edit_config(d, lambda c: c.update(format_version=2)), plain,
                               "has format version 2; this quorvane reads version 1 (the checkpoint was written by a "
                               "newer quorvane: upgrade quorvane to load it)"),
    "a truncated weights file": (lambda d, _: truncate(d / WEIGHTS_NAME, lambda n: n // 2), plain, "is truncated: "),
    "weights of another save": (other_save, plain, f"is not the file saved with {CONFIG_NAME}"),
    "no checkpoint": (lambda d, _: os.remove(d / CONFIG_NAME), plain, "holds no quorvane checkpoint"),
    # Further entries: (..., the options of load, the kind saved)
    "an unavailable device": (None, plain, "device cuda:99 is not available here (", {"device": "cuda:99"}),
    "not a device": (None, plain, "device='nowhere' is not a torch device", {"device": "nowhere"}),
    "the meta device": (None, plain, "device='meta' cannot hold the checkpoint's values", {"device": "meta"}),
    # Every meta tensor reports memory address 0: ties are told by the tensor objects.
    "a meta base with tied weights untied": (None, lambda: untied().to("meta"),
                                             "the checkpoint shares one tensor between embed.weight and "
                                             "head.layer_array.2.weight; base_net holds separate tensors"),
    "a meta base with a buffer outside its state_dict": (
        None, lambda: on_meta("odd"), "base_net's odd.offset is a meta tensor outside its state_dict (a "
                                      "non-persistent buffer), so the checkpoint holds no value for it", {}, "odd"),
    "a meta base of another dtype": (None, lambda: on_meta().double(), "base_net's 0.bias is float64"),
}


def registered(net):
    """Every parameter and buffer object where it is registered, and its device."""
    return [(path, key, id(t), t.device) for path, m in net.named_modules(remove_duplicate=False)
            for key, t in (*m._parameters.items(), *m._buffers.items()) if t is not None]


def snapshot(net):
    return ([(name, type(m)) for name, m in net.named_modules(remove_duplicate=False)],
            {name: t.detach().clone() for name, t in net.state_dict().items() if not t.is_meta},
            sum(len(m._forward_pre_hooks) for m in net.modules()), registered(net))


def assert_unchanged(net, before):
    after = snapshot(net)
    assert after[0] == before[0] and after[2] == before[2] and after[3] == before[3]
    assert after[1].keys() == before[1].keys()
    assert all(torch.equal(after[1][name], before[1][name]) for name in before[1])


def on_meta(kind="mlp"):
    with torch.device("meta"):
        return ROUND_TRIP[kind][0]()


@pytest.mark.parametrize("case", list(BAD_LOADS))
def test_bad_load_is_one_error_and_changes_nothing(tmp_path, case):
    spoil, make_base, text, options, saved_kind = (*BAD_LOADS[case], {}, None)[:5]
    saved_kind = saved_kind or ("tied" if "tied" in case else "mlp")
    directory = tmp_path / "converted"
    quorvane.save(deployed(saved_kind)[0], directory)
    if spoil:
        spoil(directory, tmp_path)
    base = make_base()
    before = snapshot(base)
    with pytest.raises(CheckpointError, match=re.escape(text)):
        quorvane.load(base, directory, **options)
    assert_unchanged(base, before)


def failing(monkeypatch, owner, method, which, failure=KeyboardInterrupt):
    """`owner.method`'s call number `which` fails (None: only counts the calls): raises
    `failure`, or with failure="Ctrl-C" sends this process a SIGINT and goes on."""
    real, calls = getattr(owner, method), []

    def fails(self, *args, **kwargs):
        calls.append(1)
        if len(calls) == which and failure == "Ctrl-C":
            signal.raise_signal(signal.SIGINT)
        elif len(calls) == which:
            raise failure
        return real(self, *args, **kwargs)
    monkeypatch.setattr(owner, method, fails)
    return calls


@pytest.mark.parametrize("where, what, which, failure, outcome", [
    ("built", "copy_", 4, KeyboardInterrupt, "unchanged"),
    ("meta", "copy_", 4, KeyboardInterrupt, "unchanged"),
    ("built", "read", 1, KeyboardInterrupt, "unchanged"),
    ("meta", "read", -1, OSError, "unchanged"),
    ("built", "read", -1, OSError, "unchanged"),
    # base_net's last tensor takes its value: an interrupt then waits until it has.
    ("built", "copy_", -1, "Ctrl-C", "loaded"),
    # A meta base's last copy is one of load's own buffers: nothing waits.
    ("meta", "copy_", -1, "Ctrl-C", "unchanged"),
    # What cannot happen, copying into a tensor of the same shape failing, is told.
    ("built", "copy_", -2, RuntimeError, "partly loaded"),
])
def test_a_failure_while_copying_puts_everything_back(tmp_path, monkeypatch, where, what, which, failure, outcome):
    from quorvane.checkpoint_files import Weights

    quorvane.save(deployed("gru")[0], tmp_path)
    owner = torch.Tensor if what == "copy_" else Weights
    make = plain if where == "built" else on_meta
    loaded = quorvane.load(make("gru"), tmp_path)
    if which < 0:  # counted from the end of a load that succeeds
        base = make("gru")
        calls = failing(monkeypatch, owner, what, None)
        quorvane.load(base, tmp_path)
        monkeypatch.undo()
        which += len(calls) + 1
    base = make("gru")
    before = snapshot(base)
    failing(monkeypatch, owner, what, which, failure)
    with pytest.raises(RuntimeError if outcome == "partly loaded" else KeyboardInterrupt if failure == "Ctrl-C"
                       else failure) as raised:
        quorvane.load(base, tmp_path)
    monkeypatch.undo()
    if outcome == "partly loaded":
        assert "base_net holds some saved values and some of its own" in str(raised.value)
        return
    if outcome == "loaded":
        assert structure(base) == structure(loaded)
        assert all(torch.equal(t, loaded.state_dict()[n]) for n, t in base.state_dict().items())
        return
    assert_unchanged(base, before)
    assert quorvane.load(base, tmp_path) is base  # and it loads once the failure is gone


def copy_form(module):
    """What a deep copy of `module` holds apart from its tensors' values."""
    form = []
    for path, m in module.named_modules(remove_duplicate=False):
        plain_attributes = {k: v for k, v in vars(m).items() if not k.startswith("_") and not isinstance(v, torch.Tensor)}
        hooks = [len(getattr(m, k)) for k in sorted(vars(m)) if k.endswith("_hooks")]
        tensors = [(key, type(t), t.requires_grad, t.shape, t.dtype, t.stride(), t.storage_offset(), vars(t),
                    key in m._non_persistent_buffers_set)
                   for key, t in (*m._parameters.items(), *m._buffers.items()) if t is not None]
        form.append((path, type(m), sorted(plain_attributes), hooks, tensors))
    return form


CUDA = pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device here")


@pytest.mark.parametrize("where, device", [
    ("meta", None), ("meta", "cpu"), ("built", torch.device("cpu")),
    pytest.param("meta", "cuda", marks=CUDA), pytest.param("built", "cuda", marks=CUDA),
])
@pytest.mark.parametrize("kind", list(ROUND_TRIP))
def test_meta_and_built_bases_load_the_same(tmp_path, kind, where, device):
    """Onto a base built on the meta device or a materialised one, with device= or without:
    the same network as onto a freshly built base, every tensor where device= says; a
    built base keeps its parameters and their memory."""
    net, sample = deployed(kind)
    quorvane.save(net, tmp_path)
    reference = plain(kind)
    next(reference.parameters()).requires_grad_(False)
    quorvane.load(reference, tmp_path)
    base = plain(kind) if where == "built" else on_meta(kind)
    if kind == "odd" and where == "meta":  # what the checkpoint cannot give, given as the error says
        base.odd.offset = torch.full((6,), 0.25)
    next(base.parameters()).requires_grad_(False)
    own = [(p, p.data_ptr()) for p in base.parameters()]
    copies = {id(m): copy_form(copy.deepcopy(m)) for m in base.modules()}
    assert quorvane.load(base, tmp_path, device=device) is base

    assert structure(base) == structure(reference) == structure(net)
    expected_device = torch.device(device or "cpu").type
    assert {t.device.type for t in (*base.parameters(), *base.buffers())} == {expected_device}
    state, saved = base.state_dict(), net.state_dict()
    assert state.keys() == saved.keys() and all(torch.equal(state[n].cpu(), saved[n]) for n in saved)
    assert [p.requires_grad for p in base.parameters()] == [p.requires_grad for p in reference.parameters()]
    if where == "built":
        mine = {id(p): p for p in base.parameters()}
        assert all(mine.get(id(p)) is p for p, _ in own)
        if expected_device == "cpu":
            assert [p.data_ptr() for p, _ in own] == [ptr for _, ptr in own]
    # Each dendrite layer is what a deep copy of its main layer was (what load built
    # before it read dendrite tensors straight from the file).
    for clean in (m for m in base.modules() if type(m) is quorvane.marlune.ZORModulePyThread):
        *dendrites, main = clean.layer_array
        assert dendrites and all(copy_form(d) == copies[id(main)] for d in dendrites)
    if expected_device == "cpu":
        x = torch.randn(6, *sample)
        assert torch.equal(outputs(base.eval(), x), outputs(net, x))


class Doubler(ZR.ZORProcessor):
    def post_n2(self, out):
        return out * 2


def custom_processor_net():
    return nn.Sequential(ZR.ZORNeuronModule(nn.Linear(3, 3), 1, processor_factory=Doubler))


def odd_dendrite_net():
    net = quorvane.convert(nn.Sequential(ZR.ZORNeuronModule(nn.Linear(3, 3), 1))).network
    net[0].layer_array[0] = nn.Linear(3, 3, bias=False)
    return net


@pytest.mark.parametrize("make, text", [
    (lambda: nn.Sequential(ZR.ZORNeuronModule(nn.Linear(3, 3), 1)), "still holds a ZORNeuronModule at 0: convert it"),
    (lambda: nn.Sequential(nn.Linear(3, 3)), "holds no converted modules"),
    (lambda: quorvane.convert(custom_processor_net()).network,
     "the processor of its dendrite layer 0 is a test_checkpoints.Doubler"),
    (odd_dendrite_net, "dendrite layer 0 is not a copy of the main layer's architecture"),
])
def test_save_refuses_what_a_config_cannot_bring_back(tmp_path, make, text):
    with pytest.raises(CheckpointError, match=re.escape(text)):
        quorvane.save(make(), tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_save_is_all_or_nothing(tmp_path, monkeypatch):
    """A failure while writing the config leaves the weights of an earlier save as they were."""
    directory = tmp_path / "converted"
    quorvane.save(deployed("mlp")[0], directory)
    before = {name: (directory / name).read_bytes() for name in os.listdir(directory)}

    def full(*args):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr("quorvane.checkpoints.write_config", full)
    with pytest.raises(OSError, match=re.escape(f"No space left on device: '{directory / CONFIG_NAME}'")):
        quorvane.save(deployed("mlp", seed=1)[0], directory)
    assert {name: (directory / name).read_bytes() for name in os.listdir(directory)} == before
