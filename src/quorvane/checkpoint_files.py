"""The two files of a converted checkpoint and how they vouch for each other.

A checkpoint directory holds:

- ``quorvane_model.safetensors``: every tensor of the converted network's ``state_dict``,
  a tensor registered under several names stored once, under its first name;
- ``quorvane_config.json``: what turns the plain architecture into the converted one
  (the converted positions and their layers, see ``quorvane.checkpoints``), which names
  share one tensor, and the weights file's size and SHA-256.

The weights file's metadata holds the SHA-256 of the config (without its ``weights``
entry), so an edited config, a changed or truncated weights file and a pair from two
different saves are each told apart before anything is loaded. Reading uses JSON and
safetensors only: nothing is unpickled.
"""

import hashlib
import json
import os

CONFIG_NAME = "quorvane_config.json"
WEIGHTS_NAME = "quorvane_model.safetensors"
FORMAT = "quorvane-converted"
FORMAT_VERSION = 1
_CONFIG_DIGEST = "quorvane_config_sha256"


class CheckpointError(ValueError):
    """A network that cannot be saved as a converted checkpoint, or a checkpoint that
    cannot be loaded onto the network given: the message says which and why."""


def config_digest(config):
    """SHA-256 of the config without its ``weights`` entry, in one canonical JSON form."""
    body = {key: value for key, value in config.items() if key != "weights"}
    text = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def file_digest(path):
    """(size in bytes, SHA-256) of the file at `path`."""
    digest, size = hashlib.sha256(), 0
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return size, digest.hexdigest()


def write_weights(path, tensors, config):
    """Saves `tensors` at `path` as safetensors, with `config`'s digest in the metadata."""
    from safetensors.torch import save_file

    save_file(tensors, path, metadata={"format": "pt", _CONFIG_DIGEST: config_digest(config)})


def write_config(path, config, weights_path):
    """Writes `config` at `path` as JSON, with the size and SHA-256 of the weights file at
    `weights_path` (written first) as its ``weights`` entry."""
    size, sha256 = file_digest(weights_path)
    complete = dict(config, weights={"file": WEIGHTS_NAME, "bytes": size, "sha256": sha256})
    with open(path, "w", encoding="utf-8") as stream:
        json.dump(complete, stream, indent=1)
        stream.write("\n")


def read_config(directory):
    """The config of the checkpoint in `directory`, with its format and version checked."""
    path = os.path.join(directory, CONFIG_NAME)
    if not os.path.isfile(path):
        raise CheckpointError(f"{directory} holds no quorvane checkpoint: {CONFIG_NAME} is missing "
                              "(quorvane.save writes it)")
    try:
        with open(path, encoding="utf-8") as stream:
            config = json.load(stream)
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise CheckpointError(f"{path} is not valid JSON ({e}): it was changed or damaged") from None
    except RecursionError:
        # json's parser recurses once per nesting level; no config quorvane writes is
        # more than a few levels deep.
        raise CheckpointError(f"{path} is nested too deeply to be a quorvane checkpoint config: it was changed "
                              "or damaged") from None
    if not isinstance(config, dict) or config.get("format") != FORMAT:
        raise CheckpointError(f"{path} is not a quorvane checkpoint config (no \"format\": \"{FORMAT}\")")
    version = config.get("format_version")
    if version != FORMAT_VERSION:
        newer = isinstance(version, int) and not isinstance(version, bool) and version > FORMAT_VERSION
        raise CheckpointError(
            f"{path} has format version {version!r}; this quorvane reads version {FORMAT_VERSION}"
            + (" (the checkpoint was written by a newer quorvane: upgrade quorvane to load it)" if newer else ""))
    return config


def read_weights(directory, config):
    """The tensors of the checkpoint in `directory` (on the CPU), after checking that the
    weights file is the one `config` was saved with and that `config` is unchanged."""
    from safetensors import SafetensorError, safe_open

    path = os.path.join(directory, WEIGHTS_NAME)
    if not os.path.isfile(path):
        raise CheckpointError(f"{directory} holds no weights: {WEIGHTS_NAME} is missing")
    expected = config.get("weights")
    if not (isinstance(expected, dict) and isinstance(expected.get("bytes"), int)
            and isinstance(expected.get("sha256"), str)):
        raise CheckpointError(f"{os.path.join(directory, CONFIG_NAME)} has no valid \"weights\" entry: "
                              "it was changed or damaged")
    size, sha256 = file_digest(path)
    if size < expected["bytes"]:
        raise CheckpointError(f"{path} is truncated: {size} of its {expected['bytes']} bytes are there")
    if size != expected["bytes"] or sha256 != expected["sha256"]:
        raise CheckpointError(f"{path} is not the file saved with {CONFIG_NAME} (its size or SHA-256 differs): "
                              "it was changed or damaged, or comes from another save")
    try:
        with safe_open(path, framework="pt", device="cpu") as weights:
            metadata = weights.metadata() or {}
            tensors = {name: weights.get_tensor(name) for name in weights.keys()}
    except SafetensorError as e:
        raise CheckpointError(f"{path} is not a readable safetensors file: {e}") from None
    if metadata.get(_CONFIG_DIGEST) != config_digest(config):
        raise CheckpointError(f"{os.path.join(directory, CONFIG_NAME)} was changed after it was saved "
                              f"(it no longer matches the config saved with {WEIGHTS_NAME})")
    return tensors


