"""The clean-up walk: what it replaces, where, and what it prints."""

import pytest
import torch.nn as nn

import quorvane.marlune as marlune
from marlune_blocks import Holder, ZORLayer, parameter_ids
from quorvane import globals_quorvane as GZR

Clean = marlune.ZORModulePyThread
TWICE = ("this is only being called because something in your model is pointed to twice by two "
         "different variables.  Highest thing on the list is one of the duplicates")


def test_attribute_block_is_replaced_and_paths_recorded():
    block = ZORLayer()
    net = Holder(x=block, act=nn.ReLU())
    converted = []
    assert marlune.refresh_zor(net, 0, "", converted) is net
    assert type(net.x) is Clean and net.x.layer_array is block.layer_array
    assert converted == [".act", ".x", ".x.layer_array", ".x.layer_array[0]", ".x.layer_array[1]",
                         ".x.skip_weights"]


def test_root_block_is_returned_and_left_with_clean_children():
    inner = ZORLayer()
    root = ZORLayer(layers=[inner, nn.Linear(3, 3)])
    result = marlune.refresh_net(pretrained_dendrite=root)
    assert type(result) is Clean and type(root) is ZORLayer
    assert result.layer_array is root.layer_array
    assert type(root.layer_array[0]) is Clean and root.layer_array[0].layer_array is inner.layer_array


@pytest.mark.parametrize("container", [nn.Sequential, nn.ModuleList])
def test_blocks_in_containers_keep_their_position(container):
    children = [nn.ReLU(), ZORLayer(), nn.Tanh(), ZORLayer()]
    net = nn.Sequential(*children) if container is nn.Sequential else nn.ModuleList(children)
    converted = []
    marlune.refresh_zor(net, 0, "", converted)
    assert [type(m) for m in net] == [nn.ReLU, Clean, nn.Tanh, Clean]
    assert {"[0]", "[1]", "[2]", "[3]", "[1].layer_array[0]"} <= set(converted)


def test_block_behind_two_attributes_becomes_two_clean_modules():
    block = ZORLayer()
    net = Holder(a=block, b=block)
    marlune.refresh_net(net)
    assert type(net.a) is Clean and type(net.b) is Clean and net.a is not net.b
    assert net.a.layer_array is net.b.layer_array is block.layer_array


def test_container_on_two_paths_reports_its_clean_children(capsys):
    shared = nn.Sequential(ZORLayer(), ZORLayer())
    net = Holder(a=shared, b=shared)
    GZR.pc.set_extra_verbose(True)
    marlune.refresh_net(net)
    assert capsys.readouterr().out.splitlines().count(TWICE) == 2
    assert all(type(m) is Clean for m in shared)


@pytest.mark.parametrize("path, not_saved, preloaded, converted, message", [
    (".x", [], [".x"], False, True),          # root level: the path already walked
    (".x", [".x"], [], False, False),         # names not to save: silent at every level
    (".h.x", [".h.x"], [], False, False),
    (".h.x", [], [".h.x"], True, False),      # below the root the walked list is not read
])
def test_skipped_paths(capsys, path, not_saved, preloaded, converted, message):
    net = Holder(x=ZORLayer()) if path == ".x" else Holder(h=Holder(x=ZORLayer()))
    GZR.pc.set_module_names_to_not_save(not_saved)
    GZR.pc.set_extra_verbose(True)
    marlune.refresh_zor(net, 0, "", list(preloaded))
    target = net.x if path == ".x" else net.h.x
    assert (type(target) is Clean) is converted
    assert (f"Skipping {path} during save" in capsys.readouterr().out.splitlines()) is message


def test_device_and_dtype_are_never_visited():
    net = Holder(device=ZORLayer(), dtype=ZORLayer(), other=ZORLayer())
    marlune.refresh_net(net)
    assert [type(net.device), type(net.dtype), type(net.other)] == [ZORLayer, ZORLayer, Clean]


