"""The training-form wrapper, its processors and the wrapping helper."""

import pytest
import torch
import torch.nn as nn

from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR
from quorvane import utils_quorvane as UZR

torch.manual_seed(0)

MAIN_LAYERS = {
    "linear": (lambda: nn.Linear(5, 4), lambda: torch.randn(3, 5)),
    "conv2d": (lambda: nn.Conv2d(2, 3, 3, padding=1), lambda: torch.randn(2, 2, 6, 6)),
    "gru": (lambda: nn.GRU(5, 4, batch_first=True), lambda: torch.randn(2, 7, 5)),
}


@pytest.mark.parametrize("kind", MAIN_LAYERS)
@pytest.mark.parametrize("dendrites", [0, 1, 2, 3])
def test_forward_keeps_the_main_layer_output_shape(kind, dendrites):
    make_layer, make_input = MAIN_LAYERS[kind]
    main = make_layer()
    wrapper = ZR.ZORNeuronModule(main, dendrites)
    x = make_input()
    expected = main(x)
    got = wrapper(x)
    if kind == "gru":
        assert isinstance(got, tuple) and got[0].shape == expected[0].shape
        assert torch.equal(got[1], expected[1])  # the main layer's state passes through
        got, expected = got[0], expected[0]
    assert got.shape == expected.shape
    # Dendrites change the result; without them it is the main layer's own.
    assert torch.equal(got, expected) == (dendrites == 0)


def test_skip_weight_shapes_and_flags():
    wrapper = ZR.ZORNeuronModule(nn.Linear(5, 4), 3)
    dendrites = wrapper.dendrite_module
    assert [tuple(p.shape) for p in dendrites.dendrites_to_dendrites] == [(0, 4), (1, 4), (2, 4)]
    assert tuple(wrapper.dendrites_to_top[-1].shape) == (3, 4)
    assert len(dendrites.layers) == 3 and dendrites.processors == []
    assert all(getattr(p, "wrapped", False) for p in wrapper.parameters())
    assert int(wrapper.this_node_index) == 1 and int(dendrites.num_cycles) == 3
    values = dendrites.dendrite_values[0]
    assert values.this_output_dimensions == [-1, 4] and int(values.this_node_index) == 1
    # Dendrites are fresh layers of the main layer's shape, not shared ones.
    assert dendrites.layers[0].weight is not wrapper.main_module.weight
    assert dendrites.layers[0].weight.shape == wrapper.main_module.weight.shape


def test_cascade_matches_closed_form():
    """Two dendrites: v0 = f(o0), v1 = f(o1 + A[0]*v0), out = m + B[0]*v0 + B[1]*v1."""
    GZR.pc.set_zor_forward_function(torch.tanh)
    wrapper = ZR.ZORNeuronModule(nn.Linear(5, 4), 2)
    x = torch.randn(3, 5)
    layers = wrapper.dendrite_module.layers
    a = wrapper.dendrite_module.dendrites_to_dendrites[1]
    b = wrapper.dendrites_to_top[-1]
    v0 = torch.tanh(layers[0](x))
    v1 = torch.tanh(layers[1](x) + a[0] * v0)
    expected = wrapper.main_module(x) + b[0] * v0 + b[1] * v1
    torch.testing.assert_close(wrapper(x), expected)


def test_processor_protocol():
    base = ZR.ZORProcessor()
    assert base.pre is None and base.post is None
    assert base.pre_d(1, k=2) == ((1,), {"k": 2})
    out = (torch.ones(2), torch.zeros(1))
    recurrent = ZR.TupleOutputProcessor()
    assert recurrent.post_d(out) is out[0]
    assert recurrent.post_n1(out) is out[0]
    combined, state = recurrent.post_n2("combined")
    assert combined == "combined" and state is out[1]


def test_bad_wrapper_arguments():
    with pytest.raises(ValueError, match="output shape"):
        ZR.ZORNeuronModule(nn.ReLU(), 1)
    with pytest.raises(ValueError):
        ZR.ZORNeuronModule(nn.Linear(2, 2), -1)
    with pytest.raises(ValueError):
        ZR.ZORNeuronModule(nn.Linear(2, 2), 1, output_dimensions=[-1, 2], node_index=5)


class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(1, 2, 3), nn.ReLU())
        self.head = nn.Linear(2, 3)

    def forward(self, x):
        return self.head(self.features(x).mean((2, 3)))


def test_wrap_layers_replaces_exact_types_in_place():
    net = Net()
    conv, head = net.features[0], net.head
    names = UZR.wrap_layers(net, num_dendrites=lambda name, layer: 2 if name == "head" else 1)
    assert names == ["features.0", "head"]
    assert type(net.features[0]) is ZR.ZORNeuronModule and net.features[0].main_module is conv
    assert net.head.main_module is head and len(net.head.dendrite_module.layers) == 2
    assert UZR.count_wrappers(net) == 2
    assert net(torch.randn(2, 1, 5, 5)).shape == (2, 3)


