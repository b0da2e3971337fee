"""One call that converts a trained network and says what it did: ``quorvane.convert``.

It runs the two passes (``ostrelle.blockwise_network``, then ``marlune.refresh_net``),
then inspects the network: every converted wrapper with its dendrite count and how many
of its parameter tensors are the trained ones, and every wrapper left unconverted with
the reason. With ``verify`` it also runs the network before and after and reports the
largest output difference, leaving every parameter and buffer as it was (or naming the
parameters a forward wrote in place, which it cannot restore without having copied
them). The report and its text form live in ``quorvane.report``; ``without_dendrites``
builds the network as it was before wrapping, the baseline of what the dendrites cost.
"""

from __future__ import annotations

import contextlib
import copy
import itertools
import sys
from typing import Any, Iterator

import torch
import torch.nn as nn

from quorvane import globals_quorvane as GZR
from quorvane import modules_quorvane as ZR
from quorvane.module_tree import find_cycle, module_positions, nesting_depth
from quorvane.report import (ConversionReport, ConvertedWrapper, ParameterCost, Timing, UnconvertedWrapper,
                             Verification)

__all__ = ["convert", "without_dendrites", "ConversionReport", "ConvertedWrapper", "UnconvertedWrapper",
           "Verification", "ParameterCost", "Timing"]

# Why a wrapper was left as it was (UnconvertedWrapper.reason).
ROOT = "root"
SUBCLASS = "subclass"
REPEATED = "repeated position"
RESERVED = "reserved name"
SKIPPED = "skipped by the settings"
TRACKED = "inside a tracked class"
NESTED = "inside another wrapper"
NOT_REACHED = "not reached by the walks"

_EXPLAIN = {
    ROOT: "the network itself is the wrapper; the passes convert what is below the root only "
          "(wrap the layer inside a container to convert it)",
    SUBCLASS: "a subclass of ZORNeuronModule: only wrappers of exactly that class are converted",
    REPEATED: "the same wrapper is held at an earlier position of this container, which was converted; "
              "the walk visits each child of a container once",
    RESERVED: "held under the name {name!r}, which the clean-up walk never visits; left as a ZORLayer block",
    SKIPPED: "its path is in globals_quorvane.pc.get_module_names_to_not_save()",
    TRACKED: "inside a {owner} module, whose class is in globals_quorvane.pc.get_modules_to_track()",
    NESTED: "it is a layer of a wrapper that was converted; it stays a trained wrapper inside that module",
    NOT_REACHED: "the walks did not reach it",
}


# --- running a network without leaving a trace ------------------------------------------


def tensors_of(value: Any) -> list[torch.Tensor]:
    """The tensors of a (possibly nested) forward result, in order."""
    if isinstance(value, torch.Tensor):
        return [value]
    if isinstance(value, (tuple, list)):
        return [t for item in value for t in tensors_of(item)]
    if isinstance(value, dict):
        return [t for key in value for t in tensors_of(value[key])]
    return []


def max_difference(a: Any, b: Any) -> float:
    """Largest absolute elementwise difference between two forward results; inf when
    their structure or shapes differ. Equal values (infinities and NaNs in the same
    places included) count as no difference."""
    first, second = tensors_of(a), tensors_of(b)
    if len(first) != len(second) or any(x.shape != y.shape for x, y in zip(first, second)):
        return float("inf")
    worst = 0.0
    for x, y in zip(first, second):
        if not x.numel():
            continue
        y = y.to(x.device)
        if x.dtype == torch.bool or y.dtype == torch.bool:
            worst = max(worst, float((x != y).any()))
            continue
        wide = torch.complex128 if (x.is_complex() or y.is_complex()) else torch.float64
        x, y = x.detach().to(wide), y.detach().to(wide)
        same = (x == y) | (torch.isnan(x) & torch.isnan(y))
        gap = torch.where(same, torch.zeros((), dtype=torch.float64, device=x.device), (x - y).abs().real)
        worst = max(worst, gap.nan_to_num(nan=float("inf")).max().item())
    return worst


def _layout(tensor: torch.Tensor) -> tuple | None:
    """Where a tensor's values live and how they are laid out, or None for one whose
    memory cannot be read from Python (sparse tensors, some tensor subclasses)."""
    try:
        return (tensor.data_ptr(), tensor.shape, tensor.stride(), tensor.storage_offset(), tensor.dtype,
                tensor.device)
    except (RuntimeError, NotImplementedError, TypeError):
        return None


