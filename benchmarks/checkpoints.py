"""Verification and checkpoint costs at the size users train: a GPT-2-sized transformers
model, every Linear and Conv1D wrapped with 2 dendrites, converted, saved and loaded.

Each step runs in a process of its own, so its peak memory is its own: peak RSS above
what the process held just before the step (VmHWM after resetting it through
/proc/self/clear_refs), as a ratio to the bytes the step handles (the converted
model's tensors, or the checkpoint's files), and time as a ratio to what the step
cannot avoid: the forwards and the conversion for verification, safetensors' own
writer and a SHA-256 pass for a save, a SHA-256 pass over the files for a load.

    python benchmarks/checkpoints.py                       # GPT-2 124M (1.5 GiB converted)
    python benchmarks/checkpoints.py --n-layer 24 --n-embd 1024 --n-head 16   # bigger
    python benchmarks/checkpoints.py --n-layer 2 --n-embd 256 --n-head 4      # a quick run

A step the installed quorvane cannot do is printed with the reason (an older quorvane
has no sharded save, no meta-device base, no ``device=``).
"""

import argparse
import contextlib
import gc
import hashlib
import inspect
import json
import os
import subprocess
import sys
import tempfile
import time

SAMPLE_TOKENS = 16


# --- measuring inside a step's process ----------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    """Forgets the peak so far and returns what the process holds now."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return resident_bytes()


def peak_bytes():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def measured(step):
    """(seconds, peak bytes above the start) of calling `step`."""
    before = reset_peak()
    start = time.perf_counter()
    step()
    return time.perf_counter() - start, peak_bytes() - before


def sha256_seconds(directory):
    """Seconds of one SHA-256 pass over the checkpoint's files (read twice: the second
    pass, from the page cache as a load's is, is the one timed)."""
    paths = sorted(os.path.join(directory, name) for name in os.listdir(directory))
    for timed in (False, True):
        start = time.perf_counter()
        for path in paths:
            digest = hashlib.sha256()
            with open(path, "rb") as stream:
                for block in iter(lambda: stream.read(1 << 24), b""):
                    digest.update(block)
    return time.perf_counter() - start


def directory_bytes(directory):
    return sum(os.path.getsize(os.path.join(directory, name)) for name in os.listdir(directory))


# --- the model ----------------------------------------------------------------------------


def config(args):
    import transformers

    return transformers.GPT2Config(n_layer=args.n_layer, n_embd=args.n_embd, n_head=args.n_head)


def plain_model(args):
    import torch
    import transformers

    torch.manual_seed(0)
    return transformers.GPT2LMHeadModel(config(args)).eval()


def wrapped_model(args):
    """(the wrapped model, its sample input)."""
    import torch
    import torch.nn as nn
    import transformers

    from quorvane import utils_quorvane

    model = plain_model(args)
    ids = torch.randint(0, model.config.vocab_size, (1, SAMPLE_TOKENS), generator=torch.Generator().manual_seed(1))
    utils_quorvane.wrap_layers(model, layer_types=(nn.Linear, transformers.pytorch_utils.Conv1D), num_dendrites=2,
                               sample_input=(ids,))
    return model.eval(), ids


def converted_model(args):
    import quorvane

    model, _ = wrapped_model(args)
    quorvane.convert(model)
    return model


def tensor_bytes(net):
    seen, total = set(), 0
    for tensor in net.state_dict(keep_vars=True).values():
        key = (tensor.untyped_storage().data_ptr(), tensor.storage_offset(), tuple(tensor.shape))
        if key not in seen:
            seen.add(key)
            total += tensor.numel() * tensor.element_size()
    return total


def state_digest(net):
    """SHA-256 over every state_dict entry's name, dtype, shape and bytes."""
    import torch

    digest = hashlib.sha256()
    for name, tensor in net.state_dict().items():
        tensor = tensor.detach().to("cpu").reshape(-1)
        digest.update(f"{name}:{tensor.dtype}:{tuple(tensor.shape)}".encode())
        digest.update(tensor.view(torch.uint8).numpy().tobytes() if tensor.numel() else b"")
    return digest.hexdigest()


