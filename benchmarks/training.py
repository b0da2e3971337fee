"""The trained form under TorchDynamo, and what compiling it buys in a training step.

    PYTHONPATH=src python benchmarks/training.py [--rounds R] [--batch B] [--backend NAME]

Prints, for the suite's four networks (tests/networks.py) wrapped with two dendrites per
layer, the graphs and graph breaks ``torch._dynamo.explain`` finds in the trained form
(the GRU network with ``torch._dynamo.config.allow_rnn`` on, without which TorchDynamo
does not trace recurrent layers at all). Then one training step (forward, backward, SGD
update) of a wrapped and of a plain MLP at the given batch, eager and under
``torch.compile`` (``--backend``, inductor by default), each timed in interleaved rounds
in this one run, as the median time per step and the ratio compiled / eager.
"""

import argparse
import os
import statistics
import sys
import time

import torch
import torch.nn as nn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from networks import NETWORKS  # noqa: E402

from quorvane import utils_quorvane as UZR  # noqa: E402


def wrapped(kind, seed=0):
    make_net, layer_types, sample = NETWORKS[kind]
    torch.manual_seed(seed)
    net = make_net()
    UZR.wrap_layers(net, layer_types=layer_types, num_dendrites=2, sample_input=torch.randn(2, *sample))
    return net, sample


def explain(net, x):
    """(graphs, graph breaks) TorchDynamo finds in one call of `net`, or the failure."""
    torch._dynamo.reset()
    config = torch._dynamo.config
    allow = getattr(config, "allow_rnn", None)
    if allow is not None:
        config.allow_rnn = True
    try:
        found = torch._dynamo.explain(net)(x)
        return f"{found.graph_count} graphs, {found.graph_break_count} breaks"
    except Exception as error:  # a torch that cannot trace it at all
        return f"fails: {type(error).__name__}: {str(error).splitlines()[0][:80]}"
    finally:
        if allow is not None:
            config.allow_rnn = allow


def mlp(width, wrap, seed=0):
    torch.manual_seed(seed)
    net = nn.Sequential(nn.Linear(width, width), nn.ReLU(), nn.Linear(width, width), nn.ReLU(), nn.Linear(width, 10))
    if wrap:
        UZR.wrap_layers(net, num_dendrites=2, sample_input=torch.randn(2, width))
    return net


def stepper(net, x, target):
    optimizer = torch.optim.SGD(net.parameters(), lr=1e-3)

    def step():
        optimizer.zero_grad(set_to_none=True)
        loss = nn.functional.cross_entropy(net(x), target)
        loss.backward()
        optimizer.step()
    return step


def measure(contenders, rounds, per_round):
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, step in contenders.items():
            start = time.perf_counter()
            for _ in range(per_round):
                step()
            samples[name].append((time.perf_counter() - start) / per_round)
    return {name: statistics.median(values) for name, values in samples.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--per-round", type=int, default=20)
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--width", type=int, default=256)
    parser.add_argument("--backend", default="inductor")
    args = parser.parse_args(argv)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    print("graphs / breaks of the trained form (torch._dynamo.explain):")
    for kind in NETWORKS:
        net, sample = wrapped(kind)
        print(f"  {kind:8s} {explain(net, torch.randn(10, *sample))}")

    x = torch.randn(args.batch, args.width)
    target = torch.randint(0, 10, (args.batch,))
    contenders = {}
    for label, wrap in (("wrapped", True), ("plain", False)):
        contenders[f"{label} eager"] = stepper(mlp(args.width, wrap), x, target)
        compiled = torch.compile(mlp(args.width, wrap), backend=args.backend)
        contenders[f"{label} compiled"] = stepper(compiled, x, target)
    for step in contenders.values():  # compiles, and warms up
        for _ in range(3):
            step()
    times = measure(contenders, args.rounds, args.per_round)
    print(f"training step (forward, backward, SGD), MLP {args.width} wide, batch {args.batch}, "
          f"backend {args.backend}, median of {args.rounds} rounds:")
    for label in ("wrapped", "plain"):
        eager, compiled = times[f"{label} eager"], times[f"{label} compiled"]
        print(f"  {label:8s} eager {eager * 1e3:8.3f} ms   compiled {compiled * 1e3:8.3f} ms   "
              f"compiled/eager {compiled / eager:.3f}")
    print(f"  wrapped/plain: eager {times['wrapped eager'] / times['plain eager']:.3f}, "
          f"compiled {times['wrapped compiled'] / times['plain compiled']:.3f}")


if __name__ == "__main__":
    main()