def test_self_reference_is_recorded_and_converted_in_place():
    block = ZORLayer()
    block.me = block
    converted = []
    net = Holder(b=block)
    marlune.refresh_zor(net, 0, "", converted)
    assert ".b.me" in converted
    assert type(block.me) is Clean and block.me.layer_array is block.layer_array
    assert type(net.b) is Clean


def test_tracked_class_is_left_alone_by_its_own_call_and_converted_by_its_parent():
    inner = ZORLayer()
    block = ZORLayer(layers=[inner])
    GZR.pc.set_modules_to_track([ZORLayer])
    assert marlune.refresh_net(block) is block and type(block.layer_array[0]) is ZORLayer
    for net in (Holder(x=block), nn.Sequential(block)):
        marlune.refresh_net(net)
        clean = net.x if isinstance(net, Holder) else net[0]
        assert type(clean) is Clean and type(clean.layer_array[0]) is ZORLayer


def test_module_globals_are_read_at_each_use(monkeypatch, capsys):
    class Other(Clean):
        pass

    calls = []
    walk = marlune.refresh_zor

    def recording(net, depth, name_so_far, converted_list):
        calls.append((name_so_far, depth))
        return walk(net, depth, name_so_far, converted_list)

    monkeypatch.setattr(marlune, "ModuleType", Other)
    monkeypatch.setattr(marlune, "refresh_zor", recording)
    net = Holder(x=ZORLayer())
    marlune.refresh_net(net)
    assert type(net.x) is Other
    assert calls[:3] == [("", 0), (".x", 1), (".x.layer_array", 2)]
    GZR.pc.set_extra_verbose(True)
    assert marlune.refresh_net(net.x) is net.x  # an Other counts as clean now
    assert capsys.readouterr().out.splitlines()[-1] == TWICE


def test_second_walk_changes_nothing(capsys):
    net = nn.Sequential(ZORLayer(), Holder(x=ZORLayer(), y=nn.Linear(2, 2)))
    marlune.refresh_net(net)
    before = [id(m) for m in net.modules()]
    GZR.pc.set_extra_verbose(True)
    assert marlune.refresh_net(net) is net
    assert [id(m) for m in net.modules()] == before
    assert capsys.readouterr().out.splitlines().count(TWICE) == 2


def test_parameters_are_never_copied():
    net = nn.Sequential(ZORLayer(dendrites=2), Holder(x=ZORLayer(), lin=nn.Linear(3, 3)))
    before = set(parameter_ids(net).values())
    net = marlune.refresh_net(net)
    after = set(parameter_ids(net).values())
    assert after and after <= before
    assert len(before - after) == 2  # the first skip weight of each block is dropped


# The depth is rendered as `%d` renders it: a float start prints truncated.
@pytest.mark.parametrize("start", [0, 1.5])
def test_verbose_walk_prints_exactly(capsys, start):
    block = ZORLayer(layers=[nn.Identity()])
    net = nn.Sequential(nn.ReLU(), block)
    texts = [str(net), str(net[0]), str(block), str(block.layer_array), str(block.layer_array[0]),
             str(block.skip_weights)]
    GZR.pc.set_extra_verbose(True)
    if start == 0:
        marlune.refresh_net(net)
    else:
        marlune.refresh_zor(net, start, "", [])
    entries = [(texts[0], "", "Sequential", 0), (texts[1], "[0]", "ReLU", 1), (texts[2], "[1]", "ZORLayer", 1),
               (texts[3], "[1].layer_array", "Sequential", 2), (texts[4], "[1].layer_array[0]", "Identity", 3),
               (texts[5], "[1].skip_weights", "ParameterList", 2)]
    expected = []
    for text, path, kind, level in entries:
        depth = "%d" % (start + level)
        expected += [f"CL calling convert on {text} depth {depth}",
                     f"CL calling convert on {path}: {kind}, depth {depth}"]
    assert capsys.readouterr().out.split("\n") == "\n".join(expected).split("\n") + [""]
    assert type(net[1]) is Clean
