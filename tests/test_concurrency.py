"""Several threads converting and running networks at once."""

import copy
import threading

import torch
import torch.nn as nn

import quorvane.marlune as marlune
from pipeline import convert
from quorvane import utils_quorvane as UZR


def network(seed):
    torch.manual_seed(seed)
    net = nn.Sequential(nn.Linear(6, 8), nn.ReLU(), nn.Sequential(nn.Linear(8, 8), nn.Tanh()), nn.Linear(8, 3))
    UZR.wrap_layers(net, num_dendrites=lambda name, layer: 1 + len(name) % 3)
    return net.eval()


def run_threads(target, count):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # reported to the test thread
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_threads_converting_different_networks():
    x = torch.randn(4, 6)
    nets = [network(seed) for seed in range(8)]
    with torch.no_grad():
        expected = [copy.deepcopy(net)(x) for net in nets]
    results = [None] * len(nets)

    def work(i):
        converted = convert(nets[i])
        with torch.no_grad():
            results[i] = converted(x)

    run_threads(work, len(nets))
    for got, want in zip(results, expected):
        assert torch.equal(got, want)


def test_many_callers_while_the_threading_switch_flips():
    net = network(0)
    x = torch.randn(5, 6)
    with torch.no_grad():
        expected = copy.deepcopy(net)(x)
    converted = convert(net)
    stop = threading.Event()

    def toggle():
        flag = False
        while not stop.is_set():
            flag = not flag
            marlune.doing_threading = flag

    toggler = threading.Thread(target=toggle)
    toggler.start()
    try:
        def call(i):
            for _ in range(40):
                with torch.no_grad():
                    assert torch.equal(converted(x), expected)

        run_threads(call, 8)
    finally:
        stop.set()
        toggler.join()
        marlune.doing_threading = False
