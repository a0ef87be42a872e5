"""describe(): what a data file holds, as ``zel info`` shows it."""

from __future__ import annotations

import dataclasses
import os
from typing import Any

from ._file import ZelFile
from ._remote import shown
from ._info import SAMPLES, ChannelInfo, FileInfo

__all__ = ["SAMPLES", "ChannelInfo", "FileInfo", "describe"]


def describe(path_or_file: str | os.PathLike[str] | ZelFile,
             storage_options: dict[str, Any] | None = None) -> FileInfo:
    """The summary of a data file, given as a path or as an open ``ZelFile``.

    The channels, units and member counts come from the native reader's one walk of the
    central directory; no member's data is read. Raises ZelFileError (an OSError) naming
    the file when it cannot be opened. A path may be an fsspec URL, opened with
    `storage_options`.
    """
    if isinstance(path_or_file, ZelFile):
        return path_or_file.info
    with ZelFile._for_info(path_or_file, storage_options) as data:
        # Named as the caller named it: the summary is read now, from the file opened now.
        return dataclasses.replace(data.info, file=shown(os.fspath(path_or_file)))
