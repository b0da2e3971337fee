"""Blockwise conversion: replaces every trained ZORNeuronModule of a network by a ZORLayer block."""

import copy as copy
import pdb as pdb
import string as string
from types import ModuleType as _Module
from typing import Any

import numpy as np
import torch as torch
import torch.nn as nn

GZR: _Module
ZR: _Module
UZR: _Module

class ZORLayer(nn.Module):
    layer_array: nn.Module
    processor_array: list[Any]
    num_cycles: torch.Tensor | None
    view_tuple: torch.Tensor
    node_index: Any
    internal_nonlinearity: Any
    def __init__(self, layer_array: Any, processor_array: Any, dendrites_to_top: Any,
                 dendrites_to_dendrites: Any, node_index: Any, num_cycles: torch.Tensor | None,
                 view_tuple: Any) -> None: ...

def unWrap_params(model: Any) -> None: ...
def convert_to_zor_layer_block(pretrained_dendrite: Any) -> ZORLayer: ...
def get_pretrained_zor_attr(pretrained_dendrite: Any, member: str) -> Any: ...
def get_pretrained_zor_var(pretrained_dendrite: Any, submodule_id: Any) -> Any: ...
def optimize_module(net: Any, depth: Any, name_so_far: str, converted_list: list[str]) -> Any: ...
def blockwise_network(net: Any) -> Any: ...
