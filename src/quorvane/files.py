"""Writing several files all-or-nothing: the converter's ``-o`` and ``quorvane.save``.

Each file is written into a new file beside its place, and only when all of them are
complete are they moved into place. On any failure (an interrupt included) every file is
as it was before: replaced ones are restored, new ones removed, and the folders made for
them removed again. Errors name the file the caller asked for, never a temporary one.
"""

import contextlib
import errno
import os
import shutil


def _new_file_beside(path):
    """A new, empty file next to `path`, created with the permissions the umask gives a
    new file (0666 masked), unlike tempfile's 0600."""
    directory = os.path.dirname(os.path.abspath(path))
    base = os.path.basename(path)
    for attempt in range(1000):
        candidate = os.path.join(directory, f".{base}.{os.getpid()}.{attempt}.tmp")
        try:
            return candidate, os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
    raise OSError(errno.EEXIST, "no free temporary name", path)


def _make_folders(path):
    """Creates the missing folders above `path`; returns those it made, deepest last."""
    made = []
    folder = os.path.dirname(os.path.abspath(path))
    missing = []
    while not os.path.exists(folder):
        missing.append(folder)
        folder = os.path.dirname(folder)
    for folder in reversed(missing):
        os.mkdir(folder)
        made.append(folder)
    return made


@contextlib.contextmanager
def _named(path):
    """An OSError raised inside names `path`, the file the caller asked for."""
    try:
        yield
    except OSError as e:
        if e.filename == path:
            raise
        raise OSError(e.errno, e.strerror or str(e), path) from None


def _backup(path):
    """A hard link to (or else a copy of) the file at `path`, under a new name beside it."""
    backup, handle = _new_file_beside(path)
    os.close(handle)
    os.unlink(backup)
    try:
        os.link(path, backup)
    except OSError:
        shutil.copy2(path, backup)
    return backup


def write_all_or_nothing(items):
    """Writes each ``(write, path)`` of `items`: ``write(temporary)`` fills a new file
    beside `path`, which then replaces `path`. Either every file is in place, complete,
    or (on any exception, which is raised again) none changed."""
    made, written, backups, placed = [], [], {}, []
    try:
        for _, path in items:
            with _named(path):
                made += _make_folders(path)
        for write, path in items:
            with _named(path):
                temporary, handle = _new_file_beside(path)
                os.close(handle)
                written.append((temporary, path))
                write(temporary)
        for _, path in written:
            if os.path.lexists(path):
                with _named(path):
                    backups[path] = _backup(path)
        for temporary, path in written:
            with _named(path):
                os.replace(temporary, path)
            placed.append(path)
    except BaseException:
        _undo(made, written, backups, placed)
        raise
    for backup in backups.values():
        with contextlib.suppress(OSError):
            os.unlink(backup)


def _undo(made, written, backups, placed):
    for path in reversed(placed):
        with contextlib.suppress(OSError):
            if path in backups:
                os.replace(backups.pop(path), path)
            else:
                os.unlink(path)
    for temporary, _ in written:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
    for backup in backups.values():
        with contextlib.suppress(OSError):
            os.unlink(backup)
    for folder in reversed(made):
        with contextlib.suppress(OSError):
            os.rmdir(folder)
