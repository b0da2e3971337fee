"""Converting one trained wrapper into a ZORLayer block, and that block into a clean module."""

import copy
import gc
import sys
import traceback
import types

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle
from quorvane import modules_quorvane as ZR
from quorvane.marlune import ZORModulePyThread
from quorvane.ostrelle import convert_to_zor_layer_block, unWrap_params


def fake_wrapper(dendrites=2, processors=None, processor=None, dims=4, node=1, to_top=None, to_dendrites=None,
                 num_cycles=None, params=()):
    """A stand-in with exactly the members the conversion reads."""
    dendrite = types.SimpleNamespace(
        layers=[nn.Linear(2, 2) for _ in range(dendrites)],
        processors=[] if processors is None else processors,
        dendrite_values=[types.SimpleNamespace(this_output_dimensions=[-1] * dims, this_node_index=node)],
        dendrites_to_dendrites=nn.ParameterList() if to_dendrites is None else to_dendrites,
        num_cycles=torch.tensor(dendrites) if num_cycles is None else num_cycles)
    return types.SimpleNamespace(
        parameters=lambda: iter(params), dendrite_module=dendrite, main_module=nn.Linear(2, 2), processor=processor,
        dendrites_to_top=nn.ParameterList() if to_top is None else to_top, this_node_index=torch.as_tensor(node))


def test_layout_of_a_trained_wrapper():
    wrapper = ZR.ZORNeuronModule(nn.Linear(3, 4), num_dendrites=3)
    dendrites = wrapper.dendrite_module
    block = convert_to_zor_layer_block(wrapper)
    assert type(block) is ostrelle.ZORLayer and block is not wrapper
    assert type(block.layer_array) is nn.Sequential
    assert list(block.layer_array) == [*dendrites.layers, wrapper.main_module]
    assert all(a is b for a, b in zip(block.layer_array, [*dendrites.layers, wrapper.main_module]))
    assert block.processor_array == [None, None, None, None]
    assert block.view_tuple.tolist() == [1, -1]
    assert block.node_index is wrapper.this_node_index
    assert block.num_cycles is dendrites.num_cycles
    assert [id(p) for p in block.skip_weights] == [id(p) for p in [*dendrites.dendrites_to_dendrites,
                                                                    wrapper.dendrites_to_top[-1]]]
    # Nothing copied: every parameter of the block is one of the wrapper's.
    assert {id(p) for p in block.parameters()} <= {id(p) for p in wrapper.parameters()}


def test_processors_are_rebound_and_none_entries_left_alone():
    first, neuron = ZR.ZORProcessor(), ZR.TupleOutputProcessor()
    wrapper = fake_wrapper(dendrites=2, processors=[first, None], processor=neuron)
    block = convert_to_zor_layer_block(wrapper)
    assert block.processor_array[0] is first and block.processor_array[1] is None
    assert block.processor_array[2] is neuron and len(block.processor_array) == 3
    assert first.pre == first.pre_d and first.post == first.post_d
    assert neuron.pre == neuron.post_n1 and neuron.post == neuron.post_n2
    assert wrapper.dendrite_module.processors == [first, None]


def test_processors_equal_to_an_empty_list_are_never_indexed():
    class LooksEmpty(list):
        def __eq__(self, other):
            return other == []

        def __getitem__(self, index):
            raise AssertionError("indexed")

    block = convert_to_zor_layer_block(fake_wrapper(dendrites=3, processors=LooksEmpty([ZR.ZORProcessor()])))
    assert block.processor_array == [None, None, None, None]


def test_wrapper_without_dendrites():
    class NoProcessors(types.SimpleNamespace):
        @property
        def processors(self):
            raise AssertionError("processors read")

    wrapper = fake_wrapper(dendrites=0, processor=ZR.ZORProcessor())
    wrapper.dendrite_module = NoProcessors(**vars(wrapper.dendrite_module))
    block = convert_to_zor_layer_block(wrapper)
    assert list(block.layer_array) == [wrapper.main_module]
    assert block.processor_array == [wrapper.processor]
    assert not hasattr(block, "skip_weights")

    real = convert_to_zor_layer_block(ZR.ZORNeuronModule(nn.Linear(2, 3), num_dendrites=0))
    assert len(real.layer_array) == 1 and real.processor_array == [None] and not hasattr(real, "skip_weights")


