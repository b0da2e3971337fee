"""A converted network behaves as a PyTorch module should: saving, loading, copying,
moving, tracing and compiling."""

import contextlib
import copy
import functools
import inspect
import io
import re
import types
import warnings

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
from networks import BATCHES, NETWORKS, deployed
from pipeline import assert_same_outputs, convert
from quorvane import tracing
from quorvane import utils_quorvane as UZR


class Small(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(2, 4, 3, padding=1)
        self.head = nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 3))

    def forward(self, x):
        return self.head(self.conv(x).mean((2, 3)))


def make(seed=0):
    torch.manual_seed(seed)
    net = Small()
    UZR.wrap_layers(net, layer_types=(nn.Conv2d, nn.Linear), num_dendrites=2)
    return net.eval()


X = torch.randn(5, 2, 6, 6)


@pytest.fixture
def pair():
    net = make()
    trained = copy.deepcopy(net)
    return trained, convert(net)


def round_trip(obj, **load):
    buffer = io.BytesIO()
    torch.save(obj, buffer)
    buffer.seek(0)
    return torch.load(buffer, **load)


def test_whole_network_survives_save_and_load(pair):
    trained, converted = pair
    loaded = round_trip(converted, weights_only=False)
    assert type(loaded.conv) is marlune.ZORModulePyThread
    with torch.no_grad():
        assert_same_outputs(trained(X), loaded(X))


def test_state_dict_loads_safely_into_a_converted_copy(pair):
    trained, converted = pair
    state = round_trip(converted.state_dict(), weights_only=True)
    other = convert(make(seed=1))
    other.load_state_dict(state, strict=True)
    with torch.no_grad():
        assert_same_outputs(trained(X), other(X))
    # Loading copies into the existing tensors: what was shared stays shared.
    assert other.conv.layer_array[-1].weight is other.conv.layer_array[-1].weight
    assert {id(p) for p in other.parameters()} == {id(p) for p in other.parameters()}
    assert len(list(other.parameters())) == len(list(converted.parameters()))


def test_whole_file_is_refused_under_weights_only(pair):
    _, converted = pair
    with pytest.raises(Exception):
        round_trip(converted, weights_only=True)


def test_deepcopy_and_dtype_moves(pair):
    trained, converted = pair
    twin = copy.deepcopy(converted)
    assert twin.conv.layer_array is not converted.conv.layer_array
    with torch.no_grad():
        assert_same_outputs(trained(X), twin(X))
        assert_same_outputs(trained.to(torch.float64)(X.double()), twin.to(torch.float64)(X.double()))
    assert twin.conv.view_tuple.dtype == torch.int64


def test_train_and_eval_modes_reach_the_layers(pair):
    _, converted = pair
    converted.train()
    assert all(m.training for m in converted.modules())
    converted.eval()
    assert not any(m.training for m in converted.modules())


def test_jit_trace_in_sequential_mode(pair):
    trained, converted = pair
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", torch.jit.TracerWarning)
        traced = torch.jit.trace(converted, (X,), check_trace=False)
    with torch.no_grad():
        assert_same_outputs(trained(X), traced(X))
        assert_same_outputs(trained(X * 2), traced(X * 2))


def test_torch_compile_runs_and_matches(pair):
    trained, converted = pair
    torch._dynamo.reset()
    compiled = torch.compile(converted, backend="eager")
    with torch.no_grad():
        assert_same_outputs(trained(X), compiled(X))


# -- torch's deployment paths: export, ONNX, whole-graph compile, CUDA graphs -------
#
# Each path runs on converted networks made of torch's own modules and must compute
# what eager computes (bit for bit where it runs the same kernels), at two batch
# sizes, with every layer of every clean module in the program.


def inputs(sample, seed=1):
    torch.manual_seed(seed)
    return [torch.randn(batch, *sample) for batch in BATCHES]


def eager(net, xs):
    """The eager outputs, with attention on the path a traced program takes: torch's
    fused attention kernel is taken only in eager mode."""
    fast = torch.backends.mha.get_fastpath_enabled()
    torch.backends.mha.set_fastpath_enabled(False)
    try:
        with torch.no_grad():
            return [net(x) for x in xs]
    finally:
        torch.backends.mha.set_fastpath_enabled(fast)


def clean_modules(net):
    return [m for m in net.modules() if type(m) is marlune.ZORModulePyThread]


def main_layers_only(net):
    """A copy of `net` with each clean module replaced by its main layer alone."""
    net = copy.deepcopy(net)
    for module in list(net.modules()):
        for child_name, child in list(module.named_children()):
            if type(child) is marlune.ZORModulePyThread:
                setattr(module, child_name, child.layer_array[-1])
    return net


