"""Many forward calls leave reference counts, tracked objects and resident memory
as they were."""

import gc
import sys
import types

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
from memory import RSS_SLACK, rss_bytes
from quorvane import globals_quorvane as GZR

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")


class Pass:
    """A dendrite processor that hands everything through."""

    def pre(self, *args, **kwargs):
        return args, kwargs

    def post(self, out):
        return out


class Fails(nn.Module):
    def forward(self, x):
        raise ValueError("dendrite failed")


@pytest.mark.parametrize("threaded, calls, failing", [
    (False, 100_000, False), (True, 5_000, False), (False, 5_000, True), (True, 2_000, True)])
def test_repeated_forward_calls_leak_nothing(threaded, calls, failing):
    layers = nn.Sequential(Fails() if failing else nn.Identity(), nn.Identity())
    weights = nn.ParameterList([nn.Parameter(torch.zeros(1)), nn.Parameter(torch.randn(1, 2))])
    processors = [Pass(), None]
    clean = marlune.ZORModulePyThread(types.SimpleNamespace(
        layer_array=layers, processor_array=processors, skip_weights=weights,
        node_index=torch.tensor(1), num_cycles=torch.tensor(1), view_tuple=torch.tensor([1, -1])))
    x = torch.randn(1, 2)
    watched = [x, clean, layers, *layers, weights[1], clean.view_tuple, processors[0], GZR.pc,
               GZR.pc.get_zor_forward_function()]
    marlune.doing_threading = threaded

    def run(count):
        with torch.no_grad():
            for _ in range(count):
                try:
                    clean(x)
                except ValueError:
                    assert failing

    run(200)
    gc.collect()    # garbage of earlier tests must not be freed while we count
    counts = [sys.getrefcount(obj) for obj in watched]
    tracked = len(gc.get_objects())
    before = rss_bytes()
    run(calls)
    grown = rss_bytes() - before
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert len(gc.get_objects()) - tracked < 100
    assert grown < RSS_SLACK, f"resident memory grew by {grown / 2**20:.1f} MiB over {calls} calls"
