"""The trained wrapper and the converted module read as the layer they took the place
of: its parameters, buffers, submodules and settings pass through them; their own
members, its methods and private names do not; and what the conversion reads of them
(dir, state, parameters) does not change."""

import pytest
import torch
import torch.nn as nn

from pipeline import convert
from quorvane import modules_quorvane as ZR
from quorvane.member_passing import CLEAN_MEMBERS


class Scaled(nn.Module):
    """A layer of no torch type: a submodule, a buffer, a property, a plain setting and
    an instance-level callable that shadows a method of its class."""

    def __init__(self):
        super().__init__()
        self.inner = nn.Linear(3, 3)
        self.register_buffer("scale", torch.tensor(2.0))
        self.mode = "fast"
        self._secret = ["private"]
        self.initialise = lambda: "instance-level"

    @property
    def width(self):
        return self.inner.out_features

    def initialise(self):  # shadowed by the instance attribute above
        raise AssertionError("not reached")

    def helper(self):
        return "a method"

    def forward(self, x):
        return self.inner(x) * self.scale


LAYERS = {
    "linear": (lambda: nn.Linear(5, 4), {}, ["reset_parameters", "extra_repr"]),
    "conv2d": (lambda: nn.Conv2d(2, 3, 3), {}, ["reset_parameters", "_conv_forward"]),
    "gru": (lambda: nn.GRU(5, 4, batch_first=True), {}, ["flatten_parameters"]),
    "layernorm": (lambda: nn.LayerNorm(4), {"output_dimensions": [-1, 4], "node_index": 1}, ["reset_parameters"]),
    "embedding": (lambda: nn.Embedding(10, 4), {"output_dimensions": [-1, 4], "node_index": 1},
                  ["from_pretrained", "reset_parameters"]),
    "custom": (Scaled, {"output_dimensions": [-1, 3], "node_index": 1}, ["helper"]),
}


def stand_ins(kind):
    """(main layer, its trained wrapper, its converted module), the wrapper with two
    dendrites."""
    make, options, _ = LAYERS[kind]
    torch.manual_seed(0)
    main = make()
    wrapper = ZR.ZORNeuronModule(main, 2, **options)
    converted = convert(nn.Sequential(ZR.ZORNeuronModule(main, 2, **options)))[0]
    return main, wrapper, converted


def passed_names(main):
    """What passes: the layer's own tensors and submodules, its public instance
    settings, and the properties of its class."""
    names = {n for n, _ in main.named_parameters(recurse=False)} | {n for n, _ in main.named_buffers(recurse=False)}
    names |= {n for n, _ in main.named_children()}
    names |= {n for n in vars(main) if not n.startswith("_") and n != "training"}
    names |= {n for n, v in vars(type(main)).items() if isinstance(v, property)}
    return names


def same(a, b):
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a is b or (not isinstance(a, (torch.Tensor, nn.Module)) and a == b)


@pytest.mark.parametrize("kind", LAYERS)
@pytest.mark.parametrize("which", ["wrapper", "converted"])
def test_members_read_as_the_main_layer(kind, which):
    main, wrapper, converted = stand_ins(kind)
    module = wrapper if which == "wrapper" else converted
    names = passed_names(main)
    assert names
    for name in names:
        assert same(getattr(module, name), getattr(main, name)), name
    # Methods of the layer's class would act on the layer alone: absent, or the module's own.
    for name in LAYERS[kind][2]:
        value = getattr(module, name, None)
        assert value is None or value.__self__ is module, name
    # Private names stay private.
    for name, value in vars(main).items():
        if name.startswith("_") and type(value) not in (bool, int, type(None)):
            assert getattr(module, name, None) is not value, name
    # Nothing of the main layer shows in what the conversion and state_dict read.
    assert not names & set(dir(module))
    assert not names & set(module.__dir__())
    assert not names & {key.split(".")[0] for key in module.state_dict()}
    assert not names & {key.split(".")[0] for key, _ in module.named_parameters()}
    assert all(not hasattr(module, f"no_such_{name}") for name in names)


def test_own_members_never_come_from_the_main_layer():
    class Impostor(nn.Linear):
        """A main layer holding members named like the stand-ins' own."""

        def __init__(self):
            super().__init__(4, 4)
            for name in [*CLEAN_MEMBERS, "processor", "dendrite_module", "dendrites_to_top", "this_node_index",
                         "main_module"]:
                object.__setattr__(self, name, f"the layer's {name}")

    main = Impostor()
    wrapper = ZR.ZORNeuronModule(main, 0)
    assert wrapper.processor is None and wrapper.main_module is main
    assert isinstance(wrapper.dendrite_module, ZR.DendriteModule)
    converted = convert(nn.Sequential(ZR.ZORNeuronModule(main, 0)))[0]
    # One layer, no skip weights: hasattr answers for the converted module itself.
    assert not hasattr(converted, "skip_weights")
    assert converted.layer_array[-1] is main and isinstance(converted.view_tuple, torch.Tensor)
    assert converted.weight is main.weight


def test_a_missing_member_names_the_stand_in():
    _, wrapper, converted = stand_ins("linear")
    for module in (wrapper, converted):
        with pytest.raises(AttributeError, match=f"'{type(module).__name__}' object has no attribute 'nothing'"):
            module.nothing