def assert_dendrites_computed(net, outputs, xs):
    with torch.no_grad():
        alone = [main_layers_only(net)(x) for x in xs]
    for out, other in zip(outputs, alone):
        assert not torch.allclose(out, other, atol=1e-3)


def assert_one_call_per_layer(net, graph, stands_for, module_called=lambda node: None):
    """Every layer of every clean module is called once in `graph`: its weight, or the
    layer itself, is an operand of exactly one call, or the layer is the module one
    node calls (where TorchDynamo keeps torch's own modules whole, as torch 2.4 does).
    `stands_for(node)` is the network tensor or module that a placeholder or attribute
    node stands for, or None; `module_called(node)` the module a module call calls."""
    uses = {}
    for node in graph.nodes:
        if node.op not in ("call_function", "call_method", "call_module"):
            continue
        flat = torch.utils._pytree.tree_leaves((node.args, node.kwargs))
        operands = {id(a): a for a in flat if isinstance(a, torch.fx.Node)}.values()
        called = [module_called(node)] if node.op == "call_module" else []
        for used in called + [stands_for(operand) for operand in operands]:
            if isinstance(used, nn.Module):
                used = next(used.parameters(), None)
            if used is not None:
                uses[id(used)] = uses.get(id(used), 0) + 1
    cleans = clean_modules(net)
    assert cleans
    for clean in cleans:
        for layer in clean.layer_array:
            weight = next(layer.parameters())
            assert uses.get(id(weight)) == 1, (layer, uses.get(id(weight)))


def exported_tensor_of(net, program):
    tensors = dict(net.named_parameters(remove_duplicate=False))
    signature = program.graph_signature
    by_input = {**signature.inputs_to_parameters, **signature.inputs_to_buffers}
    return lambda node: tensors.get(by_input.get(node.name)) if node.op == "placeholder" else None


def dynamo_allows(kind):
    """TorchDynamo traces recurrent layers only when told to, quorvane or not."""
    return torch._dynamo.config.patch(allow_rnn=True) if kind == "gru" else contextlib.nullcontext()


def plain(kind, seed=0):
    """The network `deployed(kind)` converts, never wrapped: what torch does alone."""
    torch.manual_seed(seed)
    return NETWORKS[kind][0]().eval()


@contextlib.contextmanager
def unless_torch_fails_alone(kind, what, path):
    """Runs the body. Where it fails and `path(network)` fails the same way on the plain
    network, the failure is this torch release's own (a kernel with no fake
    implementation, an exporter that cannot handle a layer): the case is skipped with
    torch's error."""
    try:
        yield
    except Exception as failure:
        try:
            path(plain(kind))
        except type(failure) as own:
            text = re.sub(r"\x1b\[[0-9;]*m", "", str(own)).strip()  # without terminal colours
            first_line = text.splitlines()[0] if text else ""
            pytest.skip(f"torch {torch.__version__} fails to {what} the plain {kind} too: {type(own).__name__}: "
                        f"{first_line[:300]}")
        raise


def export(net, x, kind, strict):
    with dynamo_allows(kind):
        return torch.export.export(net, (x,), dynamic_shapes=({0: torch.export.Dim("batch")},), strict=strict)


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("kind", NETWORKS)
def test_torch_export_with_a_dynamic_batch(kind, strict):
    # strict=True traces with TorchDynamo, as torch.compile does.
    net, sample = deployed(kind)
    xs = inputs(sample)
    expected = eager(net, xs)
    how = "export (strict)" if strict else "export"
    with unless_torch_fails_alone(kind, how, lambda other: export(other, xs[0], kind, strict)):
        program = export(net, xs[0], kind, strict)
    with torch.no_grad():
        outputs = [program.module()(x) for x in xs]
    assert_same_outputs(expected, outputs)
    assert_dendrites_computed(net, outputs, xs)
    assert_one_call_per_layer(net, program.graph, exported_tensor_of(net, program))


def capture_graphs(graphs):
    def backend(graph_module, example_inputs):
        graphs.append((graph_module, list(example_inputs)))
        return graph_module.forward
    return backend


def compiled_outputs(net, xs, kind, fullgraph, graphs):
    torch._dynamo.reset()
    compiled = torch.compile(net, fullgraph=fullgraph, dynamic=True, backend=capture_graphs(graphs))
    with torch.no_grad(), dynamo_allows(kind):
        return [compiled(x) for x in xs]


