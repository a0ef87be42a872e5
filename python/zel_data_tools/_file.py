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

import operator
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from . import _engine, _remote
from ._errors import ZelFileError, check_unchanged, file_error
from ._info import SAMPLES, ChannelInfo, FileInfo

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    FloatArray = np.ndarray[Any, np.dtype[np.float64]]

THREADS_VARIABLE = "ZEL_NUM_THREADS"
MAX_THREADS = 1 << 16  # more than any machine runs; the engine counts threads in 32 bits


def available_threads() -> int:
    """The default thread count of a read: the CPUs this process may run on, capped by the
    environment variable ZEL_NUM_THREADS when it holds a positive number."""
    try:
        count = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        count = os.cpu_count() or 1
    cap = os.environ.get(THREADS_VARIABLE, "").strip()
    # A plain decimal count only: str.isdigit also takes digits that int() refuses ("²").
    if cap.isascii() and cap.isdigit() and int(cap) > 0:
        count = min(count, int(cap))
    return max(count, 1)


def _index(value: object, argument: str, takes: str) -> int:
    """`value` as an int through operator.index; TypeError naming the argument otherwise."""
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{argument} must be {takes}, not {type(value).__name__}") from None


def _chosen_segments(segments: object) -> tuple[list[int], bool] | None:
    """The segments asked for and whether one was given alone; None for every segment."""
    takes = "an int, a sequence of ints or None"
    if segments is None:
        return None
    if isinstance(segments, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"segments must be {takes}, not {type(segments).__name__}")
    try:
        return [operator.index(segments)], True  # type: ignore[arg-type]
    except TypeError:
        if not isinstance(segments, Iterable):
            raise TypeError(f"segments must be {takes}, not {type(segments).__name__}") from None
    return [_index(s, "segments", f"{takes}, and hold ints") for s in segments], False


