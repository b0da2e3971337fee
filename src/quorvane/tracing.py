"""How a converted network meets torch's tracers and compilers.

The clean module's ``forward`` is C++. Tracers that run it (``torch.jit.trace``,
``torch.export.export(..., strict=False)``, the ONNX exporter, which exports through
the latter) record the torch operations it makes; TorchDynamo (``torch.compile``,
``torch.export.export(..., strict=True)``) cannot look inside a C function at all.
Two things let both kinds of tracer record the whole forward:

- The view shape. Every skip-weight row is viewed by ``self.view_tuple.tolist()``.
  Under a fake-tensor trace ``view_tuple`` is a fake stand-in for the module's
  buffer, and ``tolist()`` on it gives unbacked symbols, with which a view cannot be
  solved (-1 is a valid entry, a size is not). The forward therefore reads the
  values of the real buffer the fake one stands for (``traced_view_shape``), and the
  traced program records them as constants, as ``torch.jit.trace`` does.
- TorchDynamo. It is taught to trace a Python rendition of the clean module's
  three methods in their place: the same reads and calls in the same order, with
  the view shape read from the real buffer when the program is traced. The
  teaching happens when ``torch._dynamo`` is imported (``install``), so importing
  this package never imports it.

A traced or compiled program keeps the view shape it was traced with: change
``view_tuple`` afterwards and it must be traced again.
"""

import importlib.abc
import sys

__all__ = ["traced_view_shape", "thread_state_probes", "dynamo_taught", "install"]


# -- the view shape under a fake-tensor trace --------------------------------------


