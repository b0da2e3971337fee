"""The files of a converted checkpoint and how they vouch for each other.

A checkpoint directory holds, when its tensors fit in one shard (``max_shard_size``,
5 GB by default), the one-file layout (format version 1):

- ``quorvane_model.safetensors``: every tensor of the converted network's ``state_dict``,
  a tensor registered under several names stored once, under its first name;
- ``quorvane_config.json``: what turns the plain architecture into the converted one
  (the converted positions and their layers, see ``quorvane.checkpoint``), which names
  share one tensor, and as its ``weights`` entry ``{"file", "bytes", "sha256"}`` of the
  weights file.

Larger ones are sharded (format version 2), as transformers shards a model:

- ``quorvane_model-00001-of-0000N.safetensors`` ... : the tensors in ``state_dict``
  order, a shard closed before the tensor that would take it past ``max_shard_size``
  (a tensor larger than that gets a shard of its own);
- ``quorvane_model.safetensors.index.json``: ``{"metadata": {"total_size": bytes of all
  tensors}, "weight_map": {name: shard file}}``, for tools that read transformers'
  sharded checkpoints;
- ``quorvane_config.json`` as above, its ``weights`` entry ``{"index": {"file", "bytes",
  "sha256"}, "files": [{"file", "bytes", "sha256"}, one per shard in order]}``.

The config is the root of trust. Every weights file's metadata holds the SHA-256 of the
config (without its ``weights`` entry), and the config holds every other file's size and
SHA-256, so an edited config, a changed, truncated, missing or swapped file and files from
two different saves are each told apart before anything is loaded. Sizes and digests are
computed from the bytes as they are written (one pass), and checked on the descriptor
the tensors are then read from. Reading uses JSON and our own safetensors reader only:
nothing is unpickled.

A save writes every file beside its place and moves the config in last (see
``quorvane.files``), so a reader holding the config of either save finds that save's
files or an error, never a mix; files of the earlier save that the new one does not
use (shards beyond the new count, the one-file weights after a sharded save and the
other way round) are removed only once the new set is in place. Every file is created
with the mode the umask gives (0644 under umask 022). Temporary files a killed save left
behind (``.<name>.<pid>.<n>.tmp`` of the names above, whose process is gone) are
removed by the next save into the directory.
"""

import hashlib
import json
import math
import os
import re
import threading

import torch

from quorvane.checkpoint import tensor_files
from quorvane.checkpoint.tensor_files import FileFormatError, TensorFile

CONFIG_NAME = "quorvane_config.json"
WEIGHTS_NAME = "quorvane_model.safetensors"
INDEX_NAME = "quorvane_model.safetensors.index.json"
SHARD_NAME = "quorvane_model-{:05d}-of-{:05d}.safetensors"
FORMAT = "quorvane-converted"
FORMAT_VERSION = 1
SHARDED_FORMAT_VERSION = 2
_CONFIG_DIGEST = "quorvane_config_sha256"
_SHARD = re.compile(r"quorvane_model-\d{5}-of-\d{5}\.safetensors")
_OURS = rf"(?:{re.escape(CONFIG_NAME)}|{re.escape(WEIGHTS_NAME)}|{re.escape(INDEX_NAME)}|{_SHARD.pattern})"
_TEMPORARY = re.compile(rf"\.{_OURS}\.(\d+)\.\d+\.tmp")


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


def parse_shard_size(value):
    """`max_shard_size` in bytes: a positive int, or a string as transformers takes it:
    an integer and a unit, ``"5GB"``/``"500MB"``/``"100KB"`` decimal, ``"2GiB"``/``"512MiB"``/
    ``"64KiB"`` binary (a lowercase final ``b`` of GB/MB/KB means bits: ``"5Gb"`` is 625 MB)."""
    if isinstance(value, int) and not isinstance(value, bool):
        if value > 0:
            return value
    elif isinstance(value, str):
        match = re.fullmatch(r"\s*(\d+)\s*([KMG])(i?)B\s*", value, re.IGNORECASE)
        if match and int(match[1]) > 0:
            power = "KMG".index(match[2].upper()) + 1
            if match[3]:
                return int(match[1]) << (10 * power)
            size = int(match[1]) * 10 ** (3 * power)
            return size // 8 if value.rstrip().endswith("b") else size
    raise ValueError(f"max_shard_size must be a positive number of bytes or a size such as \"5GB\", \"500MB\" or "
                     f"\"2GiB\", not {value!r}")