class ZelFile:
    """An open Zel data file (what ``zel_data_tools.open(path)`` returns).

    ``path`` is the absolute path it was opened from; ``info`` its channels, units, segments
    and grid; ``header`` the header as a flat mapping of dotted keys to values. Close it with
    ``close()`` or a ``with`` block; a closed file raises ValueError on use. It pickles as its
    path and opens again when unpickled. Its errors name the file as it was given.
    """

    def __init__(self, path: str | os.PathLike[str],
                 storage_options: dict[str, Any] | None = None) -> None:
        self._open(path, storage_options, file_members=False)

    @classmethod
    def _for_info(cls, path: str | os.PathLike[str],
                  storage_options: dict[str, Any] | None = None) -> ZelFile:
        """Opened as ``ZelFile(path, storage_options)``, for a caller that asks for `info` at
        once: a local file's members are all filed by the open's own walk of the directory,
        rather than by a second walk when `info` is first asked for."""
        self = cls.__new__(cls)
        self._open(path, storage_options, file_members=True)
        return self

    def _open(self, path: str | os.PathLike[str], storage_options: dict[str, Any] | None,
              file_members: bool) -> None:
        self._remote: _remote.RemoteObject | None = None
        self._info: FileInfo | None = None
        self._channels: dict[str, ChannelInfo] = {}  # asked for one by one, before `info`
        self._sliced = False  # whether the index holds only an index slice's members
        named = os.fspath(path)
        if _remote.is_url(named):
            local = _remote.local_path(named)
            if local is None:
                self._open_remote(named, storage_options)
                return
            named = local
        self._named = os.path.expanduser(named)  # the path as given, which errors name
        self._path = os.path.abspath(self._named)
        try:
            self._archive = _engine.Archive(self._path, file_members=file_members)
        except OSError as error:
            found = file_error(self._named, error)
            if found.errno is not None:
                raise found from None
            try:
                odd = _engine.non_deflate_header(self._path)
            except OSError:
                odd = []
            raise _non_deflate_error(found, odd) from None

    def _open_remote(self, url: str, storage_options: dict[str, Any] | None) -> None:
        """Opens the object behind an fsspec URL: the engine reads the bytes fetched here."""
        remote = _remote.RemoteObject(url, storage_options)
        self._remote = remote
        self._named = self._path = remote.public  # no credentials in messages and reprs
        self._url = url
        try:
            self._archive = _remote.open_archive(remote)
        except OSError as error:
            if isinstance(error, ZelFileError):
                raise
            raise file_error(self._named, error) from None

    @classmethod
    def _from_slice(cls, url: str, storage_options: dict[str, Any] | None,
                    identity: tuple[int, int, int, int, int], blob: bytes) -> ZelFile:
        """The object behind `url` opened from an index slice (`_index_slice`) made by an open
        of it elsewhere, for reads of the channel and segments the slice holds: the server is
        asked for the object's size and version only (which must still be `identity`), never
        for its directory, and reads fetch the members' bytes alone."""
        self = cls.__new__(cls)
        self._info = None
        self._channels = {}
        self._sliced = True
        remote = _remote.RemoteObject(url, storage_options, ends=False)
        self._remote = remote
        self._named = self._path = remote.public
        self._url = url
        check_unchanged(remote.public, remote.identity, identity)
        try:
            self._archive = _engine.open_slice(remote.public, remote.size, remote.version_key,
                                               blob)
        except OSError as error:
            raise file_error(self._named, error) from None
        return self

    def _index_slice(self, channel: str, segments: Sequence[int]) -> bytes | None:
        """What a process needs of the index to read `channel` in `segments` of this file
        behind a URL, with the header, size and version, as bytes for `_from_slice`; None
        for a local file, or when the slice cannot be made (an unreadable record among the
        members: a read through the whole directory reports it)."""
        if self._remote is None or self._sliced:
            return None
        try:
            return self._checked().index_slice(channel, list(segments), self._remote.version_key)
        except (OSError, ValueError, OverflowError):
            return None

    @property
    def stats(self) -> _remote.FetchStats | None:
        """Requests made and bytes received for a file behind a URL (None for a local file)."""
        return self._remote.stats if self._remote is not None else None

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
        if self._remote is not None:
            return self._remote.identity  # its size and version
        identity = self._archive.identity
        assert identity is not None  # a local file's
        return identity

    @property
    def info(self) -> FileInfo:
        if self._info is None:
            archive = self._checked()
            try:
                raw = archive.info()
                samples = archive.sample_counts()
            except OSError as error:
                raise file_error(self._named, error) from None
            # A value ends in a carriage return exactly when its line ended in CR LF; the
            # channels' own values tell without walking the whole header.
            crlf = any(text is not None and text.endswith("\r")
                       for channel in raw[1] for text in channel[:3])
            self._info = FileInfo.from_engine(self._named, raw, samples, crlf)
        return self._info

    def _channel_or_none(self, name: str) -> ChannelInfo | None:
        """The channel called `name` as `info` describes it, or None when there is none. Until
        `info` is asked for, this costs that one channel alone: the reader files only its
        members."""
        if self._info is not None:
            return self._info.find_channel(name)
        found = self._channels.get(name)
        if found is None:
            archive = self._checked()
            try:
                raw = archive.channel_info(name)
            except OSError as error:
                raise file_error(self._named, error) from None
            if raw is None:
                return None
            found = self._channels[name] = ChannelInfo.from_engine(*raw)
        return found

    def _channel(self, name: str) -> ChannelInfo:
        """As ``info.channel(name)``, with its error, at the cost of that one channel."""
        found = self._channel_or_none(name)
        return found if found is not None else self.info.channel(name)

    @property
    def header(self) -> dict[str, str]:
        """Every value of the header under its dotted key (in no particular order)."""
        return dict(self._checked().header_items())

    def header_walk(self, prefix: str = "") -> Iterator[tuple[int, str, str | None]]:
        """The header as a tree, one node at a time: (depth, name, value), the value None for
        a map whose nodes follow one level deeper. Each map's nodes come in natural order
        ("2" before "10"); only the keys that begin with `prefix` and the maps above them. The
        file stays open while the walk lives."""
        return self._checked().header_walk(prefix)

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
        record = self._channel(channel)  # looked up once
        unit = record.unit(self._named, unit)
        asked = _chosen_segments(segments)
        if asked is None:
            chosen, single = list(record.segments), False
        else:
            chosen, single = [record.segment(self._named, s) for s in asked[0]], asked[1]
        # The grid is that of the first segment; the reader checks that every other one has
        # it when it reaches that segment, so that errors come in the order of the segments.
        try:
            side = archive.side(channel, chosen[0]) if chosen else 0
        except OSError as error:
            raise file_error(self._named, error) from None
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
        count = (available_threads() if threads is None
                 else _index(threads, "threads", "an int or None"))
        if count < 1:
            raise ValueError(f"threads must be at least 1, not {count}")
        count = min(count, MAX_THREADS)
        try:
            if self._remote is not None:
                _remote.read_rows(self._remote, archive, channel, chosen, unit, selected,
                                  count, out)
            else:
                archive.read(channel, chosen, unit, selected.start, selected.step,
                             len(selected), count, out)
        except ZelFileError:
            raise
        except OSError as error:
            raise self._read_error(error, channel, chosen) from None
        return out

    def _read_error(self, error: OSError, channel: str, segments: list[int]) -> ZelFileError:
        """The read's error, naming the member when the channel has one that is no DEFLATE
        stream: the reader inflates every member, and such a member fails as a corrupt one."""
        if self._sliced and self._remote is not None:
            # The explanation needs the whole file's member names and sizes.
            from . import _cache
            try:
                whole = _cache.open_file(self._url, self.identity, self._remote.storage_options)
            except ZelFileError:
                return file_error(self._named, error)
            return whole._read_error(error, channel, segments)
        found = file_error(self._named, error)
        if getattr(error, "kind", None) == "values":
            # More values than a position holds: the reader reports it for the first segment
            # where it happens, once every other member there read; the directory's member
            # sizes tell which segment that is, in words rather than NumPy's reshape text.
            record = self.info.channel(channel)
            for segment in segments:
                problem = record.segment_problem(segment)
                if problem is not None:
                    return ZelFileError(self._named, f"channel {channel!r} {problem}")
        try:
            odd = self._checked().non_deflate_members(channel, segments, 1)
        except OSError:
            odd = []
        return _non_deflate_error(found, odd)

    # --- life -----------------------------------------------------------------------------

    def _checked(self) -> _engine.Archive:
        if self._archive.closed:
            raise ValueError(f"I/O operation on closed file {self._path!r}")
        return self._archive

    def close(self) -> None:
        """Closes the file at once. Reads still running on other threads go on and keep the
        file's descriptor open until the last of them ends."""
        self._archive.close()

    def __enter__(self) -> ZelFile:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        if self._remote is not None:
            return (type(self), (self._url, self._remote.storage_options))
        return (type(self), (self._path,))


def _non_deflate_error(found: ZelFileError, odd: list[tuple[str, int]]) -> ZelFileError:
    """`found`, told why when a member is no DEFLATE stream: the reader inflates every member
    it reads, so a stored one fails as a corrupt stream, which names no member."""
    if not odd:
        return found
    name, method = odd[0]
    how = ("stored without compression" if method == 0 else
           f"compressed with method {method}, not DEFLATE")
    return ZelFileError(found.filename, f"{found.message}: member {name!r} is {how}, which "
                        "this reader does not read (re-pack the file with DEFLATE)",
                        None, found.errno)


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


def open(path: str | os.PathLike[str],  # noqa: A001 (as io.open, for files)
         storage_options: dict[str, Any] | None = None) -> ZelFile:
    """Opens the data file at `path` with the tools' native reader; see ZelFile. `path` may be
    an fsspec URL (S3, HTTP(S), any fsspec protocol), opened with `storage_options`; local paths
    and ``file://`` URLs are read from the disk, ``~`` expanded."""
    return ZelFile(path, storage_options)
