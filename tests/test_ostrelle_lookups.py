"""ostrelle's member lookups: None passes through, anything else is read by
getattr or by subscription (not by child-module name)."""

import inspect

import pytest
import torch.nn as nn

import quorvane.ostrelle as ostrelle


class Unhashable:
    __hash__ = None


@pytest.mark.parametrize("function", [ostrelle.get_pretrained_zor_attr, ostrelle.get_pretrained_zor_var])
@pytest.mark.parametrize("second", ["weight", 0, None, Unhashable(), object()])
def test_none_gives_none_whatever_the_key(function, second):
    assert function(None, second) is None


def test_var_subscripts_a_container_by_position():
    first, second = nn.ReLU(), nn.Tanh()
    seq = nn.Sequential(first, second)
    assert ostrelle.get_pretrained_zor_var(seq, 1) is second
    assert ostrelle.get_pretrained_zor_var(seq, -1) is second
    assert ostrelle.get_pretrained_zor_var(nn.ModuleList([first]), 0) is first
    assert list(ostrelle.get_pretrained_zor_var(seq, slice(0, 1))) == [first]


@pytest.mark.parametrize("obj, key, error", [
    (nn.Sequential(nn.ReLU(), nn.Tanh()), "1", TypeError),  # a child's name is not an index
    (nn.Sequential(nn.ReLU()), 3, IndexError),
    ({"a": 1}, "b", KeyError),
    ([1, 2], "0", TypeError),
    (object(), 0, TypeError),
    (nn.ReLU(), 0, TypeError),
])
def test_var_raises_what_subscription_raises(obj, key, error):
    with pytest.raises(error):
        ostrelle.get_pretrained_zor_var(obj, key)


def test_var_uses_the_objects_own_item_access():
    class Table:
        def __getitem__(self, key):
            return ("item", key)

    assert ostrelle.get_pretrained_zor_var(Table(), "x") == ("item", "x")
    assert ostrelle.get_pretrained_zor_var({"a": 1}, "a") == 1
    assert ostrelle.get_pretrained_zor_var(list, int) == list[int]


def test_attr_reads_the_attribute():
    linear = nn.Linear(2, 3)
    assert ostrelle.get_pretrained_zor_attr(linear, "weight") is linear.weight
    assert ostrelle.get_pretrained_zor_attr(linear, "out_features") == 3
    with pytest.raises(AttributeError, match="nothing_here"):
        ostrelle.get_pretrained_zor_attr(linear, "nothing_here")
    with pytest.raises(TypeError, match="attribute name must be string"):
        ostrelle.get_pretrained_zor_attr(linear, 5)


def test_errors_of_the_read_propagate_unchanged():
    class Angry:
        @property
        def mood(self):
            raise KeyboardInterrupt

        def __getitem__(self, key):
            raise LookupError(key)

    with pytest.raises(KeyboardInterrupt):
        ostrelle.get_pretrained_zor_attr(Angry(), "mood")
    with pytest.raises(LookupError, match="k"):
        ostrelle.get_pretrained_zor_var(Angry(), "k")


@pytest.mark.parametrize("name, params", [
    ("get_pretrained_zor_attr", ["pretrained_dendrite", "member"]),
    ("get_pretrained_zor_var", ["pretrained_dendrite", "submodule_id"]),
])
def test_signatures_and_keywords(name, params):
    function = getattr(ostrelle, name)
    assert list(inspect.signature(function).parameters) == params
    assert function.__module__ == "quorvane.ostrelle"
    assert function(**{params[0]: None, params[1]: 1}) is None
    with pytest.raises(TypeError, match=f"{name}\\(\\) missing 1 required positional argument: '{params[1]}'"):
        function(None)
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        function(None, 1, 2)
