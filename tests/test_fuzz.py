"""Generated module trees through both walks and the clean forward pass.

Every outcome must be a result or a Python exception; a network that converts must
compute what its trained form computed. `make fuzz` runs many more examples
(QUORVANE_FUZZ_EXAMPLES); run pytest with --hypothesis-show-statistics to see the
outcomes by kind.
"""

import copy
import os

import pytest
import torch
import torch.nn as nn
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle
from pipeline import assert_same_outputs
from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR

EXAMPLES = int(os.environ.get("QUORVANE_FUZZ_EXAMPLES", "40"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, derandomize="QUORVANE_FUZZ_EXAMPLES" not in os.environ,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
WIDTH = 4


# --- well-formed networks: everything maps WIDTH features to WIDTH features -------------

class Chain(nn.Module):
    """Applies its attribute children in the order they were set."""

    def __init__(self, parts):
        super().__init__()
        self.order = []
        for i, part in enumerate(parts):
            setattr(self, f"part{i}", part)
            self.order.append(f"part{i}")

    def forward(self, x):
        for name in self.order:
            x = getattr(self, name)(x)
        return x


class ListChain(nn.Module):
    def __init__(self, parts):
        super().__init__()
        self.items = nn.ModuleList(parts)

    def forward(self, x):
        for item in self.items:
            x = item(x)
        return x


class SubclassedWrapper(ZR.ZORNeuronModule):
    """Not a trained wrapper for the converter: walked into, never converted."""


def leaves():
    return st.one_of(
        st.builds(lambda: nn.Linear(WIDTH, WIDTH)),
        st.builds(nn.Tanh),
        st.builds(lambda d: ZR.ZORNeuronModule(nn.Linear(WIDTH, WIDTH), d), st.integers(0, 3)),
        st.builds(lambda d: SubclassedWrapper(nn.Linear(WIDTH, WIDTH), d), st.integers(0, 2)),
    )


def networks():
    return st.recursive(
        leaves(),
        lambda children: st.one_of(
            st.lists(children, min_size=1, max_size=4).map(lambda parts: nn.Sequential(*parts)),
            st.lists(children, min_size=1, max_size=4).map(Chain),
            st.lists(children, min_size=1, max_size=3).map(ListChain),
        ),
        max_leaves=12,
    )


@st.composite
def shared_networks(draw):
    """Networks that reach some modules along two paths."""
    net = draw(networks())
    modules = []

    def parts(module):  # the modules the generated forward passes call
        for child in module.children():
            if not isinstance(child, nn.ModuleList):
                modules.append(child)
            if not isinstance(child, ZR.ZORNeuronModule):
                parts(child)

    if not isinstance(net, ZR.ZORNeuronModule):  # a wrapper's own members are not called alone
        parts(net)
    if modules and draw(st.booleans()):
        shared = draw(st.sampled_from(modules))
        net = Chain([net, shared]) if draw(st.booleans()) else nn.Sequential(net, shared)
    return net


@FUZZ
@given(shared_networks(), st.booleans(), st.integers(0, 2**16))
def test_converted_networks_compute_what_they_trained(net, threaded, seed):
    torch.manual_seed(seed)
    x = torch.randn(3, WIDTH)
    trained = copy.deepcopy(net)
    parameters = {id(p) for p in net.parameters()}
    with torch.no_grad():
        expected = trained(x)
    converted = marlune.refresh_net(ostrelle.blockwise_network(net))
    assert {id(p) for p in converted.parameters()} <= parameters
    marlune.doing_threading = threaded
    with torch.no_grad():
        assert_same_outputs(expected, converted(x))
    event(f"wrappers converted: {sum(type(m) is marlune.ZORModulePyThread for m in converted.modules())}")


# --- hostile objects: the outcome is a result or a Python exception ----------------------

class Boom(Exception):
    pass


class RaisingDir(nn.Module):
    def __init__(self, result):
        super().__init__()
        self.result = result
        self.inner = nn.Linear(2, 2)

    def __dir__(self):
        if self.result == "raise":
            raise Boom("dir")
        return self.result


class RaisingCompare(nn.Module):
    def __init__(self, mode):
        super().__init__()
        self.mode = mode
        self.inner = nn.Linear(2, 2)

    def __ne__(self, other):
        if self.mode == "raise":
            raise Boom("ne")
        return Truthless()

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = nn.Module.__hash__


class Truthless:
    def __bool__(self):
        raise Boom("bool")


class RaisingMember(nn.Module):
    """An attribute whose read raises, through a non-property descriptor."""

    class Descriptor:
        def __init__(self, error):
            self.error = error

        def __get__(self, obj, owner):
            if obj is None:
                return self
            raise self.error

    def __init__(self):
        super().__init__()
        self.inner = nn.Linear(2, 2)


RaisingMember.bad = RaisingMember.Descriptor(Boom("member"))


class WithProperty(nn.Module):
    @property
    def trap(self):
        raise AssertionError("a property must never be evaluated by the walks")


class BadChildren(nn.Sequential):
    def __init__(self, items):
        super().__init__(nn.Linear(2, 2))
        self.items = items

    def named_children(self):
        return iter(self.items)


class SelfRegistered(nn.Module):
    def __init__(self):
        super().__init__()
        self.add_module("me", self)


class Cycle(nn.Module):
    pass


def cycle():
    a, b = Cycle(), Cycle()
    a.add_module("b", b)
    b.add_module("a", a)
    return a


def hostile_leaves():
    odd_dirs = st.sampled_from(["raise", None, 5, ("inner",), ["inner", 3], [b"inner"], ["nope", "inner"]])
    odd_children = st.sampled_from([[("0",)], [("0", 1, 2)], [5], [("9", nn.Linear(1, 1))], [(None, None)]])
    return st.one_of(
        odd_dirs.map(RaisingDir),
        st.sampled_from(["raise", "truthless"]).map(RaisingCompare),
        st.builds(RaisingMember),
        st.builds(WithProperty),
        odd_children.map(BadChildren),
        st.builds(SelfRegistered),
        st.builds(cycle),
        st.builds(lambda: ZR.ZORNeuronModule(nn.Linear(2, 2), 1)),
        st.builds(lambda d: ostrelle.convert_to_zor_layer_block(ZR.ZORNeuronModule(nn.Linear(2, 2), d)),
                  st.integers(0, 2)),
        st.builds(lambda: nn.Linear(2, 2)),
    )


def hostile_networks():
    return st.recursive(
        hostile_leaves(),
        lambda children: st.one_of(
            st.lists(children, min_size=1, max_size=3).map(lambda parts: nn.Sequential(*parts)),
            st.lists(children, min_size=1, max_size=3).map(Chain),
        ),
        max_leaves=6,
    )


def odd_settings():
    def raising():
        raise Boom("settings")

    collections = st.sampled_from([[], (), set(), None, 5, "abc", {".part0": 1}, [".part0", "[0]"]])
    return st.fixed_dictionaries({
        "get_extra_verbose": st.sampled_from([lambda: False, lambda: Truthless(), raising, lambda: 0]),
        "get_module_names_to_not_save": st.one_of(collections.map(lambda c: (lambda: c)), st.just(raising)),
        "get_modules_to_track": st.one_of(collections.map(lambda c: (lambda: c)), st.just(raising)),
    })


@FUZZ
@given(hostile_networks(), st.one_of(st.none(), odd_settings()))
def test_hostile_trees_give_results_or_python_exceptions(net, overrides):
    saved = {}
    if overrides:
        for name, function in overrides.items():
            saved[name] = getattr(GZR.pc, name)
            setattr(GZR.pc, name, function)
    try:
        for walk in (ostrelle.blockwise_network, marlune.refresh_net):
            try:
                net = walk(net)
                event(f"{walk.__name__}: result")
            except AssertionError:
                raise
            except Exception as e:  # any Python exception is a sound outcome here
                event(f"{walk.__name__}: {type(e).__name__}")
                break
    finally:
        for name, function in saved.items():
            setattr(GZR.pc, name, function)


# --- the clean forward with hostile processors and members ------------------------------

class Block(nn.Module):
    def __init__(self, layers, processors, weights, view):
        super().__init__()
        self.layer_array = nn.Sequential(*layers)
        self.processor_array = processors
        if weights is not None:
            self.skip_weights = weights
        self.node_index = torch.tensor(1)
        self.num_cycles = torch.tensor(0)
        self.view_tuple = view


class OddProcessor:
    def __init__(self, kind):
        self.kind = kind

    def pre(self, *args, **kwargs):
        if self.kind == "raise":
            raise Boom("processor")
        return {"ok": (args, kwargs), "three": (args, kwargs, 1), "none-kwargs": (args, None),
                "list": [list(args), kwargs]}[self.kind]

    def post(self, value):
        return value


@FUZZ
@given(st.integers(1, 4), st.lists(st.sampled_from([None, "ok", "three", "none-kwargs", "list", "raise"]),
                                   min_size=4, max_size=4),
       st.sampled_from(["full", "short", "none", "wrong-rows"]), st.sampled_from([[1, -1], [-1, 1], [1, 1, -1]]),
       st.booleans())
def test_clean_forward_gives_results_or_python_exceptions(n, kinds, weights_kind, view, threaded):
    layers = [nn.Linear(WIDTH, WIDTH) for _ in range(n)]
    processors = [None if k is None else OddProcessor(k) for k in kinds[:n]]
    rows = {"full": lambda k: k, "short": lambda k: k, "wrong-rows": lambda k: k + 2}
    if weights_kind == "none":
        weights = None
    else:
        count = n if weights_kind != "short" else max(1, n - 1)
        weights = nn.ParameterList([nn.Parameter(torch.randn(rows[weights_kind](k), WIDTH)) for k in range(count)])
    clean = marlune.ZORModulePyThread(Block(layers, processors, weights, torch.tensor(view)))
    marlune.doing_threading = threaded
    try:
        with torch.no_grad():
            clean(torch.randn(2, WIDTH))
        event("forward: result")
    except AssertionError:
        raise
    except Exception as e:
        event(f"forward: {type(e).__name__}")
