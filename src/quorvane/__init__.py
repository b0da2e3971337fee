"""quorvane: dendrite-augmented PyTorch layers and their conversion to inference form.

Training code wraps chosen layers of a network in ``modules_quorvane.ZORNeuronModule``
(``utils_quorvane.wrap_layers`` does it for a whole network). After training, one call
turns the network into its inference form and reports what it did:

    import quorvane
    report = quorvane.convert(net, verify=((x,), {}))
    net = report.network                    # every trained wrapper -> ZORModulePyThread
    print(report)                           # converted and unconverted wrappers, difference

Converted networks are saved as safetensors weights with a small JSON config, and loaded
onto the plain architecture (no pickle either way):

    quorvane.save(net, "converted")         # after quorvane.convert
    net = quorvane.load(build_plain_network(), "converted")

It runs the two passes, which can also be called directly (in place):

    from quorvane import marlune, ostrelle
    net = ostrelle.blockwise_network(net)   # each trained wrapper -> ZORLayer block
    net = marlune.refresh_net(net)          # each ZORLayer -> ZORModulePyThread

The extension modules are imported on first use, so importing the package itself is cheap.
Importing it also installs an import hook (``quorvane.tracing``) that, once ``torch._dynamo``
is imported, teaches TorchDynamo, for the whole process, to trace converted networks whole
(``torch.compile``, strict ``torch.export``): through the public
``torch.compiler.substitute_in_graph`` on torch 2.12 and later, through a private step of
TorchDynamo on torch 2.4 to 2.11. ``quorvane.tracing.dynamo_taught()`` says which.
"""

from typing import TYPE_CHECKING

__version__ = "0.1.0"

__all__ = ["convert", "ConversionReport", "save", "load", "CheckpointError", "marlune", "ostrelle",
           "globals_quorvane", "modules_quorvane", "utils_quorvane", "conversion", "checkpoint", "checkpoints", "tracing"]

if TYPE_CHECKING:
    from quorvane import (checkpoint, checkpoints, conversion, globals_quorvane, marlune, modules_quorvane, ostrelle,
                          tracing, utils_quorvane)
    from quorvane.checkpoint import CheckpointError, load, save
    from quorvane.conversion import ConversionReport, convert

_FROM = {"convert": "conversion", "ConversionReport": "conversion",
         "save": "checkpoint", "load": "checkpoint", "CheckpointError": "checkpoint"}


def __getattr__(name):
    import importlib

    if name in _FROM:
        return getattr(importlib.import_module(f"{__name__}.{_FROM[name]}"), name)
    if name in __all__:
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _install_tracing():
    from quorvane import tracing

    tracing.install()


_install_tracing()
