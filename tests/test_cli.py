"""The converter command: the summary, its checks, and one clear line for bad input."""

import os

import pytest
import torch
import torch.nn as nn

import quorvane
from quorvane import cli
from quorvane import utils_quorvane as UZR
from subproc import run_python

TRUST = "--trust-pickle"  # a whole-network file is unpickled only when asked


def wrapped_mlp():
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(5, 8), nn.ReLU(), nn.Linear(8, 2))
    UZR.wrap_layers(net, num_dendrites=2)
    return net.eval()


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def files(directory):
    return sorted(os.listdir(directory))


def test_converts_a_saved_network_and_saves_it_whole(tmp_path, capsys):
    source = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), source)
    target = tmp_path / "out" / "clean.pt"
    target.parent.mkdir()
    code, out, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "4,5", "-o", str(target),
                         "--repeats", "3")
    assert code == 0, err
    assert err == ""  # quick work shows no progress lines
    assert "2 ZORNeuronModule wrappers -> 2 ZORModulePyThread modules" in out
    assert "max |trained - converted| = 0 " in out
    assert "(0 copied)" in out
    assert "(eval mode)" in out and "note:" not in out
    assert files(target.parent) == ["clean.pt", "clean.state_dict.pt"]
    loaded = torch.load(target, weights_only=False)
    assert type(loaded[0]).__name__ == "ZORModulePyThread"
    state = torch.load(target.parent / "clean.state_dict.pt", weights_only=True)
    assert state.keys() == loaded.state_dict().keys()
    # What the dendrites cost: 66 parameters in the two layers, twice that in the
    # dendrite layers, and 1 + 2 rows of skip weights per layer, 8 and 2 wide.
    assert "dendrites:   66 parameters without them (66 in the main layers); the dendrite layers add 132 and the " \
           "skip weights 30: 228 in all, 3.45x" in out
    assert "without the dendrites" in out

    # The same network as a checkpoint for quorvane.load, onto the plain architecture.
    folder = tmp_path / "checkpoint"
    code, out, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "4,5", "-o", str(folder),
                         "--format", "safetensors", "--repeats", "1")
    assert code == 0, err
    assert files(folder) == ["quorvane_config.json", "quorvane_model.safetensors"]
    assert f"saved:       {folder / 'quorvane_model.safetensors'} and {folder / 'quorvane_config.json'} (load with " \
           f"quorvane.load(base_net, {str(folder)!r})" in out
    plain = quorvane.load(nn.Sequential(nn.Linear(5, 8), nn.ReLU(), nn.Linear(8, 2)), folder)
    x = torch.randn(3, 5)
    with torch.no_grad():
        assert torch.equal(plain(x), loaded(x))
    # A network past --max-shard-size (5 GB by default) is sharded: the line names what was written.
    code, out, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "4,5", "-o", str(folder),
                         "--format", "safetensors", "--max-shard-size", "400", "--repeats", "1")
    shards = [name for name in files(folder) if name.endswith("-of-00003.safetensors")]
    assert code == 0 and len(shards) == 3 and "quorvane_model.safetensors" not in files(folder), err
    assert f"saved:       {folder / shards[0]} ... {folder / shards[-1]} (3 shards), " \
           f"{folder / 'quorvane_model.safetensors.index.json'} and {folder / 'quorvane_config.json'}" in out


def test_default_network(capsys):
    """Trained for a fixed, seeded number of steps: two runs print the same difference and
    accuracy lines."""
    printed = []
    for _ in range(2):
        code, out, err = run(capsys, "convert", "--train-steps", "5", "--repeats", "2", "--warmup", "0")
        assert code == 0, err
        assert err.startswith("training the embedded default network for 5 steps")
        assert "embedded default network" in out
        assert "max |trained - converted| = 0 " in out
        printed.append([line for line in out.splitlines() if line.startswith(("difference:", "accuracy:"))])
    accuracy = printed[0][1]
    before, after = [part.split()[1] for part in accuracy.split(":", 1)[1].split(",")]
    assert before == after
    assert printed[0] == printed[1]


