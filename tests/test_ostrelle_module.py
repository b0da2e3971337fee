"""The ostrelle namespace, its class, and how loading fails."""

import copy
import inspect
import os
import pdb
import string
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch

import quorvane
import quorvane.ostrelle as ostrelle
from quorvane import globals_quorvane, modules_quorvane, utils_quorvane

NAMESPACE = ["GZR", "ZR", "UZR", "nn", "torch", "pdb", "np", "string", "copy", "ZORLayer", "unWrap_params",
             "convert_to_zor_layer_block"]
# Functions that other work adds to the namespace after ours, in this order.
LATER = ["get_pretrained_zor_attr", "get_pretrained_zor_var", "optimize_module", "blockwise_network"]


def run_python(code):
    env = dict(os.environ)
    root = os.path.dirname(quorvane.__path__[0])
    env["PYTHONPATH"] = root + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=env)


def test_namespace_order_and_values():
    # In a fresh interpreter: tests that delete and restore a global move it to the end.
    result = run_python("""
        import quorvane.ostrelle as o
        print(" ".join(n for n in vars(o) if not (n.startswith("__") and n.endswith("__"))))
    """)
    assert result.returncode == 0, result.stderr
    names = result.stdout.split()
    assert names[:len(NAMESPACE)] == NAMESPACE
    assert names[len(NAMESPACE):] == [n for n in LATER if n in names]
    assert ostrelle.GZR is globals_quorvane
    assert ostrelle.ZR is modules_quorvane
    assert ostrelle.UZR is utils_quorvane
    assert ostrelle.nn is torch.nn and ostrelle.torch is torch
    assert ostrelle.pdb is pdb and ostrelle.np is np and ostrelle.string is string and ostrelle.copy is copy
    for name in ("unWrap_params", "convert_to_zor_layer_block"):
        assert getattr(ostrelle, name).__module__ == "quorvane.ostrelle"


def test_class_shape():
    cls = ostrelle.ZORLayer
    assert cls.__mro__ == (cls, torch.nn.Module, object)
    assert type(cls) is type(torch.nn.Module)
    assert cls.__module__ == "quorvane.ostrelle" and cls.__qualname__ == "ZORLayer"
    functions = [k for k, v in vars(cls).items() if callable(v)]
    assert functions == ["__init__"]
    assert set(vars(cls)) - {"__init__"} <= {"__module__", "__doc__", "__dict__", "__weakref__", "__qualname__",
                                                 "__annotations__"}  # made on first read of cls.__annotations__
    assert "forward" not in vars(cls)
    assert cls.__init__.__qualname__ == "ZORLayer.__init__"
    assert str(inspect.signature(cls)) == ("(layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites, "
                                           "node_index, num_cycles, view_tuple)")
    assert str(inspect.signature(ostrelle.unWrap_params)) == "(model)"
    assert str(inspect.signature(ostrelle.convert_to_zor_layer_block)) == "(pretrained_dendrite)"


def test_wrong_call_shapes_raise_type_error_as_python_would():
    with pytest.raises(TypeError, match=r"^convert_to_zor_layer_block\(\) missing 1 required positional argument: "
                                        r"'pretrained_dendrite'$"):
        ostrelle.convert_to_zor_layer_block()
    with pytest.raises(TypeError, match=r"^unWrap_params\(\) got an unexpected keyword argument 'net'$"):
        ostrelle.unWrap_params(net=None)
    with pytest.raises(TypeError, match=r"^ZORLayer\.__init__\(\) takes 8 positional arguments but 9 were given$"):
        ostrelle.ZORLayer(*range(8))
    with pytest.raises(TypeError, match=r"^ZORLayer\.__init__\(\) missing 1 required positional argument: "
                                        r"'view_tuple'$"):
        ostrelle.ZORLayer(*range(6))


def test_constructor_refuses_foreign_self():
    with pytest.raises(TypeError):
        ostrelle.ZORLayer.__init__(torch.nn.Linear(1, 1), None, None, None, None, None, None, [1])


def test_subclass_keeps_constructor():
    class Custom(ostrelle.ZORLayer):
        pass

    layer = Custom(torch.nn.Sequential(), [], [], [], torch.tensor(0), None, [1])
    assert isinstance(layer, ostrelle.ZORLayer) and layer.view_tuple.tolist() == [1]


@pytest.mark.parametrize("missing", ["quorvane.globals_quorvane", "quorvane.modules_quorvane",
                                     "quorvane.utils_quorvane", "numpy"])
def test_import_fails_cleanly_when_a_dependency_is_missing(missing):
    result = run_python(f"""
        import sys
        sys.modules[{missing!r}] = None
        try:
            import quorvane.ostrelle
        except ImportError as error:
            print("failed:", type(error).__name__, error)
        else:
            print("imported")
        print("left:", "quorvane.ostrelle" in sys.modules)
        print("torch loaded:", "torch" in sys.modules)
        del sys.modules[{missing!r}]
        import quorvane.ostrelle as again
        print("retry:", [n for n in vars(again) if not n.startswith("__")][:3])
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"failed: ModuleNotFoundError import of {missing} halted; None in sys.modules"
    assert lines[1] == "left: False"
    if missing == "quorvane.globals_quorvane":
        # The sibling modules come before PyTorch.
        assert lines[2] == "torch loaded: False"
    assert lines[3] == "retry: ['GZR', 'ZR', 'UZR']"
