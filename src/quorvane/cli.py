"""quorvane: convert a trained network into its inference form and check the result.

Loading a network file runs code from that file (it is a pickle, read with
torch.load(..., weights_only=False)): convert only files you trust.
"""

import argparse
import copy
import os
import statistics
import sys
import tempfile
import time

EXIT_OK, EXIT_MISMATCH, EXIT_BAD_INPUT = 0, 1, 2


class UsageError(Exception):
    """Bad input: reported as one line, exit status 2."""


def _progress(text):
    print(text, file=sys.stderr, flush=True)


def _tensors(value):
    """The tensors of a (possibly nested) forward result, in order."""
    import torch

    if isinstance(value, torch.Tensor):
        return [value]
    if isinstance(value, (tuple, list)):
        return [t for item in value for t in _tensors(item)]
    if isinstance(value, dict):
        return [t for key in value for t in _tensors(value[key])]
    return []


def _max_difference(a, b):
    first, second = _tensors(a), _tensors(b)
    if len(first) != len(second) or any(x.shape != y.shape for x, y in zip(first, second)):
        return float("inf")
    worst = 0.0
    for x, y in zip(first, second):
        if x.numel():
            worst = max(worst, (x.double() - y.double()).abs().max().item())
    return worst


def _count(number, noun):
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _median_ms(runs, repeats):
    """Median wall time of each named callable, in ms. The callables take turns within
    every repeat, so a noisy machine slows all of them alike and their ratio holds."""
    for run in runs.values():
        run()  # warm-up
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) * 1e3 for name, values in times.items()}


def _load_network(path):
    import torch

    if not os.path.isfile(path):
        raise UsageError(f"cannot read {path}: no such file")
    try:
        net = torch.load(path, weights_only=False, map_location="cpu")
    except Exception as e:  # unreadable, truncated, not a pickle, missing classes ...
        raise UsageError(f"cannot load {path}: {type(e).__name__}: {e}".splitlines()[0]) from None
    if not isinstance(net, torch.nn.Module):
        raise UsageError(f"{path} does not hold a torch.nn.Module (it holds a {type(net).__name__})")
    return net


def _parse_shape(text):
    try:
        shape = tuple(int(part) for part in text.replace("x", ",").split(",") if part.strip())
    except ValueError:
        raise UsageError(f"bad --input-shape {text!r}: expected integers such as 8,3,32,32") from None
    if not shape or any(n <= 0 for n in shape):
        raise UsageError(f"bad --input-shape {text!r}: expected positive integers such as 8,3,32,32")
    return shape


def _check_output_path(path):
    """Fails early, before any work, when the output cannot be written."""
    directory = os.path.dirname(os.path.abspath(path)) or "."
    if not os.path.isdir(directory):
        raise UsageError(f"cannot write {path}: directory {directory} does not exist")
    try:
        with tempfile.NamedTemporaryFile(dir=directory, prefix=".quorvane-check-"):
            pass
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None


def _save_all_or_nothing(items):
    """torch.save each (object, path) into a temporary file beside its path, then renames
    them all: the files appear whole, and only when every one of them was written."""
    import torch

    written = []
    try:
        for obj, path in items:
            directory = os.path.dirname(os.path.abspath(path)) or "."
            handle, temporary = tempfile.mkstemp(dir=directory, prefix=".quorvane-", suffix=".tmp")
            written.append((temporary, path))
            with os.fdopen(handle, "wb") as stream:
                torch.save(obj, stream)
        for temporary, path in written:
            os.replace(temporary, path)
    except BaseException:
        for temporary, _ in written:
            if os.path.exists(temporary):
                os.unlink(temporary)
        raise


def state_dict_path(path):
    root, ext = os.path.splitext(path)
    return f"{root}.state_dict{ext or '.pt'}"


