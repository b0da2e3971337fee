"""The marlune namespace, its class, and how loading fails."""

import copy
import threading
import traceback

import pytest
import torch

import quorvane.marlune as marlune
from quorvane import globals_quorvane, member_passing
from subproc import run_python

NAMESPACE = ["GZR", "copy", "nn", "torch", "pdb", "Thread", "doing_threading", "ZORModulePyThread",
             "get_pretrained_zor_attr", "get_pretrained_zor_var", "ModuleType", "make_module", "refresh_zor",
             "refresh_net"]


def test_namespace_order():
    # In a fresh interpreter: tests that delete and restore a global move it to the end.
    result = run_python("""
        import quorvane.marlune as m
        print(",".join(n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().split(",") == NAMESPACE


def test_namespace_values():
    assert marlune.GZR is globals_quorvane
    assert marlune.copy is copy
    assert marlune.nn is torch.nn and marlune.torch is torch
    assert marlune.Thread is threading.Thread
    assert marlune.doing_threading is False
    assert marlune.ModuleType is marlune.ZORModulePyThread


def test_class_shape():
    cls = marlune.ZORModulePyThread
    assert cls.__mro__ == (cls, torch.nn.Module, object)
    assert type(cls) is type(torch.nn.Module)
    assert cls.__module__ == "quorvane.marlune" and cls.__qualname__ == "ZORModulePyThread"
    functions = [k for k, v in vars(cls).items() if callable(v)]
    assert functions == ["__init__", "process_and_forward", "process_and_pre", "forward", "__getattr__"]
    # Members it lacks are read from its main layer, by a Python function TorchDynamo traces.
    assert cls.__getattr__ is member_passing.clean_module_getattr
    assert set(vars(cls)) - set(functions) <= {"__module__", "__doc__", "__dict__", "__weakref__", "__annotations__"}
    assert cls.__init__.__qualname__ == "ZORModulePyThread.__init__"


def test_class_can_be_subclassed_and_keeps_methods():
    class Custom(marlune.ZORModulePyThread):
        pass

    assert Custom.forward is marlune.ZORModulePyThread.forward


def test_method_refuses_foreign_self():
    with pytest.raises(TypeError):
        marlune.ZORModulePyThread.forward(torch.nn.Linear(1, 1))


def test_constructor_reads_class_global_at_call_time(monkeypatch):
    cls = marlune.ZORModulePyThread
    monkeypatch.delattr(marlune, "ZORModulePyThread")
    with pytest.raises(NameError, match="^name 'ZORModulePyThread' is not defined$"):
        cls(object())
    monkeypatch.setattr(marlune, "ZORModulePyThread", int, raising=False)
    with pytest.raises(TypeError):  # super(int, self) refuses an instance of another class
        cls(object())


def test_traceback_has_one_frame_per_level():
    def outer():
        marlune.make_module(None)

    with pytest.raises(AttributeError) as info:
        outer()
    frames = traceback.extract_tb(info.value.__traceback__)
    ours = [(f.filename, f.name) for f in frames if f.filename.startswith("quorvane/")]
    assert ours == [("quorvane/marlune", "make_module"), ("quorvane/marlune", "__init__")]
    names = [f.name for f in frames]
    assert names.index("outer") < names.index("make_module")


def test_missing_settings_module_fails_import_cleanly():
    result = run_python("""
        import sys
        sys.modules["quorvane.globals_quorvane"] = None
        try:
            import quorvane.marlune
        except ImportError as e:
            print("ImportError", "quorvane.marlune" in sys.modules, "torch" in sys.modules)
        del sys.modules["quorvane.globals_quorvane"]
        import quorvane.marlune as m
        print("retry", m.ModuleType is m.ZORModulePyThread)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["ImportError False False", "retry True"]


def test_missing_thread_class_fails_import():
    result = run_python("""
        import sys, threading
        import torch  # loads first, while the class is still there
        del threading.Thread
        try:
            import quorvane.marlune
        except ImportError as e:
            print(type(e).__name__, str(e), "quorvane.marlune" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError cannot import name 'Thread' from 'threading' False"
