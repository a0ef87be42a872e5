"""xarray for Zel data files: to_xarray() and the "zel" backend of xarray.open_dataset.

    xarray.open_dataset("run.zel", engine="zel")                  # lazy, every channel
    xarray.open_dataset("run.zel", engine="zel", units={"gauge": "force"})
    xarray.open_mfdataset(paths, engine="zel", combine="nested", concat_dim="file")

The dataset has one variable per channel that has data members, with dims ("segment", "row",
"column", "sample"), each in its channel's base unit unless `units` asks for another, the unit
in its "units" attribute. Its segment coordinate holds every segment that any channel has; a
channel's values in a segment it lacks are NaN. Opening reads the header and the member names
only; values are read when asked for, and only the segments and grid rows asked for.

Names: a channel keeps its name as the variable's name unless that name is one of the dims
("segment", "row", "column", "sample") or no valid netCDF name (it holds "/" or a control
character, starts with a character other than a letter, digit, "_" or a non-ASCII one, or
ends in a space). Such a name is renamed: each character netCDF refuses becomes "_" (a "_" is
put in front of a refused first character), then "_" is appended until the name is taken by
no dim and no other variable; channels whose names need no change keep theirs. Every variable
keeps the channel's own name in its "zel_channel" attribute. Header keys become the dataset's
attribute names by the same rule.

The file read is always the file that was opened: the path is made absolute when the dataset
opens, and a read (here or in a Dask worker) that finds another file at that path fails with
ZelFileError naming it.
"""

from __future__ import annotations

import collections
import functools
import os
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import _cache
from ._file import ZelFile
from ._info import SAMPLES, ChannelInfo, FileInfo
from ._text import escaped

DIMS = ("segment", "row", "column", "sample")

# xarray's decoding keywords, which open_mfdataset and users pass out of habit. Nothing in a
# data file is encoded the way they undo (fill values, scale factors, times), so they are
# accepted and change nothing.
DECODING_KEYWORDS = ("mask_and_scale", "decode_times", "decode_timedelta", "use_cftime",
                     "concat_characters", "decode_coords")

FloatArray = npt.NDArray[np.float64]


# --- names --------------------------------------------------------------------------------


def _netcdf_safe(name: str) -> str:
    """`name` with what netCDF refuses in a name replaced by "_"."""
    chars = ["_" if ch < " " or ch in "/\x7f" else ch for ch in name]
    if not chars or (chars[0].isascii() and not (chars[0].isalnum() or chars[0] == "_")):
        chars.insert(0, "_")
    if chars[-1].isascii() and chars[-1].isspace():
        chars[-1] = "_"
    return "".join(chars)


def free_names(names: Iterable[str], reserved: Iterable[str] = ()) -> dict[str, str]:
    """A valid, distinct netCDF name for each of `names`, none of them in `reserved`.

    Names that are valid and not reserved stay as they are; the others are made safe and
    given trailing "_" until they are free. The same names always give the same result.
    """
    ordered = sorted(set(names))
    taken = set(reserved)
    result: dict[str, str] = {}
    for name in ordered:
        if _netcdf_safe(name) == name and name not in taken:
            result[name] = name
    taken.update(result.values())
    for name in ordered:
        if name in result:
            continue
        renamed = _netcdf_safe(name)
        while renamed in taken:
            renamed += "_"
        result[name] = renamed
        taken.add(renamed)
    return result


def dataset_attributes(data: ZelFile) -> dict[str, str | int]:
    """The header's values under their dotted keys, then "zel_file" (the absolute path) and
    "zel_members" (every member of the archive); str and int only, as netCDF stores them."""
    header = data.header
    # A path that is no valid text (bytes of a name that are no UTF-8) is kept as the error
    # lines show it, which netCDF can store.
    facts: dict[str, str | int] = {"zel_file": escaped(data.path),
                                   "zel_members": data.info.members}
    names = free_names(header, reserved=facts)
    attrs: dict[str, str | int] = {names[key]: header[key] for key in sorted(header)}
    attrs.update(facts)
    return attrs


