"""zel export: channels to .npy, .npz, .csv or .nc, streamed one segment at a time.

Memory stays at a few segments whatever the file's size: every array is read, written and
let go before the next one is read. Files are written through _output.Outputs, complete or
not at all.
"""

from __future__ import annotations

import csv
import io
import os
import sys
import zipfile
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, BinaryIO, TypeVar

import numpy as np
from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

from ._errors import MissingExtra, UsageError, ZelFileError
from ._file import ZelFile
from ._info import SAMPLES, FileInfo
from ._output import OutputError, Outputs, safe_name
from ._text import escaped

if TYPE_CHECKING:
    import xarray as xr

FORMATS = ("npy", "npz", "csv", "nc")
STANDARD_OUTPUT = "-"
STREAMABLE = ("npy", "csv")  # the formats that can go to standard output
PLACEHOLDERS = ("{channel}", "{segment}")

T = TypeVar("T")


@dataclass(frozen=True)
class ExportRequest:
    """What the command line asked for."""

    file: str
    output: str
    channels: Sequence[str] = ()  # empty: every channel
    segments: Sequence[int] | None = None  # None: every segment of each channel
    unit: str | None = None  # the unit of the channels that `units` does not name
    units: Mapping[str, str] = field(default_factory=dict)  # channel -> unit
    format: str | None = None  # None: from the output's extension


@dataclass(frozen=True)
class Selection:
    channel: str
    segment: int
    unit: str

    def __str__(self) -> str:
        return f"{escaped(self.channel)} segment {self.segment} in {escaped(self.unit)}"


def output_format(output: str, chosen: str | None) -> str:
    """The format to write: `chosen` (--format), else the output's extension, any case."""
    if chosen is not None:
        if chosen not in FORMATS:
            raise UsageError(f"--format must be one of {', '.join(FORMATS)}, not {chosen!r}")
        if output == STANDARD_OUTPUT and chosen not in STREAMABLE:
            raise UsageError(f"-o - writes to standard output, which takes "
                             f"{' or '.join(STREAMABLE)} only, not {chosen}")
        return chosen
    if output == STANDARD_OUTPUT:
        raise UsageError("-o - writes to standard output: choose its format with "
                         "--format npy or --format csv")
    extension = os.path.splitext(output)[1].lower().lstrip(".")
    if extension not in FORMATS:
        raise UsageError(f"OUT must end in .{', .'.join(FORMATS)} (any case), or give "
                         f"--format: {escaped(output)}")
    return extension


def _unique(items: Iterable[T]) -> list[T]:
    return list(dict.fromkeys(items))


def selections(info: FileInfo, request: ExportRequest,
               warn: Callable[[str], None]) -> list[Selection]:
    """(channel, segment, unit) of every array to write, each once, checked against the
    file. Exporting every channel leaves out, with a warning, those without a base unit
    when no unit was given for them."""
    for name in request.units:
        info.channel(name)  # an unknown name fails here, naming the channels
    named = _unique(request.channels)
    chosen = named or list(info.channel_names)
    segments = None if request.segments is None else _unique(request.segments)
    result: list[Selection] = []
    for name in chosen:
        channel = info.channel(name)
        given = request.units.get(name, request.unit)
        if not named and (not channel.members or (given is None and channel.base_unit is None)):
            if channel.members:
                warn(f"{info.file}: channel {name!r} names no base unit and is left out; "
                     f"give --unit {name}=UNIT to export it")
            continue
        unit = info.unit(name, given)
        for segment in channel.segments if segments is None else segments:
            result.append(Selection(name, info.segment(name, segment), unit))
    if not result:
        raise ZelFileError(info.file, "nothing to export: "
                           + ("the channels chosen have no data members" if named else
                              "no channel of the file has data members"))
    return result


def npy_names(output: str, chosen: Sequence[Selection]) -> list[str]:
    """The file of each array: OUT itself, or OUT with {channel} and {segment} filled in
    (channel names made safe for file names; see _output.safe_name)."""
    if not any(placeholder in output for placeholder in PLACEHOLDERS):
        if len(chosen) > 1:
            raise UsageError(
                f"{len(chosen)} arrays selected, but .npy holds one: put {{channel}} and "
                "{segment} into OUT (such as out-{channel}-{segment}.npy), or write .npz, "
                ".csv or .nc")
        return [output]
    names = [output.replace("{channel}", safe_name(s.channel))
             .replace("{segment}", str(s.segment)) for s in chosen]
    if len(set(names)) != len(names):
        missing = [p for p in PLACEHOLDERS if p not in output]
        raise UsageError(f"{len(chosen)} arrays selected, but OUT names fewer files: put "
                         f"{' and '.join(missing)} into it as well")
    return names