def test_verbose_prints_the_walk_diagnostics(tmp_path, capsys):
    source = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), source)
    code, out, _ = run(capsys, "convert", str(source), TRUST, "--input-shape", "4,5", "--verbose", "--repeats", "1")
    assert code == 0
    assert "Seq sub is ZOR so optimizing: [0]" in out
    assert "CL calling convert on" in out


def add_one(module, inputs, output):
    return output + 1


def test_mismatch_beyond_tolerance_fails(tmp_path, capsys):
    net = wrapped_mlp()
    # A hook on a main layer runs in the trained form only: the converted module calls
    # the main layer's forward directly.
    net[0].main_module.register_forward_hook(add_one)
    source = tmp_path / "net.pt"
    torch.save(net, source)
    code, _, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "64,5", "--repeats", "1")
    assert code == 1
    assert "more than --tolerance" in err
    code, _, _ = run(capsys, "convert", str(source), TRUST, "--input-shape", "64,5", "--repeats", "1",
                     "--tolerance", "1e9")
    assert code == 0


def test_network_without_wrappers(tmp_path, capsys):
    source = tmp_path / "plain.pt"
    torch.save(nn.Sequential(nn.Linear(3, 3)), source)
    code, _, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "2,3", "--repeats", "1")
    # Bad input, not a mismatch: nothing to convert.
    assert code == 2 and err == f"error: {source} holds no ZORNeuronModule wrappers: nothing to convert (pass --allow-empty to accept this)\n"
    code, _, _ = run(capsys, "convert", str(source), TRUST, "--input-shape", "2,3", "--repeats", "1", "--allow-empty")
    assert code == 0


def vanished_class_network(tmp_path):
    """A saved network whose class lives in a module that is gone when it is loaded."""
    import importlib
    import sys

    folder = tmp_path / "gone"
    folder.mkdir()
    (folder / "qv_vanished.py").write_text("import torch.nn as nn\nclass Net(nn.Sequential):\n    pass\n")
    sys.path.insert(0, str(folder))
    try:
        net = importlib.import_module("qv_vanished").Net(wrapped_mlp())
        torch.save(net, tmp_path / "vanished.pt")
    finally:
        sys.path.remove(str(folder))
        sys.modules.pop("qv_vanished", None)
    (folder / "qv_vanished.py").unlink()
    return tmp_path / "vanished.pt"


