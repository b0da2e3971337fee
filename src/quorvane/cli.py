"""quorvane: convert a trained network into its inference form and check the result.

A network saved whole is a pickle: loading it (torch.load(..., weights_only=False)) runs
code from the file, so convert only files you trust. --model with --state-dict loads
only tensors from the checkpoint.
"""

import argparse
import contextlib
import copy
import errno
import importlib
import math
import os
import statistics
import sys
import time
import traceback

EXIT_OK, EXIT_MISMATCH, EXIT_BAD_INPUT, EXIT_INTERRUPTED = 0, 1, 2, 130

# Deeper module graphs are refused: copying, saving and running them needs the
# interpreter's recursion limit raised in proportion, and the C stack has to hold it.
MAX_DEPTH = 1000

_clock = time.perf_counter

# An interquartile range above this fraction of the median makes a timing ratio noise.
NOISY_SPREAD = 0.2

DTYPES = {"float32": "float32", "float": "float32", "float64": "float64", "double": "float64",
          "float16": "float16", "half": "float16", "bfloat16": "bfloat16", "int64": "int64", "long": "int64",
          "int32": "int32", "int": "int32", "int16": "int16", "int8": "int8", "uint8": "uint8", "bool": "bool",
          "complex64": "complex64", "complex128": "complex128"}


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


def _one_line(text, limit=300):
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _failure(what, error):
    return UsageError(f"{what}: {type(error).__name__}: {_one_line(error)}")


def _progress(text):
    print(text, file=sys.stderr, flush=True)


def _count(number, noun):
    return f"{number} {noun}{'' if number == 1 else 's'}"


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


def _same_file(a, b):
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output(path, inputs):
    """Refuses, before any work, an output that would overwrite an input or cannot be
    written: both files' places must be free of directories and inside a folder that
    exists, or can be made, and is writable."""
    targets = [path, state_dict_path(path)]
    for target in targets:
        for source, role in inputs:
            if source and _same_file(target, source):
                raise UsageError(f"refusing to write {target}: it is the {role} ({source}); choose another -o")
        if os.path.isdir(target):
            raise UsageError(f"cannot write {target}: a directory of that name exists (nothing was written)")
    folder = os.path.dirname(os.path.abspath(path))
    existing = folder
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
        raise UsageError(f"--device {text}: there are {_count(torch.cuda.device_count(), 'CUDA device')}")
    return torch.device("cuda", index)


def _check_options(args):
    if not math.isfinite(args.tolerance) or args.tolerance < 0:
        raise UsageError(f"bad --tolerance {args.tolerance:g}: expected a finite number, 0 or more")
    if args.repeats < 1:
        raise UsageError(f"bad --repeats {args.repeats}: expected a positive count")
    if args.warmup < 0:
        raise UsageError(f"bad --warmup {args.warmup}: expected 0 or more")
    if args.torch_threads is not None and args.torch_threads < 1:
        raise UsageError(f"bad --torch-threads {args.torch_threads}: expected a positive count")
    if args.network and args.model:
        raise UsageError("give either a network file or --model, not both")
    if args.state_dict and not args.model:
        raise UsageError("--state-dict needs --model (the factory that builds the network it belongs to)")
    if args.example_inputs and args.input_shape:
        raise UsageError("give either --example-inputs or --input-shape, not both")
    if args.input_dtype and not args.input_shape:
        raise UsageError("--input-dtype goes with --input-shape")
    if args.input_dtype and args.input_dtype not in DTYPES:
        raise UsageError(f"bad --input-dtype {args.input_dtype!r}: expected one of {', '.join(sorted(set(DTYPES.values())))}")
    if args.model and ":" not in args.model:
        raise UsageError(f"bad --model {args.model!r}: expected package.module:factory")
    for path, what in ((args.network, "network file"), (args.state_dict, "checkpoint file"),
                       (args.example_inputs, "tensor file")):
        if path:
            _readable_file(path, what)
    if args.output:
        _check_output(args.output, [(args.network, "input network"), (args.state_dict, "input checkpoint"),
                                    (args.example_inputs, "example-inputs file")])