# --- the steps (each run by its own process) --------------------------------------------


def takes(function, name):
    return name in inspect.signature(function).parameters


def step_setup(args, work):
    """The checkpoints the load steps read, and what a load must reproduce."""
    import quorvane

    net = converted_model(args)
    quorvane.save(net, os.path.join(work, "one"))
    facts = {"model_bytes": tensor_bytes(net), "digest": state_digest(net)}
    if takes(quorvane.save, "max_shard_size"):
        quorvane.save(net, os.path.join(work, "sharded"), max_shard_size=facts["model_bytes"] // 4)
    return facts


def step_forwards_and_conversion(args, work):
    import torch

    import quorvane

    net, ids = wrapped_model(args)
    start = time.perf_counter()
    with torch.no_grad():
        for _ in range(3):
            net(ids)
    quorvane.convert(net)
    return {"seconds": time.perf_counter() - start}


def step_verify(args, work):
    import quorvane

    net, ids = wrapped_model(args)
    report = {}

    def run():
        report["difference"] = quorvane.convert(net, verify=((ids,), {})).max_difference

    seconds, peak = measured(run)
    return {"seconds": seconds, "peak": peak, "difference": report["difference"]}


def step_save(args, work, sharded=False):
    import quorvane

    net = converted_model(args)
    target = os.path.join(work, "save-sharded" if sharded else "save-one")
    options = {"max_shard_size": tensor_bytes(net) // 4} if sharded else {}
    if sharded and not takes(quorvane.save, "max_shard_size"):
        return {"unsupported": "quorvane.save takes no max_shard_size"}
    seconds, peak = measured(lambda: quorvane.save(net, target, **options))
    files = sorted(os.listdir(target))
    modes = sorted({oct(os.stat(os.path.join(target, name)).st_mode & 0o777) for name in files})
    return {"seconds": seconds, "peak": peak, "bytes": directory_bytes(target), "files": len(files), "modes": modes}


def step_save_raw(args, work):
    """safetensors' own writer and one SHA-256 pass over the file it wrote: the floor."""
    from safetensors.torch import save_file

    try:
        from quorvane import checkpoint as checkpoints
    except ImportError:  # a quorvane from before the checkpoint package
        from quorvane import checkpoints

    tensors = checkpoints.prepare(converted_model(args)).tensors
    path = os.path.join(work, "raw.safetensors")

    def run():
        save_file(tensors, path)
        digest = hashlib.sha256()
        with open(path, "rb") as stream:
            for block in iter(lambda: stream.read(1 << 20), b""):
                digest.update(block)

    seconds, peak = measured(run)
    return {"seconds": seconds, "peak": peak, "bytes": os.path.getsize(path)}


def step_load(args, work, source="one", meta=False, device=None):
    import torch

    import quorvane

    directory = os.path.join(work, source)
    if not os.path.isdir(directory):
        return {"unsupported": f"no {source} checkpoint (see the save steps)"}
    if device is not None and not takes(quorvane.load, "device"):
        return {"unsupported": "quorvane.load takes no device="}
    hashing = sha256_seconds(directory)
    with torch.device("meta") if meta else contextlib.nullcontext():
        base = plain_model(args)
    options = {} if device is None else {"device": device}
    try:
        seconds, peak = measured(lambda: quorvane.load(base, directory, **options))
    except quorvane.CheckpointError as e:
        return {"unsupported": f"refused: {str(e)[:150]}"}
    return {"seconds": seconds, "peak": peak, "bytes": directory_bytes(directory), "sha256_seconds": hashing,
            "digest": state_digest(base)}


STEPS = {
    "setup": step_setup,
    "forwards+conversion": step_forwards_and_conversion,
    "convert(verify=)": step_verify,
    "save": step_save,
    "save, sharded": lambda args, work: step_save(args, work, sharded=True),
    "safetensors + sha256": step_save_raw,
    "load, built base": step_load,
    "load, meta base": lambda args, work: step_load(args, work, meta=True),
    "load, sharded, meta base": lambda args, work: step_load(args, work, source="sharded", meta=True),
    "load, meta base, device=cuda": lambda args, work: step_load(args, work, meta=True, device="cuda"),
}


# --- the driver ---------------------------------------------------------------------------


def run_step(name, args, work):
    """The step's figures: of its fastest run, where --repeat asks for several."""
    runs = [run_step_once(name, args, work) for _ in range(args.repeat if name != "setup" else 1)]
    return min(runs, key=lambda result: result.get("seconds", 0))


def run_step_once(name, args, work):
    command = [sys.executable, __file__, "--step", name, "--work", work,
               "--n-layer", str(args.n_layer), "--n-embd", str(args.n_embd), "--n-head", str(args.n_head)]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        return {"unsupported": f"failed: {(result.stderr.strip().splitlines() or ['?'])[-1][:150]}"}
    return json.loads(result.stdout.strip().splitlines()[-1])


def ratio(numerator, denominator):
    return f"{numerator / denominator:.2f}x"


def report(args, work):
    import torch

    import quorvane

    print(f"quorvane {quorvane.__version__}, torch {torch.__version__}; GPT-2 n_layer={args.n_layer} "
          f"n_embd={args.n_embd} n_head={args.n_head}, every Linear and Conv1D with 2 dendrites")
    facts = run_step("setup", args, work)
    if "unsupported" in facts:
        sys.exit(f"setting up: {facts['unsupported']}")
    model = facts["model_bytes"]
    print(f"converted model: {model / 2**30:.2f} GiB of tensors\n")
    reference = run_step("forwards+conversion", args, work)
    raw = run_step("safetensors + sha256", args, work)
    rows = []
    for name in STEPS:
        if name in ("setup", "forwards+conversion"):
            continue
        if name.endswith("cuda") and not torch.cuda.is_available():
            rows.append((name, "no CUDA device here"))
            continue
        result = raw if name == "safetensors + sha256" else run_step(name, args, work)
        rows.append((name, describe(name, result, facts, reference, raw)))
    width = max(len(name) for name, _ in rows)
    for name, text in rows:
        print(f"{name:<{width}}  {text}")


def describe(name, result, facts, reference, raw):
    if "unsupported" in result:
        return result["unsupported"]
    seconds, peak = result["seconds"], result["peak"]
    if name.startswith("convert"):
        return (f"{seconds:6.2f} s = {ratio(seconds, reference['seconds'])} the three forwards + conversion; peak "
                f"+{ratio(peak, facts['model_bytes'])} the model's bytes; max difference {result['difference']}")
    if name.startswith("save") or name.startswith("safetensors"):
        extra = f"; {result['files']} files, modes {' '.join(result['modes'])}" if "files" in result else ""
        return (f"{seconds:6.2f} s = {ratio(seconds, raw['seconds'])} raw; peak {ratio(peak, result['bytes'])} the "
                f"files' bytes ({ratio(peak, raw['peak'])} raw's peak){extra}")
    same = "bit-equal" if result["digest"] == facts["digest"] else "DIFFERS from the saved network"
    return (f"{seconds:6.2f} s = {ratio(seconds, result['sha256_seconds'])} a SHA-256 of the files; peak "
            f"{ratio(peak, result['bytes'])} the checkpoint's bytes; {same}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n-layer", type=int, default=12)
    parser.add_argument("--n-embd", type=int, default=768)
    parser.add_argument("--n-head", type=int, default=12)
    parser.add_argument("--repeat", type=int, default=1, help="runs of each step, the fastest reported "
                        "(this machine's timings are noisy)")
    parser.add_argument("--step", choices=sorted(STEPS), help=argparse.SUPPRESS)
    parser.add_argument("--work", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.step:
        print(json.dumps(STEPS[args.step](args, args.work)))
        return
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as work:
        report(args, work)


if __name__ == "__main__":
    main()
