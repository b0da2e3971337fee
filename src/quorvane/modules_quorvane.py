"""The trained wrapper ``ZORNeuronModule`` and its processors.

A wrapper holds one main layer and a number of dendrite layers of the same shape. On
every forward pass all of them see the same input; the dendrite outputs are combined in
a cascade (each dendrite receives the skip-weighted values of the earlier ones and then
passes through the dendrite nonlinearity) and all of them are added, skip-weighted, into
the main layer's output. The forward below computes in exactly the order the clean
inference module does, so a converted network gives the same numbers.
"""

import itertools
import threading

import torch
import torch.nn as nn

from quorvane import globals_quorvane as GZR
from quorvane.dendrite_fit import RECURRENT as _RECURRENT
from quorvane.dendrite_fit import check_fit, fresh_copy, recurrent_width, refit_dendrites
from quorvane.member_passing import passes_through, read_through


class ZORProcessor:
    """Adapts a layer's inputs and outputs to the combination; this one passes
    everything through unchanged.

    The conversion points ``pre``/``post`` at ``pre_d``/``post_d`` for a dendrite layer and
    at ``post_n1``/``post_n2`` for the main layer.
    """

    def __init__(self):
        self.pre = None
        self.post = None

    def pre_d(self, *args, **kwargs):
        """Dendrite inputs: returns the positional and keyword arguments for the layer."""
        return args, kwargs

    def post_d(self, out):
        """Dendrite output: the value that enters the combination."""
        return out

    def post_n1(self, out):
        """Main output, before the dendrites are added in."""
        return out

    def post_n2(self, out):
        """Combined main value: the result of the wrapper."""
        return out


class RecurrentStateError(RuntimeError):
    """A recurrent layer's state could not be matched to the forward call it belongs to."""


# One order for every filing and claim of every processor: which came first is all the
# matching below needs to know.
_order = itertools.count()

# States filed by threads that have ended and never claimed (calls that failed between
# post_n1 and post_n2) are dropped beyond this many per processor.
_KEPT_ORPHANS = 16


def _dispatch_mode_keys():
    """The dispatch-mode keys a tracer installs (fake tensors, the proxy tracer, the
    functionalisation pass), where this torch offers a way to ask for them; ()
    where it does not."""
    get_mode = getattr(torch._C, "_get_dispatch_mode", None)
    keys = getattr(torch._C, "_TorchDispatchModeKey", None)
    if get_mode is None or keys is None:
        return ()
    return tuple(key for key in (getattr(keys, name, None) for name in ("FAKE", "PROXY", "FUNCTIONAL"))
                 if key is not None)


_MODE_KEYS = _dispatch_mode_keys()
_is_compiling = getattr(getattr(torch, "compiler", None), "is_compiling", None)
_is_exporting = getattr(getattr(torch, "compiler", None), "is_exporting", None)
_dispatch_stack_length = getattr(torch._C, "_len_torch_dispatch_stack", None)


def _tracing():
    """Whether torch.compile or torch.export (strict or not) is tracing this code: then
    tensors hold no values to read, and Python state is baked into the traced program
    rather than kept between calls."""
    if _is_compiling is not None and _is_compiling():
        return True
    if _is_exporting is not None and _is_exporting():
        return True
    if _dispatch_stack_length is not None and _dispatch_stack_length() == 0:
        return False  # the tracers TorchDynamo does not run install a dispatch mode
    try:
        return any(torch._C._get_dispatch_mode(key) is not None for key in _MODE_KEYS)
    except Exception:  # a torch whose private mode lookup changed shape: assume eager
        return False


