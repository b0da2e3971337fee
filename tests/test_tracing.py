"""What quorvane.tracing answers the forward on each torch release: the thread-state
probes, the view shape under traces and transforms, and how TorchDynamo is taught."""

import functools
import json
import pathlib
import re
import textwrap
import warnings

import pytest
import torch
import torch.nn as nn

from blocks import AtenLog, OpLog
from quorvane import tracing
from subproc import run_python

PROBES = tracing.thread_state_probes()


def jit_traced(check):
    """Runs `check` inside a torch.jit.trace of a function."""
    seen = []

    def traced(x):
        seen.append(check())
        return x * 2

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", torch.jit.TracerWarning)
        torch.jit.trace(traced, (torch.ones(2),), check_trace=False)
    return seen[0]


def under_transform(transform, check):
    seen = []

    def f(x):
        seen.append(check())
        return (x * 2).sum()

    transform(f)(torch.ones(2))
    return seen[0]


def saved_tensor_hooks():
    return torch.autograd.graph.saved_tensors_hooks(lambda t: t, lambda t: t)


# Each state: (probe that must see it, how to run a check inside it).
STATES = {
    "torch-function mode": ("torch_function_modes", lambda check: _inside(OpLog(), check)),
    "dispatch mode": ("dispatch_modes", lambda check: _inside(AtenLog(), check)),
    "torch.func.grad": ("functorch", lambda check: under_transform(torch.func.grad, check)),
    "torch.func.vmap": ("functorch", lambda check: under_transform(torch.func.vmap, check)),
    "jit trace": ("jit_trace", jit_traced),
    "saved-tensor hooks": ("saved_tensor_hooks", lambda check: _inside(saved_tensor_hooks(), check)),
    "torch function disabled": ("torch_function_enabled", lambda check: _inside(torch._C.DisableTorchFunction(),
                                                                                 check)),
    "forward-mode AD": ("dual_level", lambda check: _inside(torch.autograd.forward_ad.dual_level(), check)),
}


def _inside(context, check):
    with context:
        return check()


def present(name, answer):
    if name == "torch_function_enabled":
        return not answer  # the state here is torch-function handling switched off
    if name == "dual_level":
        return answer != -1
    return answer is not None and answer != 0


@pytest.mark.parametrize("state", STATES)
def test_each_probe_sees_its_state_and_only_there(state):
    """Each probe is one of torch's C functions (or a partial of one), answers "absent"
    on a plain thread and "present" inside its state; the other probes are not
    disturbed by states they do not ask about, except where one state brings another
    (a transform runs under its own modes)."""
    name, run_inside = STATES[state]
    if PROBES[name] is None:
        pytest.skip(f"torch {torch.__version__} offers no way to tell ({name}): the forward assumes it present")
    for probe in filter(None, PROBES.values()):
        assert type(probe) in (type(len), functools.partial)
    assert not any(present(n, p()) for n, p in PROBES.items() if p is not None)
    answers = run_inside(lambda: {n: p() for n, p in PROBES.items() if p is not None})
    assert present(name, answers[name])
    if state not in ("torch.func.grad", "torch.func.vmap"):
        assert [n for n, a in answers.items() if present(n, a)] == [name]


class ViewByTracedShape(nn.Module):
    """Views its input by the shape traced_view_shape gives for its buffer, as the
    clean forward does, falling back to tolist() as it does."""

    def __init__(self, shape):
        super().__init__()
        self.register_buffer("view_tuple", torch.tensor(shape))

    def forward(self, x):
        shape = tracing.traced_view_shape(self.view_tuple)
        return x.view(shape if shape is not None else self.view_tuple.tolist()) * 2


def test_traced_view_shape_reads_the_real_buffer_under_non_strict_export():
    """torch.export without strict hands the forward a fake buffer (a functional
    tensor around one on torch 2.4), whose tolist() gives symbols no view can be
    solved with: the shape is the real buffer's, recorded as a constant."""
    module = ViewByTracedShape([2, -1, 3])
    x = torch.randn(4, 6)
    program = torch.export.export(module, (x,), strict=False)
    views = [node.args[1] for node in program.graph.nodes if node.target == torch.ops.aten.view.default]
    assert views == [[2, -1, 3]]
    assert torch.equal(program.module()(x), x.view(2, -1, 3) * 2)


@pytest.mark.parametrize("transform", ["grad", "jacrev", "vmap"])
def test_view_shape_is_read_inside_functorch_transforms(transform):
    """Inside a transform, traced_view_shape or (where it answers None) tolist() gives
    the buffer's values on every release: torch up to 2.9 cannot tolist() a plain
    tensor inside grad and jacrev."""
    module = ViewByTracedShape([1, -1])
    x = torch.randn(3, 4)
    if transform == "vmap":
        out = torch.func.vmap(module)(x)
        assert torch.equal(out, x.view(3, 1, -1) * 2)
        return
    run = getattr(torch.func, transform)(lambda t: module(t).sum())
    assert torch.equal(run(x), torch.full_like(x, 2.0))


class Spy(torch.Tensor):
    """A tensor subclass that records any attribute read and __class__ query."""

    touched = []

    def __getattribute__(self, name):
        Spy.touched.append(name)
        return super().__getattribute__(name)

    @property
    def __class__(self):
        Spy.touched.append("__class__")
        return torch.Tensor