def bad_inputs(tmp_path):
    garbage = tmp_path / "garbage.pt"
    garbage.write_bytes(b"\x00not a pickle at all")
    not_a_network = tmp_path / "dict.pt"
    torch.save({"weights": torch.ones(2)}, not_a_network)
    good = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), good)
    truncated = tmp_path / "truncated.pt"
    truncated.write_bytes(good.read_bytes()[:len(good.read_bytes()) // 2])
    cyclic = tmp_path / "cyclic.pt"
    torch.save(cyclic_network(), cyclic)
    folder = tmp_path / "folder.pt"
    folder.mkdir()
    number = tmp_path / "number.pt"
    torch.save(7, number)
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    plain = tmp_path / "plain.pt"
    torch.save(nn.Sequential(nn.Linear(5, 5)), plain)
    import qv_factories

    converted = tmp_path / "converted.pt"
    torch.save(quorvane.convert(qv_factories.build()).network.state_dict(), converted)
    trained_state = qv_factories.build().state_dict()
    training = tmp_path / "training.pt"  # what a training loop saves
    torch.save({"model": trained_state, "epoch": 3, "optimizer": {"lr": 0.1}}, training)
    two_states = tmp_path / "two.pt"
    torch.save({"model": trained_state, "ema": trained_state}, two_states)
    state = tmp_path / "state.pt"
    torch.save(trained_state, state)
    unwrapped = tmp_path / "unwrapped.pt"  # the network's state_dict from before wrap_layers
    torch.save(qv_factories.Tagger().state_dict(), unwrapped)
    resized = tmp_path / "resized.pt"
    torch.save({**trained_state, "head.main_module.weight": torch.zeros(3, 9)}, resized)
    shape = ["--input-shape", "2,5"]
    model = ["--model", "qv_factories:build"]
    return {
        "missing file": ([str(tmp_path / "nope.pt"), TRUST, *shape], "cannot read"),
        "directory": ([str(folder), TRUST, *shape], "is a directory"),
        "unreadable file": ([str(garbage), TRUST, *shape], "cannot load"),
        "truncated file": ([str(truncated), TRUST, *shape], "the file is truncated"),
        "pickle without opt-in": ([str(good), *shape], f"would be unpickled (torch.load with weights_only=False), "
                                  "which runs any code the file holds: pass --trust-pickle if you trust it, or give "
                                  "--model PKG.MODULE:FACTORY with --state-dict CKPT, which reads only tensors"),
        "opt-in without a file": ([TRUST, *shape], "--trust-pickle goes with a NETWORK file"),
        "no wrappers": ([str(plain), TRUST, *shape], "holds no ZORNeuronModule wrappers: nothing to convert"),
        "not a network": ([str(not_a_network), TRUST, *shape], "does not hold a torch.nn.Module"),
        "a state_dict as the network": ([str(state), TRUST, *shape], "(it holds an OrderedDict)"),
        "class gone": ([str(vanished_class_network(tmp_path)), TRUST, *shape], "PYTHONPATH"),
        "shape rejected": ([str(good), TRUST, "--input-shape", "2,7"], "rejects input of shape (2, 7)"),
        "bad shape text": ([str(good), TRUST, "--input-shape", "2,a5"], "bad --input-shape"),
        "negative shape": ([str(good), TRUST, "--input-shape", "-1,5"],
                           "bad --input-shape '-1,5': expected positive integers"),
        "empty shape part": ([str(good), TRUST, "--input-shape", "2,,5"], "bad --input-shape '2,,5'"),
        "unknown option": ([str(good), TRUST, *shape, "--colour"], "unrecognized arguments: --colour"),
        "allocation": ([str(good), TRUST, "--input-shape", "100000,100000,16"], "cannot make a sample batch"),
        "overflow": ([str(good), TRUST, "--input-shape", "99999999999999999999999,16"], "too many elements"),
        "no shape": ([str(good), TRUST], "is needed to verify a loaded network"),
        "bad dtype": ([str(good), TRUST, *shape, "--input-dtype", "float12"], "bad --input-dtype"),
        "cycle": ([str(cyclic), TRUST, *shape], "has a cycle"),
        "too deep": (["--model", "qv_factories:too_deep", *shape], "nested 1001 modules deep"),
        "unwritable output": ([str(good), TRUST, *shape, "-o", str(blocker / "out.pt")], "cannot write"),
        "output is the input": ([str(good), TRUST, *shape, "-o", str(good)], "it is the input network"),
        "output in /proc": ([str(good), TRUST, *shape, "-o", "/proc/qv-out.pt"], "cannot write /proc/qv-out.pt: "),
        "format without -o": ([str(good), TRUST, *shape, "--format", "safetensors"], "--format goes with -o"),
        "shard size of a pt output": ([str(good), TRUST, *shape, "-o", str(tmp_path / "o.pt"), "--max-shard-size",
                                       "1GB"], "--max-shard-size goes with --format safetensors"),
        "bad shard size": ([str(good), TRUST, *shape, "-o", str(tmp_path / "c"), "--format", "safetensors",
                            "--max-shard-size", "5 gigs"], "bad --max-shard-size '5 gigs': expected a size such as"),
        "checkpoint folder is a file": ([str(good), TRUST, *shape, "--format", "safetensors", "-o", str(blocker)],
                                        "is not a directory"),
        "processor a checkpoint cannot name": (
            ["--model", "qv_factories:custom_processor", *shape, "--format", "safetensors", "-o",
             str(tmp_path / "checkpoint")], "cannot save in safetensors format: the converted module at 0: the processor of its "
                                            "dendrite layer 0 is a qv_factories.Doubler"),
        "no repeats": ([str(good), TRUST, *shape, "--repeats", "0"], "bad --repeats"),
        "negative tolerance": ([str(good), TRUST, *shape, "--tolerance", "-1"], "bad --tolerance"),
        "nan tolerance": ([str(good), TRUST, *shape, "--tolerance", "nan"], "bad --tolerance"),
        "negative tolerance, exponent": ([str(good), TRUST, *shape, "--tolerance", "-1e-3"], "bad --tolerance -0.001"),
        "no threads": ([str(good), TRUST, *shape, "--torch-threads", "0"], "bad --torch-threads"),
        "bad device": ([str(good), TRUST, *shape, "--device", "cuda:99"], "--device cuda:99"),
        "unknown device": ([str(good), TRUST, *shape, "--device", "tpu"], "bad --device"),
        "model not importable": (["--model", "qv_no_such_package.nets:build", *shape], "PYTHONPATH"),
        "factory fails": (["--model", "qv_factories:broken", *shape], "the factory failed"),
        "not a factory": (["--model", "qv_factories:nothing", *shape], "has no attribute"),
        "state_dict alone": ([str(good), TRUST, *shape, "--state-dict", str(not_a_network)], "--state-dict needs --model"),
        "state_dict mismatch": (["--model", "qv_factories:build", "--state-dict", str(not_a_network), *shape],
                                "does not fit the network: 31 missing keys ('embed.weight', "
                                "'rnn.this_node_index', 'rnn.main_module.weight_ih_l0', 'rnn.main_module.weight_hh_l0' "
                                "and 27 more); 1 unexpected key ('weights') (--verbose lists them all)"),
        "state_dict of the network before wrapping": (
            [*model, "--state-dict", str(unwrapped), *shape],
            "it is the state_dict of the network before wrap_layers: --state-dict takes the trained, wrapped"),
        "state_dict with a tensor of another shape": (
            [*model, "--state-dict", str(resized), *shape], "does not fit the network: 1 tensor of another shape "
            "(head.main_module.weight: (3, 9) in the checkpoint, (3, 8) in the network)\n"),
        "training checkpoint": ([*model, "--state-dict", str(training), *shape],
                                "it holds a dict with the keys 'model', 'epoch', 'optimizer'; its entry 'model' is a "
                                "state_dict of 31 tensors: pass --state-dict-key model"),
        "checkpoint with two state_dicts": ([*model, "--state-dict", str(two_states), *shape],
                                            "its entries 'model', 'ema' are state_dicts: pass --state-dict-key with "
                                            "one of them"),
        "state_dict key not there": ([*model, "--state-dict", str(training), "--state-dict-key", "weights", *shape],
                                     "has no entry 'weights' (its keys: 'model', 'epoch', 'optimizer')"),
        "state_dict key of a state_dict": ([*model, "--state-dict", str(state), "--state-dict-key", "model", *shape],
                                           "is itself a state_dict (leave out --state-dict-key)"),
        "state_dict key not a state_dict": (
            [*model, "--state-dict", str(training), "--state-dict-key", "optimizer", *shape],
            f"{training} [optimizer] does not hold a state_dict (a dict of named tensors): it holds a dict with the "
            "key 'lr', none of them a state_dict"),
        "state_dict key alone": ([*model, "--state-dict-key", "model", *shape], "--state-dict-key goes with --state-dict"),
        "state_dict of the converted form": (["--model", "qv_factories:build", "--state-dict", str(converted), *shape],
                                             "it is the state_dict of a converted network: --model must build the "
                                             "trained, wrapped form"),
        "state_dict not a dict": (["--model", "qv_factories:build", "--state-dict", str(number), *shape],
                                  "does not hold a state_dict (a dict of named tensors): it holds an int"),
        "example inputs not tensors": ([str(good), TRUST, "--example-inputs", str(number)], "must hold a tensor"),
        "example inputs unsafe": ([str(good), TRUST, "--example-inputs", str(good)],
                                  "it holds a torch.nn.modules.container.Sequential, not only tensors, and a "
                                  "weights-only load (torch.load with weights_only=True) runs no code"),
    }


BAD_INPUTS = ["missing file", "directory", "unreadable file", "truncated file", "pickle without opt-in",
              "opt-in without a file", "no wrappers", "not a network", "a state_dict as the network", "class gone",
              "shape rejected", "bad shape text", "negative shape", "empty shape part", "unknown option", "allocation", "overflow", "no shape", "bad dtype", "cycle",
              "too deep", "unwritable output", "output is the input", "output in /proc", "format without -o",
              "checkpoint folder is a file", "processor a checkpoint cannot name", "no repeats", "negative tolerance",
              "nan tolerance", "negative tolerance, exponent", "no threads", "bad device", "unknown device", "model not importable",
              "factory fails", "not a factory", "state_dict alone", "state_dict mismatch",
              "state_dict of the network before wrapping", "state_dict with a tensor of another shape",
              "training checkpoint", "checkpoint with two state_dicts", "state_dict key not there",
              "state_dict key of a state_dict", "state_dict key not a state_dict", "state_dict key alone",
              "state_dict of the converted form", "state_dict not a dict",
              "example inputs not tensors", "example inputs unsafe"]


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_gives_one_line_and_exit_2(tmp_path, capsys, case, factories):
    argv, text = bad_inputs(tmp_path)[case]
    before = files(tmp_path)
    digests = {name: digest(tmp_path / name) for name in before if (tmp_path / name).is_file()}
    code, out, err = run(capsys, "convert", "--repeats", "1", *argv)
    assert code == 2
    assert err.startswith("error: ") and text in err and err.count("\n") == 1, err
    assert "Traceback" not in err + out
    assert "\x1b" not in err and ".tmp" not in err  # no terminal codes, no temporary file names
    assert files(tmp_path) == before  # nothing half-written
    assert {name: digest(tmp_path / name) for name in digests} == digests


def test_deep_network_converts(tmp_path, capsys):
    from quorvane import conversion

    source = tmp_path / "deep.pt"
    with conversion.recursion_room(300):
        try:
            torch.save(nested(300), source)
        except RecursionError:
            # Depends on the interpreter's recursion model: 3.12.0 and 3.12.1 cap C
            # recursion at 1,500 units, which pickling this network alone exceeds.
            pytest.skip("this interpreter's C recursion limit cannot pickle a network nested 300 deep")
    code, out, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "2,5", "--repeats", "1", "-o",
                         str(tmp_path / "out.pt"))
    assert code == 0, err
    assert "max |trained - converted| = 0 " in out


def test_module_entry_point_runs_without_traceback(tmp_path):
    result = run_python(f"""
        import sys
        from quorvane.cli import main
        sys.argv = ["quorvane", "convert", {str(tmp_path / 'nope.pt')!r}, "--trust-pickle", "--input-shape", "1,1"]
        raise SystemExit(main())
    """)
    assert result.returncode == 2
    assert result.stderr.startswith("error: cannot read") and "Traceback" not in result.stderr
    help_text = run_python("import runpy, sys; sys.argv = ['quorvane', 'convert', '--help']; "
                           "runpy.run_module('quorvane', run_name='__main__')")
    assert help_text.returncode == 0 and "only convert files you trust" in " ".join(help_text.stdout.split())
    version = run_python("import runpy, sys; sys.argv = ['quorvane', '--version']; "
                         "runpy.run_module('quorvane', run_name='__main__')")
    assert (version.returncode, version.stdout) == (0, f"quorvane {quorvane.__version__}\n")
    # Ctrl-C while torch is being imported (the first thing the command does, and the
    # slowest): one line, exit 130.
    interrupted = run_python("""
        import importlib.abc, runpy, sys

        class Interrupt(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == "torch":
                    raise KeyboardInterrupt

        sys.modules.pop("torch", None)
        sys.meta_path.insert(0, Interrupt())
        sys.argv = ["quorvane", "convert", "--repeats", "1"]
        runpy.run_module("quorvane", run_name="__main__")
    """)
    assert (interrupted.returncode, interrupted.stderr, interrupted.stdout) == (130, "interrupted\n", "")



def test_info_names_what_the_extensions_hold(capsys):
    code, out, _ = run(capsys, "info")
    assert code == 0 and out.startswith("quorvane, torch ")
    assert "quorvane.marlune: GZR," in out and "blockwise_network" in out


def digest(path):
    import hashlib

    return hashlib.sha256(path.read_bytes()).hexdigest()


class NormDrop(nn.Module):
    """Train-mode BatchNorm (updates its running statistics on every forward) and
    Dropout (draws random numbers) around wrapped layers."""

    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(nn.Linear(5, 8), nn.BatchNorm1d(8), nn.Dropout(0.5), nn.Linear(8, 3))

    def forward(self, x):
        return self.body(x)


def test_saved_network_is_the_converted_one_in_train_mode(tmp_path, capsys):
    torch.manual_seed(0)
    net = NormDrop()
    UZR.wrap_layers(net, num_dendrites=2)
    net.train()
    source = tmp_path / "net.pt"
    torch.save(net, source)
    before = digest(source)
    target = tmp_path / "out.pt"
    code, out, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "16,5", "-o", str(target),
                         "--repeats", "3", "--warmup", "2")
    assert code == 0, err
    # Same random state for both forwards: Dropout agrees, sequentially and threaded.
    assert "max |trained - converted| = 0 on input of shape (16, 5) float32 (sequential 0, threaded 0;" in out
    assert "(train mode)" in out
    assert "is saved in train mode" in out and "call net.eval() before torch.save(net, ...)" in out
    assert digest(source) == before
    saved = torch.load(target, weights_only=False)
    assert saved.training
    norm = saved.body[1]
    assert int(norm.num_batches_tracked) == 0
    assert torch.equal(norm.running_mean, net.body[1].running_mean)
    assert torch.equal(norm.running_var, net.body[1].running_var)
    state = torch.load(state_dict_path(target), weights_only=True)
    for name, value in saved.state_dict().items():
        assert torch.equal(state[name], value)
    # The saved network is the input file's network converted, without any forward run.
    expected = quorvane.convert(torch.load(source, weights_only=False)).network.state_dict()
    assert state.keys() == expected.keys()
    assert all(torch.equal(state[name], expected[name]) for name in state)