class _Saved:
    """One registered tensor as it was: the object, a view of its original memory (which
    keeps that memory alive if the forward points the tensor elsewhere with ``.data =``),
    and either a copy of its values or its version counter."""

    __slots__ = ("registry", "name", "path", "tensor", "view", "layout", "version", "copy")

    def __init__(self, registry, name, path, tensor, copy_values):
        self.registry, self.name, self.path, self.tensor = registry, name, path, tensor
        self.layout = _layout(tensor)
        self.view = tensor.detach()  # shares the memory and the version counter
        # Inference tensors keep no version counter, and a tensor whose memory cannot be
        # read cannot be watched: both are copied, like the buffers.
        watchable = not copy_values and self.layout is not None and not tensor.is_inference()
        self.version = tensor._version if watchable else None
        self.copy = None if watchable else tensor.detach().clone()

    def put_back(self) -> bool:
        """Restores the object, its memory and layout, and (where copied) its values.
        False when the tensor was written in place and its values could not be restored."""
        tensor = self.tensor
        if self.registry.get(self.name) is not tensor:
            self.registry[self.name] = tensor
        if _layout(tensor) != self.layout:
            tensor.data = self.view  # ``.data =`` and ``set_`` move a tensor without copying it
        if self.copy is not None:
            with torch.inference_mode() if tensor.is_inference() else contextlib.nullcontext():
                tensor.copy_(self.copy)
            return True
        return tensor._version == self.version


@contextlib.contextmanager
def unchanged(module: nn.Module, written: list | None = None, copied: set[int] = frozenset()) -> Iterator[None]:
    """Every parameter and buffer of ``module`` is put back afterwards, as the same
    tensor object in the same memory and layout, whatever the code inside did to them.

    Buffers (a BatchNorm's running statistics, for instance, which a train-mode forward
    updates) are copied and restored bit for bit. Parameters are not copied, since that
    would double the memory of a large network for a rare event: their version counters
    tell whether anything wrote them in place, and each one written is appended to
    ``written`` as ``(path, tensor)``: its values are what the code left. Parameters
    whose ids are in ``copied`` are copied and restored like buffers. Writes that bypass
    the version counter (through ``.data``, numpy or native code) are not seen."""
    saved = []
    owners = {id(module): (module, "")}
    for _, _, path, owner in module_positions(module):
        owners.setdefault(id(owner), (owner, path))
    for owner, path in owners.values():
        for registry, is_buffer in ((owner._parameters, False), (owner._buffers, True)):
            for name, tensor in registry.items():
                if tensor is not None:
                    saved.append(_Saved(registry, name, f"{path}.{name}" if path else name, tensor,
                                        is_buffer or id(tensor) in copied))
    try:
        yield
    finally:
        with torch.no_grad():
            seen = set()
            for entry in saved:
                if not entry.put_back() and written is not None and id(entry.tensor) not in seen:
                    seen.add(id(entry.tensor))
                    written.append((entry.path, entry.tensor))


def _cuda_devices(module: nn.Module, args: tuple, kwargs: dict) -> list[int]:
    found = {t.device for t in tensors_of(list(args)) + tensors_of(kwargs)}
    found |= {t.device for t in module.parameters()} | {t.device for t in module.buffers()}
    return sorted({d.index if d.index is not None else torch.cuda.current_device() for d in found if d.type == "cuda"})


def _random_state(devices: list[int]) -> tuple:
    return torch.get_rng_state(), [torch.cuda.get_rng_state(d) for d in devices]


def _set_random_state(devices: list[int], state: tuple) -> None:
    torch.set_rng_state(state[0])
    for device, value in zip(devices, state[1]):
        torch.cuda.set_rng_state(value, device)


def run_forward(module: nn.Module, args: tuple, kwargs: dict, *, threaded: bool | None = None,
                random_state: tuple | None = None, devices: list[int] = (), written: list | None = None,
                copied: set[int] = frozenset()) -> Any:
    """``module(*args, **kwargs)`` under ``torch.no_grad()``, with the random state set
    first when given and ``quorvane.marlune.doing_threading`` set to ``threaded`` for
    this call only when given. Parameters and buffers are put back as ``unchanged``
    puts them back (``written`` and ``copied`` as there)."""
    from quorvane import marlune

    previous = marlune.doing_threading
    with unchanged(module, written, copied), torch.no_grad():
        if random_state is not None:
            _set_random_state(list(devices), random_state)
        if threaded is not None:
            marlune.doing_threading = threaded
        try:
            return module(*args, **kwargs)
        finally:
            marlune.doing_threading = previous