# --- reading ------------------------------------------------------------------------------


def _coords(side: int) -> dict[str, npt.NDArray[np.int64]]:
    return {"row": np.arange(side), "column": np.arange(side), "sample": np.arange(SAMPLES)}


def _as_zel_file(path_or_file: Any, storage_options: dict[str, Any] | None = None) -> ZelFile:
    """A ZelFile of a path, a ZelFile, or an open ZelDataFIle of the module (by its path)."""
    if isinstance(path_or_file, ZelFile):
        return path_or_file
    if not isinstance(path_or_file, (str, os.PathLike)):
        # An open ZelDataFIle of the module: its location, as it was given to it.
        path_or_file = path_or_file.location
    return _cache.open_file(path_or_file, storage_options=storage_options)


def to_xarray(path_or_file: str | os.PathLike[str] | ZelFile | Any, channel: str,
              segment: int, unit: str | None = None, *,
              storage_options: dict[str, Any] | None = None) -> xr.DataArray:
    """One channel of one segment as an ``xarray.DataArray``, read now.

    `path_or_file` is a path, a ``ZelFile`` or an open ``ZelDataFIle`` of the module; `unit`
    defaults to the channel's base unit. The array has dims ("row", "column", "sample") with
    integer coordinates, is named after the channel (renamed as in open_dataset when the
    name is a dim's or no netCDF name), and carries the attributes of open_dataset's
    variables ("units", "long_name", "zel_channel") beside "zel_segment" and "zel_file" (the
    absolute path, as the dataset's attribute of that name holds it). Raises ZelFileError
    (an OSError) naming the file and the valid choices when the channel, unit or segment is
    not in the file.
    """
    data = _as_zel_file(path_or_file, storage_options)
    record = data._channel(channel)  # that channel's members alone
    unit = record.unit(data._named, unit)
    segment = record.segment(data._named, segment)
    values = data.read(channel, segment, unit)
    name = free_names([channel], reserved=DIMS)[channel]
    return xr.DataArray(
        values, dims=DIMS[1:], coords=_coords(values.shape[0]), name=name,
        attrs={"units": unit, "long_name": channel, "zel_channel": channel,
               "zel_segment": segment, "zel_file": escaped(data.path)})


def _selected(key: int | slice, size: int) -> tuple[range, bool]:
    """The positions a basic index selects, ascending, and whether to reverse them after."""
    if isinstance(key, slice):
        chosen = range(size)[key]
        if chosen.step < 0:
            return chosen[::-1], True
        return chosen, False
    at = range(size)[int(key)]
    return range(at, at + 1), False


def _back(key: int | slice, reversed_: bool) -> int | slice:
    """The index that turns what _selected read back into what `key` asked for."""
    if not isinstance(key, slice):
        return 0
    return slice(None, None, -1) if reversed_ else slice(None)


class ZelChannelArray(BackendArray):
    """The lazy values of one channel: (segment, row, column, sample).

    A read takes the segments and grid rows its key selects, and only those. The array keeps
    the absolute path and the identity of the file opened with the dataset, never an open
    object, so that it pickles for Dask; reads go through the per-process cache of open
    files and fail naming the file when the path now leads to another one.
    """

    def __init__(self, path: str, identity: tuple[int, int, int, int, int], channel: str,
                 unit: str, segments: Sequence[int], present: frozenset[int],
                 side: int, storage_options: dict[str, Any] | None = None,
                 index_slice: bytes | None = None) -> None:
        self.path = path  # or an fsspec URL, opened with storage_options
        self.storage_options = storage_options
        # Behind a URL: what reads need of the index (this channel's members), so that a
        # worker opens the file from it and fetches no directory.
        self.index_slice = index_slice
        self.identity = identity
        self.channel = channel
        self.unit = unit
        self.segments = tuple(segments)  # the dataset's segment coordinate
        self.present = present  # the segments this channel has; the others read as NaN
        self.side = side
        self.shape = (len(self.segments), side, side, SAMPLES)
        self.dtype = np.dtype(np.float64)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._raw_getitem)

    def _file(self) -> ZelFile:
        if self.index_slice is not None:
            return _cache.open_slice(self.path, self.identity, self.storage_options,
                                     self.index_slice)
        return _cache.open_file(self.path, self.identity, self.storage_options)

    def _raw_getitem(self, key: tuple[int | slice, ...]) -> FloatArray:
        segment_key, row_key, column_key, sample_key = key
        positions, segments_reversed = _selected(segment_key, len(self.segments))
        rows, rows_reversed = _selected(row_key, self.side)
        chosen = [self.segments[i] for i in positions]
        shape = (len(chosen), len(rows), self.side, SAMPLES)
        readable = [i for i, segment in enumerate(chosen) if segment in self.present]
        if chosen and len(readable) == len(chosen) and len(rows):
            data = self._file()
            values = data.read(self.channel, chosen, self.unit, rows=rows)
        else:
            values = np.full(shape, np.nan)
            if readable and len(rows):
                data = self._file()
                values[readable] = data.read(
                    self.channel, [chosen[i] for i in readable], self.unit, rows=rows)
        index = (_back(segment_key, segments_reversed), _back(row_key, rows_reversed),
                 column_key, sample_key)
        return values[index]