def state_dict_path(path):
    return path.with_name(path.stem + ".state_dict" + path.suffix)


def test_output_is_all_or_nothing(tmp_path, capsys, monkeypatch):
    source = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), source)
    common = [str(source), TRUST, "--input-shape", "4,5", "--repeats", "1", "--warmup", "0"]

    # A directory where the state_dict goes: refused before any work, nothing written.
    target = tmp_path / "a" / "out.pt"
    target.parent.mkdir()
    (target.parent / "out.state_dict.pt").mkdir()
    code, out, err = run(capsys, "convert", *common, "-o", str(target))
    assert code == 2 and "a directory of that name exists" in err and out == ""
    assert files(target.parent) == ["out.state_dict.pt"]

    # A failure while saving the second file leaves the first one as it was, removes
    # what was written and the folders made for it.
    existing = tmp_path / "b" / "out.pt"
    existing.parent.mkdir()
    existing.write_bytes(b"old")
    real_save = torch.save
    calls = []

    def failing_save(obj, f, *args, **kwargs):
        calls.append(f)
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return real_save(obj, f, *args, **kwargs)

    monkeypatch.setattr(torch, "save", failing_save)
    code, _, err = run(capsys, "convert", *common, "-o", str(existing))
    assert code == 2 and "No space left on device" in err and "nothing was written" in err
    assert files(existing.parent) == ["out.pt"] and existing.read_bytes() == b"old"
    calls.clear()
    code, _, _ = run(capsys, "convert", *common, "-o", str(tmp_path / "c" / "d" / "out.pt"))
    assert code == 2 and not (tmp_path / "c").exists()
    monkeypatch.setattr(torch, "save", real_save)

    # The same for a checkpoint folder: a failure while writing its config leaves the
    # weights file of an earlier run as it was.
    folder = tmp_path / "checkpoint"
    code, _, err = run(capsys, "convert", *common, "-o", str(folder), "--format", "safetensors")
    assert code == 0, err
    before = {name: digest(folder / name) for name in files(folder)}

    def full(*args):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr("quorvane.checkpoint.saving.write_config", full)
    other = wrapped_mlp()
    with torch.no_grad():
        other[0].main_module.weight.add_(1.0)
    torch.save(other, tmp_path / "other.pt")
    code, _, err = run(capsys, "convert", str(tmp_path / "other.pt"), *common[1:], "-o", str(folder),
                       "--format", "safetensors")
    assert code == 2 and f"cannot write {folder / 'quorvane_config.json'}: No space left on device" in err
    assert {name: digest(folder / name) for name in files(folder)} == before
    code, _, _ = run(capsys, "convert", *common, "-o", str(tmp_path / "g" / "h"), "--format", "safetensors")
    assert code == 2 and not (tmp_path / "g").exists()
    monkeypatch.undo()

    # Success: missing folders are made, and both files get the umask's permissions,
    # also where a file with other permissions is replaced.
    existing.chmod(0o600)
    old_umask = os.umask(0o027)
    try:
        for target in (existing, tmp_path / "e" / "f" / "out.pt"):
            code, _, err = run(capsys, "convert", *common, "-o", str(target))
            assert code == 0, err
            assert sorted(os.listdir(target.parent)) == ["out.pt", "out.state_dict.pt"]
            for path in (target, state_dict_path(target)):
                assert os.stat(path).st_mode & 0o777 == 0o640
    finally:
        os.umask(old_umask)