@pytest.mark.parametrize("dims,node,expected", [
    (4, 1, [1, -1, 1, 1]),
    (3, 2, [1, 1, -1]),
    (3, torch.tensor(0), [-1, 1, 1]),
    (2, 2, [1, 1]),
    (2, -1, [1, 1]),
    (0, 0, []),
])
def test_view_tuple(dims, node, expected):
    block = convert_to_zor_layer_block(fake_wrapper(dims=dims, node=node))
    assert block.view_tuple.tolist() == expected


class Tagged:
    """A parameter-like item whose attribute listing comes from its own __dir__."""

    def __init__(self, wrapped, fail=False):
        self.fail = fail
        if wrapped:
            self.wrapped = True

    def __dir__(self):
        if self.fail:
            raise ValueError("cannot list")
        return list(vars(self))


def test_unwrap_strips_wrapped_only_where_present():
    wrapper = ZR.ZORNeuronModule(nn.Linear(3, 4), num_dendrites=2)
    extra = nn.Parameter(torch.ones(1))
    wrapper.extra = extra
    assert all(hasattr(p, "wrapped") for p in wrapper.parameters() if p is not extra)
    assert unWrap_params(wrapper) is None
    assert not any(hasattr(p, "wrapped") for p in wrapper.parameters())
    unWrap_params(nn.ReLU())  # no parameters: nothing to do

    # __dir__ is what decides, not hasattr: a listing without 'wrapped' keeps it.
    class Hidden(Tagged):
        def __dir__(self):
            return []

    hidden = Hidden(wrapped=True)
    unWrap_params(types.SimpleNamespace(parameters=lambda: [hidden]))
    assert hidden.wrapped is True


def test_unwrap_stops_at_the_first_failing_parameter():
    items = [Tagged(True), Tagged(True, fail=True), Tagged(True)]
    with pytest.raises(ValueError, match="cannot list"):
        unWrap_params(types.SimpleNamespace(parameters=lambda: iter(items)))
    assert [hasattr(i, "wrapped") for i in items] == [False, True, True]
    with pytest.raises(TypeError):
        unWrap_params(types.SimpleNamespace(parameters=lambda: 5))


def shapes(wrapper):
    return {k: v.shape for k, v in wrapper.state_dict().items()}


@pytest.mark.parametrize("dendrites", [1, 2, 3])
def test_conversion_leaves_the_wrappers_skip_weights_as_trained(dendrites):
    wrapper = ZR.ZORNeuronModule(nn.Linear(3, 4), num_dendrites=dendrites)
    architecture = copy.deepcopy(wrapper)
    own = wrapper.dendrite_module.dendrites_to_dendrites
    entries = [id(p) for p in own]
    keys = list(wrapper.state_dict())

    blocks = [convert_to_zor_layer_block(wrapper) for _ in range(2)]
    assert wrapper.dendrite_module.dendrites_to_dendrites is own
    assert [id(p) for p in own] == entries and list(wrapper.state_dict()) == keys
    architecture.load_state_dict(wrapper.state_dict())  # still loads into what it came from

    first, second = blocks
    assert first.skip_weights is not second.skip_weights and first.skip_weights is not own
    assert [id(p) for p in first.skip_weights] == [id(p) for p in second.skip_weights] == \
        entries + [id(wrapper.dendrites_to_top[-1])]
    assert list(first.state_dict()) == list(second.state_dict())
    assert [k for k in first.state_dict() if k.startswith("skip_weights.")] == \
        [f"skip_weights.{i}" for i in range(dendrites + 1)]
    # Both blocks share the wrapper's layers and processors.
    assert all(a is b for a, b in zip(first.layer_array, second.layer_array))


def test_plain_list_skip_weights_are_copied_too():
    own = [nn.Parameter(torch.zeros(0, 2)), nn.Parameter(torch.ones(1, 2))]
    top = [nn.Parameter(torch.ones(1, 2)), nn.Parameter(torch.ones(2, 2))]
    wrapper = fake_wrapper(dendrites=2, to_dendrites=own, to_top=top)
    block = convert_to_zor_layer_block(wrapper)
    assert type(block.skip_weights) is list and block.skip_weights == own + top[-1:]
    assert len(own) == 2