# --- loading ---------------------------------------------------------------------------


def _load_hint(error):
    if isinstance(error, (ModuleNotFoundError, AttributeError)) or "Can't get attribute" in str(error):
        return (" (the classes the file was saved with must be importable: run from the folder that holds "
                "their module or add it to PYTHONPATH)")
    return ""


def _load_network(path):
    import torch

    try:
        net = torch.load(path, weights_only=False, map_location="cpu")
    except MemoryError:
        raise UsageError(f"cannot load {path}: out of memory") from None
    except RecursionError:
        raise UsageError(f"cannot load {path}: the pickle is nested too deeply") from None
    except Exception as e:  # unreadable, truncated, not a pickle, missing classes ...
        raise UsageError(f"cannot load {path}: {type(e).__name__}: {_one_line(e)}{_load_hint(e)}") from None
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
    except MemoryError:
        raise UsageError(f"cannot load {path}: out of memory") from None
    except Exception as e:
        raise UsageError(f"cannot load {path} as a {what} (read with weights_only=True): "
                         f"{type(e).__name__}: {_one_line(e)}") from None


def _load_state_dict(net, path):
    import torch

    state = _load_tensors(path, "state_dict")
    if not isinstance(state, dict) or not all(isinstance(k, str) and isinstance(v, torch.Tensor)
                                              for k, v in state.items()):
        raise UsageError(f"{path} does not hold a state_dict (a dict of named tensors)")
    try:
        net.load_state_dict(state, strict=True)
    except Exception as e:
        raise UsageError(f"{path} does not fit the network: {_one_line(e)}") from None


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


def _describe_inputs(args, kwargs):
    """ "shape (8, 3) float32", or "shapes (8, 3) float32, mask=(8,) bool" for several."""
    def one(t):
        return f"{tuple(t.shape)} {str(t.dtype).replace('torch.', '')}"

    parts = [one(t) for t in args] + [f"{k}={one(t)}" for k, t in kwargs.items()]
    return f"{'shape' if len(parts) == 1 and args else 'shapes'} {', '.join(parts)}"


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


# --- saving ------------------------------------------------------------------------------


def _new_file_beside(path):
    """A new, empty file next to `path`, created with the permissions the umask gives a
    new file (0666 masked), unlike tempfile's 0600."""
    directory = os.path.dirname(os.path.abspath(path))
    base = os.path.basename(path)
    for attempt in range(1000):
        candidate = os.path.join(directory, f".{base}.{os.getpid()}.{attempt}.tmp")
        try:
            return candidate, os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
    raise OSError(errno.EEXIST, "no free temporary name", path)


def _make_folders(path):
    """Creates the missing folders above `path`; returns those it made, deepest last."""
    made = []
    folder = os.path.dirname(os.path.abspath(path))
    missing = []
    while not os.path.exists(folder):
        missing.append(folder)
        folder = os.path.dirname(folder)
    for folder in reversed(missing):
        os.mkdir(folder)
        made.append(folder)
    return made


def _save_all_or_nothing(items):
    """torch.save each (object, path) into a new file beside its path, then moves them
    all into place. On any failure every file is as it was before (replaced ones are
    restored from a hard link or copy) and folders made for them are removed."""
    import shutil

    import torch

    made, written, backups, placed = [], [], {}, []
    try:
        for _, path in items:
            made += _make_folders(path)
        for obj, path in items:
            temporary, handle = _new_file_beside(path)
            written.append((temporary, path))
            with os.fdopen(handle, "wb") as stream:
                torch.save(obj, stream)
        for _, path in written:
            if os.path.lexists(path):
                backup, handle = _new_file_beside(path)
                os.close(handle)
                os.unlink(backup)
                try:
                    os.link(path, backup)
                except OSError:
                    shutil.copy2(path, backup)
                backups[path] = backup
        for temporary, path in written:
            os.replace(temporary, path)
            placed.append(path)
    except BaseException:
        for path in reversed(placed):
            with contextlib.suppress(OSError):
                if path in backups:
                    os.replace(backups.pop(path), path)
                else:
                    os.unlink(path)
        for temporary, _ in written:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        for backup in backups.values():
            with contextlib.suppress(OSError):
                os.unlink(backup)
        for folder in reversed(made):
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        raise
    for backup in backups.values():
        with contextlib.suppress(OSError):
            os.unlink(backup)


