"""The type stubs describe the real signatures."""

import ast
import inspect
import pathlib

import pytest

import quorvane
import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle


def stub_functions(module):
    path = pathlib.Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(path.read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def stub_parameters(node):
    args = node.args
    params = [(a.arg, "POSITIONAL_OR_KEYWORD") for a in args.args]
    if args.vararg:
        params.append((args.vararg.arg, "VAR_POSITIONAL"))
    if args.kwarg:
        params.append((args.kwarg.arg, "VAR_KEYWORD"))
    return params


def real_parameters(obj):
    params = []
    for i, p in enumerate(inspect.signature(obj).parameters.values()):
        kind = p.kind.name
        if i == 0 and p.name == "self":  # builtin methods report self as positional-only
            kind = "POSITIONAL_OR_KEYWORD"
        params.append((p.name, kind))
    return params


@pytest.mark.parametrize("module", [marlune, ostrelle], ids=lambda m: m.__name__)
def test_stubs_match_signatures(module):
    stubs = stub_functions(module)
    real = {}
    for name, value in vars(module).items():
        if type(value).__name__ == "builtin_function_or_method" and value.__module__ == module.__name__:
            real[name] = value
        elif isinstance(value, type) and value.__module__ == module.__name__ and value.__name__ == name:
            for method, function in vars(value).items():
                if callable(function):
                    real[f"{name}.{method}"] = function
    assert set(stubs) == set(real)
    for name, obj in real.items():
        assert stub_parameters(stubs[name]) == real_parameters(obj), name


def test_package_is_typed():
    assert (pathlib.Path(quorvane.__file__).parent / "py.typed").exists()