class TupleOutputProcessor(ZORProcessor):
    """For layers that return ``(output, state)``, such as ``torch.nn.GRU`` and
    ``torch.nn.LSTM``: only ``output`` is combined; the main layer's state is kept
    between ``post_n1`` and ``post_n2`` and returned beside the combined output.

    The state is kept per call, so one wrapped or converted recurrent layer can be run
    from many threads at once. ``post_n1`` files the state under the thread it runs on
    and ``post_n2`` claims it:

    - when both run on the same thread (the trained wrapper, and a converted module in
      sequential mode), the state filed by that thread is the call's own, exactly;
    - in threaded mode (``quorvane.marlune.doing_threading``) ``post_n1`` runs on the
      main layer's worker thread, which has ended by the time ``post_n2`` runs on the
      calling thread. The call's state is then the one filed by an ended thread since
      the caller's previous claim; when that is not exactly one state (several callers
      in threaded mode at once, or a caller mixing modes while others run), or when a
      state the caller filed itself could also be the one, ``post_n2`` raises
      ``RecurrentStateError`` rather than guess.

    A claim never takes a state that another call could still own, so a forward pass
    either returns its own state or raises.
    """

    def __init__(self):
        super().__init__()
        self._init_slots()

    def _init_slots(self):
        self._lock = threading.Lock()
        self._filed = {}     # thread -> (order, state), filed by post_n1 on that thread
        self._claimed = {}   # thread -> order of that thread's latest post_n2
        self._dropped = -1   # highest order among the orphans dropped so far
        self._traced_state = None  # the state between post_n1 and post_n2 in a traced program

    def __getstate__(self):
        state = dict(self.__dict__)
        for name in ("_lock", "_filed", "_claimed", "_dropped", "_traced_state"):
            state.pop(name, None)
        return state

    def __setstate__(self, state):
        state = dict(state)
        state.pop("_state", None)  # where earlier versions kept the state
        self.__dict__.update(state)
        self._init_slots()

    def post_d(self, out):
        return out[0]

    def post_n1(self, out):
        state = out[1]
        if _tracing():
            # A traced or compiled program runs one call's post_n1 and post_n2 in
            # order, on one thread; TorchDynamo cannot trace the lock below.
            self._traced_state = state
            return out[0]
        with self._lock:
            self._filed[threading.current_thread()] = (next(_order), state)
        return out[0]

    def post_n2(self, out):
        if _tracing():
            state, self._traced_state = self._traced_state, None
            return out, state
        thread = threading.current_thread()
        with self._lock:
            since = self._claimed.get(thread, -1)
            self._claimed[thread] = next(_order)
            own = self._filed.pop(thread, None)
            # States filed after this caller's previous claim by threads that have ended:
            # a threaded call's main-layer worker has ended (been joined) by now.
            handed = [t for t, (order, _) in self._filed.items() if order > since and not t.is_alive()]
            try:
                if own is not None:
                    # Filed here: this call's own unless the call was threaded and `own`
                    # is left over from a failed call, in which case the worker filed
                    # a later state (or it was dropped).
                    if own[0] < self._dropped or any(self._filed[t][0] > own[0] for t in handed):
                        raise RecurrentStateError(_AMBIGUOUS)
                    return out, own[1]
                if len(handed) != 1 or since < self._dropped:
                    raise RecurrentStateError(_AMBIGUOUS if handed else _MISSING)
                return out, self._filed.pop(handed[0])[1]
            finally:
                self._forget_ended()

    def _forget_ended(self):
        """Drops what no call can claim any more: the claim orders of ended threads, and
        the oldest states filed by ended threads beyond a few (recording how far it
        dropped, so that a claim that might have lost its state raises)."""
        for t in [t for t in self._claimed if not t.is_alive()]:
            del self._claimed[t]
        ended = sorted((order, t) for t, (order, _) in self._filed.items() if not t.is_alive())
        for order, t in ended[:max(0, len(ended) - _KEPT_ORPHANS)]:
            del self._filed[t]
            self._dropped = max(self._dropped, order)


_AMBIGUOUS = ("cannot tell which forward call this recurrent state belongs to: the layer ran in threaded mode "
              "(quorvane.marlune.doing_threading) while other calls of it were under way; run it sequentially, "
              "or give each calling thread its own copy of the network")
_MISSING = ("no recurrent state was recorded for this forward call (post_n2 without post_n1 on this processor, "
            "or a call whose state was discarded)")


