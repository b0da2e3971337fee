"""The blockwise walk: which children get converted, which are walked into, the
paths it records, its messages, and how it fails."""

import gc
import os
import subprocess
import sys
import textwrap
import traceback
import types
import weakref

import pytest
import torch.nn as nn

import quorvane
import quorvane.ostrelle as ostrelle
from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR


class Block(nn.Module):
    """Stands in for a ZORLayer: remembers the wrapper it was made from."""

    def __init__(self, source):
        super().__init__()
        self.source_id = id(source)


@pytest.fixture
def converted(monkeypatch):
    """Every wrapper handed to convert_to_zor_layer_block, in call order."""
    calls = []

    def fake(pretrained_dendrite):
        calls.append(pretrained_dendrite)
        return Block(pretrained_dendrite)

    monkeypatch.setattr(ostrelle, "convert_to_zor_layer_block", fake, raising=False)
    return calls


@pytest.fixture
def verbose(default_settings):
    default_settings.set_extra_verbose(True)


def wrapper():
    return ZR.ZORNeuronModule(nn.Linear(4, 3), 2)


class Root(nn.Module):
    def __init__(self):
        super().__init__()
        self.encoder = nn.Sequential(nn.Linear(4, 4), wrapper())
        self.head = wrapper()


class Holder(nn.Module):
    """A module whose member names and order are exactly those given."""

    def __init__(self, names=None, **children):
        super().__init__()
        for name, child in children.items():
            setattr(self, name, child)
        self.names = names

    def __dir__(self):
        return self.names if self.names is not None else super().__dir__()


class Boom(Exception):
    pass


def frames_of(info):
    return [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]


def lines(capsys):
    return capsys.readouterr().out.splitlines()


# --- what gets converted and what is recorded ----------------------------------------------

def test_encoder_and_head_example(converted, verbose, capsys):
    net = Root()
    linear, inner, head = net.encoder[0], net.encoder[1], net.head
    paths = []
    assert ostrelle.optimize_module(net, 0, "", paths) is net
    assert paths == [".encoder", ".encoder[0]"]
    assert converted == [inner, head]
    assert net.encoder[0] is linear
    assert isinstance(net.encoder[1], Block) and net.encoder[1].source_id == id(inner)
    assert isinstance(net.head, Block) and net.head.source_id == id(head)
    assert lines(capsys) == ["Seq sub is ZOR so optimizing: .encoder[1]",
                             "Sub is in conversion list so initiating optimization for: .head"]


@pytest.mark.parametrize("keyword", [False, True])
def test_blockwise_network_converts_and_returns_the_root(converted, capsys, keyword):
    net = Root()
    inner, head = net.encoder[1], net.head
    result = ostrelle.blockwise_network(net=net) if keyword else ostrelle.blockwise_network(net)
    assert result is net
    assert converted == [inner, head]
    assert isinstance(net.encoder[1], Block) and isinstance(net.head, Block)
    assert capsys.readouterr().out == ""  # quiet unless verbose


def test_wrapper_in_module_list_keeps_its_index(converted):
    items = nn.ModuleList([nn.ReLU(), wrapper(), nn.Tanh()])
    net = Holder(items=items)
    relu, tanh = items[0], items[2]
    paths = []
    ostrelle.optimize_module(net, 0, "", paths)
    assert [type(m) for m in net.items] == [nn.ReLU, Block, nn.Tanh]
    assert net.items[0] is relu and net.items[2] is tanh
    assert paths == [".items", ".items[0]", ".items[2]"]


def test_network_without_wrappers_is_left_as_it_was(converted):
    net = nn.Sequential(nn.Linear(2, 2), Holder(inner=nn.Sequential(nn.ReLU())), nn.ModuleList([nn.Tanh()]))
    before = [(name, m) for name, m in net.named_modules()]
    assert ostrelle.blockwise_network(net) is net
    assert [(name, m) for name, m in net.named_modules()] == before
    assert converted == []


class SubWrapper(ZR.ZORNeuronModule):
    pass


def test_subclass_of_the_wrapper_is_walked_not_converted(converted):
    sub = SubWrapper(nn.Linear(4, 3), 1)
    inner = wrapper()
    sub.extra = inner
    net = Holder(sub=sub)
    paths = []
    ostrelle.optimize_module(net, 0, "", paths)
    assert net.sub is sub
    assert converted == [inner] and isinstance(sub.extra, Block)
    assert {".sub", ".sub.main_module", ".sub.dendrite_module", ".sub.dendrite_module.layers",
            ".sub.dendrite_module.layers[0]"} <= set(paths)
    assert ".sub.extra" not in paths