def test_every_step_reads_the_wrapper_afresh(monkeypatch):
    wrapper = fake_wrapper(dendrites=1)
    replacement = nn.Linear(2, 2)

    def unwrap(model):
        model.main_module = replacement
        model.dendrite_module.dendrite_values = [types.SimpleNamespace(this_output_dimensions=[0, 0, 0],
                                                                       this_node_index=2)]

    monkeypatch.setattr(ostrelle, "unWrap_params", unwrap)
    block = convert_to_zor_layer_block(wrapper)
    assert block.layer_array[1] is replacement and block.view_tuple.tolist() == [1, 1, -1]


def test_module_globals_are_read_at_call_time(monkeypatch):
    made = []
    wrapper = fake_wrapper(to_top=[nn.Parameter(torch.ones(1, 2))])

    def recording(*args, **kwargs):
        made.append((args, kwargs))
        return "block"

    monkeypatch.setattr(ostrelle, "ZORLayer", recording)
    assert convert_to_zor_layer_block(wrapper) == "block"
    (args, kwargs), = made
    assert kwargs == {} and type(args[0]) is nn.Sequential and args[2] is wrapper.dendrites_to_top
    assert args[3] is wrapper.dendrite_module.dendrites_to_dendrites and args[4] is wrapper.this_node_index
    assert args[5] is wrapper.dendrite_module.num_cycles and args[6] == [1, -1, 1, 1]

    monkeypatch.setattr(ostrelle, "unWrap_params", None)
    with pytest.raises(TypeError, match="not callable"):
        convert_to_zor_layer_block(fake_wrapper())


def drop(path):
    def change(wrapper):
        *parents, last = path.split(".")
        target = wrapper
        for name in parents:
            target = getattr(target, name)
        delattr(target, last)
    return change


@pytest.mark.parametrize("member", ["parameters", "dendrite_module", "dendrite_module.layers", "main_module",
                                    "processor", "dendrite_module.dendrite_values", "dendrites_to_top",
                                    "dendrite_module.dendrites_to_dendrites", "this_node_index",
                                    "dendrite_module.num_cycles"])
def test_missing_member_raises_attribute_error(member):
    wrapper = fake_wrapper()
    drop(member)(wrapper)
    with pytest.raises(AttributeError, match=member.rsplit(".", 1)[-1]) as info:
        convert_to_zor_layer_block(wrapper)
    frames = [(f.filename, f.name) for f in traceback.extract_tb(info.value.__traceback__)]
    assert ("quorvane/ostrelle", "convert_to_zor_layer_block") in frames


def test_failures_after_changes_keep_those_changes():
    # Fails at the view shape, after the parameters and processors were changed.
    wrapper = ZR.ZORNeuronModule(nn.GRU(3, 4, batch_first=True), num_dendrites=1)
    wrapper.dendrite_module.dendrite_values = []
    with pytest.raises(IndexError):
        convert_to_zor_layer_block(wrapper)
    assert not any(hasattr(p, "wrapped") for p in wrapper.parameters())
    processor = wrapper.dendrite_module.processors[0]
    assert processor.pre == processor.pre_d and wrapper.processor.post == wrapper.processor.post_n2

    # Fails in the block constructor.
    wrapper = fake_wrapper(num_cycles=2, processor=ZR.ZORProcessor())
    with pytest.raises(TypeError):
        convert_to_zor_layer_block(wrapper)
    assert wrapper.processor.pre == wrapper.processor.post_n1

    with pytest.raises(AttributeError):
        convert_to_zor_layer_block(None)


def test_conversion_keeps_reference_counts_balanced():
    wrapper = ZR.ZORNeuronModule(nn.GRU(3, 4, batch_first=True), num_dendrites=2)
    broken = fake_wrapper(num_cycles=2, processor=ZR.ZORProcessor())
    tracked = [wrapper, wrapper.main_module, wrapper.processor, wrapper.dendrite_module.processors[1],
               wrapper.dendrite_module.layers[0], wrapper.dendrites_to_top[-1], wrapper.this_node_index,
               wrapper.dendrite_module.dendrite_values[0], broken, broken.main_module, broken.processor]

    def once():
        convert_to_zor_layer_block(wrapper)
        with pytest.raises(TypeError):
            convert_to_zor_layer_block(broken)

    once()
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(30):
        once()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == before


