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
from typing import Any

from . import _remote
from ._errors import ZelFileError, check_unchanged, file_error
from ._file import ZelFile
from ._lru import Lru

Identity = tuple[int, int, int, int, int]  # device, inode, size, mtime ns, ctime ns

MAX_OPEN = 4  # an open file of a huge archive holds its member index; keep few

# A dropped file closes once no reader holds it any more; a forked child starts empty.
_open: Lru[str, ZelFile] = Lru(MAX_OPEN)
# Files opened from index slices, by URL key, identity and slice.
_sliced: Lru[tuple[str, tuple[int, ...], bytes], ZelFile] = Lru(MAX_OPEN)


def identity_of(path: str, named: str | None = None) -> Identity:
    """The identity of the file that `path` leads to now; ZelFileError naming the file as
    `named` (the path as given, else `path`) when there is none."""
    try:
        status = os.stat(path)
    except OSError as error:
        raise file_error(path if named is None else named, error) from None
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns,
            status.st_ctime_ns)


def _url_key(url: str, storage_options: dict[str, Any] | None) -> str:
    # Options are part of the key: the same URL with other credentials may see other bytes.
    return f"{url}\0{sorted((storage_options or {}).items(), key=lambda item: item[0])!r}"


def _open_url(url: str, expected: Identity | None,
              storage_options: dict[str, Any] | None) -> ZelFile:
    """The open ZelFile of an fsspec URL. A cached one is used without asking the server again
    while it has the expected identity (size and version); otherwise the URL is opened anew,
    which costs one request when the directory of that version is remembered."""
    key = _url_key(url, storage_options)
    cached = _open.get(key, lambda data: not data.closed and (
        expected is None or tuple(data.identity) == tuple(expected)))
    if cached is not None:
        return cached
    data = ZelFile(url, storage_options)
    _open.put(key, data)
    check_unchanged(data.path, data.identity, expected)
    return data


def open_slice(url: str, expected: Identity, storage_options: dict[str, Any] | None,
               blob: bytes) -> ZelFile:
    """A ZelFile that reads what the index slice `blob` holds of the object behind `url`,
    which must still have the identity `expected`: the whole file when this process has it
    open already, else one opened from the slice (and kept for the next read), whose open
    fetches no directory."""
    key = _url_key(url, storage_options)
    whole = _open.get(key, lambda data: not data.closed
                      and tuple(data.identity) == tuple(expected))
    if whole is not None:
        return whole
    sliced_key = (key, tuple(expected), blob)
    cached = _sliced.get(sliced_key, lambda data: not data.closed)
    if cached is not None:
        return cached
    data = ZelFile._from_slice(url, storage_options, expected, blob)
    _sliced.put(sliced_key, data)
    return data


def is_remote(path: str | os.PathLike[str]) -> bool:
    """Whether `path` is a URL read through fsspec (file:// URLs are local paths)."""
    named = os.fspath(path)
    return _remote.is_url(named) and _remote.local_path(named) is None


def absolute(path: str | os.PathLike[str]) -> str:
    """A local path made absolute (``~`` and file:// undone), or a remote URL as it is."""
    named = os.fspath(path)
    if is_remote(named):
        return named
    if _remote.is_url(named):
        named = _remote.local_path(named) or named
    return os.path.abspath(os.path.expanduser(named))


def open_file(path: str | os.PathLike[str], expected: Identity | None = None,
              storage_options: dict[str, Any] | None = None, for_info: bool = False) -> ZelFile:
    """The open ZelFile of `path` (made absolute), from the cache while it is the same file;
    `for_info`, when the caller asks for its `info` at once (ZelFile._for_info).

    With `expected`, the identity of the file as it was opened earlier (perhaps in another
    process), the file found must be that one: otherwise ZelFileError, saying that the file
    changed since it was opened. `path` may be an fsspec URL, opened with `storage_options`.
    """
    if is_remote(path):
        return _open_url(os.fspath(path), expected, storage_options)
    named = os.fspath(path)
    if _remote.is_url(named):
        named = _remote.local_path(named) or named
    named = os.path.expanduser(named)
    path = os.path.abspath(named)
    now = identity_of(path, named)
    data = _open.get(path, lambda cached: not cached.closed and cached.identity == now)
    if data is None:
        try:
            # Its identity is that of the descriptor it opened.
            data = ZelFile._for_info(path) if for_info else ZelFile(path)
        except ZelFileError as error:
            raise error.named(named) from None
        _open.put(path, data)
    check_unchanged(named, data.identity, expected)
    return data


def clear() -> None:
    """Lets go of every cached file (each closes once no one else holds it)."""
    _open.clear()
    _sliced.clear()


def forget(path: str | os.PathLike[str],
           storage_options: dict[str, Any] | None = None) -> None:
    """Lets go of the cached file of `path`, which closes once no one else holds it."""
    key = (_url_key(os.fspath(path), storage_options) if is_remote(path)
           else os.path.abspath(os.fspath(path)))
    _open.discard(lambda cached: cached != key)
    _sliced.discard(lambda sliced_key: sliced_key[0] != key)
