"""quorvane: convert a trained network into its inference form and check the result.

A network saved whole is a pickle: loading it (torch.load(..., weights_only=False)) runs
code from the file, so a NETWORK file is loaded only with --trust-pickle. --model with
--state-dict loads only tensors from the checkpoint.
"""

import argparse
import dataclasses
import importlib
import math
import os
import re
import statistics
import sys
import time
import traceback

from quorvane import __version__
from quorvane.report import counted

# 1: the converted network's outputs differ beyond --tolerance; 2: bad input (one line).
EXIT_OK, EXIT_MISMATCH, EXIT_BAD_INPUT, EXIT_INTERRUPTED = 0, 1, 2, 130

# Deeper module graphs are refused: copying, saving and running them needs the
# interpreter's recursion limit raised in proportion, and the C stack has to hold it.
MAX_DEPTH = 1000

FORMATS = ("pt", "safetensors")

_clock = time.perf_counter

DTYPES = {"float32": "float32", "float": "float32", "float64": "float64", "double": "float64",
          "float16": "float16", "half": "float16", "bfloat16": "bfloat16", "int64": "int64", "long": "int64",
          "int32": "int32", "int": "int32", "int16": "int16", "int8": "int8", "uint8": "uint8", "bool": "bool",
          "complex64": "complex64", "complex128": "complex128"}


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


