"""The clean forward pass on the caller's thread: the cascade, processors, hooks,
argument shapes, failures, and the member-read shortcuts against odd classes."""

import collections.abc
import contextlib
import functools
import types
import weakref

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle
from blocks import PythonClean, clean_from_wrapper
from quorvane import modules_quorvane as ZR

FEATURES = 4


def make_clean(n, skip=True, processors=None, dtype=torch.float32, weight_dtype=None, layer_array=None):
    torch.manual_seed(n)
    layers = layer_array if layer_array is not None else nn.Sequential(
        *[nn.Linear(FEATURES, FEATURES).to(dtype) for _ in range(n)])
    weights = [torch.randn(k, FEATURES, dtype=weight_dtype or dtype) for k in range(n)]
    members = dict(layer_array=layers, processor_array=processors or [None] * n,
                   node_index=torch.tensor(1), num_cycles=torch.tensor(n - 1), view_tuple=torch.tensor([1, -1]))
    if skip:
        members["skip_weights"] = nn.ParameterList([nn.Parameter(w) for w in weights])
    return marlune.ZORModulePyThread(types.SimpleNamespace(**members)), weights[1:]


def closed_form(o, W, f=torch.sigmoid):
    """The cascade written out per slot count, from the layers' own outputs."""
    n = len(o)
    if n == 1:
        return o[0]
    v0 = f(o[0])
    if n == 2:
        return o[1] + W[0][0] * v0
    v1 = f(o[1] + W[0][0] * v0)
    if n == 3:
        return (o[2] + W[1][0] * v0) + W[1][1] * v1
    raise ValueError(n)


def linear_cascade(o, W, a):
    """For f(t) = a * t the cascade is a triangular system per neuron: solve it."""
    n, width = len(o), o[0].shape[-1]
    result = torch.empty_like(o[0], dtype=torch.float64)
    for row in range(o[0].shape[0]):
        for j in range(width):
            A = torch.eye(n, dtype=torch.float64)
            b = torch.tensor([float(o[k][row, j]) for k in range(n)], dtype=torch.float64)
            for k in range(1, n):
                scale = a if k < n - 1 else 1.0
                for i in range(k):
                    A[k, i] = -scale * float(W[k - 1][i, j])
                b[k] *= scale
            b[0] *= a
            result[row, j] = torch.linalg.solve(A, b)[n - 1]
    return result


@pytest.mark.parametrize("n", [1, 2, 3])
def test_cascade_matches_the_closed_form(n):
    clean, W = make_clean(n)
    x = torch.randn(3, FEATURES)
    o = [layer(x) for layer in clean.layer_array]
    assert torch.equal(clean(x), closed_form(o, W))


