"""get_pretrained_zor_attr, get_pretrained_zor_var and make_module."""

import pytest
import torch.nn as nn

import quorvane.marlune as marlune
from marlune_blocks import ZORLayer

attr = marlune.get_pretrained_zor_attr
var = marlune.get_pretrained_zor_var


@pytest.mark.parametrize("lookup", [attr, var])
@pytest.mark.parametrize("key", ["layer_array", "", 5, None])
def test_absent_parent_gives_none_without_reading_the_key(lookup, key):
    assert lookup(None, key) is None


def test_lookups_return_the_held_objects():
    block = ZORLayer()
    assert attr(block, "layer_array") is block.layer_array
    assert var(block.layer_array, "0") is block.layer_array[0]
    assert var(block, "layer_array.1") is block.layer_array[1]
    empty = nn.Sequential()  # falsy, yet looked up like any other object
    assert var(empty, "") is empty
    assert attr(empty, "training") is True


class Loud(nn.Module):
    @property
    def broken(self):
        raise ValueError("from the property")


@pytest.mark.parametrize("call, error, text", [
    (lambda: attr(nn.ReLU(), "missing"), AttributeError, "missing"),
    (lambda: attr(nn.ReLU(), 3), TypeError, "attribute name must be string"),
    (lambda: attr(Loud(), "broken"), ValueError, "from the property"),
    (lambda: var(object(), "0"), AttributeError, "get_submodule"),
    (lambda: var(nn.Sequential(nn.ReLU()), "7"), AttributeError, "7"),
])
def test_lookup_failures_propagate(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_make_module_builds_a_new_clean_module_each_time():
    block = ZORLayer()
    first, second = marlune.make_module(block), marlune.make_module(module=block)
    assert type(first) is marlune.ZORModulePyThread and first is not second
    assert first.layer_array is block.layer_array is second.layer_array
    assert first.node_index is not second.node_index
    with pytest.raises(AttributeError):
        marlune.make_module(None)


def test_make_module_calls_the_current_module_type(monkeypatch):
    seen = []

    class Recorder:
        def __init__(self, module):
            seen.append(module)

    monkeypatch.setattr(marlune, "ModuleType", Recorder)
    block = ZORLayer()
    assert isinstance(marlune.make_module(block), Recorder) and seen == [block]
    assert marlune.ZORModulePyThread is not Recorder
    monkeypatch.delattr(marlune, "ModuleType")
    with pytest.raises(NameError, match="^name 'ModuleType' is not defined$"):
        marlune.make_module(block)