@pytest.mark.parametrize("fullgraph", [True, False])
@pytest.mark.parametrize("kind", NETWORKS)
def test_torch_compile_traces_every_clean_module(kind, fullgraph):
    """With or without fullgraph, TorchDynamo traces the whole network, clean modules
    included, into one graph."""
    net, sample = deployed(kind)
    xs = inputs(sample)
    expected = eager(net, xs)
    graphs = []
    how = "compile (fullgraph)" if fullgraph else "compile"
    with unless_torch_fails_alone(kind, how, lambda other: compiled_outputs(other, xs, kind, fullgraph, [])):
        outputs = compiled_outputs(net, xs, kind, fullgraph, graphs)
    if len(graphs) != 1:
        plain_graphs = []
        compiled_outputs(plain(kind), xs, kind, fullgraph, plain_graphs)
        if len(plain_graphs) != 1:
            pytest.skip(f"torch {torch.__version__} does not {how} the plain {kind} into one graph either "
                        f"({len(plain_graphs)} graphs)")
    assert len(graphs) == 1  # one graph for both batch sizes
    assert_same_outputs(expected, outputs)
    assert_dendrites_computed(net, outputs, xs)
    graph, example_inputs = graphs[0]
    placeholders = [node for node in graph.graph.nodes if node.op == "placeholder"]
    tensors = {id(node): value for node, value in zip(placeholders, example_inputs)}

    def attribute(node):
        return functools.reduce(getattr, node.target.split("."), graph)

    def stands_for(node):
        return attribute(node) if node.op == "get_attr" else tensors.get(id(node))

    assert_one_call_per_layer(net, graph.graph, stands_for, attribute)


def test_torch_compile_fullgraph_with_inductor():
    net, sample = deployed("mlp")
    xs = inputs(sample)
    expected = eager(net, xs)
    torch._dynamo.reset()
    compiled = torch.compile(net, fullgraph=True, dynamic=True)
    with torch.no_grad():
        outputs = [compiled(x) for x in xs]
    # Inductor fuses the products and sums into kernels of its own.
    for out, want in zip(outputs, expected):
        torch.testing.assert_close(out, want)
    assert_dendrites_computed(net, outputs, xs)


def onnx_export(net, x, path):
    torch.onnx.export(net, (x,), str(path), dynamo=True, input_names=["x"],
                      dynamic_shapes=({0: torch.export.Dim("batch")},), verbose=False)


@pytest.mark.parametrize("kind", NETWORKS)
def test_onnx_dynamo_export_runs_in_onnxruntime(kind, tmp_path):
    pytest.importorskip("onnxscript")
    ort = pytest.importorskip("onnxruntime")
    if not {"dynamo", "dynamic_shapes"} <= set(inspect.signature(torch.onnx.export).parameters):
        pytest.skip(f"torch {torch.__version__}'s torch.onnx.export has no dynamo exporter with dynamic_shapes")
    net, sample = deployed(kind)
    xs = inputs(sample)
    expected = eager(net, xs)
    path = tmp_path / "net.onnx"
    alone = tmp_path / "plain.onnx"
    with unless_torch_fails_alone(kind, "export to ONNX", lambda other: onnx_export(other, xs[0], alone)):
        onnx_export(net, xs[0], path)
    session = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    outputs = [torch.from_numpy(session.run(None, {"x": x.numpy()})[0]) for x in xs]
    for out, want in zip(outputs, expected):
        torch.testing.assert_close(out, want)  # onnxruntime's kernels: within float rounding
    assert_dendrites_computed(net, outputs, xs)


def test_traced_programs_record_the_view_shape_the_buffer_holds():
    """The neuron dimension of a clean module applied to (batch, 4, 4) inputs is
    moved from the last to the middle dimension by rewriting `view_tuple` in place:
    each program records the shape the buffer held when it was traced."""
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(4, 4), nn.Tanh(), nn.Linear(4, 4))
    UZR.wrap_layers(net, layer_types=(nn.Linear,), num_dendrites=2, sample_input=torch.randn(2, 4, 4))
    net = convert(net.eval())
    assert all(m.view_tuple.tolist() == [1, 1, -1] for m in clean_modules(net))
    x = torch.randn(3, 4, 4)

    def programs():
        torch._dynamo.reset()
        made = [torch.export.export(net, (x,), strict=strict).module() for strict in (False, True)]
        return made + [torch.compile(net, fullgraph=True, backend="eager")]

    before = programs()
    with torch.no_grad():
        expected_before = net(x)
        for m in clean_modules(net):
            m.view_tuple.copy_(torch.tensor([1, -1, 1]))
        expected_after = net(x)
        assert not torch.allclose(expected_before, expected_after)
        for program in before[:2]:
            assert torch.equal(program(x), expected_before)
        for program in programs():
            assert torch.equal(program(x), expected_after)


class Holder(nn.Module):
    # TorchDynamo starts at a compiled module's Python forward, which a clean module
    # has none of: compile the network holding it (or set
    # torch._dynamo.config.wrap_top_frame).
    def __init__(self, inner):
        super().__init__()
        self.inner = inner

    def forward(self, *args, **kwargs):
        return self.inner(*args, **kwargs)