def cyclic_network():
    net = wrapped_mlp()
    net.append(nn.Sequential(nn.ReLU()))
    net[-1].append(net)
    return net


def nested(depth):
    net = wrapped_mlp()
    for _ in range(depth):
        net = nn.Sequential(net)
    return net


FACTORIES = '''
import torch
import torch.nn as nn
from quorvane import modules_quorvane as ZR
from quorvane import utils_quorvane as UZR


class Tagger(nn.Module):
    """Token ids in, one score per token and class out; takes an optional mask."""

    def __init__(self):
        super().__init__()
        self.embed = nn.Embedding(11, 6)
        self.rnn = nn.GRU(6, 8, batch_first=True)
        self.head = nn.Linear(8, 3)

    def forward(self, ids, mask=None):
        out, _ = self.rnn(self.embed(ids))
        scores = self.head(out)
        return scores if mask is None else scores * mask.unsqueeze(-1)


def build():
    torch.manual_seed(1)
    net = Tagger()
    UZR.wrap_layers(net, layer_types=(nn.GRU, nn.Linear), num_dendrites=2)
    return net.eval()


def mlp64():
    torch.manual_seed(2)
    net = nn.Sequential(nn.Linear(5, 4), nn.Tanh(), nn.Linear(4, 2)).double()
    UZR.wrap_layers(net, num_dendrites=1)
    return net


class Doubler(ZR.ZORProcessor):
    """A processor of the user's own: a checkpoint cannot bring it back by name."""

    def post_n2(self, out):
        return out * 2


def custom_processor():
    torch.manual_seed(3)
    return nn.Sequential(ZR.ZORNeuronModule(nn.Linear(5, 3), 1, processor_factory=Doubler))


def broken():
    raise RuntimeError("no weights here")


def too_deep():
    net = nn.Linear(2, 2)
    for _ in range(1001):
        net = nn.Sequential(net)
    return net
'''