def test_clean_module_built_from_a_block():
    wrapper = ZR.ZORNeuronModule(nn.GRU(3, 4, batch_first=True), num_dendrites=2)
    block = convert_to_zor_layer_block(wrapper)
    clean = ZORModulePyThread(block)
    assert clean.layer_array is block.layer_array
    assert clean.processor_array is block.processor_array
    assert clean.view_tuple is block.view_tuple and clean.view_tuple.tolist() == [1, 1, -1]
    assert clean.num_cycles is block.num_cycles
    assert torch.equal(clean.node_index, block.node_index) and clean.node_index is not block.node_index
    assert [id(p) for p in clean.skip_weights] == [id(p) for p in list(block.skip_weights)[1:]]
    assert [id(p) for p in clean.skip_weights] == [id(wrapper.dendrite_module.dendrites_to_dendrites[1]),
                                                   id(wrapper.dendrites_to_top[-1])]
    assert {id(p) for p in clean.parameters()} <= {id(p) for p in wrapper.parameters()}


def _linear():
    return nn.Linear(5, 4), torch.randn(6, 5)


def _conv():
    return nn.Conv2d(2, 3, 3, padding=1), torch.randn(2, 2, 5, 5)


def _gru():
    return nn.GRU(3, 4, batch_first=True), torch.randn(2, 5, 3)


def _tensors(value):
    return list(value) if isinstance(value, tuple) else [value]


@pytest.mark.parametrize("threaded", [False, True], ids=["sequential", "threaded"])
@pytest.mark.parametrize("dendrites", [0, 1, 2, 3])
@pytest.mark.parametrize("make", [_linear, _conv, _gru], ids=["linear", "conv2d", "gru"])
def test_one_layer_end_to_end(make, dendrites, threaded):
    torch.manual_seed(dendrites)
    layer, x = make()
    wrapper = ZR.ZORNeuronModule(layer, num_dendrites=dendrites, init_scale=0.5)
    trained = {id(p) for p in wrapper.parameters()}
    with torch.no_grad():
        expected = wrapper(x)
    clean = ZORModulePyThread(convert_to_zor_layer_block(wrapper))
    assert {id(p) for p in clean.parameters()} <= trained
    marlune.doing_threading = threaded
    with torch.no_grad():
        got = clean(x)
    assert type(got) is type(expected)
    for a, b in zip(_tensors(got), _tensors(expected), strict=True):
        assert torch.equal(a, b)


def test_unwrap_asks_a_replaced_tensor_dir(monkeypatch):
    """Flags are found through the parameter's own __dir__, also when torch's is replaced."""
    import torch as _torch

    from quorvane import ostrelle as _ostrelle

    model = _torch.nn.Linear(2, 2)
    for p in model.parameters():
        p.wrapped = True
    monkeypatch.setattr(_torch.Tensor, "__dir__", lambda self: [])  # hides every name
    _ostrelle.unWrap_params(model)
    assert all(getattr(p, "wrapped", False) for p in model.parameters())
    monkeypatch.undo()
    _ostrelle.unWrap_params(model)
    assert not any(hasattr(p, "wrapped") for p in model.parameters())


def test_unwrap_finds_class_level_and_subclass_flags():
    import torch as _torch

    from quorvane import ostrelle as _ostrelle

    class Flagged(_torch.nn.Parameter):
        def __dir__(self):
            return ["wrapped"] if "wrapped" in vars(self) else []

    plain = _torch.nn.Parameter(_torch.ones(1))
    plain.wrapped = 1
    odd = Flagged(_torch.ones(1))
    odd.wrapped = 1
    holder = _torch.nn.Module()
    holder.a, holder.b = plain, odd
    _ostrelle.unWrap_params(holder)
    assert not hasattr(plain, "wrapped") and "wrapped" not in vars(odd)
