"""Writing a checkpoint's weights: time and peak memory of each way, each run in a
process of its own, as ratios to safetensors' own save_file plus one SHA-256 pass over
the same bytes in memory (what a save that hashes its file cannot do with less).

    python benchmarks/checkpoint_save.py [--mib 256] [--repeats 3] [--folder DIR]

Ways: ``raw`` (that baseline), ``save_file+reread`` (safetensors' writer, then hashing the
file read back: the weights file as quorvane wrote it before it had its own writer),
``write_file`` (quorvane's writer, hashing the bytes as it writes them), and whole
``quorvane.save`` calls of a converted MLP of about the same size, one file and sharded.
Peak memory is VmHWM above the process's own once the tensors exist (reset through
/proc/self/clear_refs), as a ratio to the tensors' bytes.
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

WAYS = ["raw", "save_file+reread", "write_file", "quorvane.save", "quorvane.save sharded"]


def _hwm():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))


def _reset_hwm():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def _converted_mlp(mib):
    import torch
    import torch.nn as nn

    import quorvane
    from quorvane import utils_quorvane as UZR

    width = 1024
    layers = max(1, round(mib * 2**20 / (3 * 4 * width * width)))  # main layer + 2 dendrites, float32
    torch.manual_seed(0)
    net = nn.Sequential(*[nn.Linear(width, width) for _ in range(layers)])
    UZR.wrap_layers(net, layer_types=(nn.Linear,), num_dendrites=2, sample_input=torch.randn(2, width))
    return quorvane.convert(net.eval()).network


def _one(way, mib, folder):
    """Runs one way in this process; prints {"seconds", "peak", "bytes"}."""
    import hashlib
    import shutil

    import torch

    import quorvane

    path = os.path.join(folder, "weights.safetensors")
    if way.startswith("quorvane.save"):
        net = _converted_mlp(mib)
        size = sum(t.numel() * t.element_size() for t in net.state_dict().values())
    else:
        torch.manual_seed(0)
        count = mib * 2**20 // (4 << 20)
        tensors = {f"layer{i}.weight": torch.randn(1024, 1024) for i in range(count)}
        tensors["embed.weight"] = torch.randn(512, 1024).to(torch.bfloat16)
        size = sum(t.numel() * t.element_size() for t in tensors.values())
    # Each way starts alike: no earlier output to replace, no dirty pages of it to wait for.
    shutil.rmtree(os.path.join(folder, "converted"), ignore_errors=True)
    if os.path.exists(path):
        os.unlink(path)
    os.sync()
    gc.collect()  # a collection of what building the network left is no cost of the way timed
    _reset_hwm()
    base = _hwm()
    start = time.perf_counter()
    if way == "raw":
        from safetensors.torch import save_file

        save_file(tensors, path, metadata={"format": "pt"})
        digest = hashlib.sha256()
        for tensor in tensors.values():
            digest.update(memoryview(tensor.reshape(-1).view(torch.uint8).numpy()))
    elif way == "save_file+reread":
        from safetensors.torch import save_file

        save_file(tensors, path, metadata={"format": "pt"})
        digest = hashlib.sha256()
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                digest.update(block)
    elif way == "write_file":
        from quorvane.checkpoint import tensor_files

        tensor_files.write_file(path, tensors, {"format": "pt"})
    elif way.endswith("sharded"):
        quorvane.save(net, os.path.join(folder, "converted"), max_shard_size=f"{max(1, mib // 4)}MB")
    else:
        quorvane.save(net, os.path.join(folder, "converted"))
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "peak": _hwm() - base, "bytes": size}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=256, help="MiB of tensors (default 256)")
    parser.add_argument("--repeats", type=int, default=5, help="rounds, the ways taking turns (default 5)")
    parser.add_argument("--folder", help="where to write (default: a temporary folder)")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    folder = args.folder or tempfile.mkdtemp(prefix="quorvane-save-")
    if args.one:
        return _one(args.one, args.mib, folder)
    try:
        from quorvane.checkpoint import tensor_files  # noqa: F401
        ways = WAYS
    except ImportError:  # a quorvane from before its own writer
        ways = [way for way in WAYS if way not in ("write_file", "quorvane.save sharded")]
    results = {way: [] for way in ways}
    for _ in range(args.repeats):
        for way in ways:
            out = subprocess.run([sys.executable, __file__, "--one", way, "--mib", str(args.mib), "--folder", folder],
                                 capture_output=True, text=True, check=True).stdout
            results[way].append(json.loads(out.splitlines()[-1]))
    def median(way):
        return statistics.median(r["seconds"] for r in results[way])
    raw = median("raw")
    print(f"{args.mib} MiB of tensors, median of {args.repeats}; time as a ratio to raw save_file + SHA-256 "
          f"({raw:.3f} s), peak memory above the process's own as a ratio to the tensors' bytes")
    for way in ways:
        peak = max(r["peak"] / r["bytes"] for r in results[way])
        spread = max(r["seconds"] for r in results[way]) - min(r["seconds"] for r in results[way])
        print(f"  {way:24s} {median(way):7.3f} s (spread {spread:.3f})  {median(way) / raw:5.2f}x   peak +{peak:.3f}x")


if __name__ == "__main__":
    sys.exit(main())
