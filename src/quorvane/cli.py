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
    """Bad input: reported as one line, exit status 2. `details`, lines printed after it
    with --verbose, hold what the line only sums up."""

    def __init__(self, message, details=()):
        super().__init__(message)
        self.details = list(details)


class _Parser(argparse.ArgumentParser):
    """Usage mistakes end like every other bad input: in the tool's one line, exit 2,
    rather than argparse's usage dump."""

    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


# Options whose value may begin with "-": argparse takes "-1,8" for an option, so such a
# value is joined to its option ("--input-shape=-1,8") and judged by the option's own check.
_SIGNED_OPTIONS = ("--input-shape", "--tolerance", "--repeats", "--warmup", "--seed", "--torch-threads")
_SIGNED_VALUE = re.compile(r"-[0-9.][0-9.,xXeE+\- ]*")


def _join_signed_values(argv):
    joined, i = [], 0
    while i < len(argv):
        if argv[i] in _SIGNED_OPTIONS and i + 1 < len(argv) and _SIGNED_VALUE.fullmatch(argv[i + 1]):
            joined.append(f"{argv[i]}={argv[i + 1]}")
            i += 2
        else:
            joined.append(argv[i])
            i += 1
    return joined


def _a(word):
    """The indefinite article for `word`, by its first letter: "an OrderedDict", "a dict"."""
    return f"an {word}" if word[:1].lower() in "aeiou" else f"a {word}"


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
        raise UsageError(f"cannot read {path}: it is a directory, not {_a(what)}")
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
        from quorvane.checkpoint.files import CONFIG_NAME, WEIGHTS_NAME

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
        shape = tuple(int(part) for part in text.replace("x", ",").split(","))
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
    if args.state_dict_key is not None and not args.state_dict:
        raise UsageError("--state-dict-key goes with --state-dict")
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
    if args.max_shard_size is not None:
        if args.format != "safetensors":
            raise UsageError("--max-shard-size goes with --format safetensors")
        from quorvane.checkpoint.files import parse_shard_size

        try:
            text = args.max_shard_size.strip()
            args.max_shard_size = parse_shard_size(int(text) if text.isascii() and text.isdigit() else text)
        except ValueError:
            raise UsageError(f"bad --max-shard-size {args.max_shard_size!r}: expected a size such as 5GB, 500MB "
                             "or 2GiB, or a number of bytes") from None
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
        return UsageError(f"cannot load {path}{what}: it holds {_a(refused.group(1))}, not only tensors, and a "
                          "weights-only load (torch.load with weights_only=True) runs no code to make one")
    return UsageError(f"cannot load {path}{what}: {type(error).__name__}: {_one_line(error)}{_load_hint(error)}")


def _load_network(path):
    import torch

    try:
        net = torch.load(path, weights_only=False, map_location="cpu")
    except Exception as e:  # unreadable, truncated, not a pickle, missing classes ...
        raise _load_error(path, e) from None
    if not isinstance(net, torch.nn.Module):
        raise UsageError(f"{path} does not hold a torch.nn.Module (it holds {_a(type(net).__name__)})")
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
        raise UsageError(f"--model {reference}: the factory returned {_a(type(net).__name__)}, not a torch.nn.Module")
    return net


def _load_tensors(path, what):
    import torch

    try:
        return torch.load(path, weights_only=True, map_location="cpu")
    except Exception as e:
        raise _load_error(path, e, f" as {_a(what)}") from None


def _converted_keys_hint(state, expected=()):
    if any(key.endswith(".view_tuple") or ".layer_array." in key for key in state):
        return (" (it is the state_dict of a converted network: --model must build the trained, wrapped form; "
                "a converted network is loaded onto its plain architecture with quorvane.load)")
    # A wrapper holds its layer as `main_module`: the plain network's "0.weight" is the
    # wrapped network's "0.main_module.weight".
    def wrapped(key):
        parent, _, name = key.rpartition(".")
        return f"{parent}.main_module.{name}" if parent else f"main_module.{name}"
    strays = [key for key in state if key not in expected]
    if strays and all(wrapped(key) in expected for key in strays):
        return (" (it is the state_dict of the network before wrap_layers: --state-dict takes the trained, "
                "wrapped network's state_dict)")
    return ""