@pytest.fixture
def factories(tmp_path, monkeypatch):
    (tmp_path / "qv_factories.py").write_text(FACTORIES)
    monkeypatch.syspath_prepend(str(tmp_path))
    import importlib

    module = importlib.import_module("qv_factories")
    yield module
    import sys

    sys.modules.pop("qv_factories", None)


def test_factory_with_state_dict_and_example_inputs(tmp_path, capsys, factories):
    trained = factories.build()
    with torch.no_grad():  # weights that differ from the factory's own
        for p in trained.parameters():
            p.add_(torch.randn_like(p) * 0.1)
    checkpoint = tmp_path / "ckpt.pt"
    torch.save(trained.state_dict(), checkpoint)
    ids, mask = torch.randint(0, 11, (3, 7)), torch.ones(3, 7)
    examples = {"tuple.pt": (ids,), "dict.pt": {"ids": ids, "mask": mask}, "tensor.pt": ids}
    for name, value in examples.items():
        torch.save(value, tmp_path / name)
    target = tmp_path / "out.pt"
    for name in examples:
        code, out, err = run(capsys, "convert", "--model", "qv_factories:build", "--state-dict", str(checkpoint),
                             "--example-inputs", str(tmp_path / name), "--device", "cpu", "--repeats", "1",
                             "-o", str(target))
        assert code == 0, err
        assert "max |trained - converted| = 0 on input of shape" in out
        assert "2 ZORNeuronModule wrappers -> 2 ZORModulePyThread modules" in out
    converted = torch.load(target, weights_only=False)
    with torch.no_grad():
        assert torch.equal(converted(ids, mask=mask), trained(ids, mask=mask))
    # A training checkpoint: the entry named, at the top or through nested dicts.
    for key, value in (("model", {"model": trained.state_dict(), "epoch": 3}),
                       ("run.ema", {"run": {"ema": trained.state_dict(), "step": 7}})):
        torch.save(value, tmp_path / "training.pt")
        code, out, err = run(capsys, "convert", "--model", "qv_factories:build", "--state-dict",
                             str(tmp_path / "training.pt"), "--state-dict-key", key, "--example-inputs",
                             str(tmp_path / "tuple.pt"), "--repeats", "1", "-o", str(target))
        assert code == 0, err
        assert f"with {tmp_path / 'training.pt'} [{key}] (eval mode)" in out
        with torch.no_grad():
            assert torch.equal(torch.load(target, weights_only=False)(ids), trained(ids))
    # With --verbose, a mismatch the line sums up is followed by every name, one a line.
    torch.save({"weights": torch.ones(2), "extra": torch.ones(1)}, tmp_path / "other.pt")
    code, _, err = run(capsys, "convert", "--model", "qv_factories:build", "--state-dict", str(tmp_path / "other.pt"),
                       "--input-shape", "2,5", "--verbose")
    lines = err.splitlines()
    assert code == 2 and lines[0].startswith("error: ") and "--verbose lists" not in lines[0]
    assert lines[1:] == [f"  missing:    {name}" for name in trained.state_dict()] + \
        ["  unexpected: weights", "  unexpected: extra"]
    # --input-shape: a float batch is refused by an Embedding, with a hint at the dtype;
    # integer ids are drawn below the Embedding's size; the default dtype is the
    # parameters' (float64 here).
    code, _, err = run(capsys, "convert", "--model", "qv_factories:build", "--input-shape", "2,5", "--repeats", "1")
    assert code == 2 and "rejects input of shape (2, 5) float32" in err and "--input-dtype" in err
    for factory, extra, shown in (("build", ["--input-dtype", "int64"], "int64"), ("mlp64", [], "float64")):
        code, out, err = run(capsys, "convert", "--model", f"qv_factories:{factory}", "--input-shape", "2,5",
                             *extra, "--repeats", "1")
        assert code == 0, err
        assert f"max |trained - converted| = 0 on input of shape (2, 5) {shown}" in out
        # mlp64 returns its network in train mode, as built.
        assert ("note:        the network is in train mode" in out) == (factory == "mlp64")
        assert ("for inference, return net.eval() from the factory" in out) == (factory == "mlp64")


