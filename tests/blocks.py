"""Clean modules built by hand from trained wrappers, and a plain-Python rendition of
the clean forward pass, shared by the forward tests and the benchmark."""

import torch
import torch.nn as nn
from torch.overrides import TorchFunctionMode
from torch.utils._python_dispatch import TorchDispatchMode

from quorvane import globals_quorvane as GZR
from quorvane import tracing


class HandBlock(nn.Module):
    """A block layer's members, gathered from a trained wrapper the way the block
    conversion gathers them (processors' pre/post rebound, skip weights = the
    dendrite-to-dendrite entries followed by the last dendrite-to-top entry)."""

    def __init__(self, wrapper):
        super().__init__()
        dendrites = wrapper.dendrite_module
        layers, processors = [], []
        for index in range(len(dendrites.layers)):
            layers.append(dendrites.layers[index])
            if dendrites.processors == []:
                processors.append(None)
                continue
            processor = dendrites.processors[index]
            if processor is not None:
                processor.pre, processor.post = processor.pre_d, processor.post_d
            processors.append(processor)
        layers.append(wrapper.main_module)
        main = wrapper.processor
        if main is not None:
            main.pre, main.post = main.post_n1, main.post_n2
        processors.append(main)
        self.layer_array = nn.Sequential(*layers)
        self.processor_array = processors
        weights = list(dendrites.dendrites_to_dendrites)
        if weights and len(wrapper.dendrites_to_top):
            self.skip_weights = nn.ParameterList(weights + [wrapper.dendrites_to_top[-1]])
        self.node_index = wrapper.this_node_index
        self.register_buffer("num_cycles", dendrites.num_cycles)
        values = dendrites.dendrite_values[0]
        self.register_buffer("view_tuple", torch.tensor(
            [-1 if dim == values.this_node_index else 1 for dim in range(len(values.this_output_dimensions))]))


def clean_from_wrapper(wrapper, module_type=None):
    """A clean module holding the wrapper's own layers, processors and weights."""
    from quorvane import marlune

    return (module_type or marlune.ZORModulePyThread)(HandBlock(wrapper))


class PythonClean(nn.Module):
    """The clean forward pass written in Python over the same members as a clean
    module: the reference for the benchmark."""

    def __init__(self, clean):
        super().__init__()
        self.layer_array = clean.layer_array
        self.processor_array = clean.processor_array
        if hasattr(clean, "skip_weights"):
            self.skip_weights = clean.skip_weights
        self.register_buffer("view_tuple", clean.view_tuple)
        self.threading = False

    # The worker methods are the ones TorchDynamo traces in place of the C++ ones, so
    # every comparison with this rendition checks those too.
    process_and_forward = tracing.process_and_forward
    process_and_pre = tracing.process_and_pre

    def forward(self, *args, **kwargs):
        from threading import Thread

        doing_multi = self.threading
        dendrite_outs = [None] * len(self.layer_array)
        threads = {}
        for c in range(0, len(self.layer_array) - 1):
            if doing_multi:
                threads[c] = Thread(target=self.process_and_forward, args=(c, dendrite_outs, *args), kwargs=kwargs)
            else:
                self.process_and_forward(c, dendrite_outs, *args, **kwargs)
        if doing_multi:
            threads[len(self.layer_array) - 1] = Thread(
                target=self.process_and_pre, args=(dendrite_outs, *args), kwargs=kwargs)
        else:
            self.process_and_pre(dendrite_outs, *args, **kwargs)
        if doing_multi:
            for i in range(len(dendrite_outs)):
                threads[i].start()
            for i in range(len(dendrite_outs)):
                threads[i].join()
        for out_index in range(0, len(self.layer_array)):
            current_out = dendrite_outs[out_index]
            if len(self.layer_array) > 1 and hasattr(self, "skip_weights"):
                for in_index in range(0, out_index):
                    skip_weight = self.skip_weights[out_index - 1][in_index, :]
                    skip_weight = skip_weight.view(self.view_tuple.tolist())
                    skip_weight = skip_weight.to(current_out.device)
                    current_out = current_out + (skip_weight * dendrite_outs[in_index])
                if out_index < len(self.layer_array) - 1:
                    current_out = GZR.pc.get_zor_forward_function()(current_out)
            dendrite_outs[out_index] = current_out
        if self.processor_array[-1] is not None:
            current_out = self.processor_array[-1].post(current_out)
        return current_out


class OpLog(TorchFunctionMode):
    """Records the name of every torch function called under it."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        self.seen.append(getattr(func, "__name__", str(func)))
        return func(*args, **(kwargs or {}))


class AtenLog(TorchDispatchMode):
    """Records every operator dispatched under it."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        self.seen.append(str(func))
        return func(*args, **(kwargs or {}))