class DendriteValues:
    """Shape facts of a wrapped layer's output: one entry of ``this_output_dimensions`` per
    output dimension (-1 where the size varies, the neuron count at the neuron
    dimension) and the position of the neuron dimension, ``this_node_index``."""

    def __init__(self, output_dimensions, node_index):
        self.this_output_dimensions = list(output_dimensions)
        # On the CPU whatever the default device: it is read as a number, also for a
        # network built on the meta device.
        self.this_node_index = torch.tensor(node_index, device="cpu")
        self._kept_view = self._kept_key = None
        self.view_shape()

    def view_shape(self):
        """The skip-weight view, a tuple: -1 at the neuron dimension, 1 elsewhere.

        Kept as Python ints beside the index tensor, so that a traced forward reads no
        tensor value (which would split a torch.compile graph and stop torch.export):
        while a tracer runs, the kept shape is used as it stands, and the traced program
        holds it as a constant, as it holds every shape. In eager mode the index is read
        at every call (a fraction of a microsecond): ``.data``, ``swap_tensors`` and
        in-place writes all change it without a sign that a key could catch."""
        kept = self.__dict__
        view = kept.get("_kept_view")
        if view is not None and _tracing():
            return view
        dims = self.this_output_dimensions
        node = int(self.this_node_index)
        if view is None or kept.get("_kept_key") != (node, len(dims)):
            view = tuple(-1 if d == node else 1 for d in range(len(dims)))
            self._kept_view, self._kept_key = view, (node, len(dims))
        return view

    def __getstate__(self):
        # The shape travels with a copy (which may be traced before it ever runs
        # eagerly, and whose index may be a fake tensor); what it was worked out from
        # is checked again at the copy's first eager forward.
        state = dict(self.__dict__)
        state.pop("_kept_key", None)
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._kept_key = None
        if self.__dict__.get("_kept_view") is None:
            self._kept_view = None
            try:
                self.view_shape()
            except Exception:  # an index that holds no value yet: worked out at the first eager forward
                pass

    def __repr__(self):
        return (f"DendriteValues(output_dimensions={self.this_output_dimensions}, "
                f"node_index={int(self.this_node_index)})")


class DendriteModule(nn.Module):
    """The dendrite side of a wrapper: layers, processors, the dendrite-to-dendrite skip
    weights (entry k has k rows, one per earlier dendrite), the cycle count and the
    output shape facts."""

    def __init__(self, layers, processors, dendrites_to_dendrites, num_cycles, dendrite_values):
        super().__init__()
        self.layers = nn.ModuleList(layers)
        self.processors = processors
        self.dendrites_to_dendrites = nn.ParameterList(dendrites_to_dendrites)
        self.register_buffer("num_cycles", num_cycles)
        self.dendrite_values = dendrite_values


def _default_dimensions(layer):
    """Output dimensions and neuron index for the common layer types, assuming the
    layer's usual input rank (a 2-D batch for Linear)."""
    if isinstance(layer, nn.Linear):
        return [-1, layer.out_features], 1
    if isinstance(layer, (nn.Conv1d, nn.Conv2d, nn.Conv3d)):
        return [-1, layer.out_channels] + [-1] * len(layer.kernel_size), 1
    if isinstance(layer, _RECURRENT):
        return [-1, -1, recurrent_width(layer)], 2
    raise ValueError(
        f"cannot tell the output shape of {type(layer).__name__}: "
        "pass output_dimensions and node_index")


class _Touch(torch.autograd.Function):
    """Identity on its first input; zero gradients for the others, which it only
    marks as used."""

    @staticmethod
    def forward(ctx, kept, *touched):
        ctx.touched = [(t.shape, t.dtype, t.device) for t in touched]
        return kept.view_as(kept)

    @staticmethod
    def backward(ctx, grad, *unused):
        return (grad, *(torch.zeros(shape, dtype=dtype, device=device) for shape, dtype, device in ctx.touched))


def _touch_unread(dendrites, tops, rows):
    """The skip-weight rows the forward reads, passed through an identity that also
    takes the unread skip weights a caller turned the gradients of back on, so that
    they get a (zero) gradient. The rows rather than the output go through it: a view
    made inside an autograd function may not be changed in place, and a layer after
    the wrapper may change its output in place (``ReLU(inplace=True)``)."""
    wanting = [p for p in _unread(dendrites, tops) if p.requires_grad]
    return _Touch.apply(rows, *wanting) if wanting else rows


