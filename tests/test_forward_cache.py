"""What the clean forward pass keeps between calls (the view shape, the viewed skip-weight
rows) is never used once it could differ from a fresh read: every change of a weight or of
view_tuple is seen, autograd, modes and patched torch methods see every operation, and
nothing of it is part of the module's state."""

import contextlib
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


def set_view_data(make):
    def change(clean):
        clean.view_tuple.data = make(clean.view_tuple.data)
    return change


def write_through_numpy(clean):
    clean.view_tuple.numpy()[:] = [-1, 1]


def buffer_rewritten_later(clean):
    buffer = torch.tensor([1, -1, 7])
    clean.view_tuple.data = buffer[:2]
    buffer[:2] = torch.tensor([-1, 1])


def own_tolist(clean):
    clean.view_tuple.tolist = lambda: [-1, 1]


def swap_entry(clean):
    torch.utils.swap_tensors(clean.skip_weights[2], nn.Parameter(torch.randn(2, FEATURES)))


@contextlib.contextmanager
def swapping_on_conversion():
    before = torch.__future__.get_swap_module_params_on_conversion()
    torch.__future__.set_swap_module_params_on_conversion(True)
    try:
        yield
    finally:
        torch.__future__.set_swap_module_params_on_conversion(before)


def double_by_swapping(clean):
    with swapping_on_conversion():
        clean.double()


def load_by_swapping(clean):
    state = {name: torch.randn_like(value) if value.is_floating_point() else value
             for name, value in clean.state_dict().items()}
    with swapping_on_conversion():
        clean.load_state_dict(state)


def to_complex(clean):
    """Complex skip weights: the conjugate bit of a new .data is then part of the values."""
    for i, w in enumerate(clean.skip_weights):
        clean.skip_weights[i] = nn.Parameter(torch.complex(w.detach(), torch.randn_like(w)),
                                             requires_grad=w.requires_grad)


CHANGES = {
    "values in place": lambda clean: clean.skip_weights[3].mul_(-2),
    "resize_": lambda clean: clean.skip_weights[2].resize_(1, FEATURES),
    "set_ to other storage": lambda clean: clean.skip_weights[3].set_(torch.randn(4, FEATURES)),
    "new .data": swap_data(None, lambda data: torch.randn_like(data)),
    "new .data, same storage transposed": swap_data(None, lambda data: data.t()),
    "new .data, same storage reinterpreted": swap_data(None, lambda data: data.view(torch.int32)),
    "new .data, same storage negated": swap_data(None, torch._neg_view),
    "new .data, same storage conjugated": swap_data(None, torch.conj),
    "entry replaced": lambda clean: clean.skip_weights.__setitem__(1, nn.Parameter(torch.randn(1, FEATURES))),
    "entry swapped with swap_tensors": swap_entry,
    "module to float64": lambda clean: clean.double(),
    "module to float64, swapping tensors": double_by_swapping,
    "load_state_dict, swapping tensors": load_by_swapping,
    "view_tuple in place": lambda clean: clean.view_tuple.copy_(torch.tensor([-1, 1])),
    "view_tuple replaced": lambda clean: setattr(clean, "view_tuple", torch.tensor([1, 1, -1])),
    "view_tuple new .data": set_view_data(lambda data: torch.tensor([FEATURES, 1])),
    "view_tuple .data written": lambda clean: clean.view_tuple.data.copy_(torch.tensor([-1, 1])),
    "view_tuple .data item written": lambda clean: clean.view_tuple.data.__setitem__(0, -1),
    "view_tuple .data negated": set_view_data(torch._neg_view),
    "view_tuple .data into a buffer rewritten later": buffer_rewritten_later,
    "view_tuple written through NumPy": write_through_numpy,
    "view_tuple's own tolist": own_tolist,
}

def applied(change):
    """The change, its result dropped (only whether it raises is compared)."""
    def apply(clean):
        CHANGES[change](clean)
    return apply


# What each mode runs under, and whether the skip weights require grad.
MODES = {"no_grad": (torch.no_grad, False), "inference_mode": (torch.inference_mode, False),
         "grad": (contextlib.nullcontext, True), "grad, frozen skip weights": (contextlib.nullcontext, False)}