def _progress(items: Sequence[T], what: str) -> Iterator[T]:
    # On stderr, only at a terminal (disable=None), and only once the work lasts a moment.
    return iter(tqdm(items, desc=f"zel export: {what}", unit="array", file=sys.stderr,
                     disable=None if len(items) > 2 else True, delay=0.5, leave=False))


def export(request: ExportRequest, *, report: Callable[[str], None],
           warn: Callable[[str], None]) -> int:
    """Writes what `request` asks for; calls `report` with one line per file written."""
    kind = output_format(request.output, request.format)
    if any(p in request.output for p in PLACEHOLDERS) and kind != "npy":
        raise UsageError("{channel} and {segment} in OUT name several .npy files; "
                         f".{kind} holds every array in one file")
    if kind == "nc":
        _check_netcdf_extra()
    with ZelFile(request.file) as data:
        chosen = selections(_named_as_given(data, request.file), request, warn)
        if request.output == STANDARD_OUTPUT:
            _to_standard_output(data, kind, chosen)
            return 0
        names = npy_names(request.output, chosen) if kind == "npy" else [request.output]
        with Outputs(inputs=[data.identity[:2]]) as outputs:
            for name in names:
                outputs.check(name)
            if kind == "npy":
                for name, selection in zip(names, _progress(chosen, "writing")):
                    with outputs.file(name) as stream:
                        _write_npy(stream, _read(data, selection))
            elif kind == "npz":
                with outputs.file(request.output) as stream:
                    _write_npz(stream, data, chosen)
            elif kind == "csv":
                with outputs.file(request.output) as stream:
                    _write_csv(stream, data, chosen)
            else:
                temporary = outputs.path(request.output)
                path, channels = data.path, data.info.channel_names
                # The dataset reads the file itself: one open index of it is enough.
                data.close()
                with outputs.writing(request.output):
                    _write_netcdf(temporary, request.output, path, channels, chosen)
    if kind == "npy":
        for name, selection in zip(names, chosen):
            report(f"wrote {escaped(name)}: {selection}")
    else:
        report(f"wrote {escaped(request.output)}: " + "; ".join(map(str, chosen)))
    return 0


def _named_as_given(data: ZelFile, path: str) -> FileInfo:
    # Errors name the file as the user named it.
    info = data.info
    return FileInfo(path, info.members, info.grid, info.channels)


def _read(data: ZelFile, selection: Selection) -> np.ndarray[Any, np.dtype[np.float64]]:
    return data.read(selection.channel, selection.segment, selection.unit)


# --- the formats --------------------------------------------------------------------------


class _Writes:
    """Only the write method of a stream: NumPy then writes an array through it in buffered
    pieces, and a full disk is the stream's OSError (a real file gets tofile, whose error
    says only how many bytes were written)."""

    def __init__(self, stream: BinaryIO) -> None:
        self.write = stream.write


def _write_npy(stream: BinaryIO, values: np.ndarray[Any, Any]) -> None:
    np.lib.format.write_array(_Writes(stream), values, allow_pickle=False)


def npz_key(selection: Selection) -> str:
    """The name of an array in the .npz: CHANNEL/SEGMENT, the channel made safe as a file
    name (an .npz is a ZIP archive, and unzip makes its members files)."""
    return f"{safe_name(selection.channel)}/{selection.segment}"