def _is_state_dict(value):
    import torch

    return isinstance(value, dict) and bool(value) and all(isinstance(k, str) and isinstance(v, torch.Tensor)
                                                             for k, v in value.items())


def _entries(value, prefix="", depth=2):
    """(dotted name, value) of every entry of a checkpoint's nested dicts, `depth` levels down."""
    for key, entry in value.items():
        name = f"{prefix}{key}"
        yield name, entry
        if depth > 1 and isinstance(entry, dict) and not _is_state_dict(entry):
            yield from _entries(entry, f"{name}.", depth - 1)


def _listed(names, limit=8):
    names = [repr(n) for n in names]
    shown = ", ".join(names[:limit])
    return shown if len(names) <= limit else f"{shown} and {len(names) - limit} more"


def _not_a_state_dict(path, value):
    """The line for a checkpoint that is not itself a state_dict: what it holds and, for a
    training checkpoint ({"model": state_dict, "epoch": 3}), the entry to pass."""
    what = f"{path} does not hold a state_dict (a dict of named tensors)"
    if not isinstance(value, dict):
        return f"{what}: it holds {_a(type(value).__name__)}"
    if not value:
        return f"{what}: it holds an empty {type(value).__name__}"
    found = [(name, entry) for name, entry in _entries(value) if _is_state_dict(entry)]
    holds = f"it holds {_a(type(value).__name__)} with the key{'s' if len(value) > 1 else ''} {_listed(list(value))}"
    if len(found) == 1:
        name, entry = found[0]
        return (f"{what}: {holds}; its entry {name!r} is a state_dict of {counted(len(entry), 'tensor')}: "
                f"pass --state-dict-key {name}")
    if found:
        return (f"{what}: {holds}; its entries {_listed([name for name, _ in found])} are state_dicts: "
                "pass --state-dict-key with one of them")
    return f"{what}: {holds}, none of them a state_dict"


def _entry(path, value, key):
    """The checkpoint's entry `key`: a top-level key, or a dotted path through nested dicts."""
    if isinstance(value, dict) and key in value:
        return value[key]
    entry = value
    for part in key.split("."):
        if not isinstance(entry, dict) or part not in entry:
            if _is_state_dict(value):
                raise UsageError(f"--state-dict-key {key}: {path} is itself a state_dict (leave out --state-dict-key)")
            keys = f"its keys: {_listed(list(value))}" if isinstance(value, dict) and value else \
                f"it holds {_a(type(value).__name__)}"
            raise UsageError(f"--state-dict-key {key}: {path} has no entry {key!r} ({keys})")
        entry = entry[part]
    return entry


def _shape(tensor):
    return "(" + ", ".join(str(n) for n in tensor.shape) + ("," if tensor.dim() == 1 else "") + ")"


def _mismatch(net, state, verbose, shown=4):
    """How `state` differs from what `net` holds: the one line's summary (up to `shown`
    names of each kind) and every name on a line of its own. None when names and shapes
    all agree (the load failed for another reason)."""
    expected = net.state_dict()
    missing = [k for k in expected if k not in state]
    unexpected = [k for k in state if k not in expected]
    resized = [k for k in expected if k in state and hasattr(expected[k], "shape")
               and state[k].shape != expected[k].shape]
    if not (missing or unexpected or resized):
        return None

    def shapes(k):
        return f"{k}: {_shape(state[k])} in the checkpoint, {_shape(expected[k])} in the network"
    parts, details = [], []
    for names, noun, suffix, label, line in ((missing, "missing key", "", "missing:   ", str),
                                             (unexpected, "unexpected key", "", "unexpected:", str),
                                             (resized, "tensor", " of another shape", "shape:     ", shapes)):
        if names:
            listed = "; ".join(line(k) for k in names[:shown]) if line is shapes else _listed(names, shown)
            if line is shapes and len(names) > shown:
                listed += f" and {len(names) - shown} more"
            parts.append(f"{counted(len(names), noun)}{suffix} ({listed})")
            details += [f"  {label} {line(k)}" for k in names]
    summary = "; ".join(parts)
    if max(len(missing), len(unexpected), len(resized)) > shown and not verbose:
        summary += " (--verbose lists them all)"
    return summary, details