# --- the dataset --------------------------------------------------------------------------


def _channel_unit(info: FileInfo, channel: ChannelInfo, asked: str | None) -> str | None:
    """The unit to read `channel` in, or None (with a warning) when it names no base unit:
    every unit is reached from the base unit, so none of them reads."""
    if channel.base_unit is None:
        warnings.warn(f"{info.file}: channel {channel.name!r} names no base unit, so it is "
                      "left out of the dataset", UserWarning, stacklevel=2)
        return None
    return info.unit(channel.name, asked)


def _channel_side(info: FileInfo, channel: ChannelInfo) -> int | None:
    """The channel's grid side, or None (with a warning) when its members lie on no square
    grid of 100 samples per position or its segments disagree."""
    problem = channel.layout_problem()
    if problem is not None:
        warnings.warn(f"{info.file}: channel {channel.name!r} cannot be read: {problem}, so it "
                      "is left out of the dataset (reading it by name gives the error)",
                      UserWarning, stacklevel=2)
        return None
    sides = {info.side(channel.name, segment) for segment in channel.segments}
    if len(sides) == 1:
        return sides.pop()
    warnings.warn(f"{info.file}: channel {channel.name!r} has grids of different sides in its "
                  f"segments ({sorted(sides)}), so it is left out of the dataset",
                  UserWarning, stacklevel=2)
    return None


def _units_mapping(units: object) -> dict[str, str]:
    """`units` as {channel: unit}; a TypeError that shows the form when it is something else
    (a plain unit name, most often)."""
    example = 'units={"gauge": "force"}'
    if units is None:
        return {}
    if not isinstance(units, Mapping):
        raise TypeError(f"units maps channel names to units, such as {example}, not "
                        f"{type(units).__name__} {units!r}")
    for channel, unit in units.items():
        if not isinstance(channel, str) or not isinstance(unit, str):
            raise TypeError(f"units maps channel names to units, both str, such as {example}; "
                            f"not {channel!r}: {unit!r}")
    return dict(units)


