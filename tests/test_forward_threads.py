"""The threaded forward pass: same results as the sequential one in every torch mode,
worker failures raised on the caller's thread, Thread usage, concurrent callers."""

import contextlib
import threading
import traceback
import types

import pytest
import torch
import torch.nn as nn

import quorvane.marlune as marlune
from blocks import AtenLog, OpLog, clean_from_wrapper
from quorvane import modules_quorvane as ZR
from quorvane import tracing

# Where torch cannot tell whether saved-tensor hooks are set (before 2.8), the
# threaded forward runs every layer on the caller's thread, as it must while such
# hooks may be active: what only real worker threads show cannot be seen there.
WORKER_THREADS = tracing.thread_state_probes()["saved_tensor_hooks"] is not None
NO_WORKER_THREADS = (f"torch {torch.__version__} cannot tell whether saved-tensor hooks are set: threaded "
                     "mode runs every layer on the caller's thread")
on_worker_threads = pytest.mark.skipif(not WORKER_THREADS, reason=NO_WORKER_THREADS)

MODES = {
    "grad": contextlib.nullcontext,
    "no_grad": torch.no_grad,
    "inference_mode": torch.inference_mode,
    "autocast_bf16": lambda: torch.autocast("cpu", dtype=torch.bfloat16),
}


def both_paths(module, *args, **kwargs):
    results = []
    for threaded in (False, True):
        marlune.doing_threading = threaded
        results.append(module(*args, **kwargs))
    marlune.doing_threading = False
    return results


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("dendrites", [0, 2])
def test_threaded_equals_sequential_in_every_mode(mode, dendrites):
    torch.manual_seed(dendrites)
    clean = clean_from_wrapper(ZR.ZORNeuronModule(nn.Linear(8, 8), num_dendrites=dendrites))
    x = torch.randn(3, 8)
    with MODES[mode]():
        sequential, threaded = both_paths(clean, x)
    assert torch.equal(sequential, threaded)
    assert sequential.dtype == threaded.dtype
    assert sequential.requires_grad == threaded.requires_grad == (mode in ("grad", "autocast_bf16"))
    assert threaded.is_inference() == (mode == "inference_mode")