def _load_state_dict(net, path, key=None, verbose=False):
    state = _load_tensors(path, "state_dict")
    if key is not None:
        state = _entry(path, state, key)
        path = f"{path} [{key}]"
    if not _is_state_dict(state):
        raise UsageError(_not_a_state_dict(path, state))
    try:
        net.load_state_dict(state, strict=True)
    except Exception as e:
        # Torch's own message cuts nothing but runs over many lines; the names are listed
        # here, on the one line if few and in full with --verbose.
        found = _mismatch(net, state, verbose)
        if found is None:
            raise UsageError(f"{path} does not fit the network{_converted_keys_hint(state)}: {_one_line(e)}") from None
        raise UsageError(f"{path} does not fit the network{_converted_keys_hint(state, net.state_dict())}: {found[0]}",
                         found[1]) from None


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
            _load_state_dict(net, args.state_dict, args.state_dict_key, args.verbose)
            source += f" with {args.state_dict}" + (f" [{args.state_dict_key}]" if args.state_dict_key else "")
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
                     f"(it holds {_a(type(value).__name__)})")


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
    from quorvane import checkpoint

    try:
        return checkpoint.prepare(network)
    except checkpoint.CheckpointError as e:
        raise UsageError(f"cannot save in safetensors format: {_one_line(e)}") from None


def _save(args, network, prepared):
    """Writes the output files all-or-nothing; returns the summary's line."""
    import torch

    from quorvane import checkpoint
    from quorvane.files import write_all_or_nothing

    paths = output_paths(args.output, args.format)
    try:
        if prepared is not None:
            paths = checkpoint.write(prepared, args.output, max_shard_size=args.max_shard_size or "5GB")
        else:
            write_all_or_nothing([(lambda path: torch.save(network, path), paths[0]),
                                  (lambda path: torch.save(network.state_dict(), path), paths[1])])
    except OSError as e:
        raise UsageError(f"cannot write {e.filename or args.output}: {e.strerror or e} (nothing was written)") from None
    if prepared is not None:
        weights = paths[0] if len(paths) == 2 else f"{paths[0]} ... {paths[-3]} ({len(paths) - 2} shards), {paths[-2]}"
        return (f"saved:       {weights} and {paths[-1]} (load with quorvane.load(base_net, {args.output!r}) "
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
        lines = [f"source:      {source} ({mode} mode)"] + _train_mode_note(args, net) + \
            report.lines(positions=False, tolerance=args.tolerance)
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


def _train_mode_note(args, net):
    """A network in train mode is verified, timed and saved in train mode: Dropout drops,
    BatchNorm normalises by the batch. Said once, with where to change it."""
    if not net.training:
        return []
    where = "return net.eval() from the factory" if args.model else "call net.eval() before torch.save(net, ...)"
    return ["note:        the network is in train mode, so it was verified and timed in train mode and is saved in "
            f"train mode (layers such as Dropout and BatchNorm act differently in eval mode); for inference, {where}"]


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
    source.add_argument("--state-dict-key", metavar="KEY",
                        help="with --state-dict: the checkpoint's entry that holds the state_dict, for a training "
                             "checkpoint such as {'model': state_dict, 'epoch': 3}; a dotted KEY (a.b) reaches "
                             "into nested dicts")


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
    output.add_argument("--max-shard-size", metavar="SIZE",
                        help="with --format safetensors: weights past SIZE (5GB by default; 500MB, 2GiB or a "
                             "number of bytes) go into several files with an index, as transformers shards")


def build_parser():
    parser = _Parser(prog="quorvane", description=__doc__,
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
    convert.add_argument("--verbose", action="store_true",
                         help="print the conversion walks' diagnostics, and every name a summed-up error leaves out")
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
        if getattr(args, "verbose", False) and error.details:
            print("\n".join(error.details), file=sys.stderr)
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
        args = build_parser().parse_args(_join_signed_values(sys.argv[1:] if argv is None else list(argv)))
        return args.run(args)
    except (Exception, KeyboardInterrupt) as e:
        return _report_failure(args, e)


if __name__ == "__main__":
    sys.exit(main())