def _unread(dendrites, tops):
    """The skip-weight entries the forward never reads (see unread_skip_weights), read
    from the lists' own stores: this runs at every forward in grad mode."""
    return list(dendrites.dendrites_to_dendrites._parameters.values())[:1] + list(tops._parameters.values())[:-1]


# The wrapper's own members: never looked up on, or assigned to, the main layer.
_OWN_MEMBERS = frozenset({"main_module", "processor", "dendrite_module", "dendrites_to_top", "this_node_index"})


def _main_layer(wrapper):
    """The wrapper's main layer, read without an attribute lookup (this runs inside
    the wrapper's own lookups), or None while it has none (during construction or
    unpickling)."""
    modules = wrapper.__dict__.get("_modules")
    return None if modules is None else modules.get("main_module")


def _is_own(wrapper, name):
    """Whether `name` is an attribute of the wrapper itself or of its class."""
    own = wrapper.__dict__
    return (name in own or any(name in own.get(store, ()) for store in ("_parameters", "_buffers", "_modules"))
            or hasattr(type(wrapper), name))


class ZORNeuronModule(nn.Module):
    """Training wrapper around one main layer with ``num_dendrites`` dendrite layers.

    ``output_dimensions`` and ``node_index`` describe the main layer's output (see
    ``DendriteValues``); they default from the layer type. ``processor_factory`` makes
    the processors; it defaults to ``TupleOutputProcessor`` for recurrent layers and to
    none otherwise. ``init_scale`` sets the size of the initial skip weights.

    The wrapper stands in for its main layer: the main layer's parameters, buffers,
    submodules and settings (``weight``, ``bias``, ``in_features``, ``eps``, ...) read
    and assign through it, so code written for the layer keeps working; the layer's
    methods, names starting with "_" and the wrapper's own members do not pass. After
    an assignment that reaches the main layer, the dendrites follow it: a setting that
    is not a tensor or module is given to them too, and ``refit_dendrites`` gives them
    the main layer's shape. A forward pass whose layer outputs do not fit together (the
    main layer's tensors changed directly) raises instead of combining them.
    """

    def __init__(self, main_module, num_dendrites=1, output_dimensions=None, node_index=None,
                 processor_factory=None, init_scale=0.1):
        super().__init__()
        if num_dendrites < 0:
            raise ValueError("num_dendrites must be at least 0")
        if output_dimensions is None or node_index is None:
            dims, index = _default_dimensions(main_module)
            output_dimensions = dims if output_dimensions is None else output_dimensions
            node_index = index if node_index is None else node_index
        if not 0 <= node_index < len(output_dimensions):
            raise ValueError("node_index must name one of the output dimensions")
        neurons = int(output_dimensions[node_index])
        if neurons <= 0:
            raise ValueError("the output dimension at node_index must give the neuron count")
        if processor_factory is None and isinstance(main_module, _RECURRENT):
            processor_factory = TupleOutputProcessor

        reference = next(iter(main_module.parameters()), None)
        like = {} if reference is None else {"dtype": reference.dtype, "device": reference.device}

        def weights(rows):
            return nn.Parameter(torch.randn(rows, neurons, **like) * init_scale)

        layers = [fresh_copy(main_module) for _ in range(num_dendrites)]
        processors = [processor_factory() for _ in layers] if processor_factory else []
        self.main_module = main_module
        self.processor = processor_factory() if processor_factory else None
        self.dendrite_module = DendriteModule(
            layers, processors, [weights(k) for k in range(num_dendrites)],
            torch.tensor(num_dendrites, device="cpu"), [DendriteValues(output_dimensions, node_index)])
        # One entry per dendrite added so far; the last one feeds the main output.
        self.dendrites_to_top = nn.ParameterList([weights(k + 1) for k in range(num_dendrites)])
        self.register_buffer("this_node_index", torch.tensor(node_index, device="cpu"))
        for parameter in self.parameters():
            parameter.wrapped = True
        for _, parameter in self.unread_skip_weights():
            parameter.requires_grad_(False)
        self.__dict__["_init_scale"] = init_scale

    def reset_parameters(self):
        """Draws the skip weights afresh (normal, with the ``init_scale`` deviation) and
        sets the neuron-index and cycle-count buffers from the wrapper's own shape facts
        again. A network built on the meta device holds no values after ``to_empty``:
        the usual recipe then calls ``reset_parameters`` of every module that has one,
        which resets the main and dendrite layers and, through this, the wrapper's own
        tensors; without it the two buffers the conversion reads would hold whatever
        the new memory held."""
        dendrites = self.dendrite_module
        with torch.no_grad():
            for weights in (*dendrites.dendrites_to_dendrites, *self.dendrites_to_top):
                weights.normal_(0.0, self.__dict__.get("_init_scale", 0.1))
            self.this_node_index.fill_(int(dendrites.dendrite_values[0].this_node_index))
            if dendrites.num_cycles is not None:
                dendrites.num_cycles.fill_(len(dendrites.layers))

    def __getattr__(self, name):
        return read_through(self, name, _main_layer, _OWN_MEMBERS)

    def __setattr__(self, name, value):
        main = _main_layer(self)
        passes = main is not None and not _is_own(self, name) and passes_through(main, name, _OWN_MEMBERS)
        if not passes or not hasattr(main, name):
            super().__setattr__(name, value)
            return
        setattr(main, name, value)
        if not isinstance(value, (torch.Tensor, nn.Module)):
            for layer in self.dendrite_module.layers:
                if hasattr(layer, name):
                    setattr(layer, name, value)
        refit_dendrites(self)

    def __delattr__(self, name):
        main = _main_layer(self)
        if main is None or _is_own(self, name) or not passes_through(main, name, _OWN_MEMBERS):
            super().__delattr__(name)
        else:
            delattr(main, name)

    def _view_shape(self):
        values = self.dendrite_module.dendrite_values[0]
        view_shape = getattr(values, "view_shape", None)
        if view_shape is not None:
            return view_shape()
        return [-1 if dim == values.this_node_index else 1
                for dim in range(len(values.this_output_dimensions))]

    def unread_skip_weights(self):
        """[(name, parameter)] of the skip-weight entries the forward never reads: the
        first dendrite-to-dendrite entry (no rows: the first dendrite has no earlier
        one) and every dendrite-to-top entry but the last (the layout keeps one entry
        per dendrite added, and only the newest feeds the main output).

        They are made without ``requires_grad``, so that DistributedDataParallel with
        its default settings finds no parameter without a gradient. The conversion
        reads them as before. A caller who turns their gradients back on gets zero
        gradients for them (the forward passes them through an identity that touches
        them), so DistributedDataParallel still sees every parameter used."""
        names = {id(p): name for name, p in self.named_parameters(remove_duplicate=False)}
        return [(names.get(id(p), ""), p) for p in _unread(self.dendrite_module, self.dendrites_to_top)]

    def forward(self, *args, **kwargs):
        dendrites = self.dendrite_module
        tops = self.dendrites_to_top
        count = len(dendrites.layers)
        combine = count > 0 and len(dendrites.dendrites_to_dendrites) > 0 and len(tops) > 0
        view = self._view_shape()
        neurons = tops[-1].shape[-1] if combine else None
        values = []
        for c in range(count):
            processor = None if dendrites.processors == [] else dendrites.processors[c]
            layer_args, layer_kwargs = (args, kwargs) if processor is None else processor.pre_d(*args, **kwargs)
            out = dendrites.layers[c](*tuple(layer_args), **layer_kwargs)
            if processor is not None:
                out = processor.post_d(out)
            if combine:
                check_fit(self, out, values[0] if values else None, view, neurons)
                rows = dendrites.dendrites_to_dendrites[c]
                for j in range(c):
                    out = out + rows[j, :].view(view).to(out.device) * values[j]
                out = GZR.pc.get_zor_forward_function()(out)
            values.append(out)

        out = self.main_module(*args, **kwargs)
        if self.processor is not None:
            out = self.processor.post_n1(out)
        if combine:
            check_fit(self, out, values[0], view, neurons)
            rows = tops[-1]
            if torch.is_grad_enabled():
                rows = _touch_unread(dendrites, tops, rows)
            for j in range(count):
                out = out + rows[j, :].view(view).to(out.device) * values[j]
        if self.processor is not None:
            out = self.processor.post_n2(out)
        return out
