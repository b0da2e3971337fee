"""The converter command: the summary, its checks, and one clear line for bad input."""

import os

import pytest
import torch
import torch.nn as nn

from quorvane import cli
from quorvane import utils_quorvane as UZR
from subproc import run_python


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
    code, out, err = run(capsys, "convert", str(source), "--input-shape", "4,5", "-o", str(target),
                         "--repeats", "3")
    assert code == 0, err
    assert err == ""  # quick work shows no progress lines
    assert "2 ZORNeuronModule wrappers -> 2 ZORModulePyThread modules" in out
    assert "max |trained - converted| = 0 " in out
    assert "(0 copied)" in out
    assert files(target.parent) == ["clean.pt", "clean.state_dict.pt"]
    loaded = torch.load(target, weights_only=False)
    assert type(loaded[0]).__name__ == "ZORModulePyThread"
    state = torch.load(target.parent / "clean.state_dict.pt", weights_only=True)
    assert state.keys() == loaded.state_dict().keys()


def test_default_network(capsys):
    code, out, err = run(capsys, "convert", "--train-seconds", "0.3", "--repeats", "2")
    assert code == 0, err
    assert err.startswith("training the embedded default network")
    assert "embedded default network" in out
    assert "max |trained - converted| = 0 " in out
    accuracy = [line for line in out.splitlines() if line.startswith("accuracy:")][0]
    before, after = [part.split()[1] for part in accuracy.split(":", 1)[1].split(",")]
    assert before == after


def test_verbose_prints_the_walk_diagnostics(tmp_path, capsys):
    source = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), source)
    code, out, _ = run(capsys, "convert", str(source), "--input-shape", "4,5", "--verbose", "--repeats", "1")
    assert code == 0
    assert "Seq sub is ZOR so optimizing: [0]" in out
    assert "CL calling convert on" in out


def test_mismatch_beyond_tolerance_fails(tmp_path, capsys):
    net = nn.Sequential(wrapped_mlp(), nn.Dropout(0.5)).train()  # two runs never agree
    source = tmp_path / "net.pt"
    torch.save(net, source)
    code, _, err = run(capsys, "convert", str(source), "--input-shape", "64,5", "--repeats", "1")
    assert code == 1
    assert "more than --tolerance" in err
    code, _, _ = run(capsys, "convert", str(source), "--input-shape", "64,5", "--repeats", "1",
                     "--tolerance", "1e9")
    assert code == 0


def test_network_without_wrappers(tmp_path, capsys):
    source = tmp_path / "plain.pt"
    torch.save(nn.Sequential(nn.Linear(3, 3)), source)
    code, _, err = run(capsys, "convert", str(source), "--input-shape", "2,3", "--repeats", "1")
    assert code == 1 and "no ZORNeuronModule wrappers" in err
    code, _, _ = run(capsys, "convert", str(source), "--input-shape", "2,3", "--repeats", "1", "--allow-empty")
    assert code == 0


def bad_inputs(tmp_path):
    garbage = tmp_path / "garbage.pt"
    garbage.write_bytes(b"\x00not a pickle at all")
    not_a_network = tmp_path / "dict.pt"
    torch.save({"weights": torch.ones(2)}, not_a_network)
    good = tmp_path / "net.pt"
    torch.save(wrapped_mlp(), good)
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    return {
        "missing file": ([str(tmp_path / "nope.pt"), "--input-shape", "2,5"], "cannot read"),
        "unreadable file": ([str(garbage), "--input-shape", "2,5"], "cannot load"),
        "not a network": ([str(not_a_network), "--input-shape", "2,5"], "does not hold a torch.nn.Module"),
        "shape rejected": ([str(good), "--input-shape", "2,7"], "rejects input of shape (2, 7)"),
        "bad shape text": ([str(good), "--input-shape", "2,a5"], "bad --input-shape"),
        "no shape": ([str(good)], "--input-shape is needed"),
        "unwritable output": ([str(good), "--input-shape", "2,5", "-o", str(blocker / "out.pt")], "cannot write"),
        "no repeats": ([str(good), "--input-shape", "2,5", "--repeats", "0"], "bad --repeats"),
    }


@pytest.mark.parametrize("case", ["missing file", "unreadable file", "not a network", "shape rejected",
                                  "bad shape text", "no shape", "unwritable output",
                                  "no repeats"])
def test_bad_input_gives_one_line_and_exit_2(tmp_path, capsys, case):
    argv, text = bad_inputs(tmp_path)[case]
    before = files(tmp_path)
    code, out, err = run(capsys, "convert", "--repeats", "1", *argv)
    assert code == 2
    assert err.startswith("error: ") and text in err and err.count("\n") == 1, err
    assert "Traceback" not in err + out
    assert files(tmp_path) == before  # nothing half-written


def test_module_entry_point_runs_without_traceback(tmp_path):
    result = run_python(f"""
        import sys
        from quorvane.cli import main
        sys.argv = ["quorvane", "convert", {str(tmp_path / 'nope.pt')!r}, "--input-shape", "1,1"]
        raise SystemExit(main())
    """)
    assert result.returncode == 2
    assert result.stderr.startswith("error: cannot read") and "Traceback" not in result.stderr
    help_text = run_python("import runpy, sys; sys.argv = ['quorvane', 'convert', '--help']; "
                           "runpy.run_module('quorvane', run_name='__main__')")
    assert help_text.returncode == 0 and "only convert files you trust" in " ".join(help_text.stdout.split())