def open_zel_dataset(path: str | os.PathLike[str], *,
                     drop_variables: str | Iterable[str] | None = None,
                     units: Mapping[str, str] | None = None,
                     storage_options: dict[str, Any] | None = None) -> xr.Dataset:
    """The lazy Dataset of a data file (what ``open_dataset(path, engine="zel")`` returns).
    `path` may be an fsspec URL, opened with `storage_options`."""
    path = _cache.absolute(path)
    if not _cache.is_remote(path):
        storage_options = None
    asked = _units_mapping(units)
    data = _cache.open_file(path, storage_options=storage_options, for_info=True)
    info = data.info
    crlf = info.crlf_warning()
    if crlf is not None:
        warnings.warn(f"{path}: {crlf}", UserWarning, stacklevel=2)
    for name in asked:
        info.channel(name)  # an unknown name fails here, naming the channels
    names = free_names(info.channel_names, reserved=DIMS)
    dropped = {drop_variables} if isinstance(drop_variables, str) else set(drop_variables or ())
    laid_out: list[tuple[ChannelInfo, str, int]] = []
    for channel in info.channels:
        if dropped & {channel.name, names[channel.name]}:
            continue
        if not channel.members:
            if crlf is None:  # else the warning above says why
                warnings.warn(f"{path}: channel {channel.name!r} has no data members, so it "
                              "is left out of the dataset", UserWarning, stacklevel=2)
            continue
        unit = _channel_unit(info, channel, asked.get(channel.name))
        side = _channel_side(info, channel) if unit is not None else None
        if unit is not None and side is not None:
            laid_out.append((channel, unit, side))
    # The grid's rows and columns are shared: a channel on another grid than most cannot be
    # laid out beside them.
    side = collections.Counter(s for _, _, s in laid_out).most_common(1)[0][0] \
        if laid_out else 0
    segments = info.segments
    variables: dict[str, xr.Variable] = {}
    for channel, unit, own_side in laid_out:
        if own_side != side:
            warnings.warn(f"{path}: channel {channel.name!r} has a {own_side} x {own_side} grid, "
                          f"the others {side} x {side}, so it is left out of the dataset",
                          UserWarning, stacklevel=2)
            continue
        array = ZelChannelArray(path, data.identity, channel.name, unit, segments,
                                frozenset(channel.segments), side, storage_options,
                                data._index_slice(channel.name, channel.segments))
        attrs = {"units": unit, "long_name": channel.name, "zel_channel": channel.name}
        variable = xr.Variable(DIMS, indexing.LazilyIndexedArray(array), attrs=attrs)
        # Whole segments, whole rows and all samples of a position are read together; any
        # run of rows costs what it holds, so rows are left to the caller.
        variable.encoding["preferred_chunks"] = {"segment": 1, "column": side,
                                                 "sample": SAMPLES}
        variables[names[channel.name]] = variable
    coords = {"segment": np.asarray(segments, dtype=np.int64), **_coords(side)}
    dataset = xr.Dataset(variables, coords=coords, attrs=dataset_attributes(data))
    dataset.encoding["source"] = path
    # Closing lets go of the file that reads opened in this process (xarray's own close, and
    # open_mfdataset's, call this).
    # A partial pickles, unlike a lambda.
    dataset.set_close(functools.partial(_cache.forget, path, storage_options))
    return dataset


class ZelBackendEntrypoint(BackendEntrypoint):
    """Opens Zel data files: ``xarray.open_dataset(path, engine="zel", units=None)``.

    One variable per channel, dims ("segment", "row", "column", "sample"), loaded lazily;
    `units` maps channel names to the unit to read them in (default: the base unit). xarray's
    decoding keywords (decode_times and the like) are accepted and change nothing.
    """

    description = "Zel data files (ZIP archives of measurement grids), read by zel_data_tools"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "units", "storage_options",
                               *DECODING_KEYWORDS)

    def open_dataset(  # type: ignore[override]
        self, filename_or_obj: str | os.PathLike[str], *,
        drop_variables: str | Iterable[str] | None = None,
        units: Mapping[str, str] | None = None,
        storage_options: dict[str, Any] | None = None,
        mask_and_scale: object = None, decode_times: object = None,
        decode_timedelta: object = None, use_cftime: object = None,
        concat_characters: object = None, decode_coords: object = None,
    ) -> xr.Dataset:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError("the zel engine opens paths only, not "
                            f"{type(filename_or_obj).__name__} objects")
        return open_zel_dataset(filename_or_obj, drop_variables=drop_variables, units=units,
                                storage_options=storage_options)

    def guess_can_open(self, filename_or_obj: object) -> bool:
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        return os.path.splitext(os.fspath(filename_or_obj))[1].lower() == ".zel"


__all__ = ["DECODING_KEYWORDS", "ZelBackendEntrypoint", "ZelChannelArray", "dataset_attributes",
           "free_names", "open_zel_dataset", "to_xarray"]