@pytest.mark.parametrize("state", ["plain", "dispatch mode", "torch.func.grad"])
def test_traced_view_shape_runs_no_user_code(state):
    """A view_tuple of a user's tensor class is never looked into: None, with no read
    of its attributes or __class__, in any state."""
    spy = torch.tensor([1, -1]).as_subclass(Spy)
    del Spy.touched[:]
    if state == "plain":
        assert tracing.traced_view_shape(spy) is None
    else:
        assert STATES[state][1](lambda: tracing.traced_view_shape(spy)) is None
    assert Spy.touched == []


def test_plain_buffer_in_a_plain_state_gives_none():
    assert tracing.traced_view_shape(torch.tensor([1, -1])) is None
    assert tracing.traced_view_shape(nn.Parameter(torch.tensor([1.0, -1.0]), requires_grad=False)) is None


MECHANISM_PROBE = """
    import json, warnings
    import torch, torch.nn as nn
    import quorvane
    from quorvane import tracing, utils_quorvane

    if TEACHER != "package":
        tracing._remove_hook()     # nothing taught on import
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import torch._dynamo
        if TEACHER == "public registry" and hasattr(torch.compiler, "substitute_in_graph"):
            tracing._teach_by_substitution(tracing._prepare_renditions())
        torch.manual_seed(0)
        net = nn.Sequential(nn.Linear(4, 4), nn.Tanh(), nn.Linear(4, 2))
        utils_quorvane.wrap_layers(net, layer_types=(nn.Linear,), num_dendrites=2, sample_input=torch.randn(2, 4))
        net = quorvane.convert(net.eval()).network
        x = torch.randn(3, 4)
        outcome = {}
        for fullgraph in (False, True):
            torch._dynamo.reset()
            try:
                compiled = torch.compile(net, fullgraph=fullgraph, backend="eager")
                with torch.no_grad():
                    outcome[fullgraph] = torch.equal(compiled(x), net(x))
            except Exception as exc:
                outcome[fullgraph] = [type(exc).__name__, str(exc)]
    from torch._dynamo.variables.nn_module import NNModuleVariable
    from torch._dynamo.variables.user_defined import UserDefinedObjectVariable
    print(json.dumps({"plain compile": outcome[False], "fullgraph": outcome[True], "taught": tracing.dynamo_taught(),
                      "warnings": [str(w.message) for w in caught if w.category is tracing.TracingWarning],
                      "wrapped": [hasattr(c.__dict__.get("var_getattr"), "__wrapped__")
                                  for c in (NNModuleVariable, UserDefinedObjectVariable)]}))
"""


def compiled(teacher):
    """In a fresh interpreter, TorchDynamo taught by `teacher` ("package": as the
    package does on import; "public registry": by torch.compiler.substitute_in_graph
    alone; "nobody"): how a compile of a converted network with and without fullgraph
    ends (True: equal to eager; else the exception's class and text), and what the
    package reports."""
    done = run_python(f"TEACHER = {teacher!r}\n" + textwrap.dedent(MECHANISM_PROBE), timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_public_mechanism_is_used_wherever_it_reaches():
    """Where torch.compiler.substitute_in_graph alone lets a fullgraph compile trace a
    converted network, the package teaches TorchDynamo by it alone, with no private
    step installed and no warning; where it does not, by the private step, saying so
    in one TracingWarning when it is first used, and the compile works all the same."""
    reaches = compiled("public registry")["fullgraph"] is True
    package = compiled("package")
    assert package["fullgraph"] is True and package["plain compile"] is True
    if reaches:
        assert package["taught"] == tracing.PUBLIC_MECHANISM
        assert package["wrapped"] == [False, False] and package["warnings"] == []
    else:
        assert package["taught"] == tracing.PRIVATE_MECHANISM
        assert package["wrapped"] == [True, True]
        assert len(package["warnings"]) == 1 and tracing.PRIVATE_MECHANISM in package["warnings"][0]


def test_untaught_dynamo_compiles_around_clean_modules():
    """What a torch the package cannot teach gets: without fullgraph, a graph break at
    each clean module and the right result; with fullgraph, TorchDynamo's own
    "Unsupported" naming the clean module's method, never an internal error."""
    untaught = compiled("nobody")
    assert untaught["taught"] is None and untaught["plain compile"] is True
    error, text = untaught["fullgraph"]
    assert error == "Unsupported" and "forward" in text and "ZORModulePyThread" in text


def test_declared_range_is_the_range_ci_tests():
    """pyproject.toml's torch requirement, the oldest release the package teaches
    TorchDynamo on, and the two releases CI runs the suite on (tools/torch_range.sh)
    name one range."""
    root = pathlib.Path(__file__).resolve().parent.parent
    declared = re.search(r'"torch>=(\d+)\.(\d+),<(\d+)\.(\d+)"', (root / "pyproject.toml").read_text())
    script = (root / "tools" / "torch_range.sh").read_text()
    ends = [re.search(rf"^{end}=(\d+)\.(\d+)\.\d+$", script, re.M) for end in ("OLDEST", "NEWEST")]
    assert declared and all(ends)
    low, below = (int(declared[1]), int(declared[2])), (int(declared[3]), int(declared[4]))
    assert (int(ends[0][1]), int(ends[0][2])) == low == tracing.OLDEST_SUPPORTED
    assert (int(ends[1][1]), int(ends[1][2]) + 1) == below