def shards(tensors, max_bytes):
    """`tensors` ({name: tensor}) split into shards of at most `max_bytes` of tensor data
    each, in order; a tensor larger than that alone in its shard."""
    groups, size = [{}], 0
    for name, tensor in tensors.items():
        count = tensor_files.nbytes(tensor)
        if groups[-1] and size + count > max_bytes:
            groups.append({})
            size = 0
        groups[-1][name] = tensor
        size += count
    return groups


def write_weights(path, tensors, config):
    """Saves `tensors` at `path` as safetensors, with `config`'s digest in the metadata;
    returns the file's (size, SHA-256)."""
    return tensor_files.write_file(path, tensors, {"format": "pt", _CONFIG_DIGEST: config_digest(config)})


def write_index(path, names, groups):
    """Writes at `path` the index of the shards `names` holding `groups` (as from
    ``shards``); returns its entry in the config."""
    index = {"metadata": {"total_size": sum(tensor_files.nbytes(t) for group in groups for t in group.values())},
             "weight_map": {name: file for file, group in zip(names, groups) for name in group}}
    size, sha256 = tensor_files.write_bytes(path, (json.dumps(index, indent=2, sort_keys=True) + "\n").encode("ascii"))
    return {"file": INDEX_NAME, "bytes": size, "sha256": sha256}


def write_config(path, config, weights):
    """Writes `config` at `path` as JSON, with `weights` (the entries of the files
    written before it, see the module's docstring) as its ``weights`` entry."""
    text = json.dumps(dict(config, weights=weights), indent=1) + "\n"
    tensor_files.write_bytes(path, text.encode("utf-8"))


def checkpoint_names(directory):
    """The names in `directory` that a checkpoint's files may have (our own patterns)."""
    try:
        listing = os.listdir(directory)
    except FileNotFoundError:
        return []
    return [name for name in listing if name in (CONFIG_NAME, WEIGHTS_NAME, INDEX_NAME) or _SHARD.fullmatch(name)]


def remove_unused(directory, keep):
    """Removes the weights files and index of an earlier save that a checkpoint of the
    files `keep` no longer uses. A file that cannot be removed stays: nothing reads it."""
    for name in checkpoint_names(directory):
        if name not in keep and name != CONFIG_NAME:
            try:
                os.unlink(os.path.join(directory, name))
            except OSError:
                pass


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process, or no way to tell: keep its files
        return True
    return True


def remove_dead_temporaries(directory):
    """Removes the temporary files of checkpoint saves into `directory` whose process is
    gone (killed before it could clean up); those of running saves stay, as does every
    file of another pattern."""
    if os.name != "posix":  # no way to ask whether a process lives without signalling it
        return
    try:
        listing = os.listdir(directory)
    except OSError:
        return
    for name in listing:
        match = _TEMPORARY.fullmatch(name)
        if match and int(match[1]) != os.getpid() and not _alive(int(match[1])):
            try:
                os.unlink(os.path.join(directory, name))
            except OSError:
                pass


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
    if version not in (FORMAT_VERSION, SHARDED_FORMAT_VERSION) or isinstance(version, bool):
        newer = isinstance(version, int) and not isinstance(version, bool) and version > SHARDED_FORMAT_VERSION
        raise CheckpointError(
            f"{path} has format version {version!r}; this quorvane reads versions {FORMAT_VERSION} and "
            f"{SHARDED_FORMAT_VERSION}"
            + (" (the checkpoint was written by a newer quorvane: upgrade quorvane to load it)" if newer else ""))
    return config


def _file_entry(entry, name):
    return (isinstance(entry, dict) and entry.get("file", name) == name and isinstance(entry.get("bytes"), int)
            and isinstance(entry.get("sha256"), str))


def _expected_files(directory, config):
    """[(name, size, sha256)] of the weights files the config vouches for, and the
    index's entry (None for the one-file layout)."""
    weights = config.get("weights")
    if config["format_version"] == FORMAT_VERSION:
        if _file_entry(weights, WEIGHTS_NAME):
            return [(WEIGHTS_NAME, weights["bytes"], weights["sha256"])], None
    elif (isinstance(weights, dict) and _file_entry(weights.get("index"), INDEX_NAME)
          and isinstance(weights.get("files"), list) and weights["files"]):
        count = len(weights["files"])
        names = [SHARD_NAME.format(number, count) for number in range(1, count + 1)]
        if all(_file_entry(entry, name) for entry, name in zip(weights["files"], names)):
            return ([(name, entry["bytes"], entry["sha256"]) for name, entry in zip(names, weights["files"])],
                    weights["index"])
    raise CheckpointError(f"{os.path.join(directory, CONFIG_NAME)} has no valid \"weights\" entry: "
                          "it was changed or damaged")