def test_torch_threads_and_the_timing_summary(capsys, monkeypatch, tmp_path):
    source = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), source)
    threads = torch.get_num_threads()
    # A clock under which every other converted sequential run takes 3 ms instead of 1:
    # the sequential spread is then too large for its ratios to mean anything.
    def readings():
        now = 0.0
        for i in range(21):  # the first trained forward, then 20 rounds of the four forms
            for duration in ((1e-3,) if i == 0 else (1e-3, 3e-3 if i % 2 else 1e-3, 1e-3, 0.5e-3)):
                yield now
                now += duration
                yield now
        while True:
            yield now

    clock = readings()
    monkeypatch.setattr(cli, "_clock", lambda: next(clock))
    try:
        code, out, err = run(capsys, "convert", str(source), TRUST, "--input-shape", "4,5", "--repeats", "20",
                             "--warmup", "1", "--torch-threads", "1")
        assert torch.get_num_threads() == 1
    finally:
        torch.set_num_threads(threads)
    assert code == 0, err
    lines = out.splitlines()
    forward = next(i for i, line in enumerate(lines) if line.startswith("forward:"))
    assert lines[forward].startswith("forward:     trained 1.000 ms (IQR 0.000); converted 2.000 ms (IQR 2.000) "
                                     "sequential (0.50x), 1.000 ms (IQR 0.000) threaded (1.00x)")
    # Without the dendrites: each clean module replaced by its main layer.
    assert lines[forward + 1].startswith("             without the dendrites 0.500 ms (IQR 0.000): the converted "
                                         "sequential forward takes 4.00x that")
    assert "after 1 warm-up run, on cpu with 1 torch thread;" in lines[forward + 2]
    assert "the spread of the sequential times is over 20% of their median, so the ratios with it mean little" in lines[forward + 3]
