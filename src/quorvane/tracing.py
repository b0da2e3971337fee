"""How a converted network meets torch's tracers and compilers, on every supported torch.

The clean module's ``forward`` is C++. Tracers that run it (``torch.jit.trace``,
``torch.export.export(..., strict=False)``, the ONNX exporter, which exports through
the latter) record the torch operations it makes; TorchDynamo (``torch.compile``,
``torch.export.export(..., strict=True)``) cannot look inside a C function at all.
This module holds what both kinds need, and every read of torch's private names that
the package makes:

- The forward's questions about the calling thread's torch state
  (``thread_state_probes``): whether a mode, a functorch transform, a JIT trace or
  saved-tensor hooks are active, which decides whether its shortcuts and worker
  threads may be used.
- The view shape. Every skip-weight row is viewed by ``self.view_tuple.tolist()``.
  Under a fake-tensor trace ``view_tuple`` is a fake stand-in for the module's
  buffer, and ``tolist()`` on it gives unbacked symbols, with which a view cannot be
  solved (-1 is a valid entry, a size is not). ``traced_view_shape`` reads the values
  of the real buffer the fake one stands for, and the traced program records them
  as constants, as ``torch.jit.trace`` does.
- TorchDynamo. It is taught to trace a Python rendition of the clean module's three
  methods in their place: the same reads and calls in the same order, with the view
  shape read from the real buffer when the program is traced. The teaching happens
  when ``torch._dynamo`` is imported (``install``), so importing this package never
  imports it. ``dynamo_taught()`` names the mechanism in use.

Which mechanism teaches TorchDynamo (the clean class's methods are CPython method
descriptors, the one kind of C method its public polyfill registry takes):

- torch 2.12 and later: the public ``torch.compiler.substitute_in_graph``, for each
  method's descriptor (checked on 2.12.0, 2.12.1, 2.13.0, 2.14.1, 2.15.0). Earlier releases
  that have the registry (2.5.1 to 2.11.0 checked; 2.4.1 has none) do not consult it
  when a method descriptor is read through an instance, which is how a module's
  ``forward`` is reached.
- torch 2.4 to 2.11: a private step (below), with a ``TracingWarning`` saying so.
- Any other torch: nothing; ``torch.compile`` breaks the graph at each clean module,
  and ``fullgraph=True`` and strict export stop there with TorchDynamo's
  "Unsupported" naming the method, after a ``TracingWarning`` saying why.

Private torch names read here, each used only where the release is known to need it
and to have it, and each failing soft (the cautious answer, or nothing taught) where
it is missing or answers otherwise; checked on torch 2.4.1, 2.5.1, 2.6.0, 2.7.1, 2.8.0,
2.9.1, 2.10.0, 2.11.0, 2.12.1, 2.13.0, 2.14.1 and 2.15.0 unless said otherwise:

- ``torch._C._len_torch_function_stack``, ``torch._C._len_torch_dispatch_stack``,
  ``torch._C._functorch.peek_interpreter_stack``, ``torch._C._get_tracing_state``,
  ``torch._C._is_torch_function_enabled``: the thread-state probes (torch has no
  public way to ask any of these).
- ``torch.autograd.forward_ad._current_level``: the forward-mode AD level probe.
- ``torch._C._autograd._top_saved_tensors_default_hooks``: the saved-tensor-hooks
  probe, present from 2.8 (missing on 2.4.1, 2.5.1, 2.6.0 and 2.7.1, where the forward
  takes the cautious answer: see the README).
- ``FakeTensor.fake_mode.fake_tensor_converter.meta_converter`` with its
  ``tensor_memo`` and ``describer.lookup_tensor``: which real tensor a fake one was
  made from.
- ``torch._subclasses.fake_tensor.FakeTensor``,
  ``torch._subclasses.functional_tensor.FunctionalTensor`` with its ``elem``, and
  ``torch._from_functional_tensor``: recognising a traced ``view_tuple`` (torch 2.4's
  non-strict export hands the forward a functional tensor around the fake one).
- ``torch.utils._python_dispatch._disable_current_modes`` and
  ``torch._C.DisableTorchFunction``: reading the real buffer's values outside the
  trace's modes, so no mode records or intercepts the read.
- ``torch._C._DisableFuncTorch``: up to torch 2.9, ``tolist()`` inside a functorch
  transform fails for a plain tensor ("Cannot access data pointer of Tensor that
  doesn't have storage"; 2.4.1 to 2.9.1 fail, 2.10.0 does not); the view shape is read
  with the transforms set aside there.
- torch 2.4 to 2.11 only: ``var_getattr`` of TorchDynamo's ``NNModuleVariable`` and
  ``UserDefinedObjectVariable`` (wrapped, so that the clean class's methods read
  through a module answer the bound rendition), ``UserMethodVariable``,
  ``NNModuleVariable.module_key`` with ``tx.output.get_submodule``, and
  ``UserDefinedObjectVariable.value``.

A traced or compiled program keeps the view shape it was traced with: change
``view_tuple`` afterwards and it must be traced again.
"""

