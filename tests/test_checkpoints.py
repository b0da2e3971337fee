"""quorvane.save and quorvane.load: a converted network kept as safetensors weights and a
JSON config, and built again on its plain architecture in another process."""

import hashlib
import copy
import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest
import torch
import torch.nn as nn

pytest.importorskip("safetensors", reason="quorvane.save/load write safetensors (a dependency of the package)")

import quorvane  # noqa: E402
from networks import ROUND_TRIP, deployed, structure  # noqa: E402
from quorvane import modules_quorvane as ZR  # noqa: E402
from quorvane import checkpoint as checkpoints  # noqa: E402
from quorvane.checkpoint import files as checkpoint_files, tensor_files  # noqa: E402
from quorvane.checkpoint import CONFIG_NAME, INDEX_NAME, SHARD_NAME, WEIGHTS_NAME, CheckpointError  # noqa: E402
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


def shard_count(net, max_shard_size):
    return len(checkpoint_files.shards(checkpoints.prepare(net).tensors,
                                       checkpoint_files.parse_shard_size(max_shard_size)))


def layout(net, max_shard_size):
    """The files a save of `net` must leave, and nothing else."""
    count = shard_count(net, max_shard_size)
    if count == 1:
        return [CONFIG_NAME, WEIGHTS_NAME]
    return sorted([CONFIG_NAME, INDEX_NAME] + [SHARD_NAME.format(n, count) for n in range(1, count + 1)])


@pytest.mark.parametrize("kind, max_shard_size", [(kind, "5GB") for kind in ROUND_TRIP]
                         + [("tied", "2KB"), ("gru", "1KiB")])
def test_round_trip_in_a_new_process_is_bit_equal(tmp_path, kind, max_shard_size):
    from safetensors.torch import load_file, save_file

    net, sample = deployed(kind)
    x = torch.randn(6, *sample)
    expected = outputs(net, x)
    quorvane.save(net, tmp_path / "converted", max_shard_size=max_shard_size)
    assert sorted(os.listdir(tmp_path / "converted")) == layout(net, max_shard_size)
    assert max_shard_size == "5GB" or shard_count(net, max_shard_size) >= 4
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


def flip_byte(path, where):
    """Changes one byte, at `where(bytes)`, keeping the size."""
    data = bytearray(path.read_bytes())
    data[where(data)] ^= 0x10
    path.write_bytes(bytes(data))


def other_save(directory, tmp_path):
    quorvane.save(deployed("mlp", seed=1)[0], tmp_path / "other")
    (directory / WEIGHTS_NAME).write_bytes((tmp_path / "other" / WEIGHTS_NAME).read_bytes())


def forge(directory, change, length=None, pad=0):
    """Rewrites the weights file with its header changed by `change` (and, given, a
    header length of `length` and `pad` zero bytes at the end), and the config's size and
    SHA-256 of it made to match, as a forger would: only the header's own checks are left."""
    path = directory / WEIGHTS_NAME
    data = path.read_bytes()
    size = int.from_bytes(data[:8], "little")
    header = json.loads(data[8:8 + size])
    change(header)
    text = header if isinstance(header, bytes) else json.dumps(header).encode()
    forged = (len(text) if length is None else length).to_bytes(8, "little") + text + data[8 + size:] + bytes(pad)
    path.write_bytes(forged)
    edit_config(directory, lambda c: c["weights"].update(bytes=len(forged), sha256=hashlib.sha256(forged).hexdigest()))


def in_file_order(header):
    return sorted((v for k, v in header.items() if k != "__metadata__"), key=lambda v: v["data_offsets"])


def first_tensor(header):
    return in_file_order(header)[0]


def second_tensor(header):
    return in_file_order(header)[1]


def shift_last(header):
    in_file_order(header)[-1]["data_offsets"][:] = [n + 4 for n in in_file_order(header)[-1]["data_offsets"]]