def _opened(directory, name, size, missing):
    """A descriptor of the file `name`, of the `size` the config gives; `missing` is the
    message for a file not there."""
    path = os.path.join(directory, name)
    try:
        fd, actual = tensor_files.open_regular(path)
    except FileNotFoundError:
        raise CheckpointError(missing) from None
    except FileFormatError as e:
        raise CheckpointError(f"{e}: it cannot be a weights file") from None
    except OSError as e:
        raise CheckpointError(f"cannot read {path}: {e.strerror or e}") from None
    if actual != size:
        os.close(fd)
        raise CheckpointError(f"{path} is truncated: {actual} of its {size} bytes are there" if actual < size else
                              _not_saved_with(path))
    return fd


def _not_saved_with(path):
    return (f"{path} is not the file saved with {CONFIG_NAME} (its size or SHA-256 differs): it was changed or "
            "damaged, or comes from another save")


def _check_digests(paths, fds, expected, stop=None):
    """Each file's SHA-256, hashed from its descriptor, is the config's: several files
    are hashed at once (hashlib lets go of the interpreter lock), the first wrong one in
    order reported. Nothing is reported once the event `stop` is set."""
    if len(fds) == 1:
        digests = [tensor_files.fd_digest(fds[0], stop)]
    else:
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=min(len(fds), os.cpu_count() or 1)) as pool:
            digests = list(pool.map(lambda fd: tensor_files.fd_digest(fd, stop), fds))
    if stop is not None and stop.is_set():
        return
    for path, digest, (_, size, sha256) in zip(paths, digests, expected):
        if digest != (size, sha256):
            raise CheckpointError(_not_saved_with(path))


class _BackgroundDigests:
    """The files' SHA-256 checked on a thread of its own while the caller reads them:
    the file is read from the page cache twice at once instead of one pass after the
    other. The thread hashes duplicates of the descriptors (the same open files), which
    it gives back once ``cancel`` or ``result`` has joined it."""

    def __init__(self, paths, fds, expected):
        self._stop, self._error, self._fds = threading.Event(), None, []
        try:
            self._fds.extend(os.dup(fd) for fd in fds)
        except BaseException:
            self._close()
            raise
        self._thread = threading.Thread(target=self._run, args=(paths, list(self._fds), expected),
                                        name="quorvane-checkpoint-digests", daemon=True)
        self._thread.start()

    def _close(self):
        fds, self._fds = self._fds, []
        for fd in fds:
            os.close(fd)

    def _run(self, paths, fds, expected):
        try:
            _check_digests(paths, fds, expected, self._stop)
        except BaseException as e:  # handed to the caller's thread by result()
            self._error = e

    def result(self):
        """Waits for the digests; raises the CheckpointError of the first wrong file."""
        self._thread.join()
        self._close()
        if self._error is not None:
            error, self._error = self._error, None
            raise error.with_traceback(None)

    def cancel(self):
        self._stop.set()
        self._thread.join()
        self._close()


def _read_index(directory, entry):
    path = os.path.join(directory, INDEX_NAME)
    fd = _opened(directory, INDEX_NAME, entry["bytes"],
                 f"{directory} holds a sharded checkpoint without its index: {INDEX_NAME} is missing")
    try:
        _check_digests([path], [fd], [(INDEX_NAME, entry["bytes"], entry["sha256"])])
        text = tensor_files.read_all(fd, entry["bytes"], path)
    finally:
        os.close(fd)
    try:
        index = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise CheckpointError(f"{path} is not valid JSON ({e})") from None
    if not (isinstance(index, dict) and isinstance(index.get("weight_map"), dict)
            and isinstance(index.get("metadata"), dict)):
        raise CheckpointError(f"{path} is not a shard index ({{\"metadata\", \"weight_map\"}})")
    return index


def _check_index(directory, index, files):
    path = os.path.join(directory, INDEX_NAME)
    found = {name: os.path.basename(file.path) for file in files for name in file.names()}
    for name, file in index["weight_map"].items():
        if found.get(name) != file:
            raise CheckpointError(f"{path} maps {name} to {file}, but " + (
                f"{found[name]} holds it" if name in found else "no weights file holds it"))
    missing = [name for name in found if name not in index["weight_map"]]
    if missing:
        raise CheckpointError(f"{path} does not map {missing[0]} (in {found[missing[0]]})")
    total = sum(math.prod(shape) * dtype.itemsize for file in files for _, dtype, shape in file.entries.values())
    if index["metadata"].get("total_size") != total:
        raise CheckpointError(f"{path} gives a total_size of {index['metadata'].get('total_size')!r}; the shards hold "
                              f"{total} bytes of tensors")


