"""The clean-up walk on bad input: a clear exception, the network partly converted."""

import os
import subprocess
import sys
import textwrap

import pytest
import torch.nn as nn

import quorvane
import quorvane.marlune as marlune
from marlune_blocks import Holder, ZORLayer, chain
from quorvane import globals_quorvane as GZR

Clean = marlune.ZORModulePyThread


class Flaky(Holder):
    """Lists a member `broken` whose every read raises `error`."""

    error = None
    property_reads = []

    def __dir__(self):
        return super().__dir__() + ["broken"]

    def __getattr__(self, name):
        if name == "broken":
            raise type(self).error
        return super().__getattr__(name)

    @property
    def loud(self):
        Flaky.property_reads.append(self)
        raise ValueError("class-level properties are never read")


def flaky(error):
    return type("Flaky", (Flaky,), {"error": error})(x=ZORLayer())


def test_ordinary_read_errors_skip_the_member():
    net = flaky(ValueError("unreadable"))
    marlune.refresh_net(net)
    assert type(net.x) is Clean and Flaky.property_reads == []


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit(3), RecursionError("deep"), GeneratorExit])
def test_interrupts_and_recursion_failures_in_a_read_propagate(error):
    net = flaky(error)
    with pytest.raises(type(error) if isinstance(error, BaseException) else error):
        marlune.refresh_net(net)
    assert type(net.x) is Clean  # walked before `broken`, listed last


class Unpacking(nn.Sequential):
    items = []

    def named_children(self):
        return iter(self.items)


class Listing(Holder):
    listing = None

    def __dir__(self):
        return self.listing


class Unequal(nn.Sequential):
    def __ne__(self, other):
        raise LookupError("no !=")


class NoEquality(Holder):
    def __eq__(self, other):
        raise LookupError("no ==")

    __hash__ = nn.Module.__hash__


def with_members(cls, **members):
    net = cls()
    for name, value in members.items():
        setattr(type(net) if name in ("items", "listing") else net, name, value)
    return net


@pytest.mark.parametrize("make, error, text", [
    (lambda: Holder(a=ZORLayer(), z=Holder(layer_array=[ZORLayer()])), AttributeError, "named_children"),
    (lambda: with_members(Unpacking, items=[("0", None, None)]), ValueError,
     r"too many values to unpack \(expected 2\)"),
    (lambda: with_members(Unpacking, items=[("0",)]), ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    (lambda: with_members(Unpacking, items=[7]), TypeError, "cannot unpack non-iterable int object"),
    (lambda: with_members(Listing, listing=5), TypeError, "'int' object is not iterable"),
    (lambda: with_members(Listing, listing=["training", 1]), TypeError, "attribute name must be string"),
    (lambda: Unequal(ZORLayer()), LookupError, "no !="),
    (lambda: Holder(a=ZORLayer(), n=NoEquality(m=nn.ReLU())), LookupError, "no =="),
])
def test_bad_structures_raise(make, error, text):
    net = make()
    with pytest.raises(error, match=text):
        marlune.refresh_net(net)
    if hasattr(net, "a"):
        assert type(net.a) is Clean


def test_other_iterables_from_dir_are_walked():
    net = with_members(Listing, listing=("x",), x=ZORLayer())
    marlune.refresh_net(net)
    assert type(net.x) is Clean


@pytest.mark.parametrize("args, error", [
    ((0, 5, []), TypeError),          # the path joins with + as Python's would
    ((None, "", []), TypeError),      # depth is rendered as "%d" renders it
    (("0", "", []), TypeError),
])
def test_bad_starting_values(args, error):
    GZR.pc.set_extra_verbose(True)
    with pytest.raises(error):
        marlune.refresh_zor(Holder(x=ZORLayer()), *args)


@pytest.mark.parametrize("setting", ["get_extra_verbose", "get_modules_to_track", "get_module_names_to_not_save"])
def test_setting_failures_propagate(monkeypatch, setting):
    def fail():
        raise OSError(setting)

    monkeypatch.setattr(GZR.pc, setting, fail)
    with pytest.raises(OSError, match=setting):
        marlune.refresh_net(Holder(x=ZORLayer()))


def cycle():
    a, b = Holder(), Holder()
    a.b, b.a = b, a
    return a


@pytest.fixture
def default_recursion_limit():
    # Some libraries raise the limit for good (torch's inductor does, once it has compiled).
    previous = sys.getrecursionlimit()
    sys.setrecursionlimit(1000)
    yield
    sys.setrecursionlimit(previous)


def test_deep_and_cyclic_networks_raise_recursion_error(default_recursion_limit):
    # One level of the walk costs what one Python call costs: at the default
    # limit a chain converts as deep as a Python rendition of the walk goes.
    deep = chain(900, ZORLayer())
    marlune.refresh_net(deep)
    for _ in range(899):
        deep = deep.inner
    assert type(deep.inner) is Clean
    net = Holder(a=ZORLayer(), inner=chain(5000, ZORLayer()))
    with pytest.raises(RecursionError):
        marlune.refresh_net(net)
    assert type(net.a) is Clean
    with pytest.raises(RecursionError):
        marlune.refresh_net(cycle())
    marlune.refresh_net(chain(50, ZORLayer()))  # the interpreter is still sound


# Depends on the interpreter's recursion model. Up to 3.11, C code counts its
# recursion against the limit that sys.setrecursionlimit sets, so with the limit
# raised (and stack to spare) a 5,000-deep chain converts. From 3.12 on, C code
# counts against a separate, fixed C recursion limit that setrecursionlimit does
# not move (1,500 units on 3.12.1, 10,000 on 3.13.0), so the same chain converts only where it
# fits in that one, and otherwise ends in RecursionError. On every version, far
# past the C stack, the walk's own stack check ends it in RecursionError; a thread
# with a small stack makes sure that check, and not an interpreter limit, is what
# stops the walk there.
def test_raised_recursion_limits_never_overflow_the_stack():
    code = textwrap.dedent("""
        import sys, threading
        import quorvane.marlune as marlune
        from marlune_blocks import ZORLayer, chain
        from test_marlune_walk_failures import cycle

        def walk(net, depth=0):
            try:
                net = marlune.refresh_net(net)
                for _ in range(depth):
                    net = net.inner
                print(type(net).__name__)
            except RecursionError:
                print("RecursionError")

        def in_thread(stack_size, *args):
            threading.stack_size(stack_size)
            worker = threading.Thread(target=walk, args=args)
            worker.start()
            worker.join()

        sys.setrecursionlimit(20000)
        in_thread(256 * 1024 * 1024, chain(5000, ZORLayer()), 5000)  # room for 5,000 levels in any build
        # On the main thread's stack the interpreter's limit is out of reach.
        for limit, make in ((20000, cycle), (10 ** 6, cycle), (10 ** 6, lambda: chain(60000))):
            sys.setrecursionlimit(limit)
            walk(make())
        # Built and freed here: freeing a chain this deep needs more stack than
        # the small thread has (CPython 3.13.0 crashes freeing it there).
        deep = chain(60000)
        in_thread(384 * 1024, deep)
        del deep
    """)
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(quorvane.__path__[0]), here]))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    outcomes = result.stdout.split()
    deep_chain = {"ZORModulePyThread"} if sys.version_info < (3, 12) else {"ZORModulePyThread", "RecursionError"}
    assert outcomes[0] in deep_chain, outcomes
    assert outcomes[1:] == ["RecursionError"] * 4