def test_five_layers_solve_as_a_linear_system(default_settings):
    default_settings.set_zor_forward_function(lambda t: 0.5 * t)
    clean, W = make_clean(5)
    x = torch.randn(2, FEATURES)
    with torch.no_grad():
        o = [layer(x).double() for layer in clean.layer_array]
    torch.testing.assert_close(clean(x).double(), linear_cascade(o, W, 0.5), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("n", [2, 3])
def test_without_skip_weights_only_the_main_output_counts(n, default_settings):
    calls = []
    default_settings.set_zor_forward_function(lambda t: calls.append(t) or t)
    clean, _ = make_clean(n, skip=False)
    x = torch.randn(2, FEATURES)
    assert torch.equal(clean(x), clean.layer_array[-1](x))
    assert calls == []


def test_weights_keep_their_dtype_and_follow_the_output_device():
    # float64 weights on float32 outputs: moving them must not cast them down.
    clean, W = make_clean(3, weight_dtype=torch.float64)
    x = torch.randn(2, FEATURES)
    out = clean(x)
    assert out.dtype == torch.float64
    assert torch.equal(out, closed_form([layer(x) for layer in clean.layer_array], W))


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cpu_skip_weights_combine_with_cuda_outputs():
    clean, W = make_clean(3)
    clean.layer_array.cuda()
    x = torch.randn(2, FEATURES, device="cuda")
    out = clean(x)
    assert out.is_cuda and all(not p.is_cuda for p in clean.skip_weights)
    expected = closed_form([layer(x) for layer in clean.layer_array], [w.cuda() for w in W])
    torch.testing.assert_close(out, expected)


class Recorder:
    """A processor that shifts values so each call is visible in the result."""

    def __init__(self, pre_result=None):
        self.pre_result = pre_result

    def pre(self, *args, **kwargs):
        return self.pre_result(*args, **kwargs) if self.pre_result else ([args[0] * 2], kwargs)

    def post(self, out):
        return out + 100


def test_processors_adapt_inputs_and_outputs():
    dendrite, main = Recorder(), types.SimpleNamespace(pre=lambda t: t - 1, post=lambda t: t * 3)
    clean, W = make_clean(2, processors=[dendrite, main])
    x = torch.randn(2, FEATURES)
    d, m = clean.layer_array
    v0 = torch.sigmoid(d(x * 2) + 100)
    assert torch.equal(clean(x), ((m(x) - 1) + W[0][0] * v0) * 3)


class NeverNone:
    """Compares equal to None: `!= None` says it is no processor."""

    def __ne__(self, other):
        return False

    def pre(self, *args, **kwargs):
        raise AssertionError("not a processor")


def test_dendrite_processor_is_tested_with_not_equal():
    clean, W = make_clean(2, processors=[NeverNone(), None])
    x = torch.randn(1, FEATURES)
    assert torch.equal(clean(x), closed_form([layer(x) for layer in clean.layer_array], W))


class Pairs(collections.abc.Mapping):
    def __init__(self, **items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


class KeysRaise(collections.abc.Mapping):
    def __getitem__(self, key):
        raise AssertionError

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0

    def keys(self):
        raise KeyError("k")


def outcome(fn, *args):
    """A result, or the kind and text of the exception raised."""
    try:
        return fn(*args)
    except Exception as exc:  # noqa: BLE001 (what is raised is what is compared)
        return type(exc), str(exc)


def same_outcome(a, b):
    if isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor):
        return torch.equal(a, b)
    return a == b


@pytest.mark.parametrize("result", [
    lambda *a, **k: [list(a), k],                  # a list of two, args as a list
    lambda *a, **k: (iter(a), Pairs(**k)),         # any iterable, any mapping
    lambda *a, **k: (a, k, None),
    lambda *a, **k: (a,),
    lambda *a, **k: iter([a]),
    lambda *a, **k: 7,
    lambda *a, **k: (a, None),
    lambda *a, **k: (5, k),
    lambda *a, **k: (5, None),                     # the mapping is refused before the iterable
    lambda *a, **k: (a, KeysRaise()),
])
def test_pre_results_are_taken_as_the_call_statement_takes_them(result):
    clean, _ = make_clean(2, processors=[Recorder(result), None])
    x = torch.randn(1, FEATURES)
    assert same_outcome(outcome(clean, x), outcome(PythonClean(clean), x))


def hostile_cases():
    """Each case, given the module under test (built with 3 layers), returns the action
    to take once, in the middle of a call, and where: in the first dendrite layer, in the
    nonlinearity, in a weak reference's callback when the first dendrite's output is let
    go (once its slot holds the combined value), or in a saved-tensor pack hook."""
    def in_dendrite(action):
        return lambda clean: ("dendrite", lambda: action(clean))

    def in_nonlinearity(action):
        return lambda clean: ("nonlinearity", lambda: action(clean))

    def on_release(action):
        return lambda clean: ("release", lambda: action(clean))

    def in_pack_hook(action):
        return lambda clean: ("pack", lambda: action(clean))

    def set_data(tensor, value):
        tensor.data = value

    def patch_mul(clean):
        original = torch.Tensor.__mul__
        torch.Tensor.__mul__ = lambda a, b: original(a, b) * 2
        PATCHES.append(lambda: setattr(torch.Tensor, "__mul__", original))

    return {
        "skip weights replaced, on release": on_release(
            lambda c: setattr(c, "skip_weights", nn.ParameterList([nn.Parameter(torch.randn(k, FEATURES))
                                                                   for k in (1, 2)]))),
        "view_tuple changed in place, on release": on_release(lambda c: c.view_tuple.copy_(torch.tensor([-1, 1]))),
        "view_tuple .data written, on release": on_release(lambda c: c.view_tuple.data.copy_(torch.tensor([-1, 1]))),
        "layer_array grows, on release": on_release(lambda c: c.layer_array.append(nn.Linear(FEATURES, FEATURES))),
        "skip weights negated through .data, on release": on_release(
            lambda c: set_data(c.skip_weights[1], torch._neg_view(c.skip_weights[1].data))),
        "torch.Tensor.__mul__ patched, on release": on_release(patch_mul),
        "view_tuple .data written, in a pack hook": in_pack_hook(
            lambda c: c.view_tuple.data.copy_(torch.tensor([-1, 1]))),
        "skip weights given new data, in a pack hook": in_pack_hook(
            lambda c: set_data(c.skip_weights[1], torch.randn(2, FEATURES))),
        "view_tuple .data written": in_nonlinearity(lambda c: c.view_tuple.data.copy_(torch.tensor([-1, 1]))),
        "layer_array shrinks": in_dendrite(lambda c: c.layer_array.__delitem__(2)),
        "layer_array grows": in_dendrite(lambda c: c.layer_array.append(nn.Linear(FEATURES, FEATURES))),
        "processor added": in_dendrite(lambda c: c.processor_array.__setitem__(1, Recorder())),
        "skip-weight entry replaced": in_nonlinearity(
            lambda c: c.skip_weights.__setitem__(1, nn.Parameter(torch.randn(2, FEATURES)))),
        "skip weights changed in place": in_nonlinearity(lambda c: c.skip_weights[1].mul_(3)),
        "skip weights given new data": in_nonlinearity(lambda c: set_data(c.skip_weights[1], torch.randn(2, FEATURES))),
        "view_tuple changed in place": in_nonlinearity(lambda c: c.view_tuple.copy_(torch.tensor([-1, 1]))),
        "skip weights removed": in_nonlinearity(lambda c: c.__delattr__("skip_weights")),
    }


# Undo steps for patches a hostile action makes to torch itself.
PATCHES = []


class Hostile(nn.Module):
    def __init__(self, inner):
        super().__init__()
        self.inner, self.action, self.on_release, self.released = inner, None, None, []

    def forward(self, x):
        action, self.action = self.action, None
        if action:
            action()
        out = self.inner(x)
        on_release, self.on_release = self.on_release, None
        if on_release:
            self.released.append(weakref.ref(out, lambda _: on_release()))
        return out


def pack_hook_running(action, at):
    """Saved-tensor hooks whose pack runs `action` when it saves its `at`-th tensor."""
    packs = []

    def pack(tensor):
        packs.append(None)
        if len(packs) == at:
            action()
        return tensor
    return torch.autograd.graph.saved_tensors_hooks(pack, lambda tensor: tensor)


def nonlinearity_running(pending):
    """torch.sigmoid, after running the pending action, if any, at its first use."""
    return lambda t: (pending.pop()() if pending else None, torch.sigmoid(t))[1]


@pytest.mark.parametrize("mode", ["grad", "no_grad", "inference_mode"])
@pytest.mark.parametrize("case", hostile_cases())
def test_members_changed_during_a_call_are_read_as_the_loop_reads_them(case, mode, default_settings):
    outcomes = []
    context = {"grad": contextlib.nullcontext, "no_grad": torch.no_grad, "inference_mode": torch.inference_mode}[mode]
    for rendition in ("ours", "python"):
        clean, _ = make_clean(3)
        clean.layer_array[0] = Hostile(clean.layer_array[0])
        module = clean if rendition == "ours" else PythonClean(clean)
        x = torch.randn(4, FEATURES)
        pending = []
        where, action = hostile_cases()[case](module)
        if where == "nonlinearity":   # otherwise torch's own, which the shortcuts know
            default_settings.set_zor_forward_function(nonlinearity_running(pending))
        with context():
            module(x)
            module(x)   # whatever can be kept from call to call is kept by now
            hooks = pack_hook_running(action, at=9) if where == "pack" else contextlib.nullcontext()
            if where == "dendrite":
                clean.layer_array[0].action = action
            elif where == "release":
                clean.layer_array[0].on_release = action
            elif where == "nonlinearity":
                pending.append(action)
            try:
                with hooks:
                    outcomes.append(outcome(module, x))
            finally:
                while PATCHES:
                    PATCHES.pop()()
    assert same_outcome(*outcomes)


@pytest.mark.parametrize("threaded", [False, True])
def test_keyword_arguments_reach_every_layer(threaded):
    class Scaled(nn.Module):
        def forward(self, x, *, scale):
            return x * scale

    seen = []
    layers = nn.Sequential(Scaled(), Scaled())
    layers[0].register_forward_pre_hook(lambda mod, args, kwargs: seen.append(dict(kwargs)), with_kwargs=True)
    clean, W = make_clean(2, layer_array=layers)
    x = torch.ones(1, FEATURES)
    marlune.doing_threading = threaded
    assert torch.equal(clean(x, scale=3.0), 3 * x + W[0][0] * torch.sigmoid(3 * x))
    assert seen == [{"scale": 3.0}]
    with pytest.raises(TypeError):
        clean(x)


def test_hooks_run_on_dendrites_but_not_on_the_main_layer():
    clean, _ = make_clean(3)
    seen = []
    for index, layer in enumerate(clean.layer_array):
        layer.register_forward_pre_hook(lambda *a, index=index: seen.append(("pre", index)))
        layer.register_forward_hook(lambda *a, index=index: seen.append(("post", index)))
    clean(torch.randn(1, FEATURES))
    assert seen == [("pre", 0), ("post", 0), ("pre", 1), ("post", 1)]


def test_recurrent_main_layer_returns_its_state_beside_the_output():
    wrapper = ZR.ZORNeuronModule(nn.GRU(3, 5, batch_first=True), num_dendrites=2)
    clean = clean_from_wrapper(wrapper)
    x = torch.randn(2, 4, 3)
    (out, state), (expected, expected_state) = clean(x), wrapper(x)
    assert torch.equal(out, expected) and torch.equal(state, expected_state)


def leaves(value):
    return [leaf for item in value for leaf in leaves(item)] if isinstance(value, tuple) else [value]


@pytest.mark.parametrize("threaded", [False, True])
@pytest.mark.parametrize("layer, dendrites, shape", [
    (nn.Linear(6, 5), 0, (3, 6)), (nn.Linear(6, 5), 4, (3, 6)), (nn.Conv2d(2, 3, 3), 2, (2, 2, 7, 7)),
    (nn.LSTM(3, 4), 2, (5, 2, 3)),
])
def test_clean_module_computes_what_the_wrapper_computes(layer, dendrites, shape, threaded):
    torch.manual_seed(1)
    wrapper = ZR.ZORNeuronModule(layer, num_dendrites=dendrites)
    clean = clean_from_wrapper(wrapper)
    x = torch.randn(*shape)
    want = leaves(wrapper(x))
    marlune.doing_threading = threaded
    got = leaves(clean(x))
    assert len(got) == len(want) and all(torch.equal(g, w) for g, w in zip(got, want))


def test_converted_block_computes_what_the_wrapper_computed():
    torch.manual_seed(2)
    wrapper = ZR.ZORNeuronModule(nn.GRU(3, 4, batch_first=True), num_dendrites=3)
    x = torch.randn(2, 5, 3)
    want = leaves(wrapper(x))
    got = leaves(marlune.ZORModulePyThread(ostrelle.convert_to_zor_layer_block(wrapper))(x))
    assert len(got) == len(want) and all(torch.equal(g, w) for g, w in zip(got, want))


def test_worker_methods_called_directly():
    clean, _ = make_clean(3)
    x = torch.randn(1, FEATURES)
    outs = [None] * 3
    assert clean.process_and_forward(1, outs, x) is None
    assert clean.process_and_pre(outs, x) is None
    assert outs[0] is None
    assert torch.equal(outs[1], clean.layer_array[1](x)) and torch.equal(outs[2], clean.layer_array[2](x))
    for call in (lambda: clean.process_and_forward(), lambda: clean.process_and_forward(0),
                 lambda: clean.process_and_pre()):
        with pytest.raises(IndexError, match="tuple index out of range"):
            call()


@pytest.mark.parametrize("threaded", [False, True])
def test_an_empty_layer_array_raises(threaded):
    clean = marlune.ZORModulePyThread(types.SimpleNamespace(
        layer_array=nn.Sequential(), processor_array=[None], node_index=torch.tensor(0),
        num_cycles=torch.tensor(0), view_tuple=torch.tensor([1, -1])))
    marlune.doing_threading = threaded
    with pytest.raises((IndexError, UnboundLocalError)):
        clean(torch.randn(1, FEATURES))


def test_missing_skip_weight_entries_and_rows_raise_index_error():
    clean, _ = make_clean(3)
    clean.skip_weights = nn.ParameterList([clean.skip_weights[0]])   # the main slot's entry is gone
    with pytest.raises(IndexError):
        clean(torch.randn(1, FEATURES))
    clean, _ = make_clean(3)
    clean.skip_weights[1] = nn.Parameter(torch.randn(1, FEATURES))  # one row, two needed
    with pytest.raises(IndexError):
        clean(torch.randn(1, FEATURES))


# The member reads take shortcuts for torch's own classes; every other class must
# get exactly its own behaviour.

class CountingSequential(nn.Sequential):
    hits = 0

    def __getitem__(self, index):
        CountingSequential.hits += 1
        return super().__getitem__(index)

    def __len__(self):
        return super().__len__()


class SwappedParameterList(nn.ParameterList):
    def __getitem__(self, index):
        return super().__getitem__(index) * 0


@pytest.mark.parametrize("kind", ["sequential_subclass", "module_list", "plain_list"])
def test_other_layer_containers_are_indexed_their_own_way(kind):
    reference, W = make_clean(3)
    layers = list(reference.layer_array)
    container = CountingSequential(*layers) if kind == "sequential_subclass" else \
        {"module_list": nn.ModuleList, "plain_list": list}[kind](layers)
    clean, _ = make_clean(3, layer_array=container)
    clean.skip_weights = reference.skip_weights
    CountingSequential.hits = 0
    x = torch.randn(2, FEATURES)
    assert torch.equal(clean(x), reference(x))
    if kind == "sequential_subclass":
        assert CountingSequential.hits == 3


def test_skip_weight_containers_are_indexed_their_own_way():
    clean, _ = make_clean(3)
    x = torch.randn(2, FEATURES)
    main = clean.layer_array[2](x)
    clean.skip_weights = SwappedParameterList(list(clean.skip_weights))
    assert torch.equal(clean(x), main)
    reference, W = make_clean(3)
    del reference.skip_weights
    reference.skip_weights = [w for w in W]    # a plain list attribute
    assert torch.equal(reference(x), closed_form([layer(x) for layer in reference.layer_array], W))


def test_subclass_attribute_protocols_are_honoured():
    reads = []

    class Watched(marlune.ZORModulePyThread):
        def __getattr__(self, name):
            reads.append(name)
            return super().__getattr__(name)

    class NoSkip(marlune.ZORModulePyThread):
        skip_weights = property(lambda self: [torch.zeros(k + 1, FEATURES) for k in range(2)])

    reference, _ = make_clean(2)
    x = torch.randn(1, FEATURES)
    for cls in (Watched, NoSkip):
        clean = object.__new__(cls)
        clean.__dict__.update(reference.__dict__)
        result = clean(x)
        if cls is Watched:
            assert torch.equal(result, reference(x)) and {"layer_array", "skip_weights"} <= set(reads)
        else:
            assert torch.equal(result, reference.layer_array[1](x))


def test_patched_torch_methods_are_honoured(monkeypatch):
    clean, _ = make_clean(2)
    x = torch.randn(1, FEATURES)
    expected = clean(x)
    seen = []

    def spy(cls, name):
        original = getattr(cls, name)

        @functools.wraps(original)
        def wrapper(*args, **kwargs):
            seen.append(f"{cls.__name__}.{name}")
            return original(*args, **kwargs)
        monkeypatch.setattr(cls, name, wrapper)

    spy(nn.Sequential, "__getitem__")
    spy(nn.ParameterList, "__getitem__")
    spy(nn.Module, "__getattr__")
    assert torch.equal(clean(x), expected)
    assert {"Sequential.__getitem__", "ParameterList.__getitem__", "Module.__getattr__"} <= set(seen)


def test_overridden_workers_are_called_as_methods():
    calls = []

    class Traced(marlune.ZORModulePyThread):
        def process_and_forward(self, *args, **kwargs):
            calls.append(("dendrite", args[0], sorted(kwargs)))
            return super().process_and_forward(*args, **kwargs)

    class Plain(nn.Module):
        def forward(self, x, shift=0):
            return x + shift

    reference, W = make_clean(2, layer_array=nn.Sequential(Plain(), Plain()))
    clean = object.__new__(Traced)
    clean.__dict__.update(reference.__dict__)
    x = torch.randn(1, FEATURES)
    assert torch.equal(clean(x, shift=1), reference(x, shift=1))
    assert calls == [("dendrite", 0, ["shift"])]