def _convert(args):
    import torch

    from quorvane import globals_quorvane as GZR
    from quorvane import marlune, ostrelle
    from quorvane import modules_quorvane as ZR

    if args.output:
        _check_output_path(args.output)
    shape = _parse_shape(args.input_shape) if args.input_shape else None
    if args.repeats < 1:
        raise UsageError(f"bad --repeats {args.repeats}: expected a positive count")

    images = labels = None
    if args.network:
        net = _load_network(args.network)
        source = args.network
        if shape is None:
            raise UsageError("--input-shape is needed to verify a loaded network (for example 8,3,32,32)")
        sample = torch.randn(shape, generator=torch.Generator().manual_seed(args.seed))
    else:
        from quorvane import demo

        _progress(f"training the embedded default network for {args.train_seconds:g} s ...")
        net, images, labels = demo.build_trained(seconds=args.train_seconds, seed=args.seed)
        source = "embedded default network"
        sample = images if shape is None else torch.randn(shape, generator=torch.Generator().manual_seed(args.seed))
        if shape is not None:
            images = labels = None

    wrappers = sum(1 for m in net.modules() if type(m) is ZR.ZORNeuronModule)
    trained = copy.deepcopy(net)
    # The objects themselves are kept, not only their ids: the walks drop the wrappers,
    # and a freed wrapper's id could come back as a new module's.
    parameters_before = {id(p): p for p in net.parameters()}
    modules_before = {id(m): m for m in net.modules()}

    try:
        with torch.no_grad():
            started = time.perf_counter()
            expected = trained(sample)
            one_forward = time.perf_counter() - started
    except Exception as e:
        raise UsageError(f"the network rejects input of shape {tuple(sample.shape)}: "
                         f"{type(e).__name__}: {e}".splitlines()[0]) from None

    GZR.pc.set_extra_verbose(bool(args.verbose))
    try:
        net = ostrelle.blockwise_network(net)
        net = marlune.refresh_net(net)
    finally:
        GZR.pc.set_extra_verbose(False)
    converted = sum(1 for m in net.modules() if type(m) is marlune.ZORModulePyThread)

    if wrappers == 0 and not args.allow_empty:
        print(f"warning: {source} holds no ZORNeuronModule wrappers; nothing was converted "
              "(pass --allow-empty to accept this)", file=sys.stderr)
        return EXIT_MISMATCH

    parameters_after = [p for p in net.parameters()]
    shared = sum(1 for p in parameters_after if id(p) in parameters_before)
    layers_shared = sum(1 for m in net.modules() if id(m) in modules_before)
    del parameters_before, modules_before

    threaded_flag = marlune.doing_threading

    def converted_forward(flag):
        """The converted forward with doing_threading set to `flag` for the call only."""
        def run():
            marlune.doing_threading = flag
            try:
                return net(sample)
            finally:
                marlune.doing_threading = threaded_flag
        return run

    with torch.no_grad():
        got, got_threaded = converted_forward(False)(), converted_forward(True)()
    difference = max(_max_difference(expected, got), _max_difference(expected, got_threaded))

    if 3 * (args.repeats + 1) * one_forward > 2.0:
        _progress(f"timing {args.repeats} forward passes of each form ...")
    with torch.no_grad():
        timings = _median_ms({"trained": lambda: trained(sample),
                              "sequential": converted_forward(False),
                              "threaded": converted_forward(True)}, args.repeats)

    lines = [
        f"source:      {source} ({'train' if net.training else 'eval'} mode)",
        f"converted:   {_count(wrappers, 'ZORNeuronModule wrapper')} -> "
        f"{_count(converted, 'ZORModulePyThread module')}",
        f"shared:      {shared} of {len(parameters_after)} parameter tensors and {layers_shared} modules are "
        f"the trained network's own ({len(parameters_after) - shared} copied)",
        f"difference:  max |trained - converted| = {difference:.3g} on a batch of shape "
        f"{tuple(sample.shape)} (sequential and threaded; tolerance {args.tolerance:g})",
    ]
    if images is not None:
        from quorvane import demo

        lines.append(f"accuracy:    trained {demo.accuracy(trained, images, labels):.1%}, "
                     f"converted {demo.accuracy(net, images, labels):.1%}")
    lines.append(f"forward:     trained {timings['trained']:.3f} ms; converted {timings['sequential']:.3f} ms "
                 f"sequential ({timings['trained'] / timings['sequential']:.2f}x), {timings['threaded']:.3f} ms "
                 f"threaded ({timings['trained'] / timings['threaded']:.2f}x)")
    lines.append(f"             medians of {args.repeats} interleaved runs; Nx = trained time / converted time")

    if args.output:
        try:
            _save_all_or_nothing([(net, args.output), (net.state_dict(), state_dict_path(args.output))])
        except OSError as e:
            raise UsageError(f"cannot write {args.output}: {e.strerror or e}") from None
        lines.append(f"saved:       {args.output} (whole network) and {state_dict_path(args.output)} (state_dict)")
    print("\n".join(lines))

    if not difference <= args.tolerance:
        print(f"error: the converted network differs from the trained one by {difference:.3g} "
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
        description="Convert a trained network (a whole network saved with torch.save, or the embedded "
                    "default when no file is given) into its inference form, verify it against the trained "
                    "form, time both, and optionally save it. WARNING: loading a file runs code from it "
                    "(torch.load with weights_only=False); only convert files you trust.")
    convert.add_argument("network", nargs="?", help="file saved with torch.save(net, path); default: the "
                         "embedded default network, trained on the spot")
    convert.add_argument("-o", "--output", help="save the converted network here (and its state_dict beside it)")
    convert.add_argument("--input-shape", help="shape of the sample batch, e.g. 8,3,32,32 (needed for a file)")
    convert.add_argument("--tolerance", type=float, default=0.0,
                         help="largest accepted output difference (default: 0, bit for bit)")
    convert.add_argument("--allow-empty", action="store_true", help="accept a network without wrappers")
    convert.add_argument("--verbose", action="store_true", help="print the conversion walks' diagnostics")
    convert.add_argument("--repeats", type=int, default=20, help="timing repeats (default: 20)")
    convert.add_argument("--seed", type=int, default=0, help="seed of the sample batch and the default network")
    convert.add_argument("--train-seconds", type=float, default=3.0, help=argparse.SUPPRESS)
    convert.set_defaults(run=_convert)
    commands.add_parser("info", help="show what the installed package holds").set_defaults(run=_info)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as e:
        print(f"error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
