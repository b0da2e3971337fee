"""Running a network's sample input around ``wrap_layers``: before wrapping, what each
layer to be wrapped outputs and what each parent of one receives; after wrapping, whether
the network still runs and calls every wrapper, and which layers must be put back where
it does not.

The runs change nothing a caller could see: they run under ``torch.no_grad()``, from a
forked random state, and the network's buffers (BatchNorm statistics, say) are put back
as they were.
"""

import contextlib
from dataclasses import dataclass, field

import torch


@contextlib.contextmanager
def state_kept(net):
    """Runs the body with the network's buffers and torch's random state as they were
    before it, afterwards."""
    kept = [(module, name, tensor, tensor.detach().clone())
            for module in net.modules() for name, tensor in module._buffers.items() if tensor is not None]
    devices = sorted({t.device.index or 0 for t in [*net.parameters(), *net.buffers()] if t.device.type == "cuda"})
    with torch.random.fork_rng(devices=devices):
        try:
            yield
        finally:
            with torch.no_grad():
                for module, name, tensor, saved in kept:
                    module._buffers[name] = tensor
                    tensor.copy_(saved)


@dataclass
class Observation:
    """What one run of the sample input showed, before anything was wrapped."""

    shapes: dict = field(default_factory=dict)  # id(layer) -> (rank, shape) of its first output
    kinds: dict = field(default_factory=dict)  # id(layer) -> type of its first output where it is not a tensor
    inputs: dict = field(default_factory=dict)  # id(parent) -> (args, kwargs) of its first call


@contextlib.contextmanager
def _hooks(register, modules):
    handles = [register(module) for module in modules]
    try:
        yield
    finally:
        for handle in handles:
            handle.remove()


def observe(net, layers, parents, args, kwargs):
    """Runs the sample once and records the output of each of `layers` and the
    arguments of each of `parents` (both lists of modules), at their first call."""
    seen = Observation()

    def record_output(module, inputs, output):
        if id(module) in seen.shapes or id(module) in seen.kinds:
            return
        if not isinstance(output, torch.Tensor):
            seen.kinds[id(module)] = type(output)
        tensor = output[0] if isinstance(output, tuple) and len(output) > 0 else output
        if isinstance(tensor, torch.Tensor):
            seen.shapes[id(module)] = (tensor.dim(), tensor.shape)

    def record_input(module, inputs, keywords):
        seen.inputs.setdefault(id(module), (inputs, keywords))

    with _hooks(lambda m: m.register_forward_hook(record_output), layers), \
            _hooks(lambda m: m.register_forward_pre_hook(record_input, with_kwargs=True), parents):
        with torch.no_grad():
            net(*args, **kwargs)
    return seen


@dataclass
class Wrapped:
    """One wrapped layer, at every place where it is registered."""

    layer: object
    wrapper: object
    places: list  # (parent, name, path)
    called: bool = None  # whether the check's last run of the sample called the wrapper

    def put(self, module):
        for parent, name, _ in self.places:
            setattr(parent, name, module)

    def lies_below(self, path):
        return any(path == "" or place.startswith(path + ".") for _, _, place in self.places)


def _depth(path):
    return 0 if path == "" else path.count(".") + 1


def _failure(module, args, kwargs):
    """The exception `module(*args, **kwargs)` raises, or None."""
    try:
        with torch.no_grad():
            module(*args, **kwargs)
    except Exception as error:  # the network's own code may raise anything
        return error
    return None


def _describe(error):
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0] if lines else ''}"


def _culprits(parent, path, candidates, inputs):
    """The candidates (wrapped below `parent`, at `path`) whose wrapping makes the
    parent fail on its recorded inputs, each with the reason; {} when it runs."""
    args, kwargs = inputs
    error = _failure(parent, args, kwargs)
    if error is None:
        return {}
    where = f"{type(parent).__name__} ({path or 'the root'})"
    failing = {}
    for alone in candidates:
        for other in candidates:
            if other is not alone:
                other.put(other.layer)
        error_alone = _failure(parent, args, kwargs)
        for other in candidates:
            other.put(other.wrapper)
        if error_alone is not None:
            failing[id(alone)] = f"its parent {where} fails with it wrapped ({_describe(error_alone)})"
    if failing:
        return failing
    together = f"its parent {where} fails with it and the other layers below it wrapped ({_describe(error)})"
    return {id(c): together for c in candidates}


def failing_layers(net, wrapped, observation, parents, args, kwargs):
    """Checks the wrapped network on the sample and puts back (unwraps) every layer that
    breaks it; returns {id(Wrapped): reason} for those.

    A run that raises is traced to the parents that fail on the inputs they received
    before wrapping, deepest first, and to the layers below each whose wrapping makes it
    fail. A wrapper that is not called although its layer was is bypassed by its parent
    (which reaches the layer another way or reads its weights directly) and is put
    back too. `parents` lists (parent, path) for every parent of a wrapped layer.
    """
    reasons = {}
    calls = {}

    def count(module, inputs):
        calls[id(module)] = calls.get(id(module), 0) + 1

    remaining = list(wrapped)
    with _hooks(lambda w: w.wrapper.register_forward_pre_hook(count), remaining):
        error = _failure(net, args, kwargs)
    if error is not None:
        for parent, path in sorted(parents, key=lambda p: -_depth(p[1])):
            inputs = observation.inputs.get(id(parent))
            candidates = [w for w in remaining if w.lies_below(path)]
            if inputs is None or not candidates:
                continue
            reasons.update(_culprits(parent, path, candidates, inputs))
            for item in [w for w in remaining if id(w) in reasons]:
                item.put(item.layer)
            remaining = [w for w in remaining if id(w) not in reasons]
        calls.clear()
        with _hooks(lambda w: w.wrapper.register_forward_pre_hook(count), remaining):
            error = _failure(net, args, kwargs)
        if error is not None:
            raise RuntimeError("the network fails on the sample input with its layers wrapped, and no parent of a "
                               f"wrapped layer fails on its own inputs: {_describe(error)}") from error
    for item in remaining:
        item.called = id(item.wrapper) in calls
        if id(item.layer) in observation.shapes and not item.called:
            parent, _, path = item.places[0]
            where = path.rpartition(".")[0] or "the root"
            reasons[id(item)] = (f"its parent {type(parent).__name__} ({where}) does not call the wrapper on the "
                                 "sample input although it called the layer (it reaches the layer another way, "
                                 "or reads its weights directly), so the dendrites would never be computed")
            item.put(item.layer)
    return reasons
