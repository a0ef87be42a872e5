"""The typed example with deliberate mistakes, for tools/check_stubs.sh.

`mypy --strict` must report exactly the errors marked "# expect: CODE" on the lines that carry
them, and no other: that shows mypy reads the installed stub and the stub rejects each mistake.
"""

from __future__ import annotations

import pathlib

import numpy as np
import numpy.typing as npt

import zel_data_reader
from zel_data_reader import ZelDataFIle


class Derived(ZelDataFIle):  # expect: misc
    pass


def summarise(path: str | pathlib.Path) -> None:
    zel_data_reader.ZelDataFIle(b"sample.zel")  # expect: arg-type
    data = zel_data_reader.ZelDataFIle(path)
    location: str = data.location  # expect: assignment
    data.location = pathlib.Path(path)  # expect: misc
    for name in data.get_channels(0):  # expect: call-arg
        units: list[int] = data.get_channel_units(name)  # expect: assignment
        print(name, units)

    values: npt.NDArray[np.int32] = data.get_channel_data("gauge", 0, "force")  # expect: assignment
    data.get_channel_data("gauge", "0", "force")  # expect: arg-type
    data.get_channel_data(name="gauge", segment=0, unit="force")  # expect: call-arg
    print(location, values, data.get_channel_count())  # expect: attr-defined