import functools
import importlib.abc
import inspect
import re
import sys
import warnings

__all__ = ["thread_state_probes", "traced_view_shape", "dynamo_taught", "install", "TracingWarning",
           "PUBLIC_MECHANISM", "PRIVATE_MECHANISM"]


class TracingWarning(UserWarning):
    """TorchDynamo is taught through a private step of this torch release, or not at all."""


def _release():
    """(major, minor) of the torch that is imported, or None."""
    torch = sys.modules.get("torch")
    found = re.match(r"(\d+)\.(\d+)", str(getattr(torch, "__version__", "")))
    return (int(found.group(1)), int(found.group(2))) if found else None


OLDEST_SUPPORTED = (2, 4)


def _release_at_least(oldest):
    release = _release()
    return release is not None and release >= oldest


# -- the calling thread's torch state ----------------------------------------------


def _answering(fn, *args):
    """``fn`` (with ``args`` bound) if it is there and answers a call now, else None."""
    if fn is None:
        return None
    probe = functools.partial(fn, *args) if args else fn
    try:
        probe()
    except Exception:
        return None
    return probe


def thread_state_probes():
    """The forward's questions about the calling thread's torch state: a dict of
    no-argument callables, each None where this torch cannot answer (the forward then
    assumes the state is present). Each is torch's own C function, or a
    ``functools.partial`` of one, and runs no user code.

    - "torch_function_modes", "dispatch_modes": 0 when no such mode is on the stack
    - "functorch": None when no functorch transform is active
    - "jit_trace": None when no JIT trace is active
    - "torch_function_enabled": truthy when torch-function handling is on
    - "saved_tensor_hooks": None when no default saved-tensor hooks are set
    - "dual_level": the innermost active forward-mode AD level, -1 when none
    """
    names = dict.fromkeys(("torch_function_modes", "dispatch_modes", "functorch", "jit_trace",
                           "torch_function_enabled", "saved_tensor_hooks", "dual_level"))
    if not _release_at_least(OLDEST_SUPPORTED):
        return names
    import torch
    import torch.autograd.forward_ad as forward_ad

    c = torch._C
    functorch = getattr(c, "_functorch", None)
    autograd = getattr(c, "_autograd", None)
    names.update(
        torch_function_modes=_answering(getattr(c, "_len_torch_function_stack", None)),
        dispatch_modes=_answering(getattr(c, "_len_torch_dispatch_stack", None)),
        functorch=_answering(getattr(functorch, "peek_interpreter_stack", None)),
        jit_trace=_answering(getattr(c, "_get_tracing_state", None)),
        torch_function_enabled=_answering(getattr(c, "_is_torch_function_enabled", None)),
        # With True it answers for the hooks the caller's code set, not torch's own
        # that tracing sets.
        saved_tensor_hooks=_answering(getattr(autograd, "_top_saved_tensors_default_hooks", None), True),
        # The module global that enter_dual_level and exit_dual_level keep.
        dual_level=_answering(getattr if hasattr(forward_ad, "_current_level") else None, forward_ad,
                              "_current_level"),
    )
    return names