# --- the command -------------------------------------------------------------------------


def _convert(args):
    _check_options(args)
    import torch

    from quorvane import conversion
    from quorvane import globals_quorvane as GZR
    from quorvane import marlune
    from quorvane import modules_quorvane as ZR
    from quorvane import utils_quorvane as UZR

    if args.torch_threads is not None:
        torch.set_num_threads(args.torch_threads)
    device = _parse_device(args.device)
    shape = _parse_shape(args.input_shape) if args.input_shape else None

    images = labels = None
    if args.network or args.model:
        if args.network:
            net, source = _load_network(args.network), args.network
        else:
            net, source = _build_from_factory(args.model), f"{args.model}()"
            if args.state_dict:
                _load_state_dict(net, args.state_dict)
                source += f" with {args.state_dict}"
        if not (shape or args.example_inputs):
            raise UsageError("--input-shape or --example-inputs is needed to verify a loaded network "
                             "(for example --input-shape 8,3,32,32)")
    else:
        from quorvane import demo

        _progress(f"training the embedded default network for {args.train_steps} steps ...")
        net, images, labels = demo.build_trained(steps=args.train_steps, seed=args.seed)
        source = "embedded default network"

    cycle = UZR.find_cycle(net)
    if cycle is not None:
        raise UsageError(f"the network's module graph has a cycle ({cycle[0]} is "
                         f"{'the network itself' if not cycle[1] else cycle[1]}); it cannot be converted")
    depth = UZR.nesting_depth(net)
    if depth > MAX_DEPTH:
        raise UsageError(f"the network is nested {depth} modules deep; the converter handles up to {MAX_DEPTH}")

    if args.example_inputs:
        inputs, kwargs = _example_inputs(args.example_inputs)
    elif shape is not None:
        inputs, kwargs = (_sample_batch(net, shape, args.input_dtype, args.seed),), {}
    else:
        inputs, kwargs = (images,), {}
    if shape is not None or args.example_inputs:
        images = labels = None
    described = _describe_inputs(inputs, kwargs)

    with conversion.recursion_room(depth):
        wrappers = sum(1 for m in net.modules() if type(m) is ZR.ZORNeuronModule)
        if wrappers == 0 and not args.allow_empty:
            print(f"warning: {source} holds no ZORNeuronModule wrappers; nothing was converted "
                  "(pass --allow-empty to accept this)", file=sys.stderr)
            return EXIT_MISMATCH
        mode = "train" if net.training else "eval"
        try:
            trained = copy.deepcopy(net).to(device)
        except Exception as e:
            raise _failure("cannot copy the network", e) from None
        on_device = tuple(t.to(device) for t in inputs), {k: t.to(device) for k, t in kwargs.items()}
        try:
            started = _clock()
            expected, random_state, devices, drew = conversion.trained_reference(trained, *on_device)
            one_forward = _clock() - started
        except Exception as e:
            raise UsageError(f"the network rejects input of {described}: {type(e).__name__}: {_one_line(e)} "
                                 "(check --input-shape and --input-dtype, or give --example-inputs)") from None

        modules_before = {id(m): m for m in net.modules()}
        GZR.pc.set_extra_verbose(bool(args.verbose))
        try:
            report = conversion.convert(net)
        except RecursionError:
            raise UsageError("the conversion ran out of recursion depth: the network is nested too deeply") from None
        except Exception as e:
            raise _failure("the conversion failed", e) from None
        finally:
            GZR.pc.set_extra_verbose(False)
        converted = report.network
        layers_shared = sum(1 for m in converted.modules() if id(m) in modules_before)
        del modules_before

        # Everything below runs on a copy: the network saved is never run.
        try:
            runner = copy.deepcopy(converted).to(device)
        except Exception as e:
            raise _failure("cannot copy the converted network", e) from None
        try:
            verification = conversion.compare(expected, runner, *on_device, random_state, devices, drew)
        except Exception as e:
            raise _failure("the converted network failed on the sample input", e) from None

        if device.type == "cuda":
            def synchronize():
                torch.cuda.synchronize(device)
        else:
            def synchronize():
                pass

        threaded_flag = marlune.doing_threading

        def converted_forward(flag):
            def run():
                marlune.doing_threading = flag
                try:
                    return runner(*on_device[0], **on_device[1])
                finally:
                    marlune.doing_threading = threaded_flag
            return run

        rounds = args.repeats + args.warmup
        if 3 * rounds * one_forward > 2.0:
            _progress(f"timing {args.warmup} warm-up and {args.repeats} timed forward passes of each form ...")
        try:
            with torch.no_grad():
                times = _time_runs({"trained": lambda: trained(*on_device[0], **on_device[1]),
                                    "sequential": converted_forward(False),
                                    "threaded": converted_forward(True)}, args.repeats, args.warmup, synchronize)
        except Exception as e:
            raise _failure("a timing run failed", e) from None
        stats = {name: _median_iqr(values) for name, values in times.items()}

        lines = [f"source:      {source} ({mode} mode)",
                 f"converted:   {_count(wrappers, 'ZORNeuronModule wrapper')} -> "
                 f"{_count(len(report.converted), 'ZORModulePyThread module')}"]
        for item in report.unconverted:
            lines.append(f"unconverted: {item.path or '(root)'} ({item.kind}): {item.reason}: {item.detail}")
        lines.append(f"shared:      {report.shared_parameters} of {report.parameters} parameter tensors and "
                     f"{layers_shared} modules are the trained network's own "
                     f"({report.parameters - report.shared_parameters} copied)")
        threaded = "not compared" if verification.threaded is None else f"{verification.threaded:.3g}"
        lines.append(f"difference:  max |trained - converted| = {verification.max_difference:.3g} on input of {described} "
                     f"(sequential {verification.sequential:.3g}, threaded {threaded}; "
                     f"tolerance {args.tolerance:g})")
        if verification.note:
            lines.append(f"             {verification.note}")
        if images is not None:
            from quorvane import demo

            lines.append(f"accuracy:    trained {demo.accuracy(trained, images.to(device), labels.to(device)):.1%}, "
                         f"converted {demo.accuracy(runner, images.to(device), labels.to(device)):.1%}")

        def show(name):
            median, spread = stats[name]
            return f"{median * 1e3:.3f} ms (IQR {spread * 1e3:.3f})"

        base = stats["trained"][0]
        lines.append(f"forward:     trained {show('trained')}; converted {show('sequential')} sequential "
                     f"({base / stats['sequential'][0]:.2f}x), {show('threaded')} threaded "
                     f"({base / stats['threaded'][0]:.2f}x)")
        lines.append(f"             medians and interquartile ranges of {args.repeats} interleaved runs after "
                     f"{_count(args.warmup, 'warm-up run')}, on {device} with {torch.get_num_threads()} torch "
                     f"thread{'s' if torch.get_num_threads() != 1 else ''}; Nx = trained time / converted time")
        noisy = [name for name, (median, spread) in stats.items() if median > 0 and spread > NOISY_SPREAD * median]
        if noisy:
            names = noisy[0] if len(noisy) == 1 else f"{', '.join(noisy[:-1])} and {noisy[-1]}"
            advice = "more --repeats, or --torch-threads 1" if torch.get_num_threads() > 1 else \
                "more --repeats, or a quieter machine"
            ratios = [form for form in ("sequential", "threaded") if "trained" in noisy or form in noisy]
            which = "both ratios mean" if len(ratios) == 2 else f"the {ratios[0]} ratio means"
            lines.append(f"             the spread of the {names} times is over {NOISY_SPREAD:.0%} of their "
                         f"median, so {which} little here (try {advice})")

        if args.output:
            try:
                _save_all_or_nothing([(converted, args.output), (converted.state_dict(), state_dict_path(args.output))])
            except OSError as e:
                raise UsageError(f"cannot write {e.filename or args.output}: {e.strerror or e} "
                                 "(nothing was written)") from None
            lines.append(f"saved:       {args.output} (whole network) and {state_dict_path(args.output)} (state_dict)")
    print("\n".join(lines))

    if not verification.max_difference <= args.tolerance:
        print(f"error: the converted network differs from the trained one by {verification.max_difference:.3g} "
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


def build_parser():
    parser = argparse.ArgumentParser(prog="quorvane", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    convert = commands.add_parser(
        "convert", help="convert a trained network and verify it",
        description="Convert a trained network (a whole network saved with torch.save, a model factory with a "
                    "state_dict, or the embedded default network when neither is given) into its inference form, "
                    "verify it against the trained form, time both, and optionally save it. The network saved is "
                    "never run: verification and timing use copies. WARNING: loading a whole-network file runs "
                    "code from it (torch.load with weights_only=False); only convert files you trust.")
    source = convert.add_argument_group("the network")
    source.add_argument("network", nargs="?", help="file saved with torch.save(net, path)")
    source.add_argument("--model", metavar="PKG.MODULE:FACTORY",
                        help="a callable that returns the trained-form (wrapped) network, imported from the "
                             "current folder or PYTHONPATH")
    source.add_argument("--state-dict", metavar="CKPT",
                        help="with --model: load this state_dict into it (torch.load with weights_only=True)")
    sample = convert.add_argument_group("the sample input")
    sample.add_argument("--example-inputs", metavar="FILE",
                        help="a tensor, a tuple of tensors (positional) or a dict of tensors (keyword), "
                             "saved with torch.save (loaded with weights_only=True)")
    sample.add_argument("--input-shape", help="shape of a random sample batch, e.g. 8,3,32,32")
    sample.add_argument("--input-dtype", help="dtype of that batch (default: the network's parameter dtype); "
                                              "integer batches are drawn below the smallest Embedding size")
    sample.add_argument("--seed", type=int, default=0, help="seed of the sample batch and the default network")
    run = convert.add_argument_group("checking and timing")
    run.add_argument("--device", default="cpu", help="cpu, cuda or cuda:N: where verification and timing run "
                                                     "(default: cpu); the network is saved as loaded")
    run.add_argument("--tolerance", type=float, default=0.0,
                     help="largest accepted output difference (default: 0, bit for bit)")
    run.add_argument("--repeats", type=int, default=20, help="timed runs of each form (default: 20)")
    run.add_argument("--warmup", type=int, default=3, help="untimed runs of each form first (default: 3)")
    run.add_argument("--torch-threads", type=int, metavar="N", help="torch's intra-op thread count")
    convert.add_argument("-o", "--output", help="save the converted network here, and its state_dict beside it "
                                                "(OUT.state_dict.pt); missing folders are made")
    convert.add_argument("--allow-empty", action="store_true", help="accept a network without wrappers")
    convert.add_argument("--verbose", action="store_true", help="print the conversion walks' diagnostics")
    convert.add_argument("--traceback", action="store_true", help="on failure, print the whole traceback")
    convert.add_argument("--train-steps", type=int, default=None, help=argparse.SUPPRESS)
    convert.set_defaults(run=_convert)
    commands.add_parser("info", help="show the installed torch version and the names of both extension "
                                     "modules").set_defaults(run=_info)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    if getattr(args, "train_steps", 0) is None:
        from quorvane import demo

        args.train_steps = demo.TRAIN_STEPS
    try:
        return args.run(args)
    except UsageError as e:
        if getattr(args, "traceback", False):
            traceback.print_exc()
        print(f"error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except MemoryError:
        print("error: out of memory", file=sys.stderr)
        return EXIT_BAD_INPUT
    except RecursionError as e:
        if getattr(args, "traceback", False):
            traceback.print_exc()
        print(f"error: the network is nested too deeply: {_one_line(e)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except Exception as e:
        if getattr(args, "traceback", False):
            traceback.print_exc()
        print(f"error: {type(e).__name__}: {_one_line(e)} (run with --traceback for the details)", file=sys.stderr)
        return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
