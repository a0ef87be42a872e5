"""xarray for Zel data files: to_xarray() and the "zel" backend of xarray.open_dataset.

    xarray.open_dataset("run.zel", engine="zel")                  # lazy, every channel
    xarray.open_dataset("run.zel", engine="zel", units={"gauge": "force"})
    xarray.open_mfdataset(paths, engine="zel", combine="nested", concat_dim="file")

The dataset has one variable per channel that has data members, with dims ("segment", "row",
"column", "sample"), each in its channel's base unit unless `units` asks for another, the unit
in its "units" attribute. Its segment coordinate holds every segment that any channel has; a
channel's values in a segment it lacks are NaN. Nothing is read when the dataset opens but the
header and the member names; values are read when asked for, and only the segments asked for.
"""

from __future__ import annotations

import functools
import os
import threading
from collections.abc import Iterable, Mapping

import numpy as np
import xarray as xr
import zel_data_reader
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import _cache
from ._describe import SAMPLES, FileInfo, describe
from ._errors import ZelFileError, file_error
from ._quiet import quiet

DIMS = ("segment", "row", "column", "sample")

# Reads of one open object run one at a time: get_channel_data takes the object exclusively.
_read_lock = threading.Lock()


def _read(path: str, channel: str, segment: int, unit: str) -> np.ndarray:
    data = _cache.open_file(path)
    try:
        with _read_lock, quiet():
            return data.get_channel_data(channel, segment, unit)
    except OSError as error:
        raise file_error(path, error) from None


def _coords(side: int) -> dict:
    return {"row": np.arange(side), "column": np.arange(side), "sample": np.arange(SAMPLES)}


def to_xarray(path_or_file, channel: str, segment: int, unit: str | None = None):
    """One channel of one segment as an ``xarray.DataArray``, read now.

    `path_or_file` is a path or an open ``ZelDataFIle``; `unit` defaults to the channel's
    base unit. The array has dims ("row", "column", "sample") with integer coordinates, is
    named after the channel, and carries "units", "channel", "segment" and "file" in its
    attributes. Raises ZelFileError (an OSError) naming the file and the valid choices when
    the channel, unit or segment is not in the file.
    """
    if isinstance(path_or_file, zel_data_reader.ZelDataFIle):
        info = describe(path_or_file)
    else:
        info = _cache.describe_cached(path_or_file)
    unit = info.unit(channel, unit)
    segment = info.segment(channel, segment)
    if isinstance(path_or_file, zel_data_reader.ZelDataFIle):
        try:
            with _read_lock, quiet():
                values = path_or_file.get_channel_data(channel, segment, unit)
        except OSError as error:
            raise file_error(info.file, error) from None
    else:
        values = _read(info.file, channel, segment, unit)
    return xr.DataArray(
        values, dims=DIMS[1:], coords=_coords(values.shape[0]), name=channel,
        attrs={"units": unit, "channel": channel, "segment": segment, "file": info.file})


class ZelChannelArray(BackendArray):
    """The lazy values of one channel: (segment, row, column, sample), read per segment.

    It keeps the path, never an open object, so that it pickles for Dask; reads go through
    the per-process cache of open files.
    """

    def __init__(self, path: str, channel: str, unit: str, segments: tuple[int, ...],
                 present: frozenset[int], side: int) -> None:
        self.path = path
        self.channel = channel
        self.unit = unit
        self.segments = segments  # the dataset's segment coordinate
        self.present = present  # the segments this channel has; the others read as NaN
        self.side = side
        self.shape = (len(segments), side, side, SAMPLES)
        self.dtype = np.dtype(np.float64)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._raw_getitem)

    def _segment(self, segment: int) -> np.ndarray:
        if segment not in self.present:
            return np.full(self.shape[1:], np.nan)
        values = _read(self.path, self.channel, segment, self.unit)
        if values.shape != self.shape[1:]:
            raise ZelFileError(
                self.path, f"channel {self.channel!r} segment {segment} has shape "
                f"{values.shape}, expected {self.shape[1:]}")
        return values

    def _raw_getitem(self, key: tuple) -> np.ndarray:
        first, rest = key[0], tuple(key[1:])
        if isinstance(first, (int, np.integer)):
            return self._segment(self.segments[first])[rest]
        chosen = range(len(self.segments))[first]
        out = np.empty((len(chosen), *self.shape[1:]), dtype=self.dtype)
        for i, index in enumerate(chosen):
            out[i] = self._segment(self.segments[index])
        return out[(slice(None), *rest)]


def open_zel_dataset(path: str | os.PathLike, *, drop_variables: Iterable[str] | None = None,
                     units: Mapping[str, str] | None = None) -> xr.Dataset:
    """The lazy Dataset of a data file (what ``open_dataset(path, engine="zel")`` returns)."""
    path = os.fspath(path)
    info: FileInfo = _cache.describe_cached(path)
    units = dict(units or {})
    for name in units:
        info.channel(name)  # an unknown name fails here, naming the channels
    dropped = set(drop_variables or ())
    segments = info.segments
    variables = {}
    for channel in info.channels:
        if channel.name in dropped or not channel.members:
            continue
        unit = info.unit(channel.name, units.get(channel.name))
        sides = {info.side(channel.name, segment) for segment in channel.segments}
        if len(sides) != 1:
            raise ZelFileError(path, f"channel {channel.name!r} has grids of different sides "
                               f"in its segments: {sorted(sides)}")
        (side,) = sides
        array = ZelChannelArray(path, channel.name, unit, segments,
                                frozenset(channel.segments), side)
        attrs = {"units": unit, "long_name": channel.name}
        if channel.data_type is not None:
            attrs["zel_data_type"] = channel.data_type
        variable = xr.Variable(DIMS, indexing.LazilyIndexedArray(array), attrs=attrs)
        variable.encoding["preferred_chunks"] = {"segment": 1}
        variables[channel.name] = variable
    sides = {variable.shape[1] for variable in variables.values()}
    if len(sides) > 1:
        raise ZelFileError(path, f"the channels have grids of different sides: {sorted(sides)}")
    side = sides.pop() if sides else 0
    coords = {"segment": np.asarray(segments, dtype=np.int64), **_coords(side)}
    dataset = xr.Dataset(variables, coords=coords,
                         attrs={"file": path, "zel_members": info.members})
    # Closing lets go of the file that reads opened in this process (xarray's own close, and
    # open_mfdataset's, call this).
    dataset.set_close(functools.partial(_cache.forget, path))  # pickles, unlike a lambda
    return dataset


class ZelBackendEntrypoint(BackendEntrypoint):
    """Opens Zel data files: ``xarray.open_dataset(path, engine="zel", units=None)``.

    One variable per channel, dims ("segment", "row", "column", "sample"), loaded lazily;
    `units` maps channel names to the unit to read them in (default: the base unit).
    """

    description = "Zel data files (ZIP archives of measurement grids), read by zel_data_reader"
    url = "https://pypi.org/project/zel-data-reader/"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "units")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, units=None) -> xr.Dataset:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError("the zel engine opens paths only, not "
                            f"{type(filename_or_obj).__name__} objects")
        return open_zel_dataset(filename_or_obj, drop_variables=drop_variables, units=units)

    def guess_can_open(self, filename_or_obj) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        return os.path.splitext(os.fspath(filename_or_obj))[1].lower() == ".zel"


__all__ = ["ZelBackendEntrypoint", "ZelChannelArray", "open_zel_dataset", "to_xarray"]
