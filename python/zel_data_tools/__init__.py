"""Tools beside zel_data_reader: the ``zel`` command, quiet(), xarray and Dask helpers.

    open(path)                   a ZelFile: the file read by the tools' native reader
    quiet()                      silence the module's diagnostic lines for a block
    describe(path)               channels, units, segments, grid and member count of a file
    to_xarray(path, channel, segment, unit=None)
                                 one channel of one segment as an xarray.DataArray
    read_many(paths, channel, segment, unit=None)
                                 one chunk per file as a lazy Dask array

xarray also opens data files directly: ``xarray.open_dataset(path, engine="zel")``.
to_xarray needs the ``[xarray]`` extra, read_many the ``[dask]`` extra; both are imported
only when first used.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._describe import describe
from ._errors import ZelFileError
from ._file import ZelFile, open
from ._info import ChannelInfo, FileInfo
from ._quiet import quiet

if TYPE_CHECKING:
    from .dask_arrays import read_many
    from .xarray_backend import to_xarray

__all__ = ["ChannelInfo", "FileInfo", "ZelFile", "ZelFileError", "describe", "open", "quiet",
           "read_many", "to_xarray"]

_LAZY = {"to_xarray": "xarray_backend", "read_many": "dask_arrays"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    # The public names only: not the typing helpers and imports the module body needs.
    return sorted(__all__)
