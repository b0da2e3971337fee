"""Inference clean-up: replaces every ZORLayer block of a network by a ZORModulePyThread."""

import copy as copy
import pdb as pdb
from threading import Thread as Thread
from types import ModuleType as _Module
from typing import Any

import torch as torch
import torch.nn as nn

GZR: _Module
doing_threading: Any
ModuleType: type

class ZORModulePyThread(nn.Module):
    layer_array: nn.Module
    processor_array: list[Any]
    node_index: torch.Tensor
    num_cycles: torch.Tensor | None
    view_tuple: torch.Tensor
    def __init__(self, original_module: Any) -> None: ...
    def process_and_forward(self, *args2: Any, **kwargs2: Any) -> None: ...
    def process_and_pre(self, *args: Any, **kwargs: Any) -> None: ...
    def forward(self, *args: Any, **kwargs: Any) -> Any: ...

def get_pretrained_zor_attr(pretrained_dendrite: Any, member: str) -> Any: ...
def get_pretrained_zor_var(pretrained_dendrite: Any, submodule_id: str) -> Any: ...
def make_module(module: Any) -> ZORModulePyThread: ...
def refresh_zor(net: Any, depth: int, name_so_far: str, converted_list: list[str]) -> Any: ...
def refresh_net(pretrained_dendrite: Any) -> Any: ...