@pytest.mark.parametrize("entry", ["blockwise_network", "optimize_module"])
def test_root_that_is_a_wrapper_stays_and_its_members_are_walked(converted, entry):
    root = wrapper()
    main = root.main_module
    if entry == "blockwise_network":
        assert ostrelle.blockwise_network(root) is root
    else:
        paths = []
        assert ostrelle.optimize_module(root, 0, "", paths) is root
        assert ".main_module" in paths and ".dendrite_module.layers[1]" in paths
    assert converted == [] and root.main_module is main


# --- skipping ------------------------------------------------------------------------------

def test_skip_list_applies_to_attributes_only(converted, verbose, capsys, default_settings):
    default_settings.set_module_names_to_not_save([".head", ".encoder[1]", ".encoder"])
    net = Root()
    net.encoder = Holder(names=["seq"], seq=nn.Sequential(nn.Linear(4, 4), wrapper()))
    head = net.head
    paths = []
    ostrelle.optimize_module(net, 0, "", paths)
    assert net.head is head and paths == []
    assert converted == []
    assert "Skipping .head during save" in lines(capsys)

    # A container's children are never tested against the list.
    default_settings.set_module_names_to_not_save([".seq[1]"])
    holder = net.encoder
    ostrelle.optimize_module(holder, 0, "", paths)
    assert isinstance(holder.seq[1], Block)
    assert paths == [".seq", ".seq[0]"]


def test_preloaded_paths_skip_attributes_and_the_list_is_shared(converted, verbose, capsys):
    net = Root()
    head = net.head
    paths = [".head"]
    ostrelle.optimize_module(net, 0, "", paths)
    assert net.head is head
    assert paths == [".head", ".encoder", ".encoder[0]"]
    assert "Skipping .head during save" in lines(capsys)


@pytest.mark.parametrize("entry", ["blockwise_network", "optimize_module"])
def test_a_member_listed_twice_is_walked_once(converted, verbose, capsys, entry):
    child = Holder(names=[])
    net = Holder(names=["a", "b", "a"], a=child, b=nn.ReLU())
    if entry == "blockwise_network":
        ostrelle.blockwise_network(net)
    else:
        ostrelle.optimize_module(net, 0, "", [])
    assert lines(capsys) == ["Skipping .a during save"]


class Matches:
    """A path that equals every path."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class Name(str):
    def __radd__(self, prefix):
        return Matches()


def test_recorded_paths_that_are_not_strs_compare_as_python_does(converted, verbose, capsys):
    child = Holder(names=[])
    net = Holder(names=[Name("a"), "a"], a=child)
    ostrelle.blockwise_network(net)
    assert lines(capsys) == ["Skipping .a during save"]


def test_entries_compare_as_python_does(converted):
    class Anything:
        def __eq__(self, other):
            return other == ".head"

    net = Root()
    head = net.head
    ostrelle.optimize_module(net, 0, "", [Anything()])
    assert net.head is head


class Paths:
    """A path collection whose += makes a new one, as a tuple's + does."""

    def __init__(self, items=()):
        self.items = tuple(items)

    def __iadd__(self, other):
        return Paths(self.items + tuple(other))

    def __contains__(self, path):
        return path in self.items


def test_path_collection_is_rebound_by_plus_equals(converted, verbose, capsys):
    net = Holder(names=["a", "a"], a=Holder(names=[]))
    start = Paths()
    ostrelle.optimize_module(net, 0, "", start)
    assert start.items == ()
    assert lines(capsys) == ["Skipping .a during save"]


# --- self pointers, properties, probes -----------------------------------------------------

def test_self_pointers_are_reported_and_not_walked(converted, verbose, capsys):
    net = Holder(names=["me", "seq"])
    net.add_module("me", net)
    seq = nn.Sequential(nn.ReLU())
    seq.add_module("1", seq)
    net.seq = seq
    paths = []
    ostrelle.optimize_module(net, 0, "", paths)
    assert paths == [".seq", ".seq[0]"]
    assert lines(capsys) == [".me is a self pointer so skipping", ".seq[1] is a self pointer so skipping"]


class WithProperties(nn.Module):
    def __init__(self):
        super().__init__()
        self.reads = 0

    @property
    def raises(self):
        raise AssertionError("property evaluated")

    @property
    def gives_wrapper(self):
        self.reads += 1
        return wrapper()


def test_properties_are_never_read(converted):
    net = WithProperties()
    ostrelle.optimize_module(net, 0, "", [])
    assert net.reads == 0 and converted == []