class Weights:
    """The weights files of one checkpoint, open and checked (see ``open_weights``)."""

    def __init__(self, files, digests=None):
        self._files, self._digests = files, digests
        self._where = {name: file for file in files for name in file.names()}

    def check_digests(self):
        """Waits for the SHA-256 of the files, when ``open_weights`` was asked to check
        them while they are read, and raises ``CheckpointError`` for a file that is not
        the one saved: call it before any value read counts."""
        digests, self._digests = self._digests, None
        if digests is not None:
            digests.result()

    def names(self):
        """Every tensor name, in file order."""
        return [name for file in self._files for name in file.names()]

    def shape(self, name):
        return self._where[name].entries[name][2]

    def dtype(self, name):
        return self._where[name].entries[name][1]

    def read(self, name, device=None):
        """A new contiguous tensor holding the saved value of `name`, read from the file
        now (nothing is cached), on `device` (the CPU when None): on the CPU the bytes go
        straight into the new tensor's memory; elsewhere through one CPU tensor."""
        try:
            tensor = self._where[name].read(name)
        except FileFormatError as e:
            raise CheckpointError(str(e)) from None
        if device is not None and torch.device(device).type != "cpu":
            tensor = tensor.to(device)
        return tensor

    def close(self):
        if self._digests is not None:
            self._digests.cancel()
            self._digests = None
        for file in self._files:
            file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open_weights(directory, config, *, digests_while_reading=False):
    """The checked weights files of the checkpoint in `directory` whose config (from
    ``read_config``) is `config`, held open: every file present, of its size and SHA-256,
    each weights file holding `config`'s digest, headers sound, and for a sharded
    checkpoint every tensor in one shard only and the index mapping each to its shard.
    A save that replaces the files meanwhile does not change what is read. Raises
    ``CheckpointError``. Use as ``with open_weights(directory, config) as weights:``.

    `digests_while_reading`: the SHA-256 of the weights files is computed on another
    thread while the caller reads, and ``Weights.check_digests()`` gives its verdict;
    a header found unsound meanwhile is reported as the wrong file it comes from."""
    directory = os.fspath(directory)
    expected, index_entry = _expected_files(directory, config)
    paths = [os.path.join(directory, name) for name, _, _ in expected]
    fds, files, digests = [], [], None
    try:
        for name, size, _ in expected:
            fds.append(_opened(directory, name, size,
                               f"{directory} holds no weights: {name} is missing" if len(expected) == 1 else
                               f"{directory} lacks {name}, one of the {len(expected)} weights files of its "
                               "checkpoint"))
        if digests_while_reading:
            digests = _BackgroundDigests(paths, fds, expected)
        else:
            _check_digests(paths, fds, expected)
        for path, (_, size, _) in zip(paths, expected):
            try:
                files.append(TensorFile(path, fds.pop(0), size))  # the file owns the descriptor from here on
            except FileFormatError as e:
                raise CheckpointError(f"{e}: it is not a readable safetensors file") from None
        digest = config_digest(config)
        for file in files:
            if file.metadata.get(_CONFIG_DIGEST) != digest:
                raise CheckpointError(f"{os.path.join(directory, CONFIG_NAME)} was changed after it was saved "
                                      f"(it no longer matches the config saved with {os.path.basename(file.path)})")
        seen = {}
        for file in files:
            for name in file.names():
                if name in seen:
                    raise CheckpointError(f"{name} is in both {seen[name]} and {os.path.basename(file.path)}")
                seen[name] = os.path.basename(file.path)
        if index_entry is not None:
            _check_index(directory, _read_index(directory, index_entry), files)
    except CheckpointError:
        _close_opened(files, fds, digests, wait=True)  # a wrong file's digest error comes first
        raise
    except BaseException:
        _close_opened(files, fds, digests, wait=False)
        raise
    return Weights(files, digests)


def _close_opened(files, fds, digests, wait):
    try:
        if digests is not None and wait:
            digests.result()
    finally:
        if digests is not None:
            digests.cancel()
        for file in files:
            file.close()
        for fd in fds:
            os.close(fd)


def read_weights(directory, config):
    """The tensors of the checkpoint in `directory` (on the CPU), after checking that the
    weights files are those `config` was saved with and that `config` is unchanged."""
    with open_weights(directory, config) as weights:
        return {name: weights.read(name) for name in weights.names()}