def compare(trained_output: Any, converted: nn.Module, args: tuple, kwargs: dict, random_state: tuple,
            devices: list[int], drew_random: bool, written: list = (), copied: set[int] = frozenset()
            ) -> Verification:
    """Runs the converted network sequentially and threaded, each from the random state
    the trained forward started from, and compares both with its output. The caller's
    random state is left as it was. ``written`` are the parameters the trained forward
    wrote in place (path, tensor), ``copied`` the ids of those to copy and restore; any
    other parameter the converted forwards write is added to the report's list."""
    written = list(written)
    with torch.random.fork_rng(devices=devices):
        sequential = max_difference(trained_output, run_forward(converted, args, kwargs, threaded=False,
                                                                random_state=random_state, devices=devices,
                                                                written=written, copied=copied))
        threaded = max_difference(trained_output, run_forward(converted, args, kwargs, threaded=True,
                                                              random_state=random_state, devices=devices,
                                                              written=written, copied=copied))
    inputs = describe_inputs(args, kwargs)
    paths = tuple(dict.fromkeys(path for path, _ in written))
    if threaded != 0 and drew_random and converted.training:
        return Verification(sequential, None, "threaded forward not compared: the network draws random numbers "
                                              "in train mode, and the threaded forward draws them on several "
                                              "threads in no fixed order", inputs, paths)
    return Verification(sequential, threaded, None, inputs, paths)


def describe_inputs(args: tuple, kwargs: dict) -> str:
    """ "shape (8, 3) float32", or "shapes (8, 3) float32, mask=(8,) bool" for several
    (inputs that are not tensors by their type name)."""
    def one(value):
        if isinstance(value, torch.Tensor):
            return f"{tuple(value.shape)} {str(value.dtype).replace('torch.', '')}"
        return type(value).__name__

    parts = [one(v) for v in args] + [f"{k}={one(v)}" for k, v in kwargs.items()]
    return f"{'shape' if len(parts) == 1 and args else 'shapes'} {', '.join(parts)}"


def trained_reference(trained: nn.Module, args: tuple, kwargs: dict, written: list | None = None,
                      copied: set[int] = frozenset()) -> tuple[Any, tuple, list[int], bool]:
    """The trained form's output, the random state its forward started from, the CUDA
    devices involved and whether the forward drew random numbers. The caller's random
    state is left as it was; ``written`` and ``copied`` as for ``unchanged``."""
    devices = _cuda_devices(trained, args, kwargs)
    with torch.random.fork_rng(devices=devices):
        state = _random_state(devices)
        output = run_forward(trained, args, kwargs, written=written, copied=copied)
        after = _random_state(devices)
    drew = not torch.equal(state[0], after[0]) or any(not torch.equal(a, b) for a, b in zip(state[1], after[1]))
    return output, state, devices, drew


# --- the conversion ---------------------------------------------------------------------


@contextlib.contextmanager
def recursion_room(depth: int) -> Iterator[None]:
    """Enough interpreter recursion for copying, saving and running a network nested
    ``depth`` modules deep (each level takes a handful of Python frames)."""
    previous = sys.getrecursionlimit()
    sys.setrecursionlimit(max(previous, 1000 + 10 * depth))
    try:
        yield
    finally:
        sys.setrecursionlimit(previous)


def _walk_path(parent_walk_path: str, parent: nn.Module, name: str) -> str:
    """A position's path as the walks write it (".a[0].b")."""
    if isinstance(parent, (nn.Sequential, nn.ModuleList)):
        return f"{parent_walk_path}[{name}]"
    return f"{parent_walk_path}.{name}"


def _reason(parent, name, module, walk_paths, ancestors, children_before) -> tuple[str, dict]:
    """Why the wrapper or block `module`, held by `parent` under `name`, is still there."""
    from quorvane import marlune

    if type(module) is not ZR.ZORNeuronModule and isinstance(module, ZR.ZORNeuronModule):
        return SUBCLASS, {}
    if any(type(a) is marlune.ZORModulePyThread for a in ancestors):
        return NESTED, {}
    skip = GZR.pc.get_module_names_to_not_save()
    if any(path in skip for path in walk_paths):
        return SKIPPED, {}
    container = isinstance(parent, (nn.Sequential, nn.ModuleList))
    if type(module).__name__ == "ZORLayer":
        tracked = GZR.pc.get_modules_to_track()
        owner = next((a for a in ancestors if type(a) in tracked), None)
        if owner is not None:
            return TRACKED, {"owner": type(owner).__name__}
        if name in ("device", "dtype") and not container:
            return RESERVED, {"name": name}
    elif container:
        siblings = children_before.get(id(parent), [])
        names = [n for n, _ in siblings]
        if name in names and any(child is module for _, child in siblings[:names.index(name)]):
            return REPEATED, {}
    return NOT_REACHED, {}