class Descriptor:
    """A class-level attribute that is not a property; its reads run Python code."""

    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __get__(self, obj, owner):
        if obj is None:
            return self
        return self.behaviour(obj)


def raise_(error):
    def read(obj):
        raise error
    return read


@pytest.mark.parametrize("error", [Boom("read"), ValueError("read"), TypeError("read")])
def test_member_whose_read_raises_an_exception_is_skipped_silently(converted, verbose, capsys,
                                                                   default_settings, error):
    class Net(Holder):
        bad = Descriptor(raise_(error))

    default_settings.set_module_names_to_not_save([".bad"])
    net = Net(names=["bad", "after"], after=wrapper())
    ostrelle.optimize_module(net, 0, "", [])
    # Silently: not even the skip-list message.
    assert lines(capsys) == ["Sub is in conversion list so initiating optimization for: .after"]


def test_missing_member_is_not_a_probe_failure(converted, verbose, capsys, default_settings):
    default_settings.set_module_names_to_not_save([".ghost"])
    net = Holder(names=["ghost"])
    ostrelle.optimize_module(net, 0, "", [])
    assert lines(capsys) == ["Skipping .ghost during save"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, RecursionError, GeneratorExit])
def test_probe_lets_interrupts_and_recursion_errors_through(converted, error):
    class Net(Holder):
        bad = Descriptor(raise_(error("read")))

    net = Net(names=["bad", "after"], after=wrapper())
    with pytest.raises(error):
        ostrelle.optimize_module(net, 0, "", [])
    assert converted == []


def test_every_read_of_a_member_is_made(converted):
    # Reads 1 and 2 (probe, wrapper test) give a plain value, read 3 a module,
    # reads 4 and 5 (self-pointer test, recursion) the same module.
    child = Holder(names=[])
    reads = []

    def read(obj):
        reads.append(1)
        return child if len(reads) >= 3 else 0

    class Net(Holder):
        member = Descriptor(read)

    paths = []
    ostrelle.optimize_module(Net(names=["member"]), 0, "", paths)
    assert len(reads) == 5 and paths == [".member"]


def test_instance_attribute_shadowing_a_method_is_seen(converted):
    net = Holder(names=["forward"])
    inner = wrapper()
    net.__dict__["forward"] = inner
    ostrelle.optimize_module(net, 0, "", [])
    assert converted == [inner]


def test_module_under_a_method_name_is_shadowed_by_the_method(converted):
    net = Holder(names=["forward"])
    net._modules["forward"] = wrapper()  # add_module refuses the name
    ostrelle.optimize_module(net, 0, "", [])
    assert converted == []


# --- names read at the moment of use -------------------------------------------------------

def test_recursion_goes_through_the_module_global(converted, monkeypatch):
    original = ostrelle.optimize_module
    seen = []

    def traced(net, depth, name_so_far, converted_list):
        seen.append((name_so_far, depth))
        return original(net, depth, name_so_far, converted_list)

    monkeypatch.setattr(ostrelle, "optimize_module", traced)
    ostrelle.blockwise_network(Root())
    assert seen == [("", 0), (".encoder", 1), (".encoder[0]", 2)]


def test_list_handed_to_other_code_is_searched_afresh(converted, verbose, capsys, monkeypatch):
    original = ostrelle.optimize_module
    kept = []

    def forgetful(net, depth, name_so_far, converted_list):
        result = original(net, depth, name_so_far, converted_list)
        converted_list.clear()
        kept.append(converted_list)
        return result

    class Rebinder(nn.Module):
        def __dir__(self):
            monkeypatch.setattr(ostrelle, "optimize_module", forgetful)
            return []

    net = Holder(names=["a", "a"], a=Holder(names=[]))
    ostrelle.blockwise_network(net)
    assert lines(capsys) == ["Skipping .a during save"]

    # The walk starts with our function; from the second member on, the
    # recursion goes through code that empties the list.
    net = Holder(names=["rebind", "a", "a"], rebind=Rebinder(), a=Holder(names=[]))
    ostrelle.blockwise_network(net)
    assert lines(capsys) == []
    assert kept and all(gc.is_tracked(k) for k in kept)


def test_rebound_names_take_effect(converted, monkeypatch):
    other = types.SimpleNamespace(ZORNeuronModule=nn.ReLU)
    monkeypatch.setattr(ostrelle, "ZR", other)
    relu = nn.ReLU()
    net = Holder(names=["relu", "wrapped"], relu=relu, wrapped=wrapper())
    ostrelle.optimize_module(net, 0, "", [])
    assert converted == [relu]

    printed = []
    monkeypatch.setattr(ostrelle, "print", printed.append, raising=False)
    GZR.pc.set_extra_verbose(True)
    ostrelle.optimize_module(Holder(names=["r"], r=nn.ReLU()), 0, "", [])
    assert printed == ["Sub is in conversion list so initiating optimization for: .r"]