def grow_last(header):
    """The last tensor made 1000 times longer, its shape and offsets agreeing."""
    last = in_file_order(header)[-1]
    begin, end = last["data_offsets"]
    last.update(shape=[1000 * (end - begin) // 4], data_offsets=[begin, begin + 1000 * (end - begin)])


def shard(directory, number):
    return next(directory.glob(f"quorvane_model-{number:05d}-of-*.safetensors"))


def swap(a, b):
    os.rename(a, a.with_name("x"))
    os.rename(b, a)
    os.rename(a.with_name("x"), b)


def remap_index(directory):
    """Maps the first tensor of shard 1 to shard 2 in the index, its size and SHA-256
    in the config made to match."""
    index = json.loads((directory / INDEX_NAME).read_text())
    name = next(name for name, file in index["weight_map"].items() if file == shard(directory, 1).name)
    index["weight_map"][name] = shard(directory, 2).name
    text = json.dumps(index).encode()
    (directory / INDEX_NAME).write_bytes(text)
    edit_config(directory, lambda c: c["weights"]["index"].update(bytes=len(text),
                                                                  sha256=hashlib.sha256(text).hexdigest()))


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
    "a newer format version": (lambda d, _: edit_config(d, lambda c: c.update(format_version=3)), plain,
                               "has format version 3; this quorvane reads versions 1 and 2 (the checkpoint was written "
                               "by a newer quorvane: upgrade quorvane to load it)"),
    "a truncated weights file": (lambda d, _: truncate(d / WEIGHTS_NAME, lambda n: n // 2), plain, "is truncated: "),
    "weights of another save": (other_save, plain, f"is not the file saved with {CONFIG_NAME}"),
    # The digests are checked while the values are read: a changed byte is still found
    # before base_net changes, and named as a changed file even where the header breaks.
    "a changed byte inside the last tensor": (lambda d, _: flip_byte(d / WEIGHTS_NAME, lambda b: len(b) - 1), plain,
                                             f"is not the file saved with {CONFIG_NAME}"),
    "a changed byte inside the header": (lambda d, _: flip_byte(d / WEIGHTS_NAME, lambda b: b.index(b'"shape"') + 1),
                                         plain, f"is not the file saved with {CONFIG_NAME}"),
    "no checkpoint": (lambda d, _: os.remove(d / CONFIG_NAME), plain, "holds no quorvane checkpoint"),
    "a weights file that is a FIFO": (lambda d, _: (os.remove(d / WEIGHTS_NAME), os.mkfifo(d / WEIGHTS_NAME)), plain,
                                      f"{WEIGHTS_NAME} is not a regular file"),
    # The header's own checks, behind a forged size and SHA-256.
    "a forged header length past the file": (lambda d, _: forge(d, lambda h: None, length=2**40), plain,
                                             f"claims a header of {2**40} bytes, beyond the file's"),
    "a forged header length past 100 MB": (lambda d, _: forge(d, lambda h: None, length=100_000_008,
                                                              pad=100_000_008), plain,
                                           "claims a header of 100000008 bytes, more than the 100000000"),
    "a forged header that is not JSON": (lambda d, _: forge(d, lambda h: h.update({"x": {}}) or None,
                                                            length=12), plain, "header is not valid JSON"),
    "forged offsets past the end": (lambda d, _: forge(d, grow_last), plain, "bytes lie beyond the end of the file"),
    "forged offsets leaving a gap": (lambda d, _: forge(d, shift_last, pad=4), plain,
                                     "bytes leave a gap after the tensor before it"),
    "forged bytes after the last tensor": (lambda d, _: forge(d, lambda h: None, pad=8), plain,
                                           "has 8 bytes after its last tensor"),
    "forged overlapping offsets": (lambda d, _: forge(d, lambda h: second_tensor(h).update(
        data_offsets=[second_tensor(h)["data_offsets"][0] - 4, second_tensor(h)["data_offsets"][1] - 4])), plain,
                                   "bytes overlap another tensor's"),
    "forged offsets that disagree with the shape": (lambda d, _: forge(d, lambda h: first_tensor(h).update(
        shape=first_tensor(h)["shape"] + [2])), plain, "needs"),
    "a forged dtype": (lambda d, _: forge(d, lambda h: first_tensor(h).update(dtype="F128")), plain,
                       "has the dtype 'F128', which this quorvane does not read"),
    # Sharded checkpoints (saved with a small max_shard_size).
    "a damaged shard": (lambda d, _: truncate(shard(d, 2), lambda n: n - 1), plain,
                        "-of-00016.safetensors is truncated"),
    "a missing shard": (lambda d, _: os.remove(shard(d, 3)), plain,
                        "lacks quorvane_model-00003-of-00016.safetensors, one of the 16 weights files"),
    "a missing shard index": (lambda d, _: os.remove(d / INDEX_NAME), plain,
                              f"holds a sharded checkpoint without its index: {INDEX_NAME} is missing"),
    "a shard index mapping a tensor to another shard": (lambda d, _: remap_index(d), plain,
                                                        "to quorvane_model-00002-of-00016.safetensors, but "
                                                        "quorvane_model-00001-of-00016.safetensors holds it"),
    "shards swapped": (lambda d, _: swap(shard(d, 1), shard(d, 2)), plain, "is not the file saved with"),
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


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
def on_meta(kind="mlp"):
    with torch.device("meta"):
        return ROUND_TRIP[kind][0]()


@pytest.mark.parametrize("case", list(BAD_LOADS))
def test_bad_load_is_one_error_and_changes_nothing(tmp_path, case):
    spoil, make_base, text, options, saved_kind = (*BAD_LOADS[case], {}, None)[:5]
    saved_kind = saved_kind or ("tied" if "tied" in case else "mlp")
    directory = tmp_path / "converted"
    quorvane.save(deployed(saved_kind)[0], directory, max_shard_size=400 if "shard" in case else "5GB")
    if spoil:
        spoil(directory, tmp_path)
    base = make_base()
    before = snapshot(base)
    descriptors = open_descriptors()
    with pytest.raises(CheckpointError, match=re.escape(text)):
        quorvane.load(base, directory, **options)
    assert_unchanged(base, before)
    assert open_descriptors() == descriptors  # every file it opened is closed again


@pytest.fixture
def python_sigint():
    """Ctrl-C raises KeyboardInterrupt, as in an interactive session, also where this
    process was started ignoring SIGINT (a background job of a shell script)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


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
def test_a_failure_while_copying_puts_everything_back(tmp_path, monkeypatch, python_sigint, where, what, which,
                                                     failure, outcome):
    from quorvane.checkpoint.files import Weights

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


class Packed(torch.Tensor):
    """A wrapper subclass as quantization libraries make them: its data lives in an inner
    tensor, and its own storage has no memory to read."""

    @staticmethod
    def __new__(cls, inner):
        return torch.Tensor._make_wrapper_subclass(cls, inner.shape, dtype=inner.dtype, device=inner.device)

    def __init__(self, inner):
        self.inner = inner

    @classmethod
    def __torch_dispatch__(cls, func, types, args=(), kwargs=None):
        unwrap = lambda t: t.inner if isinstance(t, Packed) else t  # noqa: E731
        return func(*torch.utils._pytree.tree_map(unwrap, args), **torch.utils._pytree.tree_map(unwrap, kwargs or {}))


def with_buffer(value):
    net = deployed("mlp")[0]
    net[0].register_buffer("scale", value)
    return net


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
    (lambda: with_buffer(Packed(torch.randn(3))), "the state_dict entry 0.scale is a Packed, a tensor subclass whose "
                                                  "memory cannot be read as plain bytes"),
    (lambda: with_buffer(torch.zeros(2, dtype=torch.complex128)), "0.scale is a torch.complex128 tensor, a dtype a "
                                                                  "safetensors checkpoint cannot hold"),
])
def test_save_refuses_what_a_config_cannot_bring_back(tmp_path, make, text):
    with pytest.raises(CheckpointError, match=re.escape(text)):
        quorvane.save(make(), tmp_path / "out")
    assert not (tmp_path / "out").exists()


def full_disk(monkeypatch, name):
    """Writes to the file that will be `name` fail with ENOSPC (seen through /proc)."""
    real = os.write

    def write(fd, data):
        if name in os.readlink(f"/proc/self/fd/{fd}"):
            raise OSError(28, "No space left on device")
        return real(fd, data)
    monkeypatch.setattr(os, "write", write)


@pytest.mark.parametrize("earlier, later, failing", [
    ("5GB", "5GB", "the config"), ("5GB", "5GB", WEIGHTS_NAME), (600, 600, SHARD_NAME.format(2, 11)),
    (600, "5GB", WEIGHTS_NAME), ("5GB", 600, SHARD_NAME.format(11, 11)), (2000, 600, INDEX_NAME),
])
def test_save_is_all_or_nothing(tmp_path, monkeypatch, earlier, later, failing):
    """A failure while writing any file (a full disk) leaves every file of an earlier
    save as it was, temporary ones gone, and names the file asked for."""
    directory = tmp_path / "converted"
    quorvane.save(deployed("mlp")[0], directory, max_shard_size=earlier)
    before = {name: (directory / name).read_bytes() for name in os.listdir(directory)}

    def full(*args):
        raise OSError(28, "No space left on device")
    if failing == "the config":
        monkeypatch.setattr("quorvane.checkpoint.saving.write_config", full)
    elif sys.platform != "linux":
        pytest.skip("reads the names of open files from /proc")
    else:
        full_disk(monkeypatch, failing)
    named = directory / (CONFIG_NAME if failing == "the config" else failing)
    with pytest.raises(OSError, match=re.escape(f"No space left on device: '{named}'")):
        quorvane.save(deployed("mlp", seed=1)[0], directory, max_shard_size=later)
    assert {name: (directory / name).read_bytes() for name in os.listdir(directory)} == before


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_resaves_leave_only_their_own_files_each_with_the_umask_mode(tmp_path, umask):
    """Shards, fewer shards, one file, shards again: each save leaves exactly its files,
    every one with the mode the umask gives, and each shard as full as transformers
    fills them (closed before the tensor that would overflow it; a larger one alone)."""
    old = os.umask(umask)
    try:
        # 544: the first four tensors fill the first shard exactly; 1024-byte tensors are larger.
        for seed, max_shard_size in enumerate([544, 2000, "5GB", 544]):
            net = deployed("mlp", seed=seed)[0]
            quorvane.save(net, tmp_path, max_shard_size=max_shard_size)
            assert sorted(os.listdir(tmp_path)) == layout(net, max_shard_size)
            assert {oct(os.stat(tmp_path / name).st_mode & 0o777) for name in os.listdir(tmp_path)} == {
                oct(0o666 & ~umask)}
            loaded = quorvane.load(plain(), tmp_path)
            assert all(torch.equal(a, b) for a, b in zip(loaded.state_dict().values(), net.state_dict().values()))
            if max_shard_size == 544:
                index = json.loads((tmp_path / INDEX_NAME).read_text())
                sizes = checkpoints.prepare(net).tensors
                files = {}
                for name, file in index["weight_map"].items():
                    files.setdefault(file, []).append(tensor_files.nbytes(sizes[name]))
                shards = [files[name] for name in sorted(files)]
                assert all(sum(s) <= 544 or len(s) == 1 for s in shards) and sum(shards[0]) == 544
                assert all(sum(s) + t[0] > 544 for s, t in zip(shards, shards[1:]))
                assert index["metadata"]["total_size"] == sum(map(sum, shards))
    finally:
        os.umask(old)


KILLED_SAVE = """
    import os, sys, time
    sys.path.insert(0, {tests!r})
    import quorvane
    from networks import deployed

    net, real = deployed("mlp")[0], os.write

    def write(fd, data):  # stops for good inside the second shard
        if "-00002-of-" in os.readlink(f"/proc/self/fd/{{fd}}"):
            print("writing", flush=True)
            time.sleep(120)
        return real(fd, data)
    os.write = write
    quorvane.save(net, {directory!r}, max_shard_size=600)
"""


@pytest.mark.skipif(sys.platform != "linux", reason="reads the names of open files from /proc")
def test_the_next_save_removes_what_a_killed_save_left(tmp_path):
    """Only temporary files of our own pattern whose process is gone: not a running
    save's, not another pattern's."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(quorvane.__path__[0]))
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(KILLED_SAVE.format(tests=TESTS,
                                                                                       directory=str(tmp_path)))],
                             stdout=subprocess.PIPE, text=True, env=env)
    live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        assert child.stdout.readline() == "writing\n"
        os.kill(child.pid, signal.SIGKILL)
        child.wait()
        left = sorted(os.listdir(tmp_path))
        assert left == [f".{SHARD_NAME.format(n, 11)}.{child.pid}.0.tmp" for n in (1, 2)]
        others = [f".{WEIGHTS_NAME}.{live.pid}.0.tmp", f".notes.txt.{child.pid}.0.tmp",
                  f"{WEIGHTS_NAME}.{child.pid}.0.tmp", f".{CONFIG_NAME}.{child.pid}.x.tmp"]
        for name in others:
            (tmp_path / name).write_bytes(b"")
        net = deployed("mlp")[0]
        quorvane.save(net, tmp_path)
        assert sorted(os.listdir(tmp_path)) == sorted(layout(net, "5GB") + others)
    finally:
        for process in (child, live):
            process.kill()
            process.wait()


@pytest.mark.parametrize("value, expected", [
    (123, 123), ("5GB", 5 * 10**9), ("500MB", 500 * 10**6), ("100KB", 10**5), ("2GiB", 2 << 30), ("512MiB", 512 << 20),
    ("64kib", 64 << 10), (" 5 GB ", 5 * 10**9), ("5Gb", 625 * 10**6), ("8kb", 1000),  # a lowercase b: bits
    ("1.5GB", None), ("12", None), ("5TB", None), ("0GB", None), ("-1GB", None), (0, None), (True, None), (None, None),
])
def test_max_shard_size_is_read_as_transformers_reads_it(tmp_path, value, expected):
    if expected is not None:
        assert checkpoint_files.parse_shard_size(value) == expected
        return
    with pytest.raises(ValueError, match=re.escape(f"max_shard_size must be a positive number of bytes or a size such "
                                                   f"as \"5GB\", \"500MB\" or \"2GiB\", not {value!r}")):
        quorvane.save(deployed("mlp")[0], tmp_path / "out", max_shard_size=value)
    assert not (tmp_path / "out").exists()


def random_tensor(dtype, shape):
    count = torch.Size(shape).numel() * dtype.itemsize
    data = torch.randint(0, 2 if dtype == torch.bool else 256, (count,), dtype=torch.uint8)
    return data.view(dtype).reshape(shape)  # every bit pattern: NaN payloads, subnormals


def as_bytes(tensor):
    return tensor.reshape(-1).view(torch.uint8)


def test_our_files_and_safetensors_files_read_each_other(tmp_path):
    """Every dtype written, in shapes of 0, 1 and 3 dimensions and of no elements:
    safetensors reads ours bit for bit, we read theirs, and the size and SHA-256
    returned are those of the file; bytes a dtype cannot hold are refused."""
    from safetensors import safe_open
    from safetensors.torch import save_file

    tensors = {f"{code}.{i}": random_tensor(dtype, shape) for code, dtype in tensor_files.DTYPES.items()
               for i, shape in enumerate([(), (7,), (0, 3), (2, 3, 5)])}
    metadata = {"format": "pt", "note": "é"}
    ours, theirs = tmp_path / "ours.safetensors", tmp_path / "theirs.safetensors"
    assert tensor_files.write_file(ours, tensors, metadata) == (ours.stat().st_size,
                                                                hashlib.sha256(ours.read_bytes()).hexdigest())
    with safe_open(ours, framework="pt") as opened:
        assert opened.metadata() == metadata and sorted(opened.keys()) == sorted(tensors)
        for name, tensor in tensors.items():
            read = opened.get_tensor(name)
            assert read.dtype == tensor.dtype and read.shape == tensor.shape
            assert torch.equal(as_bytes(read), as_bytes(tensor)), name
    save_file(tensors, theirs, metadata=metadata)
    for path in (ours, theirs):
        fd, size = tensor_files.open_regular(path)
        file = tensor_files.TensorFile(path, fd, size)
        try:
            assert file.metadata == metadata and sorted(file.names()) == sorted(tensors)
            for name, tensor in tensors.items():
                read = file.read(name)
                assert read.dtype == tensor.dtype and read.shape == tensor.shape and read.is_contiguous()
                assert torch.equal(as_bytes(read), as_bytes(tensor)), name
        finally:
            file.close()
    # A bool tensor holding a byte torch's bool cannot be (2): refused, not read.
    header = json.dumps({"b": {"dtype": "BOOL", "shape": [3], "data_offsets": [0, 3]}}).encode()
    ours.write_bytes(len(header).to_bytes(8, "little") + header + bytes([0, 1, 2]))
    file = tensor_files.TensorFile(ours, *tensor_files.open_regular(ours))
    with pytest.raises(tensor_files.FileFormatError, match="b is a bool tensor holding bytes other than 0 and 1"):
        file.read("b")
    file.close()


@pytest.mark.parametrize("device", ["cpu", pytest.param("cuda", marks=pytest.mark.skipif(
    not torch.cuda.is_available(), reason="needs a CUDA device"))])
@pytest.mark.parametrize("max_shard_size", ["5GB", 400])
def test_open_weights_reads_what_it_opened_anew_at_each_read(tmp_path, max_shard_size, device):
    """A save that replaces (or removes) every file meanwhile changes nothing read; each
    read is a new tensor on `device`; names come shard by shard."""
    net = deployed("tied")[0]
    quorvane.save(net, tmp_path, max_shard_size=max_shard_size)
    saved = checkpoints.prepare(net).tensors
    with checkpoint_files.open_weights(tmp_path, checkpoint_files.read_config(tmp_path)) as weights:
        index = json.loads((tmp_path / INDEX_NAME).read_text())["weight_map"] if max_shard_size == 400 else {}
        quorvane.save(deployed("tied", seed=1)[0], tmp_path, max_shard_size=300)
        names = weights.names()
        shard_order = [index.get(name, "") for name in names]
        assert sorted(names) == sorted(saved) and shard_order == sorted(shard_order)
        for name in names:
            assert (weights.shape(name), weights.dtype(name)) == (tuple(saved[name].shape), saved[name].dtype)
            first = weights.read(name, device=device)
            assert first.device.type == device and first.is_contiguous() and torch.equal(first.cpu(), saved[name])
            first.zero_()
            assert torch.equal(weights.read(name).cpu(), saved[name])
    with pytest.raises(ValueError, match="is closed"):
        weights.read(names[0])