# -- the view shape under a trace or a transform ----------------------------------


def _torch_class(module_name, name):
    """A class of one of torch's modules, if that module has been imported (a trace
    of that kind can only be running then); None otherwise."""
    cls = getattr(sys.modules.get(module_name), name, None)
    return cls if isinstance(cls, type) else None


def _fake_tensor_class():
    return _torch_class("torch._subclasses.fake_tensor", "FakeTensor")


def _fake_behind(view_tuple):
    """The fake tensor that ``view_tuple`` is, or that it wraps as a functional
    tensor (torch 2.4's non-strict export); None otherwise. Only torch's own classes,
    exactly, are looked into."""
    fake_class = _fake_tensor_class()
    if fake_class is None:
        return None
    cls = type(view_tuple)
    if cls is fake_class:
        return view_tuple
    if cls is _torch_class("torch._subclasses.functional_tensor", "FunctionalTensor"):
        import torch

        try:
            inner = torch._from_functional_tensor(view_tuple.elem)
        except Exception:
            return None
        return inner if type(inner) is fake_class else None
    return None


def _real_tensor_of(fake):
    """The real tensor that ``fake`` was made from, or None.

    The converter's meta converter maps each real tensor it has converted to an id
    (``describer.lookup_tensor``, weak keys) and each id to the fake tensor made for
    it (``tensor_memo``, weak values). Anything not found as expected means
    "unknown", and the caller reads the tensor as it is.
    """
    try:
        converter = fake.fake_mode.fake_tensor_converter.meta_converter
        made = converter.tensor_memo
        ids = converter.describer.lookup_tensor
    except AttributeError:
        return None
    for tensor_id, tensor in list(made.items()):
        if tensor is fake:
            break
    else:
        return None
    for real, real_id in list(ids.items()):
        if real_id == tensor_id:
            return real
    return None


def _values_outside_modes(real):
    """``real.tolist()`` with the trace's modes set aside: the values are taken, not
    traced, and no mode sees the read."""
    import torch
    from torch.utils._python_dispatch import _disable_current_modes

    with torch._C.DisableTorchFunction(), _disable_current_modes():
        return real.tolist()


# The last release on which tolist() of a plain tensor fails inside a functorch
# transform (2.4.1 to 2.9.1 fail; 2.10.0 and later read it).
_TOLIST_FAILS_IN_TRANSFORMS_UNTIL = (2, 9)


def _values_outside_transforms(view_tuple):
    """``view_tuple.tolist()`` with the active functorch transforms set aside, for a
    plain tensor no transform has wrapped, where no mode would see the read; None
    where that does not hold."""
    import torch

    release = _release()
    if release is None or not OLDEST_SUPPORTED <= release <= _TOLIST_FAILS_IN_TRANSFORMS_UNTIL:
        return None
    if type(view_tuple) not in (torch.Tensor, torch.nn.Parameter):
        return None
    c = torch._C
    try:
        if c._functorch.peek_interpreter_stack() is None:
            return None
        if c._len_torch_function_stack() or c._len_torch_dispatch_stack():
            return None  # the read is the forward's own, which the modes see
        with c._DisableFuncTorch():
            return view_tuple.tolist()
    except (AttributeError, RuntimeError):
        return None  # a wrapped tensor, or another torch: read as it is