def test_settings_are_read_for_each_member(converted, monkeypatch):
    calls = []

    def names():
        calls.append(1)
        return []

    monkeypatch.setattr(GZR.pc, "get_module_names_to_not_save", names)
    ostrelle.optimize_module(Holder(names=["a", "b", "c"], a=Holder(names=["x"])), 0, "", [])
    assert len(calls) == 4  # a, b and c here, x in a


# --- failures ------------------------------------------------------------------------------

def test_conversion_failure_propagates_and_leaves_earlier_work(monkeypatch):
    made = []

    def convert(pretrained_dendrite):
        if made:
            raise Boom("second")
        made.append(Block(pretrained_dendrite))
        return made[0]

    monkeypatch.setattr(ostrelle, "convert_to_zor_layer_block", convert, raising=False)
    net = Root()
    head = net.head
    paths = []
    with pytest.raises(Boom) as info:
        ostrelle.optimize_module(net, 0, "", paths)
    assert net.encoder[1] is made[0] and net.head is head
    assert paths == [".encoder", ".encoder[0]"]
    assert ("optimize_module", "quorvane/ostrelle") in frames_of(info)


def test_each_level_adds_a_traceback_frame(monkeypatch):
    def convert(pretrained_dendrite):
        raise Boom("deep")

    monkeypatch.setattr(ostrelle, "convert_to_zor_layer_block", convert, raising=False)
    net = Holder(names=["a"], a=Holder(names=["b"], b=Holder(names=["w"], w=wrapper())))
    with pytest.raises(Boom) as info:
        ostrelle.blockwise_network(net)
    names = [name for name, file in frames_of(info) if file == "quorvane/ostrelle"]
    assert names == ["blockwise_network"] + ["optimize_module"] * 3


def test_missing_conversion_function_is_a_name_error(monkeypatch):
    monkeypatch.delattr(ostrelle, "convert_to_zor_layer_block", raising=False)
    with pytest.raises(NameError, match="convert_to_zor_layer_block"):
        ostrelle.blockwise_network(Root())


class OddDir(nn.Module):
    def __init__(self, result):
        super().__init__()
        self.result = result

    def __dir__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize("result, error, text", [
    (Boom("dir"), Boom, "dir"),
    (None, TypeError, "not iterable"),
    (5, TypeError, "not iterable"),
    (["ok", 3], TypeError, "attribute name must be string"),
    ([b"raw"], TypeError, "attribute name must be string"),
])
def test_odd_dir_results_raise(converted, result, error, text):
    with pytest.raises(error, match=text):
        ostrelle.blockwise_network(Holder(names=["x"], x=OddDir(result)))


def test_dir_may_return_any_iterable(converted):
    inner = wrapper()
    net = Holder(names=iter(["w"]), w=inner)
    ostrelle.optimize_module(net, 0, "", [])
    assert converted == [inner]


class Truthless:
    def __bool__(self):
        raise Boom("bool")


class OddCompare(nn.Module):
    def __init__(self, result):
        super().__init__()
        self.inner = nn.ReLU()
        self.result = result

    def __ne__(self, other):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __eq__(self, other):
        raise AssertionError("== is never used")

    __hash__ = nn.Module.__hash__


@pytest.mark.parametrize("result", [Boom("ne"), Truthless()])
def test_comparison_failures_propagate(converted, result):
    with pytest.raises(Boom):
        ostrelle.optimize_module(OddCompare(result), 0, "", [])


def test_not_equal_result_is_tested_for_truth(converted, verbose, capsys):
    # A falsy `!=` means a self pointer even for another object.
    ostrelle.optimize_module(OddCompare(0), 0, "", [])
    assert lines(capsys) == [".inner is a self pointer so skipping"]


class OddChildren(nn.Sequential):
    def __init__(self, items):
        super().__init__(nn.ReLU())
        self.items = items

    def named_children(self):
        return iter(self.items)


