"""Converted checkpoints kept the way the ecosystem keeps adapted models: safetensors
weights and a small JSON config, loaded onto the plain architecture.

    quorvane.save(net, "converted")          # net: a converted network (quorvane.convert)
    base = build_plain_network()             # the architecture as built before wrap_layers
    net = quorvane.load(base, "converted")   # base, now converted, with the saved weights

``save`` writes ``quorvane_config.json`` and ``quorvane_model.safetensors`` (past
``max_shard_size``, shards and their index) into the directory, all or none. ``load`` reads JSON and safetensors only (nothing is
unpickled), checks everything against the base network before changing it, and either
converts and loads it completely or raises ``CheckpointError`` and leaves it as it was.
"""

from quorvane.checkpoint.files import CONFIG_NAME, INDEX_NAME, SHARD_NAME, WEIGHTS_NAME, CheckpointError
from quorvane.checkpoint.loading import load
from quorvane.checkpoint.saving import Prepared, prepare, save, write

__all__ = ["save", "load", "prepare", "write", "Prepared", "CheckpointError", "CONFIG_NAME", "WEIGHTS_NAME",
           "INDEX_NAME", "SHARD_NAME"]
