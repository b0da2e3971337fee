"""quorvane: dendrite-augmented PyTorch layers and their conversion to inference form.

Training code wraps chosen layers of a network in ``modules_quorvane.ZORNeuronModule``
(``utils_quorvane.wrap_layers`` does it for a whole network). After training, two passes
turn the network into its inference form, in place:

    from quorvane import marlune, ostrelle
    net = ostrelle.blockwise_network(net)   # each trained wrapper -> ZORLayer block
    net = marlune.refresh_net(net)          # each ZORLayer -> ZORModulePyThread

The extension modules are imported on first use, so importing the package itself is cheap.
"""

__version__ = "0.1.0"

__all__ = ["marlune", "ostrelle", "globals_quorvane", "modules_quorvane", "utils_quorvane"]


def __getattr__(name):
    if name in __all__:
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