@pytest.mark.parametrize("items, error, text", [
    ([("0",)], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ([("0", 1, 2)], ValueError, r"too many values to unpack \(expected 2\)"),
    ([5], TypeError, "cannot unpack non-iterable int object"),
    ([("9", None)], AttributeError, None),
    ([(None, None)], Exception, None),
])
def test_bad_children_items_raise(converted, items, error, text):
    with pytest.raises(error, match=text):
        ostrelle.blockwise_network(OddChildren(items))


def test_children_items_may_be_any_pair(converted):
    inner = wrapper()
    seq = OddChildren([["0", None], iter(["0", None])])
    seq[0] = inner
    ostrelle.blockwise_network(seq)
    assert converted == [inner]


def test_bad_depth_and_path_fail_only_where_used(converted):
    leaf = Holder(names=[])
    assert ostrelle.optimize_module(leaf, None, 5, []) is leaf
    with pytest.raises(TypeError):
        ostrelle.optimize_module(Holder(names=["a"], a=leaf), None, "", [])
    with pytest.raises(TypeError):
        ostrelle.optimize_module(Holder(names=["a"], a=leaf), 0, 5, [])


def test_odd_skip_lists_raise(converted, default_settings):
    default_settings.set_module_names_to_not_save(None)
    with pytest.raises(TypeError):
        ostrelle.optimize_module(Holder(names=["a"]), 0, "", [])


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {"net": None}), ((None, None), {}),
                                          ((), {"network": None})])
def test_wrong_call_shapes(args, kwargs):
    with pytest.raises(TypeError, match="blockwise_network"):
        ostrelle.blockwise_network(*args, **kwargs)


def test_optimize_module_by_keyword(converted):
    net = Root()
    paths = []
    assert ostrelle.optimize_module(converted_list=paths, name_so_far="", depth=0, net=net) is net
    assert paths == [".encoder", ".encoder[0]"]


# --- references ----------------------------------------------------------------------------

def test_no_references_are_kept(converted):
    net = Root()
    ostrelle.blockwise_network(net)
    count = sys.getrefcount(net)
    children = [sys.getrefcount(m) for m in net.modules()]
    for _ in range(50):
        ostrelle.blockwise_network(net)
        ostrelle.optimize_module(net, 0, ".x", [])
    assert sys.getrefcount(net) == count
    assert [sys.getrefcount(m) for m in net.modules()] == children


def test_replaced_wrappers_are_released(converted):
    net = Root()
    gone = [weakref.ref(net.head), weakref.ref(net.encoder[1])]
    converted.clear()
    ostrelle.blockwise_network(net)
    converted.clear()
    gc.collect()
    assert [r() for r in gone] == [None, None]


# --- cycles and deep trees -----------------------------------------------------------------

def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(quorvane.__path__[0]) + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env=env)


DEEP = """
    import sys
    import torch.nn as nn
    import quorvane.ostrelle as ostrelle
    from quorvane import modules_quorvane as ZR

    class Link(nn.Module):
        def __dir__(self):
            return ["next"]

    ostrelle.convert_to_zor_layer_block = lambda w: nn.Identity()
    sys.setrecursionlimit({limit})
    if "{shape}" == "cycle":
        a, b = Link(), Link()
        a.next, b.next = b, a
        net = a
    else:
        net = Link()
        node = net
        for _ in range({depth}):
            node.next = Link()
            node = node.next
        node.next = ZR.ZORNeuronModule(nn.Linear(2, 2), 1)
    try:
        ostrelle.blockwise_network(net)
        print("converted", type(node.next).__name__ if "{shape}" == "chain" else "")
    except RecursionError:
        print("RecursionError")
    ostrelle.blockwise_network(nn.Sequential(ZR.ZORNeuronModule(nn.Linear(2, 2), 1)))
    print("alive")
"""


# At the default limit a 900-deep chain converts (one level costs what one
# Python call costs). Within a raised limit a 5,000-deep chain converts, unless
# the C stack runs short first (as in sanitizer builds) or, from 3.12 on, the
# interpreter's own C recursion limit, which sys.setrecursionlimit does not
# raise, is reached first; far past the C stack it never crashes.
@pytest.mark.parametrize("shape, depth, limit, expected", [
    ("chain", 900, 1000, {"converted Identity"}),
    ("cycle", 0, 1000, {"RecursionError"}),
    ("cycle", 0, 20000, {"RecursionError"}),
    ("chain", 5000, 1000, {"RecursionError"}),
    ("chain", 5000, 20000, {"converted Identity", "RecursionError"}),
    ("chain", 50000, 200000, {"RecursionError"}),
])
def test_cycles_and_deep_chains_end_in_recursion_error(shape, depth, limit, expected):
    result = run_python(DEEP.format(shape=shape, depth=depth, limit=limit))
    assert result.returncode == 0, result.stderr[-2000:]
    outcome, alive = result.stdout.split("\n")[:2]
    assert outcome in expected and alive == "alive"
