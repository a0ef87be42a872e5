"""Many data files as one lazy Dask array, one chunk per file, read by tasks that take paths.

The tools' reader releases the interpreter lock while it reads, so both Dask's threaded
scheduler and worker processes read files in parallel:

    from distributed import Client, LocalCluster
    from zel_data_tools import read_many

    stack = read_many(paths, "gauge", 0, "force")      # shape (files, side, side, 100)
    means = stack.mean(axis=-1).compute()             # threads of this process
    with LocalCluster(n_workers=4, threads_per_worker=1, processes=True) as cluster, \\
            Client(cluster):
        means = stack.mean(axis=-1).compute()         # worker processes
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.delayed import delayed

from . import _cache, _remote
from ._errors import ZelFileError
from ._file import ZelFile
from ._info import SAMPLES

Identity = _cache.Identity
OPENS_IN_FLIGHT = 8  # files behind URLs opened side by side while the stack is made


def _unlike(path: str, first: str | None, what: str) -> ZelFileError:
    ruler = f"the stack's first file, {first}" if first is not None else "the stack"
    return ZelFileError(path, f"{what}, unlike {ruler}")


def read_one(path: str, identity: Identity, channel: str, segment: int, unit: str,
             side: int, first: str | None = None,
             storage_options: dict[str, Any] | None = None,
             index_slice: bytes | None = None) -> npt.NDArray[np.float64]:
    """One file's channel data, checked to fit the stack: the task of read_many.

    It takes an absolute path and the identity the file had when read_many was called,
    opens the file through the per-process cache, checks that it is still that file and
    that it has the channel, unit, segment and grid side of the stack, and returns a NumPy
    array. Every failure is a ZelFileError naming the file (and `first`, the file that set
    the stack's shape, when the file differs from it). A file behind a URL comes with the
    index slice of its channel and segment, when one could be made: the task then opens the
    file from it and fetches no directory.
    """
    data = (_cache.open_slice(path, identity, storage_options, index_slice)
            if index_slice is not None else _cache.open_file(path, identity, storage_options))
    found = data._channel_or_none(channel)  # that channel's members alone
    if found is None:
        names = data.info.channel_names
        raise _unlike(path, first, f"no channel {channel!r} (its channels are "
                      f"{', '.join(names) or 'none'})")
    if unit not in found.units:
        raise _unlike(path, first, f"channel {channel!r} has no unit {unit!r} (its units are "
                      f"{', '.join(found.units) or 'none'})")
    if segment not in found.segments:
        listed = ", ".join(map(str, found.segments)) or "none"
        raise _unlike(path, first, f"channel {channel!r} has no segment {segment} (its "
                      f"segments are {listed})")
    own = found.side(data._named, segment)
    if own != side:
        raise _unlike(path, first, f"channel {channel!r} segment {segment} has shape "
                      f"{(own, own, SAMPLES)}, but the stack's files have {(side, side, SAMPLES)}")
    return data.read(channel, segment, unit)


def _identity(path: str, storage_options: dict[str, Any] | None) -> Identity:
    """The identity of a local file, or of an object behind a URL (one request)."""
    if _cache.is_remote(path):
        return _remote.RemoteObject(path, storage_options).identity
    return _cache.identity_of(path)


def _task_state(path: str, storage_options: dict[str, Any] | None, channel: str,
                segment: int) -> tuple[Identity, bytes | None]:
    """A file's identity and, behind a URL, the index slice of its channel and segment, from
    an open of it here (the directory is fetched once, here, rather than by every worker).
    Where the open or the slice fails, the task goes without one and opens the file itself,
    meeting the error where it would have."""
    if not _cache.is_remote(path):
        return _cache.identity_of(path), None
    try:
        data = ZelFile(path, storage_options)
    except ZelFileError:
        return _identity(path, storage_options), None
    try:
        return data.identity, data._index_slice(channel, [segment])
    finally:
        data.close()


def read_many(paths: Iterable[str | os.PathLike[str]], channel: str, segment: int,
              unit: str | None = None, *, side: int | None = None,
              storage_options: dict[str, Any] | None = None) -> da.Array:
    """A lazy Dask array of shape (files, side, side, 100), one chunk per file.

    Paths may be fsspec URLs, opened with `storage_options` (which the tasks carry to the
    workers). Paths are made absolute now, so the array reads the same files from any folder and on
    workers started elsewhere; each file's identity is taken now too, and a task that finds
    another file at its path fails naming it. Nothing is read but the first file's header
    and member names, which give the grid side (unless `side` is given) and, when `unit` is
    None, the channel's base unit, used for every file. Each task checks its file against
    the stack and raises ZelFileError naming the file and what differs.

    The reads release the interpreter lock: Dask's threaded scheduler reads several files at
    once, and so do worker processes (``distributed.LocalCluster(processes=True)``).
    """
    absolute = [_cache.absolute(path) for path in paths]
    if not absolute:
        raise ValueError("read_many needs at least one path")
    first = _cache.open_file(absolute[0], storage_options=storage_options)
    states = [(first.identity, first._index_slice(channel, [segment]))]
    rest = absolute[1:]
    if any(_cache.is_remote(path) for path in rest):
        # Remote opens wait on the network: a few side by side.
        with ThreadPoolExecutor(max_workers=min(len(rest), OPENS_IN_FLIGHT)) as pool:
            states += pool.map(lambda path: _task_state(path, storage_options, channel, segment),
                               rest)
    else:
        states += [(_cache.identity_of(path), None) for path in rest]
    ruler = absolute[0] if side is None or unit is None else None
    if side is None or unit is None:
        record = first._channel(channel)
        unit = record.unit(first._named, unit)
        if side is None:
            side = record.side(first._named, record.segment(first._named, segment))
    read: Any = delayed(read_one, pure=True)
    from_delayed: Any = da.from_delayed  # dask.array's functions carry no types
    stack: Any = da.stack
    chunks = [
        from_delayed(read(path, identity, channel, segment, unit, side, ruler,
                          storage_options if _cache.is_remote(path) else None, index_slice),
                     shape=(side, side, SAMPLES), dtype=np.float64)
        for path, (identity, index_slice) in zip(absolute, states)
    ]
    result: da.Array = stack(chunks)
    return result