def test_traced_programs_make_the_calls_of_the_eager_forward(default_settings, monkeypatch):
    """The program TorchDynamo traces in place of the C++ forward makes the same calls
    into processors, hooks and the settings, in the same order, on module shapes that
    take every branch of the forward."""
    log = []

    class Processor:
        def __init__(self, name):
            self.name = name

        def pre(self, *args, **kwargs):
            log.append((self.name, "pre", sorted(kwargs)))
            return (args[0] * 2,) + args[1:], kwargs

        def post(self, out):
            log.append((self.name, "post"))
            return out + 1

    class Main:
        def pre(self, out):
            log.append(("main", "pre"))
            return out - 1

        def post(self, out):
            log.append(("main", "post"))
            return out * 3

    class Scaled(nn.Linear):
        def forward(self, x, scale=1.0):
            return super().forward(x) * scale

    def nonlinearity():
        log.append("getter")
        return torch.tanh

    monkeypatch.setattr(default_settings, "get_zor_forward_function", nonlinearity)
    torch.manual_seed(0)
    for n, skip in ((1, True), (3, True), (3, False)):
        layers = nn.Sequential(*[Scaled(4, 4) for _ in range(n)])
        for index, layer in enumerate(layers):
            layer.register_forward_pre_hook(lambda *a, index=index: log.append(("hook", index)))
        members = dict(layer_array=layers, processor_array=[Processor(c) for c in range(n - 1)] + [Main()],
                       node_index=torch.tensor(1), num_cycles=torch.tensor(n - 1), view_tuple=torch.tensor([1, -1]))
        if skip:
            members["skip_weights"] = nn.ParameterList([nn.Parameter(torch.randn(max(k, 1), 4)) for k in range(n)])
        clean = marlune.ZORModulePyThread(types.SimpleNamespace(**members))
        x = torch.randn(2, 4)
        with torch.no_grad():
            del log[:]
            expected = clean(x, scale=0.5)
            eager_log = list(log)
            torch._dynamo.reset()
            del log[:]
            out = torch.compile(Holder(clean), fullgraph=True, backend="eager")(x, scale=0.5)
        assert torch.equal(out, expected)
        assert log == eager_log, (n, skip)


def test_threaded_mode_under_tracers():
    """Tracers that run the forward record the workers run on the caller's thread;
    TorchDynamo, which cannot trace threads, compiles around a threaded clean module,
    and where it must trace it whole says to trace in sequential mode."""
    net, sample = deployed("mlp")
    xs = inputs(sample)
    expected = eager(net, xs)
    marlune.doing_threading = True
    program = torch.export.export(net, (xs[0],), dynamic_shapes=({0: torch.export.Dim("batch")},), strict=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", torch.jit.TracerWarning)
        traced = torch.jit.trace(net, (xs[0],), check_trace=False)
    torch._dynamo.reset()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # TorchDynamo's notes on the threading module
        compiled = torch.compile(net, backend="eager")
        with torch.no_grad():
            outputs = [[program.module()(x), traced(x), compiled(x)] for x in xs]
    for row, want in zip(outputs, expected):
        for out in row:
            assert torch.equal(out, want)
    assert_one_call_per_layer(net, program.graph, exported_tensor_of(net, program))
    for trace_whole in (lambda: torch.compile(net, fullgraph=True, backend="eager")(xs[0]),
                        lambda: torch.export.export(net, (xs[0],), strict=True)):
        torch._dynamo.reset()
        with pytest.raises(Exception, match=re.escape(tracing.THREADED_MESSAGE)):
            trace_whole()


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cuda_graph_capture_and_replay():
    net, sample = deployed("cnn")
    net = net.cuda()
    static = torch.randn(BATCHES[0], *sample, device="cuda")
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    with torch.no_grad():
        with torch.cuda.stream(side):
            for _ in range(3):  # warm-up, as capture requires
                net(static)
        torch.cuda.current_stream().wait_stream(side)
        graph = torch.cuda.CUDAGraph()
        with torch.cuda.graph(graph):
            static_out = net(static)
        for seed in (1, 2):  # new inputs into the captured input tensor
            static.copy_(inputs(sample, seed)[0].cuda())
            graph.replay()
            assert torch.equal(static_out, net(static))
    # And through torch.compile's CUDA graphs.
    torch._dynamo.reset()
    compiled = torch.compile(net, mode="reduce-overhead")
    for x in inputs(sample):
        x = x.cuda()
        with torch.no_grad():
            for _ in range(3):
                out = compiled(x)
            torch.testing.assert_close(out, net(x))