def _checked_verify(verify) -> tuple[tuple, dict]:
    if not (isinstance(verify, tuple) and len(verify) == 2 and isinstance(verify[0], (tuple, list))
            and isinstance(verify[1], dict)):
        raise TypeError("verify must be a pair (args, kwargs): a tuple of positional inputs and a dict")
    return tuple(verify[0]), dict(verify[1])


def _unique(modules) -> dict[int, nn.Module]:
    return {id(m): m for m in modules}


def convert(net: nn.Module, *, inplace: bool = True,
            verify: tuple[tuple[Any, ...], dict[str, Any]] | None = None) -> ConversionReport:
    """Converts every trained wrapper of ``net`` into its inference form and reports.

    Runs ``ostrelle.blockwise_network`` and then ``marlune.refresh_net`` on ``net`` (in
    place) or, with ``inplace=False``, on a deep copy, leaving ``net`` as it was. Use
    ``report.network`` from then on. With ``verify=(args, kwargs)`` the network is run
    on those inputs before and after the conversion (the converted form sequentially
    and threaded, each from the random state the trained forward started from) and the
    largest output difference is reported; parameters, buffers and the caller's random
    state are left as they were: buffers are copied for each run, parameters are
    watched through their version counters (not copied), and any the forward writes in
    place are named in ``report.verification.written`` (they hold the values one trained
    forward left; from then on they are copied, and the reference is taken again).

    Raises ``TypeError`` for a ``net`` that is not a ``torch.nn.Module`` and
    ``ValueError`` for a module graph with a cycle (which the walks cannot convert).
    """
    from quorvane import marlune, ostrelle

    if not isinstance(net, nn.Module):
        raise TypeError(f"convert() needs a torch.nn.Module, not {type(net).__name__}")
    inputs = _checked_verify(verify) if verify is not None else None
    if inputs is not None and any(t.is_meta for t in itertools.chain(net.parameters(), net.buffers())):
        raise ValueError("cannot verify the conversion of a network on the meta device (its tensors hold no values "
                         "to compare): convert it without verify, or load its weights first")
    cycle = find_cycle(net)
    if cycle is not None:
        raise ValueError(f"the network's module graph has a cycle: {cycle[0]} is "
                         f"{('the module at ' + cycle[1]) if cycle[1] else 'the network itself'}")

    with recursion_room(nesting_depth(net)):
        # The caller's own objects, kept alive while the report is made so that ids stay unique.
        callers = (_unique([net] + [p[3] for p in module_positions(net)]), _unique(net.parameters()))
        if not inplace:
            net = copy.deepcopy(net)
        before = [(None, "", "", net)] + module_positions(net)
        wrappers = sum(1 for m in _unique(p[3] for p in before).values() if type(m) is ZR.ZORNeuronModule)
        written, copied = [], frozenset()
        if inputs is not None:
            expected, random_state, devices, drew = trained_reference(net, *inputs, written=written)
            if written:
                # The forward writes parameters in place, which is rare: only now are those
                # copied. What the first forward wrote stays (and is reported); the reference
                # is taken again from those values, so that all three runs start from the
                # same weights and leave them so.
                copied = frozenset(id(t) for _, t in written)
                expected, random_state, devices, drew = trained_reference(net, *inputs, written=written,
                                                                          copied=copied)

        result = marlune.refresh_net(ostrelle.blockwise_network(net))

        converted, unconverted, cleans = _inspect(result, before, callers[1])
        modules = _unique([result] + [p[3] for p in module_positions(result)])
        parameters = list(result.parameters())
        verification = None
        if inputs is not None:
            # Named as in the network the caller continues with.
            names = {id(t): name for name, t in result.named_parameters()}
            written = [(names.get(id(t), path), t) for path, t in written]
            verification = compare(expected, result, *inputs, random_state, devices, drew, written, copied)
        return ConversionReport(
            result, tuple(converted), tuple(unconverted), len(parameters),
            sum(1 for p in parameters if id(p) in callers[1]), verification, wrappers=wrappers,
            clean_modules=len(cleans), modules=len(modules), shared_modules=sum(1 for i in modules if i in callers[0]),
            inplace=bool(inplace), cost=parameter_cost(result, cleans.values()))


