"""A small per-process cache of open data files, for lazy arrays and tasks that take paths.

Opening a large archive walks its whole central directory, so a process that reads several
segments or channels of one file should open it once. An entry is kept under the file's
absolute path and reused only while the path still leads to the same file: the same device,
inode, size and modification and change times (nanoseconds) as the ZelFile found when it was
opened. Any rewrite, in place (even one that puts the size and times back: the change time
still moves) or by renaming another file over it, opens the file afresh.

A lazy array or task that was made from a file it opened carries that file's identity; when
the path now leads to another file, reading fails naming the file rather than answering
from the wrong one.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict

from ._errors import ZelFileError, file_error
from ._file import ZelFile

Identity = tuple[int, int, int, int, int]  # device, inode, size, mtime ns, ctime ns

MAX_OPEN = 4  # an open file of a huge archive holds its member index; keep few

_lock = threading.Lock()
_open: OrderedDict[str, ZelFile] = OrderedDict()


def identity_of(path: str) -> Identity:
    """The identity of the file that `path` leads to now; ZelFileError when there is none."""
    try:
        status = os.stat(path)
    except OSError as error:
        raise file_error(path, error) from None
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns,
            status.st_ctime_ns)


def open_file(path: str | os.PathLike[str], expected: Identity | None = None) -> ZelFile:
    """The open ZelFile of `path` (made absolute), from the cache while it is the same file.

    With `expected`, the identity of the file as it was opened earlier (perhaps in another
    process), the file found must be that one: otherwise ZelFileError, saying that the file
    changed since it was opened.
    """
    path = os.path.abspath(os.fspath(path))
    now = identity_of(path)
    with _lock:
        cached = _open.get(path)
        if cached is not None and not cached.closed and cached.identity == now:
            _open.move_to_end(path)
            data = cached
        else:
            data = None
    if data is None:
        data = ZelFile(path)  # its identity is that of the descriptor it opened
        with _lock:
            _open[path] = data
            _open.move_to_end(path)
            while len(_open) > MAX_OPEN:
                _open.popitem(last=False)  # closes when no reader holds it any more
    if expected is not None and tuple(data.identity) != tuple(expected):
        raise ZelFileError(path, "the file changed since it was opened (it was rewritten or "
                           "replaced); open it again to read what it holds now")
    return data


def clear() -> None:
    """Lets go of every cached file (each closes once no one else holds it)."""
    with _lock:
        _open.clear()


def forget(path: str | os.PathLike[str]) -> None:
    """Lets go of the cached file of `path`, which closes once no one else holds it."""
    with _lock:
        _open.pop(os.path.abspath(os.fspath(path)), None)
