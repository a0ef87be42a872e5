"""Many data files as one lazy Dask array, one chunk per file, read by tasks that take paths.

A ZelDataFIle cannot be pickled and the module holds the interpreter lock while it reads, so
files are read in parallel only by worker processes:

    from distributed import Client, LocalCluster
    from zel_data_tools import read_many

    with LocalCluster(n_workers=4, threads_per_worker=1, processes=True) as cluster, \\
            Client(cluster):
        stack = read_many(paths, "gauge", 0, "force")      # shape (files, side, side, 100)
        means = stack.mean(axis=-1).compute()
"""

from __future__ import annotations

import os
from collections.abc import Iterable

import dask
import dask.array as da
import numpy as np

from . import _cache
from ._describe import SAMPLES
from ._errors import ZelFileError, file_error
from ._quiet import quiet


def read_one(path: str, channel: str, segment: int, unit: str, side: int) -> np.ndarray:
    """One file's channel data, checked to have the grid side of the stack.

    The task of read_many: it takes a path, opens the file through the per-process cache,
    reads with the diagnostic lines silenced and returns a NumPy array.
    """
    data = _cache.open_file(path)
    try:
        with quiet():
            values = data.get_channel_data(channel, segment, unit)
    except OSError as error:
        raise file_error(path, error) from None
    if values.shape != (side, side, SAMPLES):
        raise ZelFileError(
            path, f"channel {channel!r} segment {segment} has shape {values.shape}, "
            f"but the stack's files have {(side, side, SAMPLES)}")
    return values


def read_many(paths: Iterable[str | os.PathLike], channel: str, segment: int,
              unit: str | None = None, *, side: int | None = None) -> da.Array:
    """A lazy Dask array of shape (files, side, side, 100), one chunk per file.

    Nothing is read but the first file's header and member names, which give the grid side
    (unless `side` is given) and, when `unit` is None, the channel's base unit, used for every
    file; each task then reads its file and checks its shape, raising ZelFileError naming the
    file when it differs. Compute it on a cluster of worker processes
    (``distributed.LocalCluster(processes=True)``) to read files in parallel: the threaded
    scheduler reads one file at a time, as the module holds the interpreter lock.
    """
    paths = [os.fspath(path) for path in paths]
    if not paths:
        raise ValueError("read_many needs at least one path")
    if side is None or unit is None:
        first = _cache.describe_cached(paths[0])
        unit = first.unit(channel, unit)
        if side is None:
            side = first.side(channel, first.segment(channel, segment))
    read = dask.delayed(read_one, pure=True)
    chunks = [
        da.from_delayed(read(path, channel, segment, unit, side),
                        shape=(side, side, SAMPLES), dtype=np.float64)
        for path in paths
    ]
    return da.stack(chunks)
