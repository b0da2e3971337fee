"""Our functions bind arguments exactly as Python functions of the same signature do."""

import inspect
import pickle
import types

import pytest

import quorvane.marlune as marlune
import quorvane.ostrelle as ostrelle

FUNCTIONS = [
    (marlune, "get_pretrained_zor_attr", ["pretrained_dendrite", "member"]),
    (marlune, "get_pretrained_zor_var", ["pretrained_dendrite", "submodule_id"]),
    (marlune, "make_module", ["module"]),
    (marlune, "refresh_zor", ["net", "depth", "name_so_far", "converted_list"]),
    (marlune, "refresh_net", ["pretrained_dendrite"]),
    (ostrelle, "unWrap_params", ["model"]),
    (ostrelle, "convert_to_zor_layer_block", ["pretrained_dendrite"]),
    (ostrelle, "get_pretrained_zor_attr", ["pretrained_dendrite", "member"]),
    (ostrelle, "get_pretrained_zor_var", ["pretrained_dendrite", "submodule_id"]),
    (ostrelle, "optimize_module", ["net", "depth", "name_so_far", "converted_list"]),
    (ostrelle, "blockwise_network", ["net"]),
]

CONSTRUCTORS = [
    (marlune, "ZORModulePyThread", ["original_module"]),
    (ostrelle, "ZORLayer", ["layer_array", "processor_array", "dendrites_to_top", "dendrites_to_dendrites",
                            "node_index", "num_cycles", "view_tuple"]),
]


def reference_function(name, params):
    namespace = {}
    exec(f"def {name}({', '.join(params)}):\n    raise AssertionError('bound')", namespace)
    return namespace[name]


def reference_class(name, params):
    namespace = {}
    exec(f"class {name}:\n    def __init__(self, {', '.join(params)}):\n        raise AssertionError('bound')",
         namespace)
    return namespace[name]


def bad_calls(params):
    """Call shapes that every signature of these parameters rejects while binding."""
    n = len(params)
    shapes = [
        ((), {}),                                   # everything missing
        ((None,) * (n + 1), {}),                    # one positional too many
        ((None,) * (n + 3), {}),
        ((None,) * n, {"unexpected": 1}),           # unknown keyword
        ((), {"net_": 1, params[0]: 2}),
        ((None,), {params[0]: None}),               # given twice
        ((None,) * (n + 1), {params[0]: None}),     # twice and too many: the keyword wins
        ((None,) * (n + 1), {"other": None}),
    ]
    for missing in range(1, n):                     # leading ones given, the rest missing
        shapes.append(((None,) * (n - missing), {}))
    if n > 1:
        shapes.append(((), {params[-1]: None}))     # only the last, by keyword
    # Near misses: from 3.13 on the text suggests the parameter meant (for a
    # method, "self" too), by the interpreter's own rules.
    shapes += [((), {params[-1][:-1]: None}), ((), {params[0] + "s": None}), ((), {"sel": None})]
    return shapes


def message(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize("module, name, params", FUNCTIONS, ids=lambda v: getattr(v, "__name__", str(v)))
def test_function_binding_errors_match_python(module, name, params):
    ours = getattr(module, name)
    theirs = reference_function(name, params)
    for args, kwargs in bad_calls(params):
        assert message(lambda: ours(*args, **kwargs)) == message(lambda: theirs(*args, **kwargs)), (args, kwargs)


@pytest.mark.parametrize("module, name, params", CONSTRUCTORS, ids=lambda v: getattr(v, "__name__", str(v)))
def test_constructor_binding_errors_match_python(module, name, params):
    ours = getattr(module, name)
    theirs = reference_class(name, params)
    for args, kwargs in bad_calls(params):
        assert message(lambda: ours(*args, **kwargs)) == message(lambda: theirs(*args, **kwargs)), (args, kwargs)


def test_non_string_keywords_are_rejected():
    with pytest.raises(TypeError, match="keywords must be strings"):
        marlune.refresh_net(**{1: 2})


def test_documented_example_message():
    with pytest.raises(TypeError, match=r"^refresh_net\(\) got an unexpected keyword argument 'net'$"):
        marlune.refresh_net(net=None)


@pytest.mark.parametrize("module, name, params", FUNCTIONS + CONSTRUCTORS,
                         ids=lambda v: getattr(v, "__name__", str(v)))
def test_signatures_are_introspectable(module, name, params):
    target = getattr(module, name)
    if isinstance(target, type):
        # From 3.12.3 on, inspect binds the class's own __init__ to the class.
        assert list(inspect.signature(target).parameters) == params
        target = target.__init__
        params = ["self"] + params
    signature = inspect.signature(target)
    assert list(signature.parameters) == params
    kinds = [p.kind for p in signature.parameters.values()]
    tail = kinds[1:] if params[0] == "self" else kinds
    assert all(k is inspect.Parameter.POSITIONAL_OR_KEYWORD for k in tail)
    assert all(p.default is inspect.Parameter.empty for p in signature.parameters.values())
    assert target.__doc__ and target.__doc__.strip()


@pytest.mark.parametrize("name, rest", [
    ("forward", ["args", "kwargs"]),
    ("process_and_forward", ["args2", "kwargs2"]),
    ("process_and_pre", ["args", "kwargs"]),
])
def test_variadic_method_signatures(name, rest):
    signature = inspect.signature(getattr(marlune.ZORModulePyThread, name))
    assert list(signature.parameters) == ["self"] + rest
    kinds = [p.kind for p in signature.parameters.values()][1:]
    assert kinds == [inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD]


@pytest.mark.parametrize("cls", [marlune.ZORModulePyThread, ostrelle.ZORLayer], ids=lambda c: c.__name__)
def test_methods_read_through_the_class(cls):
    """Read through the class, called unbound and pickled, the methods act as
    CPython's method descriptors do. All but __init__ are CPython's own
    method_descriptor, the kind TorchDynamo's public polyfill registry takes: bound
    to anything but an instance they fail at once. __init__, which
    inspect.signature(cls) binds to the class itself, fails only when called, as a
    function would, and reports its module."""
    # The class's own C functions; ZORModulePyThread.__getattr__ is a Python function.
    methods = {k: v for k, v in vars(cls).items() if callable(v) and not isinstance(v, types.FunctionType)}
    assert methods
    for name, method in methods.items():
        own_type = name == "__init__"
        assert (type(method) is types.MethodDescriptorType) is not own_type
        assert getattr(cls, name) is method and method.__get__(None, cls) is method
        assert repr(method) == f"<method '{name}' of '{cls.__name__}' objects>"
        assert (method.__name__, method.__qualname__) == (name, f"{cls.__qualname__}.{name}")
        assert method.__objclass__ is cls
        assert not own_type or method.__module__ == cls.__module__
        assert pickle.loads(pickle.dumps(method)) is method
        with pytest.raises(TypeError, match=rf"^unbound method {cls.__name__}\.{name}\(\) needs an argument$"):
            method()
        for wrong in (1, cls):
            expected = rf"^descriptor '{name}' for '{cls.__name__}' objects doesn't apply to a '{type(wrong).__name__}' object$"
            with pytest.raises(TypeError, match=expected):
                method(wrong)
            with pytest.raises(TypeError, match=expected):
                method.__get__(wrong, type(wrong))()


@pytest.mark.parametrize("module", [marlune, ostrelle], ids=lambda m: m.__name__)
def test_every_function_reports_its_module(module):
    functions = [v for k, v in vars(module).items() if callable(v) and type(v).__name__ == "builtin_function_or_method"]
    assert functions
    assert all(f.__module__ == module.__name__ for f in functions)
