"""zel export: channels to .npy, .npz, .csv or .nc."""

from __future__ import annotations

import csv
import os
import sys

import numpy as np
import zel_data_reader
from tqdm import tqdm

from ._describe import SAMPLES, describe
from ._errors import MissingExtra, UsageError, file_error


def _open(path: str) -> zel_data_reader.ZelDataFIle:
    try:
        return zel_data_reader.ZelDataFIle(path)
    except OSError as error:
        raise file_error(path, error) from None


def _selections(args, info) -> list[tuple[str, int, str]]:
    """(channel, segment, unit) of every array to write, checked against the file."""
    channels = args.channels or list(info.channel_names)
    selections = []
    for channel in channels:
        unit = info.unit(channel, args.unit)
        for segment in args.segments or info.channel(channel).segments:
            selections.append((channel, info.segment(channel, segment), unit))
    return selections


def _npy_names(output: str, selections) -> list[str]:
    if len(selections) == 1:
        return [output]
    names = [output.replace("{channel}", channel).replace("{segment}", str(segment))
             for channel, segment, _ in selections]
    if len(set(names)) != len(names):
        raise UsageError(
            f"{len(selections)} arrays selected, but .npy holds one: put {{channel}} and "
            f"{{segment}} into OUT (such as out-{{channel}}-{{segment}}.npy), or write .npz, "
            ".csv or .nc")
    return names


def _progress(items, what: str):
    # On stderr, only at a terminal (disable=None), and only once the work lasts a moment.
    return tqdm(items, desc=f"zel export: {what}", unit="array", file=sys.stderr,
                disable=None if len(items) > 2 else True, delay=0.5, leave=False)


def export(args) -> int:
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix == ".nc":
        try:
            import xarray as xr
        except ImportError:
            raise MissingExtra("export to .nc needs xarray and a netCDF writer: "
                               "pip install 'zel-data-reader[xarray]'") from None
    data = _open(args.file)
    info = describe(data)
    selections = _selections(args, info)
    names = _npy_names(args.output, selections) if suffix == ".npy" else []

    def read(channel: str, segment: int, unit: str) -> np.ndarray:
        try:
            return data.get_channel_data(channel, segment, unit)
        except OSError as error:
            raise file_error(args.file, error) from None

    if suffix == ".npy":
        for name, selection in zip(names, _progress(selections, "reading")):
            np.save(name, read(*selection))
            print(f"wrote {name}: {_described(*selection)}")
        return 0
    if suffix == ".npz":
        arrays = {f"{c}/{s}": read(c, s, u) for c, s, u in _progress(selections, "reading")}
        with open(args.output, "wb") as out:
            np.savez(out, **arrays)
    elif suffix == ".csv":
        _write_csv(args.output, selections, read)
    else:
        _dataset(xr, args.file, selections, read).to_netcdf(args.output)
    print(f"wrote {args.output}: " + "; ".join(_described(*s) for s in selections))
    return 0


def _described(channel: str, segment: int, unit: str) -> str:
    return f"{channel} segment {segment} in {unit}"


def _write_csv(output: str, selections, read) -> None:
    with open(output, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["channel", "segment", "unit", "row", "column",
                         *(f"sample_{k}" for k in range(SAMPLES))])
        for channel, segment, unit in _progress(selections, "writing"):
            values = read(channel, segment, unit)
            for row in range(values.shape[0]):
                for column in range(values.shape[1]):
                    # repr: the shortest text that reads back as the same double.
                    writer.writerow([channel, segment, unit, row, column,
                                     *map(repr, values[row, column].tolist())])


def _dataset(xr, path: str, selections, read):
    """A Dataset laid out as xarray.open_dataset(path, engine="zel") lays it out."""
    segments = sorted({segment for _, segment, _ in selections})
    arrays: dict[str, dict[int, np.ndarray]] = {}
    units: dict[str, str] = {}
    for channel, segment, unit in _progress(selections, "reading"):
        arrays.setdefault(channel, {})[segment] = read(channel, segment, unit)
        units[channel] = unit
    sides = {values.shape[0] for by_segment in arrays.values() for values in by_segment.values()}
    if len(sides) != 1:
        raise UsageError(f"the selected arrays have grids of different sides {sorted(sides)}: "
                         "export them to separate .nc files")
    (side,) = sides
    variables = {}
    for channel, by_segment in arrays.items():
        stacked = np.full((len(segments), side, side, SAMPLES), np.nan)
        for i, segment in enumerate(segments):
            if segment in by_segment:
                stacked[i] = by_segment[segment]
        variables[channel] = (("segment", "row", "column", "sample"), stacked,
                              {"units": units[channel], "long_name": channel})
    coords = {"segment": np.asarray(segments, dtype=np.int64), "row": np.arange(side),
              "column": np.arange(side), "sample": np.arange(SAMPLES)}
    return xr.Dataset(variables, coords=coords, attrs={"file": path})
