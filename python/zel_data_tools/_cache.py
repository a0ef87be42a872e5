"""A small per-process cache of open data files, for tasks and lazy arrays that take paths.

Opening a large archive walks its whole central directory, so a process that reads several
segments or channels of one file should open it once. Entries are keyed by the resolved path
and the file's identity (device, inode, size, modification time): a file replaced on disk is
opened afresh.
"""

from __future__ import annotations

import dataclasses
import os
import threading
from collections import OrderedDict

import zel_data_reader

from ._errors import file_error

MAX_OPEN = 4  # an open object of a huge archive holds its member index; keep few

_lock = threading.Lock()
_open: OrderedDict[tuple, zel_data_reader.ZelDataFIle] = OrderedDict()


def _key(path: str) -> tuple:
    status = os.stat(path)
    return (os.path.realpath(path), status.st_dev, status.st_ino, status.st_size,
            status.st_mtime_ns)


def open_file(path: str | os.PathLike) -> zel_data_reader.ZelDataFIle:
    """The open ZelDataFIle of `path`, from the cache when it is there."""
    path = os.fspath(path)
    try:
        key = _key(path)
    except OSError as error:
        raise file_error(path, error) from None
    with _lock:
        data = _open.get(key)
        if data is not None:
            _open.move_to_end(key)
            return data
    try:
        data = zel_data_reader.ZelDataFIle(path)
    except OSError as error:
        raise file_error(path, error) from None
    with _lock:
        _open[key] = data
        while len(_open) > MAX_OPEN:
            _open.popitem(last=False)
    return data


def clear() -> None:
    """Closes every cached file (their objects go when no one else holds them)."""
    with _lock:
        _open.clear()


def forget(path: str | os.PathLike) -> None:
    """Drops `path` from the cache; its object closes its file once no one else holds it."""
    real = os.path.realpath(os.fspath(path))
    with _lock:
        for key in [key for key in _open if key[0] == real]:
            del _open[key]


def describe_cached(path: str | os.PathLike):
    """describe(path) through the cached open object, which later reads then reuse."""
    from ._describe import describe

    path = os.fspath(path)
    return dataclasses.replace(describe(open_file(path)), file=path)
