"""What the clean forward pass keeps between calls (the view shape, the viewed skip-weight
rows) is never used once it could differ from a fresh read: every change of a weight or of
view_tuple is seen, autograd, modes and patched torch methods see every operation, and
nothing of it is part of the module's state."""

import copy
import gc
import pickle
import types
import weakref

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
from blocks import AtenLog, OpLog, PythonClean

FEATURES = 4


def make_clean(n=5, requires_grad=True, seed=0):
    """n layers; with n = 5 the last skip-weight entry is square (4 x 4)."""
    torch.manual_seed(seed)
    layers = nn.Sequential(*[nn.Linear(FEATURES, FEATURES) for _ in range(n)])
    weights = nn.ParameterList([nn.Parameter(torch.randn(k, FEATURES), requires_grad=requires_grad)
                                for k in range(n)])
    return marlune.ZORModulePyThread(types.SimpleNamespace(
        layer_array=layers, processor_array=[None] * n, skip_weights=weights,
        node_index=torch.tensor(1), num_cycles=torch.tensor(n - 1), view_tuple=torch.tensor([1, -1])))


def outcome(fn, x):
    try:
        return fn(x)
    except Exception as exc:  # noqa: BLE001 (the kind of failure is what is compared)
        return type(exc)


def same(a, b):
    if isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor):
        return a.dtype == b.dtype and torch.equal(a, b)
    return a is b


def swap_data(attr, make):
    def change(clean):
        tensor = getattr(clean.skip_weights[3], attr) if attr else clean.skip_weights[3]
        tensor.data = make(tensor.data)
    return change


CHANGES = {
    "values in place": lambda clean: clean.skip_weights[3].mul_(-2),
    "resize_": lambda clean: clean.skip_weights[2].resize_(1, FEATURES),
    "set_ to other storage": lambda clean: clean.skip_weights[3].set_(torch.randn(4, FEATURES)),
    "new .data": swap_data(None, lambda data: torch.randn_like(data)),
    "new .data, same storage transposed": swap_data(None, lambda data: data.t()),
    "new .data, same storage reinterpreted": swap_data(None, lambda data: data.view(torch.int32)),
    "entry replaced": lambda clean: clean.skip_weights.__setitem__(1, nn.Parameter(torch.randn(1, FEATURES))),
    "module to float64": lambda clean: clean.double(),
    "view_tuple in place": lambda clean: clean.view_tuple.copy_(torch.tensor([-1, 1])),
    "view_tuple replaced": lambda clean: setattr(clean, "view_tuple", torch.tensor([1, 1, -1])),
    "view_tuple new .data": lambda clean: setattr(clean.view_tuple, "data", torch.tensor([FEATURES, 1])),
}


@pytest.mark.parametrize("mode", ["no_grad", "inference_mode"])
@pytest.mark.parametrize("change", CHANGES)
def test_every_change_is_seen_by_the_next_call(change, mode):
    clean = make_clean(requires_grad=False)
    reference = PythonClean(clean)
    context = getattr(torch, mode)
    x = torch.randn(3, FEATURES)
    with context():
        for _ in range(2):
            assert torch.equal(clean(x), reference(x))
        CHANGES[change](clean)
        x = x.to(clean.layer_array[0].weight.dtype)
        expected = outcome(PythonClean(clean), x)   # made anew: it holds its own member references
        assert same(outcome(clean, x), expected)
        assert same(outcome(clean, x), expected)


def test_the_view_shape_is_read_again_only_when_the_buffer_changes():
    clean = make_clean(n=2, requires_grad=False)
    x = torch.randn(3, FEATURES)
    with torch.no_grad():
        before = clean(x)
        # A write that bypasses torch (no version bump) is not a change torch can see.
        clean.view_tuple.numpy()[:] = [-1, 1]
        assert torch.equal(clean(x), before)
        clean.view_tuple.add_(0)
        with pytest.raises(RuntimeError):
            clean(x)   # the (2, 1)-shaped rows no longer broadcast over (3, 4)


def test_rows_kept_without_autograd_are_not_used_while_it_records():
    clean = make_clean()
    reference = PythonClean(clean)
    x = torch.randn(3, FEATURES)
    with torch.no_grad():
        clean(x)
        clean(x)
    grads = []
    for module in (clean, reference):
        clean.zero_grad()
        module(x).pow(2).sum().backward()
        grads.append([w.grad.clone() for w in clean.skip_weights[1:]])
    assert all(g.abs().sum() > 0 for g in grads[0])
    assert all(torch.equal(a, b) for a, b in zip(*grads))


@pytest.mark.parametrize("log", [OpLog, AtenLog])
def test_modes_see_the_operations_of_a_fresh_read(log):
    clean = make_clean(n=3)
    reference = PythonClean(clean)
    x = torch.randn(2, FEATURES)
    seen = []
    with torch.no_grad():
        clean(x)    # rows kept
        for module in (clean, reference):
            with log() as mode:
                module(x)
            seen.append(mode.seen)
    assert seen[0] == seen[1] and any("view" in op for op in seen[0])


def test_patched_tensor_methods_are_called_for_every_row(monkeypatch):
    clean = make_clean(n=3)
    x = torch.randn(2, FEATURES)
    calls = []
    with torch.no_grad():
        expected = clean(x)
        for name in ("view", "tolist"):
            original = getattr(torch.Tensor, name)
            monkeypatch.setattr(torch.Tensor, name,
                                lambda self, *a, _o=original, _n=name: calls.append(_n) or _o(self, *a))
        assert torch.equal(clean(x), expected)
    assert calls == ["tolist", "view"] * 3     # one of each per row, as the rows are read


def test_kept_rows_are_not_module_state():
    clean = make_clean()
    x = torch.randn(3, FEATURES)
    with torch.no_grad():
        expected = clean(x)
        keys = clean.state_dict().keys()
        for twin in (copy.deepcopy(clean), pickle.loads(pickle.dumps(clean))):
            assert twin.state_dict().keys() == keys and torch.equal(twin(x), expected)
        weight = weakref.ref(clean.skip_weights[3])
    del clean, twin
    gc.collect()
    assert weight() is None, "a kept row outlived its module"


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
@pytest.mark.parametrize("grad", [False, True])
def test_on_cuda_a_steady_call_never_waits_for_the_device(grad):
    clean = make_clean().cuda()
    x = torch.randn(3, FEATURES, device="cuda")
    with torch.set_grad_enabled(grad):
        expected = clean(x)   # the view shape is read from the device once
        torch.cuda.set_sync_debug_mode("error")
        try:
            result = clean(x)
        finally:
            torch.cuda.set_sync_debug_mode("default")
    assert torch.equal(result, expected)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_rows_kept_on_one_device_are_not_used_after_a_move():
    clean = make_clean()
    x = torch.randn(3, FEATURES)
    with torch.no_grad():
        clean(x)
        clean.cuda()
        assert torch.equal(clean(x.cuda()), PythonClean(clean)(x.cuda()))
        clean.cpu()
        assert torch.equal(clean(x), PythonClean(clean)(x))
