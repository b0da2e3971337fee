"""safetensors files, written and read by quorvane itself.

The format: an 8-byte little-endian header length, a JSON header ``{name: {"dtype",
"shape", "data_offsets": [begin, end]}, "__metadata__": {str: str}}`` padded with spaces
to a multiple of 8, then every tensor's raw little-endian bytes, back to back, offsets
counted from the end of the header. Files written here load with safetensors' own
``safe_open``, and files safetensors writes are read here.

Writing our own rather than calling ``safetensors.torch.save_file`` buys what that call
cannot give: the SHA-256 of the file computed from the very bytes written (one pass, no
second read of a file that may be larger than the page cache), the file created by the
caller with the umask's mode (safetensors renames a 0600 temporary file into place) and
a full disk reported as an ``OSError`` naming the file.

Reading checks the header before trusting it: its length bounded by the file and by
``MAX_HEADER``, every tensor's offsets inside the data, in order, not overlapping and
exactly as long as its shape and dtype say. Tensors are read straight into the memory
of a new tensor (``os.preadv``), one at a time, from a descriptor held open.
"""

import contextlib
import errno
import hashlib
import json
import math
import os
import stat
import struct

import torch

# Beyond safetensors' own bound on the header: a length past it is damage, not a header.
MAX_HEADER = 100_000_000
_BLOCK = 1 << 20  # hashed while still in the CPU's cache, then written
_FLAGS = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def _dtype_table():
    names = {"F64": "float64", "F32": "float32", "F16": "float16", "BF16": "bfloat16", "I64": "int64",
             "I32": "int32", "I16": "int16", "I8": "int8", "U8": "uint8", "BOOL": "bool", "C64": "complex64",
             "U64": "uint64", "U32": "uint32", "U16": "uint16", "F8_E4M3": "float8_e4m3fn",
             "F8_E4M3FNUZ": "float8_e4m3fnuz", "F8_E5M2": "float8_e5m2", "F8_E5M2FNUZ": "float8_e5m2fnuz"}
    return {code: getattr(torch, name) for code, name in names.items() if hasattr(torch, name)}


DTYPES = _dtype_table()  # {safetensors code: torch dtype}, those this torch has
CODES = {dtype: code for code, dtype in DTYPES.items()}


class FileFormatError(ValueError):
    """A file that is not a readable safetensors file (the message names it and says why)."""


def tensor_bytes(tensor):
    """The bytes of a contiguous CPU tensor as a memoryview of its own memory (no copy)."""
    flat = tensor.detach().resolve_conj().resolve_neg().reshape(-1)
    return memoryview(flat.view(torch.uint8).numpy())


def nbytes(tensor):
    return tensor.numel() * tensor.element_size()


def _write(fd, data, digest):
    view = memoryview(data).cast("B")
    for start in range(0, len(view), _BLOCK):
        block = view[start:start + _BLOCK]
        digest.update(block)
        while block:
            written = os.write(fd, block)
            if written <= 0:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            block = block[written:]


@contextlib.contextmanager
def _created(path):
    """A descriptor writing the file at `path`, created with the umask's mode when new
    (0666 masked, as ``open`` makes files); an OSError inside names `path`."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | _FLAGS, 0o666)
        try:
            yield fd
        finally:
            os.close(fd)
    except OSError as e:
        if e.filename is None:
            raise OSError(e.errno, e.strerror or str(e), os.fspath(path)) from None
        raise


def write_bytes(path, data):
    """Writes `data` at `path`; returns the file's (size, SHA-256) from the bytes written."""
    digest = hashlib.sha256()
    with _created(path) as fd:
        _write(fd, data, digest)
    return len(data), digest.hexdigest()


def write_file(path, tensors, metadata):
    """Writes `tensors` ({name: contiguous tensor}) at `path` as a safetensors file with
    `metadata` ({str: str}); returns the file's (size, SHA-256), hashed while written.

    The data is laid out by element size, largest first, in the given order within one
    size, so every tensor starts at a multiple of its element size (the header is padded
    to 8). A tensor on another device is copied to the CPU on its own, when written."""
    order = sorted(tensors, key=lambda name: -tensors[name].element_size())
    header, offset = {}, 0
    if metadata:
        header["__metadata__"] = metadata
    for name in order:
        tensor = tensors[name]
        header[name] = {"dtype": CODES[tensor.dtype], "shape": list(tensor.shape),
                        "data_offsets": [offset, offset + nbytes(tensor)]}
        offset += nbytes(tensor)
    text = json.dumps(header, separators=(",", ":")).encode("ascii")
    text += b" " * (-len(text) % 8)
    digest = hashlib.sha256()
    with _created(path) as fd:
        _write(fd, struct.pack("<Q", len(text)) + text, digest)
        for name in order:
            tensor = tensors[name]
            if tensor.numel():
                _write(fd, tensor_bytes(tensor if tensor.device.type == "cpu" else tensor.cpu()), digest)
    return 8 + len(text) + offset, digest.hexdigest()


# --- reading ----------------------------------------------------------------------------