def _write_npz(stream: BinaryIO, data: ZelFile, chosen: Sequence[Selection]) -> None:
    # What np.savez writes, one member at a time: no array waits for the others.
    with zipfile.ZipFile(stream, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as zf:
        for selection in _progress(chosen, "writing"):
            values = _read(data, selection)
            with zf.open(npz_key(selection) + ".npy", "w", force_zip64=True) as member:
                _write_npy(member, values)  # type: ignore[arg-type]


def _write_csv(stream: BinaryIO, data: ZelFile, chosen: Sequence[Selection]) -> None:
    text = io.TextIOWrapper(stream, encoding="utf-8", errors="surrogateescape", newline="")
    try:
        writer = csv.writer(text)
        writer.writerow(["channel", "segment", "unit", "row", "column",
                         *(f"sample_{k}" for k in range(SAMPLES))])
        for selection in _progress(chosen, "writing"):
            values = _read(data, selection)
            channel, segment, unit = selection.channel, selection.segment, selection.unit
            for row in range(values.shape[0]):
                for column in range(values.shape[1]):
                    # repr: the shortest text that reads back as the same double.
                    writer.writerow([channel, segment, unit, row, column,
                                     *map(repr, values[row, column].tolist())])
        text.flush()
    finally:
        text.detach()  # the stream belongs to the caller


def _to_standard_output(data: ZelFile, kind: str, chosen: Sequence[Selection]) -> None:
    stream = sys.stdout.buffer
    sys.stdout.flush()
    if kind == "npy":
        if len(chosen) > 1:
            raise UsageError(f"{len(chosen)} arrays selected, but .npy holds one: choose one "
                             "channel and one --segment, or write --format csv")
        _write_npy(stream, _read(data, chosen[0]))
    else:
        _write_csv(stream, data, chosen)
    stream.flush()


# --- netCDF -------------------------------------------------------------------------------


def _check_netcdf_extra() -> None:
    try:
        import netCDF4  # noqa: F401
        import xarray  # noqa: F401
    except ImportError:
        raise MissingExtra("export to .nc needs xarray and netCDF4: "
                           "pip install 'zel-data-reader[xarray]'") from None


def _channel_of(name: str, variable: xr.DataArray) -> str:
    """The channel a dataset variable holds: its long_name, which the engine sets to the
    channel's name whatever the variable is called."""
    long_name = variable.attrs.get("long_name")
    return long_name if isinstance(long_name, str) else name


def _netcdf_name(name: str, taken: set[str]) -> str:
    """A variable name netCDF takes ("/" is its group separator), unique in `taken`."""
    if "/" not in name:
        return name
    base = name.replace("/", "_")
    candidate, number = base, 1
    while candidate in taken:
        number += 1
        candidate = f"{base}_{number}"
    return candidate


def _write_netcdf(temporary: str, shown: str, path: str, channels: Sequence[str],
                  chosen: Sequence[Selection]) -> None:
    """The dataset that ``xarray.open_dataset(FILE, engine="zel", units=...)`` gives,
    limited to the chosen channels and segments, written one segment of one variable at a
    time, zlib-compressed, with the dataset's attributes."""
    import netCDF4
    import xarray as xr

    segments = sorted({s.segment for s in chosen})
    units = {s.channel: s.unit for s in chosen}
    dropped = [name for name in channels if name not in units]
    dataset = xr.open_dataset(path, engine="zel", units=units, drop_variables=dropped)
    with dataset:
        keep = [name for name, variable in dataset.data_vars.items()
                if _channel_of(str(name), variable) in units]
        subset = dataset[keep].sel(segment=segments)
        # The library keeps up to 64 MB per variable of written chunks in memory until the
        # file is closed; chunks here are written whole, so the cache is of no use.
        previous = netCDF4.get_chunk_cache()
        netCDF4.set_chunk_cache(0, 0)
        try:
            with netCDF4.Dataset(temporary, "w", format="NETCDF4") as out:
                _write_dataset(out, subset, shown)
        except (ZelFileError, OutputError, KeyboardInterrupt, MemoryError):
            raise
        except Exception as error:  # the library's own errors (RuntimeError, ...)  # noqa: BLE001
            raise OutputError(shown, f"cannot write netCDF: {error}") from None
        finally:
            netCDF4.set_chunk_cache(*previous)


def _write_dataset(out: Any, dataset: xr.Dataset, shown: str) -> None:
    for dim, size in dataset.sizes.items():
        out.createDimension(str(dim), size)
    for name, coord in dataset.coords.items():
        values = coord.values
        kind = str if values.dtype.kind in "UO" else values.dtype
        variable = out.createVariable(str(name), kind, tuple(map(str, coord.dims)))
        variable.setncatts(dict(coord.attrs))
        variable[...] = values.astype(object) if kind is str else values
    taken = {str(name) for name in dataset.variables}
    extra_coords = [str(name) for name in dataset.coords if name not in dataset.dims]
    names = list(dataset.data_vars)
    for name in _progress(names, "writing"):
        array = dataset[name]
        dims = tuple(map(str, array.dims))
        at = dims.index("segment")
        chunks = tuple(1 if dim == "segment" else size for dim, size in zip(dims, array.shape))
        stored = _netcdf_name(str(name), taken)
        taken.add(stored)
        variable = out.createVariable(stored, array.dtype, dims, zlib=True, complevel=4,
                                      chunksizes=chunks, fill_value=np.nan)
        attrs = dict(array.attrs)
        if stored != name:
            attrs.setdefault("zel_channel", str(name))
        if extra_coords:
            attrs["coordinates"] = " ".join(extra_coords)
        variable.setncatts(attrs)
        for index in range(array.shape[at]):
            where = (slice(None),) * at + (index,)
            variable[where] = array.isel(segment=index).values
    out.setncatts(dict(dataset.attrs))