# Terminal colour and style codes, which some messages (torch's weights-only refusal) carry.
_ESCAPES = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def _one_line(text, limit=300):
    text = " ".join(_ESCAPES.sub("", str(text)).split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _failure(what, error):
    return UsageError(f"{what}: {type(error).__name__}: {_one_line(error)}")


def _progress(text):
    print(text, file=sys.stderr, flush=True)


# --- checks made before any work ---------------------------------------------------------


def _readable_file(path, what):
    if os.path.isdir(path):
        raise UsageError(f"cannot read {path}: it is a directory, not a {what}")
    if not os.path.exists(path):
        raise UsageError(f"cannot read {path}: no such file")
    if not os.access(path, os.R_OK):
        raise UsageError(f"cannot read {path}: permission denied")


def state_dict_path(path):
    root, ext = os.path.splitext(path)
    return f"{root}.state_dict{ext or '.pt'}"


def output_paths(path, output_format):
    """The files `-o path` writes in that format."""
    if output_format == "safetensors":
        from quorvane.checkpoint_files import CONFIG_NAME, WEIGHTS_NAME

        return [os.path.join(path, WEIGHTS_NAME), os.path.join(path, CONFIG_NAME)]
    return [path, state_dict_path(path)]


def _same_file(a, b):
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output(path, output_format, inputs):
    """Refuses, before any work, an output that would overwrite an input or cannot be
    written: every file's place must be free of directories and inside a folder that
    exists, or can be made, and is writable."""
    targets = output_paths(path, output_format)
    for target in targets:
        for source, role in inputs:
            if source and _same_file(target, source):
                raise UsageError(f"refusing to write {target}: it is the {role} ({source}); choose another -o")
        if os.path.isdir(target):
            raise UsageError(f"cannot write {target}: a directory of that name exists (nothing was written)")
    existing = os.path.dirname(os.path.abspath(targets[0]))
    while not os.path.exists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        raise UsageError(f"cannot write {path}: {existing} is not a directory")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write {path}: {existing} is not writable")


def _parse_shape(text):
    try:
        shape = tuple(int(part) for part in text.replace("x", ",").split(",") if part.strip())
    except ValueError:
        raise UsageError(f"bad --input-shape {text!r}: expected integers such as 8,3,32,32") from None
    if not shape or any(n <= 0 for n in shape):
        raise UsageError(f"bad --input-shape {text!r}: expected positive integers such as 8,3,32,32")
    if any(n >= 2 ** 63 for n in shape) or math.prod(shape) >= 2 ** 63:
        raise UsageError(f"bad --input-shape {text!r}: too many elements")
    return shape


def _parse_device(text):
    import torch

    try:
        device = torch.device(text)
    except (RuntimeError, ValueError) as e:
        raise UsageError(f"bad --device {text!r}: expected cpu, cuda or cuda:N ({_one_line(e)})") from None
    if device.type == "cpu":
        return torch.device("cpu")
    if device.type != "cuda":
        raise UsageError(f"bad --device {text!r}: expected cpu, cuda or cuda:N")
    if not torch.cuda.is_available():
        raise UsageError(f"--device {text}: CUDA is not available here")
    index = device.index if device.index is not None else torch.cuda.current_device()
    if not 0 <= index < torch.cuda.device_count():
        raise UsageError(f"--device {text}: there are {counted(torch.cuda.device_count(), 'CUDA device')}")
    return torch.device("cuda", index)


def _check_numbers(args):
    if not math.isfinite(args.tolerance) or args.tolerance < 0:
        raise UsageError(f"bad --tolerance {args.tolerance:g}: expected a finite number, 0 or more")
    if args.repeats < 1:
        raise UsageError(f"bad --repeats {args.repeats}: expected a positive count")
    if args.warmup < 0:
        raise UsageError(f"bad --warmup {args.warmup}: expected 0 or more")
    if args.torch_threads is not None and args.torch_threads < 1:
        raise UsageError(f"bad --torch-threads {args.torch_threads}: expected a positive count")


def _check_sources(args):
    if args.network and args.model:
        raise UsageError("give either a network file or --model, not both")
    if args.network and not args.trust_pickle:
        raise UsageError(f"{args.network} would be unpickled (torch.load with weights_only=False), which runs any "
                         "code the file holds: pass --trust-pickle if you trust it, or give --model "
                         "PKG.MODULE:FACTORY with --state-dict CKPT, which reads only tensors")
    if args.trust_pickle and not args.network:
        raise UsageError("--trust-pickle goes with a NETWORK file")
    if args.state_dict and not args.model:
        raise UsageError("--state-dict needs --model (the factory that builds the network it belongs to)")
    if args.model and ":" not in args.model:
        raise UsageError(f"bad --model {args.model!r}: expected package.module:factory")


def _check_options(args):
    _check_numbers(args)
    _check_sources(args)
    if args.example_inputs and args.input_shape:
        raise UsageError("give either --example-inputs or --input-shape, not both")
    if args.input_dtype and not args.input_shape:
        raise UsageError("--input-dtype goes with --input-shape")
    if args.input_dtype and args.input_dtype not in DTYPES:
        raise UsageError(f"bad --input-dtype {args.input_dtype!r}: expected one of {', '.join(sorted(set(DTYPES.values())))}")
    if args.format != "pt" and not args.output:
        raise UsageError("--format goes with -o")
    for path, what in ((args.network, "network file"), (args.state_dict, "checkpoint file"),
                       (args.example_inputs, "tensor file")):
        if path:
            _readable_file(path, what)
    if args.output:
        _check_output(args.output, args.format, [(args.network, "input network"),
                                                 (args.state_dict, "input checkpoint"),
                                                 (args.example_inputs, "example-inputs file")])


# --- loading ---------------------------------------------------------------------------


def _load_hint(error):
    if isinstance(error, (ModuleNotFoundError, AttributeError)) or "Can't get attribute" in str(error):
        return (" (the classes the file was saved with must be importable: run from the folder that holds "
                "their module or add it to PYTHONPATH)")
    return ""


def _truncated(path, error):
    """Whether the load failed because the file is cut short."""
    import zipfile

    if isinstance(error, EOFError) or "truncated" in str(error):
        return True
    with open(path, "rb") as stream:
        zipped = stream.read(4) == b"PK\x03\x04"
    return zipped and not zipfile.is_zipfile(path)


def _load_error(path, error, what=""):
    """One line for a torch.load failure of `path`."""
    if isinstance(error, MemoryError):
        return UsageError(f"cannot load {path}: out of memory")
    if isinstance(error, RecursionError):
        return UsageError(f"cannot load {path}: the pickle is nested too deeply")
    if _truncated(path, error):
        return UsageError(f"cannot load {path}: the file is truncated (its end is missing; save it again)")
    refused = re.search(r"Unsupported global: GLOBAL (\S+)", str(error))
    if refused:
        return UsageError(f"cannot load {path}{what}: it holds a {refused.group(1)}, not only tensors, and a "
                          "weights-only load (torch.load with weights_only=True) runs no code to make one")
    return UsageError(f"cannot load {path}{what}: {type(error).__name__}: {_one_line(error)}{_load_hint(error)}")


def _load_network(path):
    import torch

    try:
        net = torch.load(path, weights_only=False, map_location="cpu")
    except Exception as e:  # unreadable, truncated, not a pickle, missing classes ...
        raise _load_error(path, e) from None
    if not isinstance(net, torch.nn.Module):
        raise UsageError(f"{path} does not hold a torch.nn.Module (it holds a {type(net).__name__})")
    return net


def _build_from_factory(reference):
    import torch

    module_name, _, attribute = reference.partition(":")
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as e:
        raise UsageError(f"cannot import {module_name}: {_one_line(e)} (run from the folder that holds it, "
                         "or add that folder to PYTHONPATH)") from None
    except Exception as e:
        raise _failure(f"importing {module_name} failed", e) from None
    factory = module
    for part in attribute.split("."):
        if not hasattr(factory, part):
            raise UsageError(f"--model {reference}: {module_name} has no attribute {attribute!r}")
        factory = getattr(factory, part)
    if not callable(factory):
        raise UsageError(f"--model {reference}: {attribute} is not callable")
    try:
        net = factory()
    except Exception as e:
        raise _failure(f"--model {reference}: the factory failed", e) from None
    if not isinstance(net, torch.nn.Module):
        raise UsageError(f"--model {reference}: the factory returned a {type(net).__name__}, not a torch.nn.Module")
    return net


def _load_tensors(path, what):
    import torch

    try:
        return torch.load(path, weights_only=True, map_location="cpu")
    except Exception as e:
        raise _load_error(path, e, f" as a {what}") from None


def _converted_keys_hint(state):
    if any(key.endswith(".view_tuple") or ".layer_array." in key for key in state):
        return (" (it is the state_dict of a converted network: --model must build the trained, wrapped form; "
                "a converted network is loaded onto its plain architecture with quorvane.load)")
    return ""


def _load_state_dict(net, path):
    import torch

    state = _load_tensors(path, "state_dict")
    if not isinstance(state, dict) or not all(isinstance(k, str) and isinstance(v, torch.Tensor)
                                              for k, v in state.items()):
        raise UsageError(f"{path} does not hold a state_dict (a dict of named tensors)")
    try:
        net.load_state_dict(state, strict=True)
    except Exception as e:
        raise UsageError(f"{path} does not fit the network{_converted_keys_hint(state)}: {_one_line(e)}") from None


def _checked_network(net, source, allow_empty):
    """Refuses what cannot be converted, before any work; returns the nesting depth."""
    from quorvane import modules_quorvane as ZR
    from quorvane.module_tree import find_cycle, module_positions, nesting_depth

    cycle = find_cycle(net)
    if cycle is not None:
        raise UsageError(f"the network's module graph has a cycle ({cycle[0]} is "
                         f"{'the network itself' if not cycle[1] else cycle[1]}); it cannot be converted")
    depth = nesting_depth(net)
    if depth > MAX_DEPTH:
        raise UsageError(f"the network is nested {depth} modules deep; the converter handles up to {MAX_DEPTH}")
    modules = [net] + [place[3] for place in module_positions(net)]
    if not allow_empty and not any(type(m) is ZR.ZORNeuronModule for m in modules):
        raise UsageError(f"{source} holds no ZORNeuronModule wrappers: nothing to convert "
                         "(pass --allow-empty to accept this)")
    return depth


def _load(args):
    """(network, where it came from, held-out (images, labels) of the default network or None)."""
    if args.network:
        return _load_network(args.network), args.network, None
    if args.model:
        net, source = _build_from_factory(args.model), f"{args.model}()"
        if args.state_dict:
            _load_state_dict(net, args.state_dict)
            source += f" with {args.state_dict}"
        return net, source, None
    from quorvane import demo

    steps = demo.TRAIN_STEPS if args.train_steps is None else args.train_steps
    _progress(f"training the embedded default network for {steps} steps ...")
    net, images, labels = demo.build_trained(steps=steps, seed=args.seed)
    return net, "embedded default network", (images, labels)


# --- the sample input ----------------------------------------------------------------------


def _example_inputs(path):
    import torch

    value = _load_tensors(path, "tensor, tuple of tensors or dict of tensors")
    if isinstance(value, torch.Tensor):
        return (value,), {}
    if isinstance(value, (tuple, list)) and value and all(isinstance(v, torch.Tensor) for v in value):
        return tuple(value), {}
    if isinstance(value, dict) and value and all(isinstance(k, str) and k.isidentifier() and isinstance(v, torch.Tensor)
                                                 for k, v in value.items()):
        return (), dict(value)
    raise UsageError(f"{path} must hold a tensor, a tuple of tensors or a dict of keyword tensors "
                     f"(it holds a {type(value).__name__})")


def _sample_batch(net, shape, dtype_name, seed):
    import torch

    if dtype_name:
        dtype = getattr(torch, DTYPES[dtype_name])
    else:
        dtype = next((p.dtype for p in net.parameters() if p.is_floating_point()), torch.float32)
    generator = torch.Generator().manual_seed(seed)
    try:
        if dtype.is_floating_point or dtype.is_complex:
            return torch.randn(shape, generator=generator, dtype=dtype)
        if dtype == torch.bool:
            return torch.randint(0, 2, shape, generator=generator).bool()
        sizes = [m.num_embeddings for m in net.modules() if isinstance(m, (torch.nn.Embedding, torch.nn.EmbeddingBag))]
        return torch.randint(0, min(sizes, default=2), shape, generator=generator, dtype=dtype)
    except (RuntimeError, MemoryError, OverflowError, ValueError) as e:
        raise UsageError(f"cannot make a sample batch of shape {shape}: {type(e).__name__}: {_one_line(e)}") from None


def _sample_inputs(args, net, held_out):
    """(positional, keyword) inputs on the CPU: the example file, a random batch, or the
    default network's held-out images."""
    if args.example_inputs:
        return _example_inputs(args.example_inputs)
    if args.input_shape:
        return (_sample_batch(net, _parse_shape(args.input_shape), args.input_dtype, args.seed),), {}
    if held_out is None:
        raise UsageError("--input-shape or --example-inputs is needed to verify a loaded network "
                         "(for example --input-shape 8,3,32,32)")
    return (held_out[0],), {}


# --- reference and conversion ----------------------------------------------------------------


@dataclasses.dataclass
class Forms:
    """What the timing runs: copies on the chosen device, never the network saved."""

    trained: object
    converted: object
    without_dendrites: object
    inputs: tuple  # (positional, keyword), on the device
    one_forward: float  # seconds one trained forward took


def _copy(net, device, what):
    import copy

    try:
        return copy.deepcopy(net).to(device)
    except Exception as e:
        raise _failure(f"cannot copy {what}", e) from None


def _first_forward(trained, inputs):
    """Runs the trained form once: the input check. Returns the time it took."""
    from quorvane import conversion

    try:
        started = _clock()
        conversion.run_forward(trained, *inputs)
        return _clock() - started
    except Exception as e:
        raise UsageError(f"the network rejects input of {conversion.describe_inputs(*inputs)}: {type(e).__name__}: "
                         f"{_one_line(e)} (check --input-shape and --input-dtype, or give --example-inputs)") from None


def _convert_network(net, verbose):
    """The conversion of the network to save (never run), with the walks' diagnostics
    when asked."""
    from quorvane import conversion
    from quorvane import globals_quorvane as GZR

    GZR.pc.set_extra_verbose(bool(verbose))
    try:
        return conversion.convert(net)
    except RecursionError:
        raise UsageError("the conversion ran out of recursion depth: the network is nested too deeply") from None
    except Exception as e:
        raise _failure("the conversion failed", e) from None
    finally:
        GZR.pc.set_extra_verbose(False)


def _reference_and_convert(args, net, inputs, device):
    """Converts `net` (the network to save) and, on copies on `device`, verifies the
    same conversion against the trained form with ``convert(verify=)``. Returns the
    report, with that verification, and the forms to time."""
    from quorvane import conversion

    trained = _copy(net, device, "the network")
    on_device = tuple(t.to(device) for t in inputs[0]), {k: t.to(device) for k, t in inputs[1].items()}
    one_forward = _first_forward(trained, on_device)
    runner = _copy(trained, device, "the network")
    report = _convert_network(net, args.verbose)
    try:
        checked = conversion.convert(runner, verify=on_device)
    except Exception as e:
        raise _failure("the converted network failed on the sample input", e) from None
    forms = Forms(trained, checked.network, conversion.without_dendrites(checked.network), on_device, one_forward)
    return dataclasses.replace(report, verification=checked.verification), forms


# --- timing ------------------------------------------------------------------------------


def _time_runs(runs, repeats, warmup, synchronize):
    """Wall times (s) of each named callable: `warmup` unrecorded runs each, then
    `repeats` rounds in which they take turns, so that a noisy machine slows all of them
    alike."""
    for _ in range(warmup):
        for run in runs.values():
            run()
    synchronize()
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start = _clock()
            run()
            synchronize()
            times[name].append(_clock() - start)
    return times


def _median_iqr(values):
    if len(values) < 2:
        return values[0], 0.0
    q1, median, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return median, q3 - q1


def _forward(module, inputs, threaded=None):
    from quorvane import marlune

    def run():
        previous = marlune.doing_threading
        if threaded is not None:
            marlune.doing_threading = threaded
        try:
            return module(*inputs[0], **inputs[1])
        finally:
            marlune.doing_threading = previous
    return run


def _time(args, forms, device):
    """Times the trained form, the converted one (sequential and threaded) and the
    converted one without its dendrites, taking turns."""
    import torch

    from quorvane import report as R

    runs = {R.TRAINED: _forward(forms.trained, forms.inputs),
            R.SEQUENTIAL: _forward(forms.converted, forms.inputs, threaded=False),
            R.THREADED: _forward(forms.converted, forms.inputs, threaded=True),
            R.WITHOUT_DENDRITES: _forward(forms.without_dendrites, forms.inputs)}
    if len(runs) * (args.repeats + args.warmup) * forms.one_forward > 2.0:
        _progress(f"timing {args.warmup} warm-up and {args.repeats} timed forward passes of each form ...")

    def synchronize():
        if device.type == "cuda":
            torch.cuda.synchronize(device)
    try:
        with torch.no_grad():
            times = _time_runs(runs, args.repeats, args.warmup, synchronize)
    except Exception as e:
        raise _failure("a timing run failed", e) from None
    return R.Timing({name: _median_iqr(values) for name, values in times.items()}, args.repeats, args.warmup,
                    str(device), torch.get_num_threads())


# --- saving ------------------------------------------------------------------------------


def _prepare_output(args, network):
    """What a safetensors output will hold, checked before the timing (None for pt)."""
    if not args.output or args.format != "safetensors":
        return None
    from quorvane import checkpoints

    try:
        return checkpoints.prepare(network)
    except checkpoints.CheckpointError as e:
        raise UsageError(f"cannot save in safetensors format: {_one_line(e)}") from None


def _save(args, network, prepared):
    """Writes the output files all-or-nothing; returns the summary's line."""
    import torch

    from quorvane import checkpoints
    from quorvane.files import write_all_or_nothing

    paths = output_paths(args.output, args.format)
    try:
        if prepared is not None:
            checkpoints.write(prepared, args.output)
        else:
            write_all_or_nothing([(lambda path: torch.save(network, path), paths[0]),
                                  (lambda path: torch.save(network.state_dict(), path), paths[1])])
    except OSError as e:
        raise UsageError(f"cannot write {e.filename or args.output}: {e.strerror or e} (nothing was written)") from None
    if prepared is not None:
        return (f"saved:       {paths[0]} and {paths[1]} (load with quorvane.load(base_net, {args.output!r}) "
                "onto the plain architecture)")
    return f"saved:       {paths[0]} (whole network) and {paths[1]} (state_dict)"


# --- the command -------------------------------------------------------------------------


def _accuracy_line(held_out, forms, device):
    from quorvane import demo

    images, labels = (t.to(device) for t in held_out)
    return (f"accuracy:    trained {demo.accuracy(forms.trained, images, labels):.1%}, "
            f"converted {demo.accuracy(forms.converted, images, labels):.1%}")


def _convert(args):
    _check_options(args)
    import torch

    from quorvane import conversion

    if args.torch_threads is not None:
        torch.set_num_threads(args.torch_threads)
    device = _parse_device(args.device)
    net, source, held_out = _load(args)
    depth = _checked_network(net, source, args.allow_empty)
    inputs = _sample_inputs(args, net, held_out)
    if args.example_inputs or args.input_shape:
        held_out = None

    with conversion.recursion_room(depth):
        mode = "train" if net.training else "eval"
        report, forms = _reference_and_convert(args, net, inputs, device)
        prepared = _prepare_output(args, report.network)
        report = dataclasses.replace(report, timing=_time(args, forms, device))
        lines = [f"source:      {source} ({mode} mode)"] + report.lines(positions=False, tolerance=args.tolerance)
        if held_out is not None:
            lines.append(_accuracy_line(held_out, forms, device))
        if args.output:
            lines.append(_save(args, report.network, prepared))
    print("\n".join(lines))

    if not report.max_difference <= args.tolerance:
        print(f"error: the converted network differs from the trained one by {report.max_difference:.3g} "
              f"(more than --tolerance {args.tolerance:g})", file=sys.stderr)
        return EXIT_MISMATCH
    return EXIT_OK


def _info(args):
    import torch

    from quorvane import marlune, ostrelle

    print(f"quorvane, torch {torch.__version__}")
    for module in (marlune, ostrelle):
        names = [n for n in vars(module) if not n.startswith("__")]
        print(f"{module.__name__}: {', '.join(names)}")
    return EXIT_OK


def _add_source_options(convert):
    source = convert.add_argument_group("the network")
    source.add_argument("network", nargs="?", help="file saved with torch.save(net, path); needs --trust-pickle")
    source.add_argument("--trust-pickle", action="store_true",
                        help="load NETWORK with torch.load(weights_only=False), which runs any code the file holds: "
                             "only for files you trust")
    source.add_argument("--model", metavar="PKG.MODULE:FACTORY",
                        help="a callable that returns the trained-form (wrapped) network, imported from the "
                             "current folder or PYTHONPATH")
    source.add_argument("--state-dict", metavar="CKPT",
                        help="with --model: load this state_dict into it (torch.load with weights_only=True)")


def _add_input_options(convert):
    sample = convert.add_argument_group("the sample input")
    sample.add_argument("--example-inputs", metavar="FILE",
                        help="a tensor, a tuple of tensors (positional) or a dict of tensors (keyword), "
                             "saved with torch.save (loaded with weights_only=True)")
    sample.add_argument("--input-shape", help="shape of a random sample batch, e.g. 8,3,32,32")
    sample.add_argument("--input-dtype", help="dtype of that batch (default: the network's parameter dtype); "
                                              "integer batches are drawn below the smallest Embedding size")
    sample.add_argument("--seed", type=int, default=0, help="seed of the sample batch and the default network")


def _add_run_options(convert):
    run = convert.add_argument_group("checking and timing")
    run.add_argument("--device", default="cpu", help="cpu, cuda or cuda:N: where verification and timing run "
                                                     "(default: cpu); the network is saved as loaded")
    run.add_argument("--tolerance", type=float, default=0.0,
                     help="largest accepted output difference (default: 0, bit for bit)")
    run.add_argument("--repeats", type=int, default=20, help="timed runs of each form (default: 20)")
    run.add_argument("--warmup", type=int, default=3, help="untimed runs of each form first (default: 3)")
    run.add_argument("--torch-threads", type=int, metavar="N", help="torch's intra-op thread count")


def _add_output_options(convert):
    output = convert.add_argument_group("the output")
    output.add_argument("-o", "--output", metavar="OUT",
                        help="save the converted network: with --format pt (the default) whole at OUT and its "
                             "state_dict beside it (OUT.state_dict.pt); with --format safetensors into the folder "
                             "OUT as quorvane_model.safetensors and quorvane_config.json, for quorvane.load. "
                             "All files or none are written; missing folders are made")
    output.add_argument("--format", choices=FORMATS, default="pt", help="what -o writes (default: pt)")


def build_parser():
    parser = argparse.ArgumentParser(prog="quorvane", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    convert = commands.add_parser(
        "convert", help="convert a trained network and verify it",
        description="Convert a trained network (a whole network saved with torch.save, a model factory with a "
                    "state_dict, or the embedded default network when neither is given) into its inference form, "
                    "verify it against the trained form, time both and the network without its dendrites, and "
                    "optionally save it. The network saved is never run: verification and timing use copies. "
                    "WARNING: loading a whole-network file runs code from it (torch.load with weights_only=False), "
                    "so it needs --trust-pickle; only convert files you trust.")
    _add_source_options(convert)
    _add_input_options(convert)
    _add_run_options(convert)
    _add_output_options(convert)
    convert.add_argument("--allow-empty", action="store_true", help="accept a network without wrappers")
    convert.add_argument("--verbose", action="store_true", help="print the conversion walks' diagnostics")
    convert.add_argument("--traceback", action="store_true", help="on failure, print the whole traceback")
    convert.add_argument("--train-steps", type=int, default=None, help=argparse.SUPPRESS)
    convert.set_defaults(run=_convert)
    commands.add_parser("info", help="show the installed torch version and the names of both extension "
                                     "modules").set_defaults(run=_info)
    return parser


def _report_failure(args, error):
    """The one line (and with --traceback the traceback) for a failure; its exit status."""
    if isinstance(error, KeyboardInterrupt):
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if getattr(args, "traceback", False) and not isinstance(error, MemoryError):
        traceback.print_exception(type(error), error, error.__traceback__)
    if isinstance(error, UsageError):
        print(f"error: {error}", file=sys.stderr)
    elif isinstance(error, MemoryError):
        print("error: out of memory", file=sys.stderr)
    elif isinstance(error, RecursionError):
        print(f"error: the network is nested too deeply: {_one_line(error)}", file=sys.stderr)
    else:
        print(f"error: {type(error).__name__}: {_one_line(error)} (run with --traceback for the details)",
              file=sys.stderr)
    return EXIT_BAD_INPUT


def main(argv=None):
    args = None
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except (Exception, KeyboardInterrupt) as e:
        return _report_failure(args, e)


if __name__ == "__main__":
    sys.exit(main())