def open_regular(path):
    """(descriptor, size) of the regular file at `path`, opened for reading; a FIFO or a
    device is refused without blocking on it. Raises FileNotFoundError when missing."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | _FLAGS)
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        raise FileFormatError(f"{path} is not a regular file")
    return fd, info.st_size


def _read_into(fd, view, offset):
    """Fills `view` from `fd` at `offset`; returns how many bytes the file had for it."""
    got = 0
    while got < len(view):
        if hasattr(os, "preadv"):
            count = os.preadv(fd, [view[got:]], offset + got)
        else:  # no positioned vectored read here: the descriptor is not shared across threads
            os.lseek(fd, offset + got, os.SEEK_SET)
            count = os.readv(fd, [view[got:]])
        if count == 0:
            break
        got += count
    return got


def fd_digest(fd, stop=None):
    """(size, SHA-256) of everything the open file `fd` holds, read from its start;
    None once the event `stop` is set."""
    digest, buffer, offset = hashlib.sha256(), memoryview(bytearray(_BLOCK)), 0
    while True:
        if stop is not None and stop.is_set():
            return None
        count = _read_into(fd, buffer, offset)
        digest.update(buffer[:count])
        offset += count
        if count < len(buffer):
            return offset, digest.hexdigest()


def _read_exact(fd, count, offset, path, what):
    buffer = bytearray(count)
    if _read_into(fd, memoryview(buffer), offset) != count:
        raise FileFormatError(f"{path} ends inside its {what}")
    return bytes(buffer)


def read_all(fd, count, path):
    """The first `count` bytes of the open file `fd`."""
    return _read_exact(fd, count, 0, path, "contents")


def _unique_keys(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f"the key {key!r} appears twice")
        seen[key] = value
    return seen


def _is_count(value):
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


class TensorFile:
    """One safetensors file, open, its header checked: names, shapes and dtypes without
    reading data, and each tensor read anew on request. `fd` is owned from here on."""

    def __init__(self, path, fd, size):
        self.path, self.fd, self.size = path, fd, size
        try:
            self.metadata, self.entries = self._header()
        except BaseException:
            self.close()
            raise

    def _header(self):
        path, size = self.path, self.size
        if size < 8:
            raise FileFormatError(f"{path} is {size} bytes long, too short for a safetensors file")
        (length,) = struct.unpack("<Q", _read_exact(self.fd, 8, 0, path, "header length"))
        if length > size - 8:
            raise FileFormatError(f"{path} claims a header of {length} bytes, beyond the file's {size}")
        if length > MAX_HEADER:
            raise FileFormatError(f"{path} claims a header of {length} bytes, more than the {MAX_HEADER} a "
                                  "safetensors header may have")
        try:
            header = json.loads(_read_exact(self.fd, length, 8, path, "header").decode("utf-8"),
                                object_pairs_hook=_unique_keys)
        except (UnicodeDecodeError, ValueError, RecursionError) as e:
            raise FileFormatError(f"{path}'s header is not valid JSON ({e})") from None
        if not isinstance(header, dict):
            raise FileFormatError(f"{path}'s header is not a JSON object")
        metadata = header.pop("__metadata__", {})
        if not (isinstance(metadata, dict) and all(isinstance(v, str) for v in metadata.values())):
            raise FileFormatError(f"{path}'s __metadata__ is not an object of strings")
        entries = []
        for name, info in header.items():
            entries.append(self._entry(name, info))
        entries.sort(key=lambda entry: entry[1])
        data, position = size - 8 - length, 0
        for name, begin, end, _, _ in entries:
            if begin != position:
                raise FileFormatError(f"{path}: {name}'s bytes " + (
                    "overlap another tensor's" if begin < position else "leave a gap after the tensor before it"))
            if end > data:
                raise FileFormatError(f"{path}: {name}'s bytes lie beyond the end of the file")
            position = end
        if position != data:
            raise FileFormatError(f"{path} has {data - position} bytes after its last tensor")
        return metadata, {name: (8 + length + begin, dtype, shape) for name, begin, _, dtype, shape in entries}

    def _entry(self, name, info):
        where = f"{self.path}: the header entry {name!r}"
        if not (isinstance(info, dict) and set(info) == {"dtype", "shape", "data_offsets"}):
            raise FileFormatError(f"{where} is not {{\"dtype\", \"shape\", \"data_offsets\"}}")
        code, shape, offsets = info["dtype"], info["shape"], info["data_offsets"]
        dtype = DTYPES.get(code) if isinstance(code, str) else None
        if dtype is None:
            raise FileFormatError(f"{where} has the dtype {code!r}, which this quorvane does not read")
        if not (isinstance(shape, list) and all(_is_count(n) for n in shape)):
            raise FileFormatError(f"{where} has the shape {shape!r}, not a list of sizes")
        if not (isinstance(offsets, list) and len(offsets) == 2 and all(_is_count(n) for n in offsets)
                and offsets[0] <= offsets[1]):
            raise FileFormatError(f"{where} has the data_offsets {offsets!r}, not [begin, end]")
        wanted = math.prod(shape) * dtype.itemsize
        if offsets[1] - offsets[0] != wanted:
            raise FileFormatError(f"{where} holds {offsets[1] - offsets[0]} bytes; a {code} tensor of shape "
                                  f"{tuple(shape)} needs {wanted}")
        return name, offsets[0], offsets[1], dtype, tuple(shape)

    def names(self):
        return list(self.entries)

    def read(self, name):
        """A new contiguous CPU tensor holding `name`, read from the file now."""
        if self.fd is None:
            raise ValueError(f"{self.path} is closed")
        offset, dtype, shape = self.entries[name]
        tensor = torch.empty(shape, dtype=dtype)
        if tensor.numel():
            view = tensor_bytes(tensor)
            if _read_into(self.fd, view, offset) != len(view):
                raise FileFormatError(f"{self.path} ends inside {name}: it was truncated while open")
            if dtype == torch.bool and bool((tensor.view(torch.uint8) > 1).any()):
                raise FileFormatError(f"{self.path}: {name} is a bool tensor holding bytes other than 0 and 1")
        return tensor

    def close(self):
        if getattr(self, "fd", None) is not None:
            fd, self.fd = self.fd, None
            os.close(fd)

    def __del__(self):  # a Weights dropped without close() gives its descriptors back
        try:
            self.close()
        except Exception:
            pass