def traced_view_shape(view_tuple):
    """The shape list the forward views each skip-weight row with when ``view_tuple``
    is not a plain tensor or the thread's torch state is not plain, or None, in which
    case the forward calls ``view_tuple.tolist()`` itself.

    For a fake tensor (``torch.export`` without strict, the ONNX exporter), or a
    functional tensor around one (torch 2.4's non-strict export): the values of the
    real buffer it stands for. Inside a functorch transform on a torch whose
    ``tolist()`` fails there: the values of the plain buffer. Runs no user code: only
    the exact classes of torch's own tensors are looked into.
    """
    fake = _fake_behind(view_tuple)
    if fake is not None:
        real = _real_tensor_of(fake)
        return None if real is None else _values_outside_modes(real)
    return _values_outside_transforms(view_tuple)


# -- TorchDynamo -------------------------------------------------------------------

THREADED_MESSAGE = ("quorvane.marlune.doing_threading is set: a clean module's threaded forward cannot be "
                    "compiled or exported whole; set it to False to compile or export in sequential mode")

PUBLIC_MECHANISM = "torch.compiler.substitute_in_graph"
PRIVATE_MECHANISM = "a private step: var_getattr of TorchDynamo's NNModuleVariable and UserDefinedObjectVariable"

# The first release whose TorchDynamo uses a method descriptor's substitute when the
# descriptor is read through an instance (2.11.0 does not; 2.12.0 and 2.12.1 do).
PUBLIC_FROM = (2, 12)

_taught = None
_tried = False

# The extension module whose class the renditions stand in for, read by them at
# each use (set when TorchDynamo is taught; a module global, so that TorchDynamo
# can guard what it reads through it).
marlune = None


def _view_shape(view_tuple):
    # Called by TorchDynamo at trace time on the real buffer (it is marked as
    # having a constant result), so the traced program records the list.
    return view_tuple.tolist()


# The clean module's methods in Python, for TorchDynamo to trace. Each makes the
# reads and calls of the C++ method, in the same order.


def process_and_forward(self, *args2, **kwargs2):
    c = args2[0]
    dendrite_outs = args2[1]
    args = args2[2:]
    kwargs = kwargs2
    if self.processor_array[c] != None:  # noqa: E711 (the comparison is the protocol)
        args, kwargs = self.processor_array[c].pre(*args, **kwargs2)
    out = self.layer_array[c](*args, **kwargs)
    if self.processor_array[c] != None:  # noqa: E711
        out = self.processor_array[c].post(out)
    dendrite_outs[c] = out


def process_and_pre(self, *args, **kwargs):
    dendrite_outs = args[0]
    out = self.layer_array[-1].forward(*args[1:], **kwargs)
    if self.processor_array[-1] is not None:
        out = self.processor_array[-1].pre(out)
    dendrite_outs[len(self.layer_array) - 1] = out


def forward(self, *args, **kwargs):
    doing_multi = marlune.doing_threading
    if doing_multi:
        return _forward_on_threads(self, *args, **kwargs)
    dendrite_outs = [None] * len(self.layer_array)
    for c in range(0, len(self.layer_array) - 1):
        self.process_and_forward(c, dendrite_outs, *args, **kwargs)
    self.process_and_pre(dendrite_outs, *args, **kwargs)
    for out_index in range(0, len(self.layer_array)):
        current_out = dendrite_outs[out_index]
        if len(self.layer_array) > 1 and hasattr(self, "skip_weights"):
            for in_index in range(0, out_index):
                skip_weight = self.skip_weights[out_index - 1][in_index, :]
                skip_weight = skip_weight.view(_view_shape(self.view_tuple))
                skip_weight = skip_weight.to(current_out.device)
                current_out = current_out + (skip_weight * dendrite_outs[in_index])
            if out_index < len(self.layer_array) - 1:
                current_out = marlune.GZR.pc.get_zor_forward_function()(current_out)
        dendrite_outs[out_index] = current_out
    if self.processor_array[-1] is not None:
        current_out = self.processor_array[-1].post(current_out)
    return current_out