def test_wrap_layers_observes_shapes_from_a_sample():
    net = nn.Sequential(nn.Linear(6, 4))  # applied to a 3-D input
    UZR.wrap_layers(net, sample_input=torch.randn(2, 5, 6), skip=())
    values = net[0].dendrite_module.dendrite_values[0]
    assert values.this_output_dimensions == [-1, -1, 4] and int(values.this_node_index) == 2
    assert net(torch.randn(2, 5, 6)).shape == (2, 5, 4)


def test_wrap_layers_skips_named_layers_and_subclasses():
    class MyLinear(nn.Linear):
        pass

    net = nn.Sequential(nn.Linear(2, 2), MyLinear(2, 2))
    assert UZR.wrap_layers(net, skip=("0",)) == []


def test_wrap_layers_keeps_a_shared_layer_shared():
    class Tied(nn.Module):
        def __init__(self):
            super().__init__()
            self.encode = nn.Sequential(nn.Linear(4, 4), nn.Tanh())
            self.decode = self.encode[0]  # the same layer under a second name

        def forward(self, x):
            return self.decode(self.encode(x))

    torch.manual_seed(1)
    net = Tied()
    assert UZR.wrap_layers(net, num_dendrites=2) == ["encode.0", "decode"]
    assert type(net.decode) is ZR.ZORNeuronModule and net.decode is net.encode[0]
    # One set of weights, trained through both places.
    loss = net(torch.randn(3, 4)).square().sum()
    loss.backward()
    assert net.decode.main_module.weight.grad is net.encode[0].main_module.weight.grad
    net.eval()
    from pipeline import check_conversion

    _, converted = check_conversion(net, torch.randn(5, 4))
    assert converted.decode.layer_array[-1] is converted.encode[0].layer_array[-1]


# -- assignment through the wrapper, and the dendrites following the main layer -------

def test_assignment_reaches_the_main_layer_and_adds_nothing():
    torch.manual_seed(2)
    wrapper = ZR.ZORNeuronModule(nn.LayerNorm(4), 2, output_dimensions=[-1, 4], node_index=1)
    keys, members = list(wrapper.state_dict()), wrapper.__dir__()
    dendrite_weights = [layer.weight for layer in wrapper.dendrite_module.layers]
    tied = nn.Parameter(torch.randn(4))
    wrapper.weight = tied                      # a weight tied in, as tie_weights does
    wrapper.eps = 1e-3                         # a setting: the dendrites get it too
    assert wrapper.main_module.weight is tied and wrapper.weight is tied
    assert [layer.weight for layer in wrapper.dendrite_module.layers] == dendrite_weights
    assert [m.eps for m in [wrapper.main_module, *wrapper.dendrite_module.layers]] == [1e-3] * 3
    assert list(wrapper.state_dict()) == keys and wrapper.__dir__() == members
    wrapper.note = "mine"                      # a name the layer does not have stays the wrapper's
    assert vars(wrapper)["note"] == "mine" and not hasattr(wrapper.main_module, "note")
    del wrapper.bias
    assert "bias" not in wrapper.main_module._parameters
    wrapper.processor = None                   # the wrapper's own members stay its own
    assert "processor" in vars(wrapper)


RESIZED = {
    # kind: (layer, its input, how to give it another shape, its neurons after)
    "more neurons": (lambda: nn.Linear(5, 4, bias=False), (3, 5),
                     lambda w, m: setattr(w, "weight", grown(m.weight, 0, 3)), 7),
    "fewer neurons": (lambda: nn.Linear(5, 4, bias=False), (3, 5),
                      lambda w, m: setattr(w, "weight", nn.Parameter(m.weight[:2].detach().clone())), 2),
    # Only the vocabulary grows, as resize_token_embeddings does it: the data swapped under
    # a shared parameter, then the count set through the wrapper.
    "vocabulary": (lambda: nn.Embedding(6, 4), (3,),
                   lambda w, m: (setattr(m.weight, "data", grown(m.weight, 0, 4).data),
                                 setattr(w, "num_embeddings", 10)), 4),
    "channels": (lambda: nn.Conv2d(2, 3, 3), (2, 2, 5, 5),
                 lambda w, m: (setattr(w, "weight", grown(m.weight, 0, 2)),
                               setattr(w, "bias", grown(m.bias, 0, 2))), 5),
}


