"""Instructions per call of the clean forward pass and of the hand-fused floor, counted by
callgrind, which is repeatable where timings on a shared machine are not.

    PYTHONPATH=src python benchmarks/forward_counts.py [--n 1 3 5] [--grad]

Each count runs the process under `valgrind --tool=callgrind`, counting only inside the
`map` that makes CALLS calls after a warm-up (`--toggle-collect=starmap_next`), with the garbage
collector off and a fixed hash seed; the count divided by CALLS is one call's instructions.
The network is batch 1 x 64 features, as the small row of benchmarks/forward.py.
"""

import argparse
import itertools
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CALLS = 200


def child(contender, n, calls, grad):
    import gc

    import torch

    sys.path.insert(0, HERE)
    from forward import build  # noqa: E402 (the benchmark's own networks)

    torch.set_num_threads(1)
    torch.manual_seed(0)
    wrapper, ours, python, floor = build(n, 64, "cpu")
    fn = {"ours": ours, "floor": floor, "python": python, "wrapper": wrapper}[contender]
    x = torch.randn(1, 64)
    with torch.set_grad_enabled(grad):
        for _ in range(50):
            fn(x)
        gc.collect()
        gc.disable()
        list(itertools.starmap(fn, itertools.repeat((x,), calls)))   # what is counted


def count(contender, n, calls, grad):
    with tempfile.TemporaryDirectory() as out:
        command = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=starmap_next",
                   f"--callgrind-out-file={out}/cg.out", sys.executable,
                   os.path.abspath(__file__), "--child", contender, str(n), str(calls)] + (["--grad"] if grad else [])
        done = subprocess.run(command, capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        found = re.search(r"Collected : (\d+)", done.stderr)
        if done.returncode != 0 or not found:
            raise SystemExit(f"callgrind failed for {contender} n={n}:\n{done.stderr[-2000:]}")
        return int(found.group(1))


def per_call(contender, n, grad):
    return count(contender, n, CALLS, grad) / CALLS


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, nargs="*", default=[1, 3, 5])
    parser.add_argument("--grad", action="store_true")
    parser.add_argument("--contenders", nargs="*", default=["ours", "floor"])
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]), args.grad)
        return
    mode = "grad mode" if args.grad else "torch.no_grad()"
    print(f"instructions per call, batch 1 x 64, {mode}")
    print(f"{'n':>2} " + " ".join(f"{name:>12}" for name in args.contenders) + f" {'ours/floor':>11}")
    for n in args.n:
        counts = {name: per_call(name, n, args.grad) for name in args.contenders}
        ratio = counts["ours"] / counts["floor"] if {"ours", "floor"} <= counts.keys() else float("nan")
        print(f"{n:>2} " + " ".join(f"{counts[name]:12,.0f}" for name in args.contenders) + f" {ratio:11.3f}",
              flush=True)


if __name__ == "__main__":
    main()
