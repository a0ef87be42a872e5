"""The tools' Python usage with type annotations: `mypy --strict` checks it against the
installed zel_data_tools (which ships py.typed).

Run it as `python examples/typed_tools_usage.py [FILE]`; FILE defaults to the bundled sample.
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np
import numpy.typing as npt
import xarray as xr

import zel_data_tools
from zel_data_tools import ChannelInfo, FileInfo, ZelFileError


def first_rows_mean(path: str | pathlib.Path, channel: str) -> float:
    with zel_data_tools.open(path) as data:
        values: npt.NDArray[np.float64] = data.read(channel, 0, rows=slice(0, 2))
        return float(values.mean())


def channel_units(path: str | pathlib.Path) -> dict[str, tuple[str, ...]]:
    info: FileInfo = zel_data_tools.describe(path)
    channels: tuple[ChannelInfo, ...] = info.channels
    return {channel.name: channel.units for channel in channels}


def as_data_array(path: str | pathlib.Path, channel: str) -> xr.DataArray:
    return zel_data_tools.to_xarray(path, channel, 0)


def main() -> int:
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                        pathlib.Path(__file__).with_name("sample.zel"))
    try:
        print(channel_units(path))
        print(first_rows_mean(path, "gauge"))
        print(as_data_array(path, "gauge").attrs["units"])
    except ZelFileError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
