"""Repeated conversions keep memory and the reference counts of shared objects flat."""

import gc
import sys

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle
from memory import RSS_SLACK, rss_bytes
from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")


def tiny_network(main):
    return nn.Sequential(ZR.ZORNeuronModule(main, 1), nn.ReLU())


def test_thousand_conversions_leave_nothing_behind():
    main = nn.Linear(3, 3)        # one main layer shared by every network: its refcount must come back
    nonlinearity = GZR.pc.get_zor_forward_function()
    watched = [main, main.weight, ZR.ZORNeuronModule, marlune.ZORModulePyThread, ostrelle.ZORLayer,
               GZR.pc, nonlinearity, nn.Sequential]
    x = torch.randn(2, 3)

    def convert_many(count):
        for _ in range(count):
            net = marlune.refresh_net(ostrelle.blockwise_network(tiny_network(main)))
            net(x)
            del net

    convert_many(50)  # warm-up: caches inside torch and the interpreter
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    convert_many(1000)
    gc.collect()
    grown = rss_bytes() - before
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert grown < RSS_SLACK, f"resident memory grew by {grown / 2**20:.1f} MiB over 1000 conversions"


def test_failing_conversions_leave_nothing_behind():
    class Broken(nn.Module):
        def __dir__(self):
            raise RuntimeError("no members")

    broken = Broken()
    net = nn.Module()
    net.add_module("inner", broken)

    def fail_many(count):
        for _ in range(count):
            for walk in (ostrelle.blockwise_network, marlune.refresh_net):
                with pytest.raises(RuntimeError):
                    walk(net)

    fail_many(50)
    gc.collect()
    counts = sys.getrefcount(broken), sys.getrefcount(net)
    before = rss_bytes()
    fail_many(2000)
    gc.collect()
    assert (sys.getrefcount(broken), sys.getrefcount(net)) == counts
    assert rss_bytes() - before < RSS_SLACK