def grown(tensor, dim, extra):
    """`tensor` with `extra` more entries along `dim`, its own first."""
    shape = list(tensor.shape)
    shape[dim] = extra
    return nn.Parameter(torch.cat([tensor.detach(), torch.randn(shape)], dim))


@pytest.mark.parametrize("kind", RESIZED)
def test_dendrites_follow_a_main_layer_of_another_shape(kind):
    make, shape, resize, neurons = RESIZED[kind]
    torch.manual_seed(3)
    main = make()
    options = {"output_dimensions": [-1, 4], "node_index": 1} if isinstance(main, nn.Embedding) else {}
    wrapper = ZR.ZORNeuronModule(main, 2, **options)
    x = torch.randint(0, 6, shape) if isinstance(main, nn.Embedding) else torch.randn(shape)
    with torch.no_grad():
        before = wrapper(x)
    old = [layer.weight.detach().clone() for layer in wrapper.dendrite_module.layers]
    resize(wrapper, main)
    for layer, was in zip(wrapper.dendrite_module.layers, old):
        assert layer.weight.shape == main.weight.shape
        common = tuple(slice(0, min(a, b)) for a, b in zip(was.shape, layer.weight.shape))
        assert torch.equal(layer.weight[common], was[common])  # what both shapes have is kept
    skip_weights = [*wrapper.dendrite_module.dendrites_to_dendrites, *wrapper.dendrites_to_top]
    assert [w.shape[1] for w in skip_weights] == [neurons] * 4 and all(w.wrapped for w in skip_weights)
    assert wrapper.dendrite_module.dendrite_values[0].this_output_dimensions[1] == neurons
    with torch.no_grad():
        after = wrapper(x)
        alone = main(x)
    kept = min(before.shape[1], neurons)
    assert after.shape[1] == neurons
    torch.testing.assert_close(after[:, :kept], before[:, :kept])  # the old neurons compute what they did
    assert torch.equal(after[:, kept:], alone[:, kept:])       # a new neuron starts as the main layer's
    if isinstance(main, nn.Embedding):
        x = torch.tensor([0, 7, 9])                            # ids only the new vocabulary has
        assert wrapper(x).shape == (3, 4)
    from pipeline import check_conversion

    check_conversion(nn.Sequential(wrapper).eval(), x)


def test_dendrites_that_no_longer_fit_raise_until_refitted():
    torch.manual_seed(4)
    wrapper = ZR.ZORNeuronModule(nn.Linear(5, 4, bias=False), 2)
    x = torch.randn(3, 5)
    wrapper.main_module.weight = nn.Parameter(torch.randn(6, 5))  # past the wrapper
    with pytest.raises(RuntimeError, match=r"no longer fit its main layer \(Linear\).*refit_dendrites\(wrapper\)"):
        wrapper(x)
    ZR.refit_dendrites(wrapper)
    assert wrapper(x).shape == (3, 6)
    # A type that does not tell its neuron count: the advice names neurons=.
    norm = ZR.ZORNeuronModule(nn.LayerNorm(4), 1, output_dimensions=[-1, 4], node_index=1)
    norm.weight, norm.bias, norm.normalized_shape = nn.Parameter(torch.ones(5)), nn.Parameter(torch.zeros(5)), (5,)
    with pytest.raises(RuntimeError, match=r"LayerNorm does not tell its neuron count.*neurons=\.\.\."):
        norm(torch.randn(2, 5))
    ZR.refit_dendrites(norm, neurons=5)
    assert norm(torch.randn(2, 5)).shape == (2, 5)


# -- wrap_layers checks its wrapping on the sample input -------------------------------

class InsistsOnLinear(nn.Module):
    """Fails once `a` is wrapped; `b` is fine."""

    def __init__(self):
        super().__init__()
        self.a, self.b = nn.Linear(4, 4), nn.Linear(4, 4)

    def forward(self, x):
        if not isinstance(self.a, nn.Linear):
            raise TypeError("a must be a Linear")
        return self.b(self.a(x))


class NotBothWrapped(nn.Module):
    """Fails only while both of its layers are wrapped."""

    def __init__(self):
        super().__init__()
        self.c, self.d = nn.Linear(4, 4), nn.Linear(4, 4)

    def forward(self, x):
        if not isinstance(self.c, nn.Linear) and not isinstance(self.d, nn.Linear):
            raise TypeError("one of c and d must be a Linear")
        return self.d(self.c(x))