# --- reading one tensor at a time (a minimal reader; the full reader, with the sharded
# layout, replaces this block) ------------------------------------------------------------

_SAFETENSORS_DTYPES = {"F64": "float64", "F32": "float32", "F16": "float16", "BF16": "bfloat16", "C64": "complex64",
                       "I64": "int64", "I32": "int32", "I16": "int16", "I8": "int8", "U8": "uint8", "BOOL": "bool"}


def open_weights(directory, config):
    """The weights of the checkpoint in `directory`, checked as ``read_weights`` checks
    them and held open: ``with open_weights(directory, config) as weights: ...``."""
    return Weights(directory, config)


class Weights:
    """The tensors of one checkpoint's weights file, each read from the file when asked for."""

    def __init__(self, directory, config):
        import hashlib
        import struct

        import torch
        from safetensors import SafetensorError, safe_open

        path = os.path.join(directory, WEIGHTS_NAME)
        if not os.path.isfile(path):
            raise CheckpointError(f"{directory} holds no weights: {WEIGHTS_NAME} is missing")
        expected = config.get("weights")
        if not (isinstance(expected, dict) and isinstance(expected.get("bytes"), int)
                and isinstance(expected.get("sha256"), str)):
            raise CheckpointError(f"{os.path.join(directory, CONFIG_NAME)} has no valid \"weights\" entry: "
                                  "it was changed or damaged")
        # Hashed and read through one open file: a save that replaces it meanwhile
        # changes neither what is checked nor what is read.
        self._file = open(path, "rb", buffering=0)
        try:
            digest, size, block = hashlib.sha256(), 0, bytearray(1 << 20)
            while count := self._file.readinto(block):
                digest.update(memoryview(block)[:count])
                size += count
            if size < expected["bytes"]:
                raise CheckpointError(f"{path} is truncated: {size} of its {expected['bytes']} bytes are there")
            if size != expected["bytes"] or digest.hexdigest() != expected["sha256"]:
                raise CheckpointError(f"{path} is not the file saved with {CONFIG_NAME} (its size or SHA-256 "
                                      "differs): it was changed or damaged, or comes from another save")
            try:
                with safe_open(path, framework="pt", device="cpu") as weights:  # checks the header
                    metadata = weights.metadata() or {}
            except SafetensorError as e:
                raise CheckpointError(f"{path} is not a readable safetensors file: {e}") from None
            mine, now = os.fstat(self._file.fileno()), os.stat(path)
            if (mine.st_dev, mine.st_ino) != (now.st_dev, now.st_ino):
                raise CheckpointError(f"{path} was replaced while it was being loaded: load it again")
            if metadata.get(_CONFIG_DIGEST) != config_digest(config):
                raise CheckpointError(f"{os.path.join(directory, CONFIG_NAME)} was changed after it was saved "
                                      f"(it no longer matches the config saved with {WEIGHTS_NAME})")
            self._file.seek(0)
            length = struct.unpack("<Q", self._file.read(8))[0]
            header = json.loads(self._file.read(length))
            header.pop("__metadata__", None)
            self._start = 8 + length
            self._entries = {name: (getattr(torch, _SAFETENSORS_DTYPES[e["dtype"]]), tuple(e["shape"]),
                                    tuple(e["data_offsets"]))
                             for name, e in sorted(header.items(), key=lambda item: item[1]["data_offsets"])}
        except BaseException:
            self._file.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def names(self):
        return list(self._entries)

    def shape(self, name):
        return self._entries[name][1]

    def dtype(self, name):
        return self._entries[name][0]

    def read(self, name, device=None):
        import ctypes

        import torch

        dtype, shape, (begin, end) = self._entries[name]
        tensor = torch.empty(shape, dtype=dtype)
        if end > begin:
            into = memoryview((ctypes.c_char * (end - begin)).from_address(tensor.data_ptr())).cast("B")
            self._file.seek(self._start + begin)
            done = 0
            while done < len(into):
                count = self._file.readinto(into[done:])
                if not count:
                    raise CheckpointError(f"{self._file.name} ended while {name} was being read")
                done += count
        return tensor if device is None or torch.device(device).type == "cpu" else tensor.to(device)

    def close(self):
        self._file.close()