def _inspect(result: nn.Module, before: list, callers_parameters: dict):
    """The converted positions, the wrappers left with their reasons, and the clean
    modules the conversion made (by id)."""
    from quorvane import marlune

    kept_modules = _unique(p[3] for p in before)
    children_before = {}
    for parent, name, _, module in before[1:]:
        children_before.setdefault(id(parent), []).append((name, module))
    walk_paths, chains = {id(result): [""]}, {id(result): []}
    converted, unconverted, cleans = [], [], {}
    for parent, name, path, module in [(None, "", "", result)] + module_positions(result):
        if parent is not None:
            walk_paths.setdefault(id(module), [])
            walk_paths[id(module)] += [_walk_path(w, parent, name) for w in walk_paths[id(parent)]]
            chains.setdefault(id(module), chains[id(parent)] + [parent])
        kind = type(module).__name__
        if type(module) is marlune.ZORModulePyThread and id(module) not in kept_modules:
            cleans[id(module)] = module
            parameters = list(module.parameters())
            converted.append(ConvertedWrapper(path, len(module.layer_array) - 1, len(parameters),
                                              sum(1 for p in parameters if id(p) in callers_parameters)))
        elif isinstance(module, ZR.ZORNeuronModule) or kind == "ZORLayer":
            if parent is None:
                reason, facts = (ROOT, {}) if type(module) is ZR.ZORNeuronModule else (SUBCLASS, {})
            else:
                reason, facts = _reason(parent, name, module, walk_paths[id(module)], chains[id(module)],
                                        children_before)
            unconverted.append(UnconvertedWrapper(path, kind, reason, _EXPLAIN[reason].format(**facts)))
    return converted, unconverted, cleans


def _elements(tensors: dict[int, torch.Tensor]) -> int:
    return sum(t.numel() for t in tensors.values())


def parameter_cost(net: nn.Module, clean_modules) -> ParameterCost:
    """What the dendrites of `clean_modules` add to the parameters of `net` (each tensor
    counted once, however often it is registered)."""
    everything = {id(p): p for p in net.parameters()}
    main, dendrites, skip = {}, {}, {}
    for module in clean_modules:
        main.update((id(p), p) for p in module.layer_array[-1].parameters())
        for layer in list(module.layer_array)[:-1]:
            dendrites.update((id(p), p) for p in layer.parameters())
        if isinstance(getattr(module, "skip_weights", None), nn.Module):
            skip.update((id(p), p) for p in module.skip_weights.parameters())
    without = {i: p for i, p in everything.items() if i not in dendrites and i not in skip}
    return ParameterCost(_elements(without), _elements({i: p for i, p in main.items() if i in without}),
                         _elements(dendrites), _elements({i: p for i, p in skip.items() if i not in dendrites}))


# --- the network without its dendrites ----------------------------------------------------


# Main processors whose pre then post give the main layer's own result back (ZORProcessor
# passes everything through; TupleOutputProcessor takes the state off in pre and puts it
# back in post), so without the dendrites the main layer stands alone.
_PASSING_THROUGH = (ZR.ZORProcessor, ZR.TupleOutputProcessor)


class MainLayerAlone(nn.Module):
    """A main layer with the ``pre`` and ``post`` of a main processor that may change
    its output, applied as the clean module applies them when nothing is combined."""

    def __init__(self, layer: nn.Module, processor: Any):
        super().__init__()
        self.layer = layer
        self.processor = processor

    def forward(self, *args, **kwargs):
        return self.processor.post(self.processor.pre(self.layer(*args, **kwargs)))


def _main_alone(clean: nn.Module) -> nn.Module:
    layer, processor = clean.layer_array[-1], clean.processor_array[-1]
    if processor is None or type(processor) in _PASSING_THROUGH:
        return layer
    return MainLayerAlone(layer, processor)


def without_dendrites(net: nn.Module) -> nn.Module:
    """A copy of ``net`` as it would be without the dendrites: each clean module
    (``ZORModulePyThread``) replaced by its main layer alone, with the main processor's
    ``pre`` and ``post`` around it where they could change its output (the package's
    own processors give it back unchanged, so their layer stands alone). The baseline
    against which the converter command times what the dendrites cost."""
    from quorvane import marlune

    net = copy.deepcopy(net)
    if type(net) is marlune.ZORModulePyThread:
        return _main_alone(net)
    for parent, name, _, module in module_positions(net):
        if type(module) is marlune.ZORModulePyThread:
            setattr(parent, name, _main_alone(module))
    return net