def _real_tensor_of(fake):
    """The real tensor that ``fake`` was made from, or None.

    Uses the bookkeeping of torch's fake-tensor converter, which is private and
    changes between torch versions (checked against torch 2.13): the converter's
    meta converter maps each real tensor it has converted to an id
    (``describer.lookup_tensor``, weak keys) and each id to the fake tensor made
    for it (``tensor_memo``, weak values). Anything not found as expected means
    "unknown", and the caller reads the fake tensor as before.
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


def _is_fake(tensor):
    fake_tensors = sys.modules.get("torch._subclasses.fake_tensor")
    fake_class = getattr(fake_tensors, "FakeTensor", None)
    return isinstance(fake_class, type) and issubclass(type(tensor), fake_class)


def traced_view_shape(view_tuple):
    """The shape list to view skip-weight rows with, where ``view_tuple.tolist()``
    cannot give it, or None (the caller then calls ``view_tuple.tolist()`` itself).

    Called by the clean forward, for every row it reads the long way, whenever
    ``view_tuple`` is not a plain tensor or a mode, transform or trace is active on the
    thread. It looks only at ``type(view_tuple)``, so it runs no code of the caller's:
    for a fake tensor it gives the values of the real buffer the fake one stands for.
    """
    if not _is_fake(view_tuple):
        return None
    real = _real_tensor_of(view_tuple)
    if real is None:
        return None
    from torch.utils._python_dispatch import _disable_current_modes

    # Read outside the fake and tracing modes: the values are taken, not traced.
    with _disable_current_modes():
        return real.tolist()


# -- the calling thread's torch state ----------------------------------------------


def thread_state_probes():
    """The no-argument callables by which the clean forward asks about the calling
    thread's torch state, by name (None where this torch offers no way to ask; the
    forward then assumes the state is present):

    - ``torch_function_modes``, ``dispatch_modes``: how many such modes are active;
    - ``functorch``: the innermost functorch transform, or None;
    - ``jit_trace``: the active JIT trace, or None;
    - ``torch_function_enabled``: whether ``__torch_function__`` handling is on;
    - ``saved_tensor_hooks``: the default saved-tensor hooks, or None;
    - ``dual_level``: the innermost active forward-mode AD level, -1 when none.

    All of them are private to torch (checked on torch 2.13).
    """
    import functools

    import torch
    import torch.autograd.forward_ad as forward_ad

    c = torch._C

    def find(owner, name):
        return getattr(owner, name, None) if owner is not None else None

    saved_hooks = find(find(c, "_autograd"), "_top_saved_tensors_default_hooks")
    has_level = hasattr(forward_ad, "_current_level")
    return {
        "torch_function_modes": find(c, "_len_torch_function_stack"),
        "dispatch_modes": find(c, "_len_torch_dispatch_stack"),
        "functorch": find(find(c, "_functorch"), "peek_interpreter_stack"),
        "jit_trace": find(c, "_get_tracing_state"),
        "torch_function_enabled": find(c, "_is_torch_function_enabled"),
        "saved_tensor_hooks": functools.partial(saved_hooks, True) if saved_hooks is not None else None,
        "dual_level": functools.partial(getattr, forward_ad, "_current_level") if has_level else None,
    }


# -- TorchDynamo -------------------------------------------------------------------

THREADED_MESSAGE = ("quorvane.marlune.doing_threading is set: a clean module's threaded forward cannot be "
                    "compiled or exported whole; set it to False to compile or export in sequential mode")

# id(descriptor) -> (descriptor, rendition): the clean class's methods and the
# Python functions TorchDynamo traces in their place.
_renditions = {}
_taught = False


def _view_shape(module):
    # Called by TorchDynamo at trace time on the real module (it is marked as
    # having a constant result), so the traced program records the list.
    return module.view_tuple.tolist()


# The extension module whose class the renditions stand in for, read by them at
# each use (set when TorchDynamo is taught; a module global, so that TorchDynamo
# can guard what it reads through it).
marlune = None


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
        _refuse_threaded()
    dendrite_outs = [None] * len(self.layer_array)
    for c in range(0, len(self.layer_array) - 1):
        self.process_and_forward(c, dendrite_outs, *args, **kwargs)
    self.process_and_pre(dendrite_outs, *args, **kwargs)
    for out_index in range(0, len(self.layer_array)):
        current_out = dendrite_outs[out_index]
        if len(self.layer_array) > 1 and hasattr(self, "skip_weights"):
            for in_index in range(0, out_index):
                skip_weight = self.skip_weights[out_index - 1][in_index, :]
                skip_weight = skip_weight.view(_view_shape(self))
                skip_weight = skip_weight.to(current_out.device)
                current_out = current_out + (skip_weight * dendrite_outs[in_index])
            if out_index < len(self.layer_array) - 1:
                current_out = marlune.GZR.pc.get_zor_forward_function()(current_out)
        dendrite_outs[out_index] = current_out
    if self.processor_array[-1] is not None:
        current_out = self.processor_array[-1].post(current_out)
    return current_out


def _refuse_threaded():
    # A graph break: without fullgraph the clean module then runs eagerly, on its
    # threads; with fullgraph (and in strict export) the compile fails with this text.
    import torch._dynamo

    torch._dynamo.graph_break(msg=THREADED_MESSAGE)


def _teach_dynamo():
    """Makes TorchDynamo trace the renditions in place of the clean class's methods.

    TorchDynamo binds only the method types of CPython (functions, method
    descriptors) to an instance; a method descriptor of another type it reads as a
    plain class attribute and calls without ``self``, which fails. Its public
    polyfill registry (``torch.compiler.substitute_in_graph``) accepts only those
    types too. So this wraps the private step where TorchDynamo resolves an
    attribute found on an object's class (``UserDefinedObjectVariable
    .resolve_type_attr``, torch 2.13) and answers the clean class's methods with a
    bound rendition; every other attribute goes through unchanged. Where that step
    is missing (another torch version), nothing is changed, and TorchDynamo breaks
    the graph at a clean module as before.
    """
    global _taught
    if _taught:
        return True
    import inspect

    try:
        import torch._dynamo
        from torch._dynamo.variables.functions import UserMethodVariable
        from torch._dynamo.variables.user_defined import UserDefinedObjectVariable
    except ImportError:
        return False
    resolve = UserDefinedObjectVariable.__dict__.get("resolve_type_attr")
    if resolve is None or list(inspect.signature(resolve).parameters) != ["self", "tx", "name", "type_attr",
                                                                          "source"]:
        return False
    global marlune
    import quorvane.marlune

    marlune = quorvane.marlune
    torch._dynamo.assume_constant_result(_view_shape)
    cls = marlune.ZORModulePyThread
    for rendition in (process_and_forward, process_and_pre, forward):
        descriptor = cls.__dict__[rendition.__name__]
        _renditions[id(descriptor)] = (descriptor, rendition)

    def resolve_type_attr(self, tx, name, type_attr, source):
        found = _renditions.get(id(type_attr))
        if found is not None and found[0] is type_attr:
            return UserMethodVariable(found[1], self)
        return resolve(self, tx, name, type_attr, source)

    resolve_type_attr.__wrapped__ = resolve
    UserDefinedObjectVariable.resolve_type_attr = resolve_type_attr
    _taught = True
    return True


def dynamo_taught():
    """Whether TorchDynamo traces converted networks whole in this process (it is
    taught when ``torch._dynamo`` is imported; False before that, or on a torch
    whose TorchDynamo has no place to teach it)."""
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
        import warnings

        warnings.warn(f"quorvane: TorchDynamo was not taught to trace clean modules ({exc!r}); "
                      "it breaks the graph at each of them", RuntimeWarning, stacklevel=3)


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
    if _taught or _hook is not None:
        return
    if "torch._dynamo" in sys.modules:
        _teach_dynamo_or_warn()
        return
    _hook = _AfterImport()
    sys.meta_path.insert(0, _hook)
