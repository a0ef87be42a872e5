"""ZelFile: an open data file, read by the tools' own native reader.

    with zel_data_tools.open("run.zel") as data:
        data.info                                   # channels, units, segments, grid
        data.read("gauge", 0)                       # (side, side, 100), the base unit
        data.read("gauge", [0, 1], "force", rows=slice(0, 8))   # (2, 8, side, 100)

Reads release the interpreter lock and spread the members over threads; one ZelFile may be
read from many Python threads at once. It keeps the file open until it is closed, and reads
always come from the file that was opened, whatever happens to its path meanwhile.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from . import _engine
from ._errors import ZelFileError, file_error
from ._info import SAMPLES, FileInfo

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    FloatArray = np.ndarray[Any, np.dtype[np.float64]]

THREADS_VARIABLE = "ZEL_NUM_THREADS"


def available_threads() -> int:
    """The default thread count of a read: the CPUs this process may run on, capped by the
    environment variable ZEL_NUM_THREADS when it holds a positive number."""
    try:
        count = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        count = os.cpu_count() or 1
    cap = os.environ.get(THREADS_VARIABLE, "").strip()
    if cap.isdigit() and int(cap) > 0:
        count = min(count, int(cap))
    return max(count, 1)


class ZelFile:
    """An open Zel data file (what ``zel_data_tools.open(path)`` returns).

    ``path`` is the absolute path it was opened from; ``info`` its channels, units, segments
    and grid; ``header`` the header as a flat mapping of dotted keys to values. Close it with
    ``close()`` or a ``with`` block; a closed file raises ValueError on use. It pickles as its
    path and opens again when unpickled.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        path = os.path.abspath(os.fspath(path))
        self._path = path
        try:
            self._archive = _engine.Archive(path)
        except OSError as error:
            raise file_error(path, error) from None
        self._info: FileInfo | None = None

    # --- what it is -----------------------------------------------------------------------

    @property
    def path(self) -> str:
        return self._path

    @property
    def closed(self) -> bool:
        return self._archive.closed

    @property
    def identity(self) -> tuple[int, int, int, int, int]:
        """(device, inode, size, modification ns, change ns) of the open file, as it was
        when it was opened: the file is the same file while these stay the same."""
        return self._archive.identity

    @property
    def info(self) -> FileInfo:
        if self._info is None:
            try:
                raw = self._checked().info()
            except OSError as error:
                raise file_error(self._path, error) from None
            self._info = FileInfo.from_engine(self._path, raw)
        return self._info

    @property
    def header(self) -> dict[str, str]:
        """Every value of the header under its dotted key, in the header's own order."""
        return dict(self._checked().header_items())

    def __repr__(self) -> str:
        if getattr(self, "_archive", None) is None or self.closed:
            return f"<ZelFile {self._path!r} (closed)>"
        info = self.info
        grid = f"{info.grid}x{info.grid}" if info.grid is not None else "irregular grid"
        return (f"<ZelFile {self._path!r} {grid}, channels: "
                f"{', '.join(info.channel_names) or 'none'}>")

    # --- reading --------------------------------------------------------------------------

    def read(self, channel: str, segments: int | Sequence[int] | None = None,
             unit: str | None = None, *, rows: slice | range | None = None,
             threads: int | None = None, out: npt.NDArray[np.float64] | None = None
             ) -> FloatArray:
        """The values of one channel as float64, converted into `unit` (its base unit when
        None).

        One segment given as an int gives shape (rows, side, 100); a sequence of segments
        (or None, every segment of the channel) gives (segments, rows, side, 100). `rows`, a
        slice or range of grid rows, reads only the members of those rows. `threads` caps
        the threads of the read (default: the CPUs the process may use, capped by
        ZEL_NUM_THREADS; 1 reads on the calling thread). `out`, a C-contiguous float64 array
        of the result's shape, is filled and returned instead of a new array.

        Values are those of zel_data_reader's get_channel_data, NaN fill included. Raises
        ZelFileError (an OSError) naming the file, and the valid choices where a channel,
        unit or segment is not in the file; ValueError when the file is closed.
        """
        import numpy as np  # here, not at the top: `zel info` starts without NumPy

        archive = self._checked()
        info = self.info
        unit = info.unit(channel, unit)
        single = isinstance(segments, (int, np.integer))
        if segments is None:
            chosen = list(info.channel(channel).segments)
        elif single:
            chosen = [info.segment(channel, int(segments))]  # type: ignore[arg-type]
        else:
            chosen = [info.segment(channel, int(s)) for s in segments]  # type: ignore[union-attr]
        sides = {info.side(channel, segment) for segment in chosen}
        if len(sides) > 1:
            raise ZelFileError(self._path, f"channel {channel!r} has grids of different sides "
                               f"in segments {chosen}: {sorted(sides)}")
        side = sides.pop() if sides else 0
        selected = _rows(rows, side)
        shape = (len(chosen), len(selected), side, SAMPLES)
        result_shape = shape[1:] if single else shape
        if out is None:
            out = np.empty(result_shape, dtype=np.float64)
        elif (not isinstance(out, np.ndarray) or out.dtype != np.float64
              or out.shape != result_shape or not out.flags.c_contiguous
              or not out.flags.writeable):
            raise ValueError(f"out must be a writeable C-contiguous float64 array of shape "
                             f"{result_shape}")
        count = available_threads() if threads is None else int(threads)
        if count < 1:
            raise ValueError(f"threads must be at least 1, not {count}")
        try:
            archive.read(channel, chosen, unit, selected.start, selected.step, len(selected),
                         count, out)
        except OSError as error:
            raise file_error(self._path, error) from None
        return out

    # --- life -----------------------------------------------------------------------------

    def _checked(self) -> _engine.Archive:
        if self._archive.closed:
            raise ValueError(f"I/O operation on closed file {self._path!r}")
        return self._archive

    def close(self) -> None:
        """Closes the file; reads still running on other threads finish first."""
        self._archive.close()

    def __enter__(self) -> ZelFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        return (type(self), (self._path,))


def _rows(rows: slice | range | None, side: int) -> range:
    """The grid rows selected, as a range within 0..side."""
    if rows is None:
        return range(side)
    if isinstance(rows, range):
        if rows and (min(rows[0], rows[-1]) < 0 or max(rows[0], rows[-1]) >= side):
            raise IndexError(f"rows {rows} lie outside the grid's {side} rows")
        return rows
    if isinstance(rows, slice):
        return range(side)[rows]
    raise TypeError(f"rows must be a slice or a range, not {type(rows).__name__}")


def open(path: str | os.PathLike[str]) -> ZelFile:  # noqa: A001 (as io.open, for files)
    """Opens the data file at `path` with the tools' native reader; see ZelFile."""
    return ZelFile(path)
