"""zel export: channels to .npy, .npz, .csv or .nc, streamed one segment at a time.

Memory stays at a few segments whatever the file's size: every array is read, written and
let go before the next one is read. Files are written through _output.Outputs, complete or
not at all.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import os
import re
import sys
import warnings
import zipfile
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, BinaryIO, TypeVar

import numpy as np
from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

from ._errors import MissingExtra, UsageError, ZelFileError
from ._file import ZelFile
from ._info import SAMPLES, ChannelInfo, FileInfo
from ._output import OutputError, Outputs, safe_name
from ._remote import shown
from ._text import escaped

if TYPE_CHECKING:
    import xarray as xr

FORMATS = ("npy", "npz", "csv", "nc")
STANDARD_OUTPUT = "-"
STREAMABLE = ("npy", "csv")  # the formats that can go to standard output
PLACEHOLDERS = ("{channel}", "{segment}")
_PLACEHOLDER = re.compile(r"\{[^{}/]*\}")
# Arrays are read in blocks of grid rows of about this many positions, so that progress shows
# within an array; a block of 4096 positions holds 3.2 MB of values.
BLOCK_POSITIONS = 4096

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
    storage_options: Mapping[str, Any] | None = None  # for a FILE that is an fsspec URL


@dataclass(frozen=True)
class Selection:
    channel: str
    segment: int
    unit: str

    def __str__(self) -> str:
        return f"{escaped(self.channel)} segment {self.segment} in {escaped(self.unit)}"


def output_format(output: str, chosen: str | None) -> str:
    """The format to write: `chosen` (--format), else the output's extension, any case. A
    --format that another format's extension contradicts, and a placeholder in OUT other than
    {channel} and {segment}, are usage errors."""
    unknown = sorted(set(_PLACEHOLDER.findall(output)) - set(PLACEHOLDERS))
    if unknown:
        raise UsageError(f"OUT holds {', '.join(unknown)}, which names nothing: the "
                         f"placeholders are {' and '.join(PLACEHOLDERS)}")
    extension = os.path.splitext(output)[1].lower().lstrip(".")
    if chosen is not None:
        if chosen not in FORMATS:
            raise UsageError(f"--format must be one of {', '.join(FORMATS)}, not {chosen!r}")
        if output == STANDARD_OUTPUT and chosen not in STREAMABLE:
            raise UsageError(f"-o - writes to standard output, which takes "
                             f"{' or '.join(STREAMABLE)} only, not {chosen}")
        if extension in FORMATS and extension != chosen:
            raise UsageError(f"--format {chosen} would write {chosen} into a file named "
                             f".{extension}: {escaped(output)}; name it .{chosen}, or leave "
                             "out --format")
        return chosen
    if output == STANDARD_OUTPUT:
        raise UsageError("-o - writes to standard output: choose its format with "
                         "--format npy or --format csv")
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
    crlf = info.crlf_warning()
    if crlf is not None and not named:  # a channel named is found, or its error says why
        warn(f"{info.file}: {crlf}")
    memberless: list[str] = []
    for name in chosen:
        channel = info.channel(name)
        given = request.units.get(name, request.unit)
        if not named:
            # The whole file: a channel that cannot be read is left out, and said so.
            why = _left_out(channel, given)
            if why is not None:
                if channel.members:
                    warn(f"{info.file}: channel {name!r} {why}")
                elif crlf is None:
                    memberless.append(name)
                continue
        unit = info.unit(name, given)
        for segment in channel.segments if segments is None else segments:
            result.append(Selection(name, info.segment(name, segment), unit))
    if result:  # else the error below says it of every channel
        for name in memberless:
            warn(f"{info.file}: channel {name!r} has no data members and is left out")
    else:
        reason = ("the channels chosen have no data members" if named else
                  "no channel of the file has data members")
        if crlf is not None:
            reason += " (see the warning about line ends above)"
        raise ZelFileError(info.file, f"nothing to export: {reason}")
    return result


def _left_out(channel: ChannelInfo, unit: str | None) -> str | None:
    """Why exporting the whole file leaves `channel` out, or None when it is exported."""
    if not channel.members:
        return "has no data members"
    if unit is None and channel.base_unit is None:
        return (f"names no base unit and is left out; give --unit {channel.name}=UNIT to "
                "export it")
    problem = channel.layout_problem()
    if problem is not None:
        return f"cannot be read and is left out: {problem}"
    return None


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


class Reads:
    """Reads the chosen arrays in blocks of grid rows, counting the rows on a progress bar.

    The bar goes to standard error, only at a terminal (disable=None), and only once the
    export has lasted a moment (delay): a small export prints nothing.
    """

    def __init__(self, data: ZelFile, info: FileInfo, chosen: Sequence[Selection]) -> None:
        self.data = data
        self.sides = {s: info.side(s.channel, s.segment) for s in chosen}
        self.bar = tqdm(total=sum(self.sides.values()), desc="zel export", unit="row",
                        file=sys.stderr, disable=None, delay=0.5, leave=False)

    def rows_per_block(self, side: int) -> int:
        return max(1, BLOCK_POSITIONS // max(side, 1))

    def read(self, selection: Selection, *, counted: bool = True
             ) -> np.ndarray[Any, np.dtype[np.float64]]:
        """The selection's array, read in blocks of rows; the rows are counted as they are
        read, or, with `counted` False, left for the writer to count as it writes them (CSV,
        where writing takes far longer than reading)."""
        side = self.sides[selection]
        values = np.empty((side, side, SAMPLES), dtype=np.float64)
        step = self.rows_per_block(side)
        for start in range(0, side, step):
            stop = min(side, start + step)
            self.data.read(selection.channel, selection.segment, selection.unit,
                           rows=slice(start, stop), out=values[start:stop])
            if counted:
                self.advance(stop - start)
        return values

    def advance(self, rows: int) -> None:
        self.bar.update(rows)

    def expect(self, rows: int) -> None:
        """Sets the rows the export will count, for writers that read more or fewer rows than
        the selections hold (netCDF writes every segment of the dataset per variable)."""
        self.bar.total = rows
        self.bar.refresh()

    def close(self) -> None:
        self.bar.close()


def export(request: ExportRequest, *, report: Callable[[str], None],
           warn: Callable[[str], None]) -> int:
    """Writes what `request` asks for; calls `report` with one line per file written."""
    kind = output_format(request.output, request.format)
    if any(p in request.output for p in PLACEHOLDERS) and kind != "npy":
        raise UsageError("{channel} and {segment} in OUT name several .npy files; "
                         f".{kind} holds every array in one file")
    if kind == "nc":
        _check_netcdf_extra()
    options = dict(request.storage_options) if request.storage_options else None
    with ZelFile._for_info(request.file, options) as data:
        info = _named_as_given(data, shown(request.file))
        chosen = selections(info, request, warn)
        reads = Reads(data, info, chosen)
        try:
            if request.output == STANDARD_OUTPUT:
                _to_standard_output(reads, kind, chosen)
                return 0
            names = npy_names(request.output, chosen) if kind == "npy" else [request.output]
            with Outputs(inputs=[data.identity[:2]]) as outputs:
                for name in names:
                    outputs.check(name)
                if kind == "npy":
                    for name, selection in zip(names, chosen):
                        with outputs.file(name) as stream:
                            _write_npy(stream, reads.read(selection))
                elif kind == "npz":
                    with outputs.file(request.output) as stream:
                        _write_npz(stream, reads, chosen)
                elif kind == "csv":
                    with outputs.file(request.output) as stream:
                        _write_csv(stream, reads, chosen)
                else:
                    temporary = outputs.path(request.output)
                    path, channels = data.path, data.info.channel_names
                    # The dataset reads the file itself: one open index of it is enough.
                    data.close()
                    with outputs.writing(request.output):
                        _write_netcdf(temporary, request.output, path, channels, chosen,
                                      reads)
        finally:
            reads.close()
    if kind == "npy":
        for name, selection in zip(names, chosen):
            report(f"wrote {escaped(name)}: {selection}")
    else:
        report(f"wrote {escaped(request.output)}: " + "; ".join(map(str, chosen)))
    return 0


def _named_as_given(data: ZelFile, path: str) -> FileInfo:
    # Errors name the file as the user named it.
    return dataclasses.replace(data.info, file=path)


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


def _write_npz(stream: BinaryIO, reads: Reads, chosen: Sequence[Selection]) -> None:
    # What np.savez writes, one member at a time: no array waits for the others.
    with zipfile.ZipFile(stream, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as zf:
        for selection in chosen:
            values = reads.read(selection)
            with zf.open(npz_key(selection) + ".npy", "w", force_zip64=True) as member:
                _write_npy(member, values)  # type: ignore[arg-type]


def _write_csv(stream: BinaryIO, reads: Reads, chosen: Sequence[Selection]) -> None:
    text = io.TextIOWrapper(stream, encoding="utf-8", errors="surrogateescape", newline="")
    try:
        writer = csv.writer(text)
        writer.writerow(["channel", "segment", "unit", "row", "column",
                         *(f"sample_{k}" for k in range(SAMPLES))])
        for selection in chosen:
            values = reads.read(selection, counted=False)
            channel, segment, unit = selection.channel, selection.segment, selection.unit
            for row in range(values.shape[0]):
                for column in range(values.shape[1]):
                    # repr: the shortest text that reads back as the same double.
                    writer.writerow([channel, segment, unit, row, column,
                                     *map(repr, values[row, column].tolist())])
                reads.advance(1)
        text.flush()
    finally:
        text.detach()  # the stream belongs to the caller


def _to_standard_output(reads: Reads, kind: str, chosen: Sequence[Selection]) -> None:
    stream = sys.stdout.buffer
    sys.stdout.flush()
    if kind == "npy":
        if len(chosen) > 1:
            raise UsageError(f"{len(chosen)} arrays selected, but .npy holds one: choose one "
                             "channel and one --segment, or write --format csv")
        _write_npy(stream, reads.read(chosen[0]))
    else:
        _write_csv(stream, reads, chosen)
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
                  chosen: Sequence[Selection], reads: Reads) -> None:
    """The dataset that ``xarray.open_dataset(FILE, engine="zel", units=...)`` gives,
    limited to the chosen channels and segments, written one segment of one variable at a
    time, zlib-compressed, with the dataset's attributes."""
    import netCDF4
    import xarray as xr

    segments = sorted({s.segment for s in chosen})
    units = {s.channel: s.unit for s in chosen}
    dropped = [name for name in channels if name not in units]
    with warnings.catch_warnings():
        # What the dataset would warn about, the choice of channels has said already.
        warnings.simplefilter("ignore", UserWarning)
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
                _write_dataset(out, subset, reads)
        except (ZelFileError, OutputError, KeyboardInterrupt, MemoryError):
            raise
        except Exception as error:  # the library's own errors (RuntimeError, ...)  # noqa: BLE001
            raise OutputError(shown, f"cannot write netCDF: {error}") from None
        finally:
            netCDF4.set_chunk_cache(*previous)


def _write_dataset(out: Any, dataset: xr.Dataset, reads: Reads) -> None:
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
    reads.expect(sum(dataset[name].shape[0] * dataset[name].shape[1]
                     for name in dataset.data_vars))
    for name in list(dataset.data_vars):
        array = dataset[name]
        dims = tuple(map(str, array.dims))
        at = dims.index("segment")
        rows = dims.index("row")
        step = reads.rows_per_block(array.shape[rows])
        # One chunk per block of rows of a segment: each block is written whole, once.
        chunks = tuple(1 if dim == "segment" else min(step, size) if dim == "row" else size
                       for dim, size in zip(dims, array.shape))
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
        side = array.shape[rows]
        for index in range(array.shape[at]):
            for start in range(0, side, step):
                stop = min(side, start + step)
                where = tuple(index if dim == "segment" else slice(start, stop)
                              if dim == "row" else slice(None) for dim in dims)
                variable[where] = array.isel(segment=index, row=slice(start, stop)).values
                reads.advance(stop - start)
    out.setncatts(dict(dataset.attrs))
