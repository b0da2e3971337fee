"""Trains a wrapped MLP on two gloo processes on the CPU, under each distributed setting
users train with, and writes what it found as JSON to the path given:

    python tests/training_ranks.py OUT.json

For each mode ("ddp" with DDP's defaults, "ddp_static_graph", "ddp_find_unused",
"ddp_all_grads" with DDP's defaults after the caller turned every gradient on, "fsdp2"
with fully_shard per wrapper and at the root) both ranks train the same network for a
few SGD steps on batches of their own; rank 0 then records, per mode, the largest
difference of the trained tensors from one process trained on both ranks' batches
together (which data-parallel training must equal), whether the skip weights the forward
never reads kept their values, and the largest difference between the trained form and
its converted form. A mode that fails records its error; one this torch lacks records
why it was skipped.
"""

import datetime
import json
import os
import socket
import sys
import traceback

import torch
import torch.distributed as dist
import torch.multiprocessing as mp
import torch.nn as nn

import quorvane
from quorvane import modules_quorvane as ZR
from quorvane import utils_quorvane as UZR

STEPS, BATCH, WORLD = 3, 6, 2
MODES = ("ddp", "ddp_static_graph", "ddp_find_unused", "ddp_all_grads", "fsdp2")


def fully_shard_function():
    """torch's fully_shard (the per-parameter sharding), or None where this torch has none."""
    try:
        from torch.distributed.fsdp import fully_shard
        return fully_shard
    except ImportError:
        pass
    try:
        from torch.distributed._composable.fsdp import fully_shard
        return fully_shard
    except ImportError:
        return None


def network(all_grads):
    torch.manual_seed(0)
    # An in-place layer after a wrapper: its output must stay an ordinary tensor.
    net = nn.Sequential(nn.Linear(8, 16), nn.ReLU(inplace=True), nn.Linear(16, 16), nn.Tanh(), nn.Linear(16, 4))
    UZR.wrap_layers(net, num_dendrites=2, sample_input=torch.randn(2, 8))
    if all_grads:
        net.requires_grad_(True)
    return net


def batches(rank):
    generator = torch.Generator().manual_seed(100 + rank)
    return [(torch.randn(BATCH, 8, generator=generator), torch.randn(BATCH, 4, generator=generator))
            for _ in range(STEPS)]


def train(model, data):
    optimizer = torch.optim.SGD([p for p in model.parameters() if p.requires_grad], lr=0.1)
    for x, y in data:
        optimizer.zero_grad()
        nn.functional.mse_loss(model(x), y).backward()
        optimizer.step()


def reference(mode):
    """One process trained on both ranks' batches at once: what data-parallel training gives."""
    net = network(mode == "ddp_all_grads")
    both = [batches(rank) for rank in range(WORLD)]
    train(net, [(torch.cat([b[s][0] for b in both]), torch.cat([b[s][1] for b in both])) for s in range(STEPS)])
    return net.state_dict()


def trained(mode, rank):
    """The full state dict after training under `mode` (on every rank)."""
    net = network(mode == "ddp_all_grads")
    if mode == "fsdp2":
        from torch.distributed.device_mesh import init_device_mesh

        fully_shard = fully_shard_function()
        mesh = init_device_mesh("cpu", (WORLD,))
        for module in net:
            if UZR.count_wrappers(module):
                fully_shard(module, mesh=mesh)
        fully_shard(net, mesh=mesh)
        train(net, batches(rank))
        return {name: value.full_tensor() if hasattr(value, "full_tensor") else value
                for name, value in net.state_dict().items()}
    from torch.nn.parallel import DistributedDataParallel as DDP

    options = {"ddp_static_graph": {"static_graph": True}, "ddp_find_unused": {"find_unused_parameters": True}}
    model = DDP(net, **options.get(mode, {}))
    train(model, batches(rank))
    return net.state_dict()


def findings(mode, state):
    """What rank 0 records of one mode's trained state."""
    expected = reference(mode)
    fresh = network(mode == "ddp_all_grads")
    initial = {name: p.detach().clone() for name, p in fresh.named_parameters()}
    unread = [f"{path}.{name}" for path, module in fresh.named_modules() if type(module) is ZR.ZORNeuronModule
              for name, _ in module.unread_skip_weights()]
    fresh.load_state_dict(state)
    x = torch.randn(5, 8)
    with torch.no_grad():
        before = fresh(x)
        after = quorvane.convert(fresh, inplace=False).network(x)
    return {
        "difference": max((state[name].float() - value.float()).abs().max().item()
                          for name, value in expected.items() if value.numel()),
        "unread": unread,
        "unread_kept": all(torch.equal(state[name], initial[name]) for name in unread),
        "converted_difference": (after - before).abs().max().item(),
    }


def worker(rank, port, out):
    torch.set_num_threads(1)
    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=WORLD,
                            timeout=datetime.timedelta(seconds=60))
    results = {}
    try:
        for mode in MODES:
            if mode == "fsdp2" and fully_shard_function() is None:
                results[mode] = {"skipped": f"torch {torch.__version__} has no fully_shard"}
                continue
            try:
                state = trained(mode, rank)
                if rank == 0:
                    results[mode] = findings(mode, state)
            except Exception as error:
                if mode == "fsdp2" and "CUDA" in str(error) and not torch.cuda.is_available():
                    # Older fully_shard releases set up CUDA streams whatever the mesh.
                    results[mode] = {"skipped": f"torch {torch.__version__}'s fully_shard needs CUDA: "
                                                f"{str(error).splitlines()[0]}"}
                else:
                    results[mode] = {"error": f"{type(error).__name__}: {error}", "trace": traceback.format_exc()}
            dist.barrier()
    finally:
        dist.destroy_process_group()
    if rank == 0:
        with open(out, "w") as file:
            json.dump(results, file)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    mp.spawn(worker, args=(free_port(), sys.argv[1]), nprocs=WORLD, join=True)