class CallsItElsewhere(nn.Module):
    """Registers its layer but calls it through a plain list, so a wrapper in the
    registered place is never called."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 4)
        self.held = [self.fc]

    def forward(self, x):
        return self.held[0](x)


class ReadsItsWeights(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 4)

    def forward(self, x):
        return torch.nn.functional.linear(x, self.fc.weight, self.fc.bias)


def test_wrap_layers_puts_back_layers_that_break_their_parent():
    torch.manual_seed(5)
    net = nn.Sequential(InsistsOnLinear(), NotBothWrapped(), CallsItElsewhere(), ReadsItsWeights(), nn.BatchNorm1d(4))
    statistics = net[4].running_mean.clone()
    with pytest.warns(UserWarning) as warned:
        result = UZR.wrap_layers(net, sample_input=torch.randn(8, 4))
    assert result == ["0.b", "3.fc"]
    reasons = result.left_unwrapped
    assert set(reasons) == {"0.a", "1.c", "1.d", "2.fc"}
    assert reasons["0.a"] == ("its parent InsistsOnLinear (0) fails with it wrapped "
                              "(TypeError: a must be a Linear)")
    assert reasons["1.c"] == reasons["1.d"] and "fails with it and the other layers below it wrapped" in reasons["1.c"]
    assert "does not call the wrapper on the sample input although it called the layer" in reasons["2.fc"]
    texts = [str(w.message) for w in warned]
    assert [t for t in texts if t.startswith("wrap_layers left")] == [
        f"wrap_layers left {path} unwrapped: {reasons[path]}" for path in ("0.a", "1.c", "1.d", "2.fc")]
    assert any(t.startswith("wrap_layers wrapped 3.fc, but the sample input calls neither") for t in texts)
    # Put back as they were: the layer itself, without the wrapper's marks.
    assert type(net[0].a) is nn.Linear and type(net[2].fc) is nn.Linear and type(net[0].b) is ZR.ZORNeuronModule
    assert not any(hasattr(p, "wrapped") for p in net[0].a.parameters())
    assert torch.equal(net[4].running_mean, statistics)  # the sample runs left the statistics alone
    net.eval()
    from pipeline import check_conversion

    check_conversion(net, torch.randn(5, 4))


def test_wrap_layers_sample_runs_leave_no_trace():
    """With or without a sample, the same wrappers from the same random state, and the
    random state and buffers after it the same: the runs draw from a state of their own."""
    def make():
        torch.manual_seed(6)
        return nn.Sequential(nn.Linear(4, 8), nn.Dropout(0.5), nn.BatchNorm1d(8), nn.Linear(8, 3))

    states = []
    for sample in (None, torch.randn(16, 4)):
        net = make()
        assert UZR.wrap_layers(net, num_dendrites=2, sample_input=sample) == ["0", "3"]
        states.append((net.state_dict(), torch.get_rng_state()))
    (first, rng_first), (second, rng_second) = states
    assert list(first) == list(second) and all(torch.equal(first[k], second[k]) for k in first)
    assert torch.equal(rng_first, rng_second)


def test_wrap_layers_advice_where_a_shape_cannot_be_told():
    class Unused(nn.Module):
        def __init__(self):
            super().__init__()
            self.norm, self.spare = nn.LayerNorm(4), nn.LayerNorm(4)

        def forward(self, x):
            return self.norm(x)

    net = Unused()
    with pytest.raises(ValueError, match=r"cannot tell the output shape of LayerNorm \(norm\): pass sample_input"):
        UZR.wrap_layers(net, layer_types=(nn.LayerNorm,))
    with pytest.raises(ValueError, match=r"LayerNorm \(spare\): give a sample input that reaches it, "
                                         r"or leave it out with skip=\('spare',\)"):
        UZR.wrap_layers(net, layer_types=(nn.LayerNorm,), sample_input=torch.randn(2, 4))
    assert UZR.count_wrappers(net) == 0
    wrapped = UZR.wrap_layers(net, layer_types=(nn.LayerNorm,), sample_input=torch.randn(2, 4), skip=("spare",))
    assert wrapped == ["norm"]


def test_wrap_layers_undoes_everything_when_no_parent_explains_a_failure():
    class Inner(nn.Module):
        def __init__(self):
            super().__init__()
            self.fc = nn.Linear(4, 4)

        def forward(self, x):
            return self.fc(x)

    class Outer(nn.Module):
        """Fails when a layer below its child is wrapped; the child itself runs."""

        def __init__(self):
            super().__init__()
            self.inner = Inner()

        def forward(self, x):
            if type(self.inner.fc) is not nn.Linear:
                raise TypeError("inner.fc must be a Linear")
            return self.inner(x)

    net = Outer()
    layer = net.inner.fc
    with pytest.raises(RuntimeError, match="no parent of a wrapped layer fails on its own inputs: TypeError"):
        UZR.wrap_layers(net, sample_input=torch.randn(2, 4))
    assert net.inner.fc is layer and not any(hasattr(p, "wrapped") for p in layer.parameters())