class Probe(nn.Module):
    """Records the thread and torch state it runs under."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def forward(self, x):
        self.seen.append((threading.current_thread(), torch.is_grad_enabled(), torch.is_inference_mode_enabled(),
                          torch.is_autocast_enabled("cpu"), torch.get_autocast_dtype("cpu")))
        return x


def probe_module(n):
    layers = nn.Sequential(*[Probe() for _ in range(n)])
    return marlune.ZORModulePyThread(types.SimpleNamespace(
        layer_array=layers, processor_array=[None] * n, node_index=torch.tensor(1),
        num_cycles=torch.tensor(0), view_tuple=torch.tensor([1, -1]))), layers


@on_worker_threads
def test_workers_run_on_their_own_threads_under_the_callers_state():
    clean, layers = probe_module(3)
    marlune.doing_threading = True
    with torch.no_grad(), torch.autocast("cpu", dtype=torch.float16):
        clean(torch.ones(1, 2))
    states = [layer.seen[0] for layer in layers]
    assert len({id(thread) for thread, *_ in states}) == 3
    assert threading.current_thread() not in {thread for thread, *_ in states}
    assert {tuple(state) for _, *state in states} == {(False, False, True, torch.float16)}
    # The caller's own state is untouched and the next call starts clean.
    with torch.inference_mode():
        clean(torch.ones(1, 2))
    assert [layer.seen[1][1:3] for layer in layers] == [(False, True)] * 3


class DefaultDevice(nn.Module):
    """Records the device that new tensors get."""

    def __init__(self, log):
        super().__init__()
        self.log = log

    def forward(self, x):
        self.log.append(torch.empty(0).device.type)
        return x


def per_thread_state_cases():
    """Each case: state -> (what one forward computes, what the state saw)."""
    torch.manual_seed(7)
    clean = clean_from_wrapper(ZR.ZORNeuronModule(nn.Linear(4, 4), num_dendrites=2))
    x = torch.randn(3, 4)

    def grad(_):
        return torch.func.grad(lambda t: clean(t).sum())(x), None

    def jacrev(_):
        return torch.func.jacrev(clean)(x), None

    def vmap(_):
        return torch.func.vmap(clean)(x.unsqueeze(1)), None

    def mode(log_class):
        def run(_):
            with log_class() as log:
                out = clean(x)
            return out, log.seen
        return run

    def saved_tensors(_):
        packs = []
        with torch.autograd.graph.saved_tensors_hooks(lambda t: packs.append(t.shape) or t, lambda t: t):
            out = clean(x.requires_grad_())
        out.sum().backward()
        return x.grad, packs

    def default_device(_):
        log = []
        device_module = marlune.ZORModulePyThread(types.SimpleNamespace(
            layer_array=nn.Sequential(DefaultDevice(log), DefaultDevice(log)), processor_array=[None, None],
            node_index=torch.tensor(1), num_cycles=torch.tensor(0), view_tuple=torch.tensor([1, -1])))
        inputs = torch.ones(1, 2)
        outcome = []

        def call():
            torch.set_default_device("meta")
            try:
                outcome.append(device_module(inputs))
            except BaseException as exc:  # noqa: BLE001 (raised again on the test's thread)
                outcome.append(exc)
            finally:
                torch.set_default_device(None)

        # On a thread of its own: after set_default_device(None), torch 2.6 and 2.7 cannot
        # read that thread's default device any more (get_default_device fails), which
        # later tests would run into. The default device is per thread.
        caller = threading.Thread(target=call)
        caller.start()
        caller.join()
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        return outcome[0], log

    return {"func.grad": grad, "func.jacrev": jacrev, "func.vmap": vmap, "function mode": mode(OpLog),
            "dispatch mode": mode(AtenLog), "saved_tensors_hooks": saved_tensors, "set_default_device": default_device}


@pytest.mark.parametrize("case", per_thread_state_cases())
def test_threaded_equals_sequential_under_state_threads_cannot_carry(case):
    runs = []
    for threaded in (False, True):
        run = per_thread_state_cases()[case]
        marlune.doing_threading = threaded
        runs.append(run(None))
    marlune.doing_threading = False
    (out_seq, seen_seq), (out_thr, seen_thr) = runs
    assert torch.equal(out_seq, out_thr) and out_seq.abs().sum() > 0
    assert seen_seq == seen_thr
    if case == "set_default_device":
        assert seen_thr == ["meta", "meta"]


@pytest.mark.parametrize("value, threaded", [
    (1, True), ("yes", True), ([0], True), (types.SimpleNamespace(), True),
    (0, False), (None, False), ("", False), ([], False),
])
def test_doing_threading_is_tested_for_truth(value, threaded):
    if threaded and not WORKER_THREADS:
        pytest.skip(NO_WORKER_THREADS)
    clean, layers = probe_module(2)
    marlune.doing_threading = value
    clean(torch.ones(1, 2))
    ran_here = [layer.seen[0][0] is threading.current_thread() for layer in layers]
    assert ran_here == [not threaded] * 2


class Boom(nn.Module):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def forward(self, x):
        raise self.error


@pytest.fixture
def hook_calls(monkeypatch):
    calls = []
    monkeypatch.setattr(threading, "excepthook", lambda args: calls.append(args))
    return calls


@pytest.mark.parametrize("failing, expected", [
    ({0: KeyError("dendrite")}, 0),
    ({2: LookupError("main")}, 2),
    ({1: ValueError("second"), 2: LookupError("main")}, 1),   # the lowest index wins
    ({0: KeyboardInterrupt("stop")}, 0),                       # not only Exception
])
@pytest.mark.parametrize("skip", [True, False])
def test_worker_failures_are_raised_on_the_caller(failing, expected, skip, hook_calls, default_settings):
    torch.manual_seed(0)
    wrapper = ZR.ZORNeuronModule(nn.Linear(4, 4), num_dendrites=2)
    if not skip:
        wrapper.dendrites_to_top = nn.ParameterList()
    clean = clean_from_wrapper(wrapper)
    for index, error in failing.items():
        clean.layer_array[index] = Boom(error)
    combined = []
    default_settings.set_zor_forward_function(lambda t: combined.append(t) or t)
    marlune.doing_threading = True
    with pytest.raises(BaseException) as caught:
        clean(torch.randn(2, 4))
    assert caught.value is failing[expected]
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    worker = "process_and_forward" if expected < 2 else "process_and_pre"
    assert worker in names and names.index("forward") < names.index(worker)
    assert names[-1] == "forward"       # Boom.forward, where it was raised
    assert hook_calls == [] and combined == []


@on_worker_threads
def test_thread_is_the_module_global_built_with_target_args_kwargs(monkeypatch):
    made = []

    class Recording(threading.Thread):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)
            self.label_ = kwargs["args"][0] if len(kwargs["args"]) > 2 else "main"

        def label(self):
            return self.label_

        def start(self):
            made.append(("start", self.label()))
            super().start()

        def join(self, timeout=None):
            made.append(("join", self.label()))
            super().join(timeout)

    monkeypatch.setattr(marlune, "Thread", Recording)
    clean, _ = probe_module(3)
    marlune.doing_threading = True
    x = torch.ones(1, 2)
    clean(x, **{})
    built, events = made[:3], made[3:]
    assert [sorted(kw) for kw in built] == [["args", "kwargs", "target"]] * 3
    assert [kw["args"][0] for kw in built[:2]] == [0, 1]
    assert all(kw["args"][-1] is x for kw in built)
    assert built[0]["args"][1] is built[2]["args"][0]          # one output list for the call
    assert built[0]["kwargs"] is built[1]["kwargs"] is built[2]["kwargs"]
    assert events == [("start", 0), ("start", 1), ("start", "main"), ("join", 0), ("join", 1), ("join", "main")]
    assert "process_and_forward" in threading.Thread(target=built[0]["target"]).name


@on_worker_threads
def test_a_failed_start_joins_the_threads_already_running(monkeypatch):
    started = []

    class Flaky(threading.Thread):
        def start(self):
            if len(started) == 1:
                raise RuntimeError("can't start new thread")
            started.append(self)
            super().start()

    monkeypatch.setattr(marlune, "Thread", Flaky)
    clean, _ = probe_module(3)
    marlune.doing_threading = True
    with pytest.raises(RuntimeError, match="can't start"):
        clean(torch.ones(1, 2))
    assert len(started) == 1 and not started[0].is_alive()


@pytest.mark.parametrize("mode", ["grad", "no_grad"])
@pytest.mark.parametrize("threaded", [False, True])
def test_many_callers_share_one_module(threaded, mode):
    torch.manual_seed(3)
    clean = clean_from_wrapper(ZR.ZORNeuronModule(nn.Linear(16, 16), num_dendrites=3))
    inputs = [torch.randn(4, 16) for _ in range(8)]
    expected = [clean(x) for x in inputs]
    marlune.doing_threading = threaded
    results, barrier = [None] * 8, threading.Barrier(8)

    def caller(i):
        barrier.wait()
        with MODES[mode]():   # without grad, the kept rows are made and used by many threads
            results[i] = [clean(inputs[i]) for _ in range(20)]

    workers = [threading.Thread(target=caller, args=(i,)) for i in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert all(torch.equal(r, expected[i]) for i in range(8) for r in results[i])


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_workers_use_the_callers_cuda_stream():
    torch.manual_seed(4)
    clean = clean_from_wrapper(ZR.ZORNeuronModule(nn.Linear(256, 256), num_dendrites=3)).cuda()
    clean_streams = []
    for layer in clean.layer_array:
        layer.register_forward_pre_hook(lambda *a: clean_streams.append(torch.cuda.current_stream()))
    x = torch.randn(512, 256, device="cuda")
    stream = torch.cuda.Stream()
    with torch.cuda.stream(stream):
        sequential, threaded = both_paths(clean, x)
        stream.synchronize()
    assert torch.equal(sequential, threaded)
    assert all(s == stream for s in clean_streams)



def recurrent_pair(cell):
    """A wrapped recurrent layer (dendrite processors included) and its conversion."""
    import copy

    from pipeline import convert

    torch.manual_seed(6)
    trained = nn.Sequential(ZR.ZORNeuronModule(cell(5, 6, batch_first=True), num_dendrites=2))
    converted = convert(copy.deepcopy(trained))
    assert type(converted[0]) is marlune.ZORModulePyThread
    return trained[0], converted[0]


def call_from_threads(module, inputs, calls):
    """Each of len(inputs) threads calls `module` on its own input `calls` times; returns
    per thread the list of results (or RecurrentStateError)."""
    results, barrier = [[] for _ in inputs], threading.Barrier(len(inputs))

    def caller(i):
        barrier.wait()
        for _ in range(calls):
            try:
                results[i].append(module(inputs[i]))
            except ZR.RecurrentStateError as e:
                results[i].append(e)

    workers = [threading.Thread(target=caller, args=(i,)) for i in range(len(inputs))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return results


def same(result, expected):
    return all(torch.equal(a, b) for a, b in zip(leaves(result), leaves(expected)))


def leaves(value):
    return [leaf for item in value for leaf in leaves(item)] if isinstance(value, tuple) else [value]


@pytest.mark.parametrize("cell", [nn.GRU, nn.LSTM])
def test_recurrent_state_belongs_to_its_call(cell, default_settings):
    trained, converted = recurrent_pair(cell)
    inputs = [torch.randn(3, 4, 5) for _ in range(8)]
    with torch.no_grad():
        expected = [trained(x) for x in inputs]
        # Sequentially (and the trained wrapper always): every concurrent call gets its
        # own output and state.
        for module in (trained, converted):
            results = call_from_threads(module, inputs, 15)
            assert all(same(r, expected[i]) for i in range(8) for r in results[i])
        if not WORKER_THREADS:
            pytest.skip(NO_WORKER_THREADS)
        # Threaded, one caller: the state is handed over from the main layer's worker.
        marlune.doing_threading = True
        assert all(same(converted(x), e) for x, e in zip(inputs, expected))
        # Threaded, many callers: a call gets its own state or RecurrentStateError, never
        # another call's.
        results = call_from_threads(converted, inputs, 15)
        assert all(isinstance(r, ZR.RecurrentStateError) or same(r, expected[i]) for i in range(8) for r in results[i])
        # A sequential call that fails after the main layer ran leaves its state behind;
        # a threaded call on the same thread must not take it for its own.
        marlune.doing_threading = False
        default_settings.set_zor_forward_function(lambda t: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            converted(inputs[1])
        default_settings.set_zor_forward_function(torch.sigmoid)
        marlune.doing_threading = True
        with pytest.raises(ZR.RecurrentStateError, match="cannot tell which forward call"):
            converted(inputs[0])
        assert same(converted(inputs[2]), expected[2])
        marlune.doing_threading = False
        assert same(converted(inputs[3]), expected[3])