def _forward_on_threads(self, *args, **kwargs):
    # The C++ forward, which TorchDynamo is told not to trace (it cannot trace
    # threads): without fullgraph it runs eagerly, on its threads, and with fullgraph
    # (and in strict export) the trace stops with THREADED_MESSAGE.
    return marlune.ZORModulePyThread.__dict__["forward"](self, *args, **kwargs)


def _refusing_to_trace(fn, message):
    """``fn`` marked for TorchDynamo not to trace, with ``message`` in the error a
    whole-graph trace stops with: as the reason where ``torch.compiler.disable`` takes
    one (2.10.0 does; 2.6.0 does not), else as the function's name, which the error
    names."""
    import torch

    if "reason" in inspect.signature(torch.compiler.disable).parameters:
        return torch.compiler.disable(fn, reason=message)
    fn.__qualname__ = fn.__name__ = message
    return torch.compiler.disable(fn)


def _prepare_renditions():
    global marlune, _forward_on_threads
    import torch
    import quorvane.marlune

    marlune = quorvane.marlune
    torch.compiler.assume_constant_result(_view_shape)
    _forward_on_threads = _refusing_to_trace(_forward_on_threads, THREADED_MESSAGE)
    cls = marlune.ZORModulePyThread
    return [(cls.__dict__[rendition.__name__], rendition) for rendition in (process_and_forward, process_and_pre,
                                                                            forward)]


def _teach_by_substitution(pairs):
    import torch

    substitute = getattr(torch.compiler, "substitute_in_graph", None)
    if substitute is None:
        return None
    for descriptor, rendition in pairs:
        substitute(descriptor)(rendition)
    return PUBLIC_MECHANISM


def _class_attribute(cls, name):
    """What the generic attribute lookup finds for `name` on the class, without
    calling descriptors."""
    for klass in cls.__mro__:
        found = vars(klass).get(name, _MISSING)
        if found is not _MISSING:
            return found
    return None


_MISSING = object()


def _teach_by_attribute_reads(pairs):
    """torch 2.4 to 2.11: TorchDynamo reads a module's attribute through
    ``var_getattr`` of the variable it tracks the module by, and binds only Python
    functions found on the class to the instance. This answers the clean class's
    methods there with the rendition bound to the module, as TorchDynamo answers a
    Python method; every other read goes through unchanged."""
    from torch._dynamo.variables.functions import UserMethodVariable
    from torch._dynamo.variables.nn_module import NNModuleVariable
    from torch._dynamo.variables.user_defined import UserDefinedObjectVariable

    renditions = {rendition.__name__: (descriptor, rendition) for descriptor, rendition in pairs}
    tracked = ((NNModuleVariable, lambda variable, tx: tx.output.get_submodule(variable.module_key)),
               (UserDefinedObjectVariable, lambda variable, tx: variable.value))
    originals = [cls.__dict__.get("var_getattr") for cls, _ in tracked]
    if any(original is None or list(inspect.signature(original).parameters) != ["self", "tx", "name"]
           for original in originals):
        return None

    def bound_rendition(obj, name):
        descriptor, rendition = renditions.get(name, (None, None))
        if rendition is None or _class_attribute(type(obj), name) is not descriptor:
            return None
        return None if name in vars(obj) else rendition

    for (variable_class, real_object), original in zip(tracked, originals):
        def var_getattr(self, tx, name, original=original, real_object=real_object):
            rendition = bound_rendition(real_object(self, tx), name) if name in renditions else None
            if rendition is not None:
                _say_private_step_used()
                return UserMethodVariable(rendition, self)
            return original(self, tx, name)

        var_getattr.__wrapped__ = original
        variable_class.var_getattr = var_getattr
    return PRIVATE_MECHANISM


_private_step_reported = False


