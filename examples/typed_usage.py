"""The README's usage with type annotations: `mypy --strict` checks it against the module's stub.

Run it as `python examples/typed_usage.py [FILE]`; FILE defaults to the bundled sample.
"""

from __future__ import annotations

import pathlib
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

import zel_data_reader


def summarise(path: str | pathlib.Path) -> None:
    data = zel_data_reader.ZelDataFIle(path)  # str or os.PathLike
    location: pathlib.Path = data.location
    print(location)
    header: Any = data.header
    print(sorted(header))
    for name in data.get_channels():
        units: list[str] = data.get_channel_units(name)
        print(name, units)

    values: npt.NDArray[np.float64] = data.get_channel_data("gauge", 0, "force")
    print(values.shape, values.dtype)


if __name__ == "__main__":
    default = pathlib.Path(__file__).with_name("sample.zel")
    summarise(sys.argv[1] if len(sys.argv) > 1 else default)