def results(module, x, grads_of):
    """The output (or the kind of failure), and in grad mode the gradients of `grads_of`."""
    for p in grads_of.parameters():
        p.grad = None
    out = outcome(module, x)
    if not isinstance(out, torch.Tensor) or not out.requires_grad:
        return out, None
    out.abs().sum().backward()
    return out, {name: p.grad for name, p in grads_of.named_parameters()}


def same_results(a, b):
    (out_a, grads_a), (out_b, grads_b) = a, b
    if not same(out_a, out_b) or (grads_a is None) != (grads_b is None):
        return False
    return grads_a is None or all(
        (g is None and grads_b[name] is None) or (g is not None and same(g, grads_b[name]))
        for name, g in grads_a.items())


@pytest.mark.parametrize("weights", ["real", "complex"])
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("change", CHANGES)
def test_every_change_is_seen_by_the_next_call(change, mode, weights):
    context, weights_require_grad = MODES[mode]
    clean = make_clean(requires_grad=weights_require_grad)
    if weights == "complex":
        to_complex(clean)
    never_called = copy.deepcopy(clean)
    x = torch.randn(FEATURES, FEATURES)   # batch == features: a flipped view shape still broadcasts
    with context():
        for _ in range(2):
            assert same_results(results(clean, x, clean), results(PythonClean(clean), x, clean))
        with torch.no_grad():
            # What was kept for the calls never stands in the way of a change.
            assert same(outcome(applied(change), clean), outcome(applied(change), never_called))
        x = x.to(clean.layer_array[0].weight.dtype)
        expected = results(PythonClean(clean), x, clean)   # made anew: it holds its own member references
        for _ in range(2):
            assert same_results(results(clean, x, clean), expected)


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


# Ways a module's own tensors come to refer back to it.
REFERRING_BACK = {
    "nothing": lambda clean: None,
    "a hook on a skip weight": lambda clean: clean.skip_weights[1].register_hook(lambda g, m=clean: g),
    "an attribute of view_tuple": lambda clean: setattr(clean.view_tuple, "owner", clean),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("back", REFERRING_BACK)
def test_kept_rows_are_not_module_state_and_keep_nothing_alive(back, mode):
    clean = make_clean()
    REFERRING_BACK[back](clean)
    context, weights_require_grad = MODES[mode]
    clean.skip_weights.requires_grad_(weights_require_grad)
    x = torch.randn(3, FEATURES)
    with context():
        expected = clean(x)
        keys = clean.state_dict().keys()
        for twin in (copy.deepcopy(clean), pickle.loads(pickle.dumps(clean))):
            assert twin.state_dict().keys() == keys and torch.equal(twin(x), expected)
    del twin, expected   # in grad mode their graphs hold the weights
    replaced = weakref.ref(clean.skip_weights[2])
    clean.skip_weights[2] = nn.Parameter(torch.randn(2, FEATURES))
    gc.collect()
    assert replaced() is None, "a replaced skip weight outlived its place in the module"
    weight, module = weakref.ref(clean.skip_weights[3]), weakref.ref(clean)
    del clean
    gc.collect()
    assert module() is None and weight() is None, "what was kept for the calls kept the module alive"


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


@pytest.mark.parametrize("mode", MODES)
def test_functional_call_sees_the_tensors_it_is_given_and_then_the_modules_own(mode):
    context, weights_require_grad = MODES[mode]
    clean = make_clean(requires_grad=weights_require_grad)
    reference = PythonClean(clean)
    x = torch.randn(FEATURES, FEATURES)
    given = {"skip_weights.3": torch.randn(4, FEATURES), "view_tuple": torch.tensor([-1, 1])}
    with context():
        for _ in range(2):
            assert same_results(results(clean, x, clean), results(reference, x, clean))
        through = [torch.func.functional_call(module, given, (x,)) for module in (clean, reference)]
        assert same(*through)
        assert same_results(results(clean, x, clean), results(reference, x, clean))