def _say_private_step_used():
    """Once per process, when TorchDynamo first traces a clean module by the private
    step (not before: most programs that import torch._dynamo never compile)."""
    global _private_step_reported
    if _private_step_reported:
        return
    _private_step_reported = True
    warnings.warn(f"quorvane: torch {_version()}'s TorchDynamo reaches a clean module's methods by no public means; "
                  f"it is taught through {PRIVATE_MECHANISM} (torch {'.'.join(map(str, PUBLIC_FROM))} and later "
                  f"use {PUBLIC_MECHANISM})", TracingWarning, stacklevel=2)


def _teach_dynamo():
    """Makes TorchDynamo trace the renditions in place of the clean class's methods,
    by the public mechanism where this torch has one that reaches them, by the
    private step where the release is known to need it; the mechanism, or None."""
    global _taught, _tried
    if _tried:
        return _taught
    _tried = True
    release = _release()
    if release is None or release < OLDEST_SUPPORTED:
        _warn(f"torch {_version()} is older than the oldest release quorvane supports, "
              f"{'.'.join(map(str, OLDEST_SUPPORTED))}")
        return None
    pairs = _prepare_renditions()
    if release >= PUBLIC_FROM:
        _taught = _teach_by_substitution(pairs)
        if _taught is None:
            _warn(f"torch {_version()} has no torch.compiler.substitute_in_graph")
    else:
        _taught = _teach_by_attribute_reads(pairs)
        if _taught is None:
            _warn(f"the private step of TorchDynamo it would use is not as expected in torch {_version()}")
    return _taught


def _version():
    return getattr(sys.modules.get("torch"), "__version__", "?")


def _warn(why):
    warnings.warn(f"quorvane: TorchDynamo was not taught to trace clean modules ({why}): torch.compile breaks "
                  "the graph at each of them, and fullgraph=True and strict export stop there", TracingWarning,
                  stacklevel=3)


def dynamo_taught():
    """How TorchDynamo is taught to trace converted networks whole in this process:
    ``PUBLIC_MECHANISM``, ``PRIVATE_MECHANISM``, or None (not yet: ``torch._dynamo``
    has not been imported; or not at all on this torch)."""
    return _taught


class _AfterImport(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Runs ``_teach_dynamo`` once ``torch._dynamo`` has been imported. A finder
    that finds nothing itself: for that one module it wraps the loader the other
    finders give."""

    NAME = "torch._dynamo"

    def __init__(self):
        self.loader = None

    def find_spec(self, fullname, path, target=None):
        if fullname != self.NAME or self.loader is not None:
            return None
        for finder in sys.meta_path:
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            module_spec = finder.find_spec(fullname, path, target)
            if module_spec is not None:
                if module_spec.loader is None or not hasattr(module_spec.loader, "exec_module"):
                    return None
                self.loader = module_spec.loader
                module_spec.loader = self
                return module_spec
        return None

    def __getattr__(self, name):  # the rest of the loader protocol (get_source, ...)
        if name == "loader":
            raise AttributeError(name)
        return getattr(self.loader, name)

    def create_module(self, module_spec):
        return self.loader.create_module(module_spec)

    def exec_module(self, module):
        # The module keeps its own loader: only this one run goes through here.
        module.__loader__ = module.__spec__.loader = self.loader
        try:
            self.loader.exec_module(module)
        finally:
            _remove_hook()
        _teach_dynamo_or_warn()


def _teach_dynamo_or_warn():
    try:
        _teach_dynamo()
    except Exception as exc:  # never a failed import of torch._dynamo or of this package on our account
        _warn(repr(exc))


_hook = None


def _remove_hook():
    global _hook
    if _hook is not None and _hook in sys.meta_path:
        sys.meta_path.remove(_hook)
    _hook = None


def install():
    """Teaches TorchDynamo now if it is imported, else when it is. Called when the
    package is imported; calling it again does nothing."""
    global _hook
    if _tried or _hook is not None:
        return
    if "torch._dynamo" in sys.modules:
        _teach_dynamo_or_warn()
        return
    _hook = _AfterImport()
    sys.meta_path.insert(0, _hook)
