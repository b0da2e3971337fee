"""Latency of the clean forward pass beside the trained wrapper and a plain-Python
rendition of the same algorithm.

    PYTHONPATH=src python benchmarks/forward.py [--torch-threads N] [--rounds R] [--grad]

For n = 1, 3, 5 layers (n - 1 dendrites), at a small size (batch 1, 64 features) and a
medium size (batch 64, 1024 features), sequential and threaded, prints the median time
of one call of each contender and the ratios. The contenders are timed in interleaved
rounds, so a load change on the machine affects all of them alike. The trained wrapper
has no threaded path: its sequential figure is repeated on the threaded rows.
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

from quorvane import marlune  # noqa: E402
from quorvane import modules_quorvane as ZR  # noqa: E402

SIZES = {"small": (1, 64), "medium": (64, 1024)}


def calls_per_round(fn, target_s):
    """How many calls make one round of about target_s seconds."""
    count = 1
    while True:
        start = time.perf_counter()
        for _ in range(count):
            fn()
        spent = time.perf_counter() - start
        if spent >= target_s / 4 or count >= 1 << 16:
            return max(1, int(count * target_s / max(spent, 1e-9)))
        count *= 4


def measure(contenders, rounds, target_s):
    """Median seconds per call of each contender, timed round-robin."""
    counts = {name: calls_per_round(fn, target_s) for name, fn in contenders.items()}
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            count = counts[name]
            start = time.perf_counter()
            for _ in range(count):
                fn()
            samples[name].append((time.perf_counter() - start) / count)
    return {name: statistics.median(values) for name, values in samples.items()}


def build(n, features):
    wrapper = ZR.ZORNeuronModule(nn.Linear(features, features), num_dendrites=n - 1)
    ours = clean_from_wrapper(wrapper)
    python = PythonClean(ours)
    return wrapper, ours, python


def contenders_for(wrapper, ours, python, x, threaded):
    def run_ours():
        return ours(x)

    def run_python():
        return python(x)

    def run_wrapper():
        return wrapper(x)

    python.threading = threaded
    return {"ours": run_ours, "wrapper": run_wrapper, "python": run_python}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--torch-threads", type=int, default=None, help="torch.set_num_threads (default: torch's)")
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--round-seconds", type=float, default=0.03)
    parser.add_argument("--grad", action="store_true", help="run with grad mode on (default: under torch.no_grad())")
    args = parser.parse_args(argv)
    if args.torch_threads:
        torch.set_num_threads(args.torch_threads)
    torch.manual_seed(0)
    mode = "grad mode" if args.grad else "torch.no_grad()"
    print(f"torch {torch.__version__}, {torch.get_num_threads()} intra-op threads, {mode}, "
          f"median of {args.rounds} rounds")
    header = (f"{'size':7} {'n':>2} {'path':10} {'ours us':>10} {'wrapper us':>11} {'python us':>10} "
              f"{'ours/python':>12} {'ours/wrapper':>13}")
    print(header)
    print("-" * len(header))
    context = torch.enable_grad if args.grad else torch.no_grad
    for size, (batch, features) in SIZES.items():
        for n in (1, 3, 5):
            wrapper, ours, python = build(n, features)
            x = torch.randn(batch, features)
            with context():
                expected = wrapper(x)
                for threaded in (False, True):
                    marlune.doing_threading = threaded
                    try:
                        fns = contenders_for(wrapper, ours, python, x, threaded)
                        for name, fn in fns.items():
                            if not torch.equal(fn(), expected):
                                raise SystemExit(f"{name} disagrees with the trained wrapper at n={n}, {size}")
                        times = measure(fns, args.rounds, args.round_seconds)
                    finally:
                        marlune.doing_threading = False
                    o, w, p = (times[k] * 1e6 for k in ("ours", "wrapper", "python"))
                    path = "threaded" if threaded else "sequential"
                    print(f"{size:7} {n:>2} {path:10} {o:10.1f} {w:11.1f} {p:10.1f} {o / p:12.2f} {o / w:13.2f}",
                          flush=True)


if __name__ == "__main__":
    main()
