"""Latency of the clean forward pass beside the trained wrapper, a plain-Python rendition of
the same algorithm, and a hand-fused floor.

    PYTHONPATH=src python benchmarks/forward.py [--device cpu|cuda] [--torch-threads N]
                                                [--rounds R] [--grad] [--sizes ...]

For n = 1, 3, 5 layers (n - 1 dendrites) at each size (on the CPU: batch 1 x 64 features and
64 x 1024; on CUDA: 32 x 256, 256 x 1024 and 2048 x 4096), prints the median time of one
call of each contender, sequential and threaded, and the ratios. The contenders:

- ours:    the converted module (ZORModulePyThread)
- wrapper: the trained wrapper it was converted from
- python:  the plain-Python rendition of the clean forward (same reads, same calls)
- floor:   a hand-fused forward doing only the layer calls (the main layer through its
           forward, as ours does) and the multiplies, adds and nonlinearity the result
           needs, with the skip-weight rows viewed once beforehand; it is an nn.Module
           called through the module call, as the converted module is
- graph:   on CUDA, ours captured once in a CUDA graph and replayed

The contenders are timed in interleaved rounds, so a load change on the machine affects all
of them alike; on CUDA each round ends with a synchronisation. The wrapper and the floor have
no threaded path: their sequential figures are repeated on the threaded rows. Every contender
is first checked to give exactly the wrapper's output.
"""

import argparse
import os
import statistics
import sys
import time

import torch
import torch.nn as nn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from blocks import PythonClean, clean_from_wrapper  # noqa: E402

from quorvane import globals_quorvane as GZR  # noqa: E402
from quorvane import marlune  # noqa: E402
from quorvane import modules_quorvane as ZR  # noqa: E402

SIZES = {
    "cpu": {"small": (1, 64), "medium": (64, 1024)},
    "cuda": {"32x256": (32, 256), "256x1024": (256, 1024), "2048x4096": (2048, 4096)},
}


def calls_per_round(fn, target_s, sync):
    """How many calls make one round of about target_s seconds."""
    count = 1
    while True:
        start = time.perf_counter()
        for _ in range(count):
            fn()
        sync()
        spent = time.perf_counter() - start
        if spent >= target_s / 4 or count >= 1 << 16:
            return max(1, int(count * target_s / max(spent, 1e-9)))
        count *= 4


def measure(contenders, rounds, target_s, sync):
    """Median seconds per call of each contender, timed round-robin."""
    counts = {name: calls_per_round(fn, target_s, sync) for name, fn in contenders.items()}
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            count = counts[name]
            sync()
            start = time.perf_counter()
            for _ in range(count):
                fn()
            sync()
            samples[name].append((time.perf_counter() - start) / count)
    return {name: statistics.median(values) for name, values in samples.items()}


class HandFused(nn.Module):
    """The floor: the layers, then the cascade with rows viewed once."""

    def __init__(self, clean):
        super().__init__()
        self.fused = _fused(clean)

    def forward(self, x):
        return self.fused(x)


def _fused(clean):
    layers = list(clean.layer_array)
    dendrites, main = layers[:-1], layers[-1]
    rows = []
    if hasattr(clean, "skip_weights") and len(layers) > 1:
        shape = clean.view_tuple.tolist()
        rows = [[clean.skip_weights[k][j, :].view(shape) for j in range(k + 1)] for k in range(len(layers) - 1)]

    def floor(x):
        outs = [layer(x) for layer in dendrites] + [main.forward(x)]
        if not rows:
            return outs[-1]
        values = []
        for k, out in enumerate(outs):
            for j in range(k):
                out = out + rows[k - 1][j] * values[j]
            if k < len(outs) - 1:
                out = GZR.pc.get_zor_forward_function()(out)
            values.append(out)
        return values[-1]
    return floor


def graph_replay(ours, x):
    """ours(x) captured in a CUDA graph; returns a callable that replays it."""
    static_x = x.clone()
    stream = torch.cuda.Stream()
    stream.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(stream):
        for _ in range(3):
            ours(static_x)
    torch.cuda.current_stream().wait_stream(stream)
    graph = torch.cuda.CUDAGraph()
    with torch.cuda.graph(graph):
        static_out = ours(static_x)

    def replay():
        graph.replay()
        return static_out
    return replay


def build(n, features, device):
    wrapper = ZR.ZORNeuronModule(nn.Linear(features, features), num_dendrites=n - 1).to(device)
    ours = clean_from_wrapper(wrapper)
    return wrapper, ours, PythonClean(ours), HandFused(ours)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--device", default="cpu", choices=["cpu", "cuda"])
    parser.add_argument("--torch-threads", type=int, default=None, help="torch.set_num_threads (default: torch's)")
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--round-seconds", type=float, default=0.03)
    parser.add_argument("--sizes", nargs="*", help="a subset of the sizes to run")
    parser.add_argument("--grad", action="store_true", help="run with grad mode on (default: under torch.no_grad())")
    args = parser.parse_args(argv)
    if args.torch_threads:
        torch.set_num_threads(args.torch_threads)
    cuda = args.device == "cuda"
    sync = torch.cuda.synchronize if cuda else (lambda: None)
    torch.manual_seed(0)
    mode = "grad mode" if args.grad else "torch.no_grad()"
    where = torch.cuda.get_device_name() if cuda else f"{torch.get_num_threads()} intra-op threads"
    print(f"torch {torch.__version__}, {args.device} ({where}), {mode}, median of {args.rounds} rounds")
    names = ["ours", "wrapper", "python", "floor"] + (["graph"] if cuda else [])
    header = (f"{'size':9} {'n':>2} {'path':10} " + " ".join(f"{name + ' us':>10}" for name in names) +
              f" {'ours/wrapper':>13} {'ours/python':>12} {'ours/floor':>11}" + (f" {'graph/ours':>11}" if cuda else ""))
    print(header)
    print("-" * len(header))
    context = torch.enable_grad if args.grad else torch.no_grad
    for size, (batch, features) in SIZES[args.device].items():
        if args.sizes and size not in args.sizes:
            continue
        for n in (1, 3, 5):
            wrapper, ours, python, floor = build(n, features, args.device)
            x = torch.randn(batch, features, device=args.device)
            with context():
                expected = wrapper(x)
                replay = graph_replay(ours, x) if cuda and not args.grad else None
                for threaded in (False, True):
                    marlune.doing_threading = threaded
                    python.threading = threaded
                    try:
                        fns = {"ours": lambda: ours(x), "wrapper": lambda: wrapper(x), "python": lambda: python(x),
                               "floor": lambda: floor(x)}
                        if replay is not None and not threaded:
                            fns["graph"] = replay
                        for name, fn in fns.items():
                            if not torch.equal(fn(), expected):
                                raise SystemExit(f"{name} disagrees with the trained wrapper at n={n}, {size}")
                        times = measure(fns, args.rounds, args.round_seconds, sync)
                    finally:
                        marlune.doing_threading = False
                    us = {name: times[name] * 1e6 for name in times}
                    path = "threaded" if threaded else "sequential"
                    cells = " ".join(f"{us[name]:10.1f}" if name in us else f"{'-':>10}" for name in names)
                    line = (f"{size:9} {n:>2} {path:10} {cells} {us['ours'] / us['wrapper']:13.2f} "
                            f"{us['ours'] / us['python']:12.2f} {us['ours'] / us['floor']:11.2f}")
                    if cuda:
                        line += f" {us['graph'] / us['ours']:11.2f}" if "graph" in us else f" {'-':>11}"
                    print(line, flush=True)


if __name__ == "__main__":
    main()
