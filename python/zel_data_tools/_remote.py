"""Data files behind fsspec URLs: the engine says which byte ranges it needs, this fetches them.

The engine does no network I/O. Opening asks it where the central directory lies (from the
object's tail) and then opens the archive from the fetched pieces; a read asks it for the merged
ranges of the members it needs, fetches them concurrently with ``cat_ranges`` and hands them
back to be inflated with the interpreter lock released. Every answer is checked for its length;
transient failures are retried with backoff; URLs in messages and logs carry no credentials.
"""
from __future__ import annotations

import bisect
import errno
import logging
import os
import threading
import time
import zlib
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit, urlunsplit

from . import _engine
from ._errors import ZelFileError, ZelFileNotFoundError
from ._lru import Lru

log = logging.getLogger("zel_data_tools.remote")

TAIL_BYTES = 65536 + 98  # the largest comment and both Zip64 end records
HEAD_BYTES = 65536  # the header member is usually the archive's first
DIRECTORY_PARTS = 3  # with the info, the tail and the head: at most 6 requests to open
# Two members closer than MAX_GAP are fetched with one request. A request costs about a round
# trip shared by the requests in flight; bytes cost their transfer time. At 20 ms and some
# 10 requests in flight, 64 KiB costs about what a request does on a link of 30 MB/s or more.
MAX_GAP = 64 * 1024
MAX_BLOCK = 8 * 1024 * 1024  # bounds a request's memory and lets requests run side by side
RETRIES = 4  # attempts after the first for a range that failed transiently
BACKOFF_SECONDS = 0.05  # doubled after each failed attempt
MISSING_ROUNDS = 8  # fetches of bytes an open or read found missing, before giving up
TRANSIENT_STATUS = frozenset({408, 425, 429, 500, 502, 503, 504})
LOCAL_PROTOCOLS = frozenset({"file", "local"})


def is_url(path: object) -> bool:
    """Whether `path` is a URL that fsspec reads rather than a local path."""
    if not isinstance(path, str) or "://" not in path:
        return False
    protocol = path.split("://", 1)[0]
    return protocol.replace("+", "").replace("-", "").replace(".", "").isalnum()


def local_path(url: str) -> str | None:
    """The local path of a file:// URL, else None."""
    protocol, rest = url.split("://", 1)
    if protocol.lower() in LOCAL_PROTOCOLS:
        return os.path.expanduser(rest)
    return None


def shown(path: str) -> str:
    """How messages name a file given as `path`: as given, but a URL without credentials."""
    return public_url(path) if is_url(path) else path


def public_url(url: str) -> str:
    """`url` without what may hold credentials: user and password, query and fragment."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return url.split("://", 1)[0] + "://..."
    host = parts.hostname or ""
    if parts.port is not None:
        host = f"{host}:{parts.port}"
    return urlunsplit((parts.scheme, host, parts.path, "", ""))


@dataclass
class FetchStats:
    """What a remote file has cost: requests made (retries included) and bytes received."""

    requests: int = 0
    bytes: int = 0
    _lock: threading.Lock = field(default_factory=threading.Lock, repr=False, compare=False)

    def add(self, requests: int, received: int) -> None:
        with self._lock:
            self.requests += requests
            self.bytes += received


def _status(error: BaseException) -> int | None:
    status = getattr(error, "status", None) or getattr(error, "code", None)
    return status if isinstance(status, int) else None


def _transient(error: BaseException) -> bool:
    """Whether a failed range is worth asking for again."""
    if isinstance(error, (FileNotFoundError, PermissionError, IsADirectoryError)):
        return False
    status = _status(error)
    if status is not None:
        return status in TRANSIENT_STATUS
    # Connections dropped or bodies cut short: aiohttp's and botocore's errors name themselves.
    name = type(error).__name__
    return (isinstance(error, (ConnectionError, TimeoutError)) or "Payload" in name
            or "Disconnected" in name or "Connection" in name or "Timeout" in name)


class RemoteObject:
    """One object behind a URL, as it was when it was opened: its size and version."""

    def __init__(self, url: str, storage_options: dict[str, Any] | None,
                 ends: bool = True) -> None:
        """Learns the object's size and version. Unless a directory of the URL is remembered
        (then a reopen of the same version costs this one request) or `ends` is false (an open
        that needs no directory), the object's first and last bytes are fetched in the same
        round trip where the file system can (`_first_round`)."""
        import fsspec  # here: local files never need it

        self.url = url
        self.public = public_url(url)
        self.storage_options = dict(storage_options or {})
        self.stats = FetchStats()
        # The head and tail fetched beside the size, checked: the open's first pieces.
        self.ends: list[tuple[int, bytes]] | None = None
        try:
            self.fs, self.path = fsspec.core.url_to_fs(url, **self.storage_options)
            details, first_ends = self._first_round(ends and not _remembers(url))
        except FileNotFoundError:
            raise ZelFileNotFoundError(self.public, "No such file or directory", None,
                                       errno.ENOENT) from None
        except Exception as error:  # noqa: BLE001 (any protocol's error, reworded once)
            raise self._error(f"cannot open: {_describe(error)}") from None
        size = details.get("size")
        if not isinstance(size, int) or size < 0:
            raise self._error("the server does not tell the size of the file")
        self.size = size
        # What tells this version of the object from a rewritten one.
        version = (details.get("ETag") or details.get("etag") or details.get("mtime")
                   or details.get("LastModified") or details.get("last_modified"))
        self.version = str(version) if version is not None else None
        if first_ends is not None:
            self.ends = self._checked_ends(*first_ends)

    def _first_round(self, with_ends: bool) -> tuple[dict[str, Any], tuple[Any, Any] | None]:
        """The object's details and, with `with_ends`, the answers to a request for its first
        HEAD_BYTES and one for its last TAIL_BYTES (a suffix range, which needs no size), all
        three in flight together on the file system's event loop. File systems without one
        (and every open of a URL whose directory is remembered) ask for the details alone."""
        fs = self.fs
        if not (with_ends and getattr(fs, "async_impl", False) and hasattr(fs, "_cat_file")):
            details = fs.info(self.path)
            self.stats.add(1, 0)
            return details, None
        import asyncio

        from fsspec.asyn import sync

        async def together() -> tuple[Any, ...]:
            return await asyncio.gather(
                fs._info(self.path), fs._cat_file(self.path, start=-TAIL_BYTES),
                fs._cat_file(self.path, start=0, end=HEAD_BYTES), return_exceptions=True)

        started = time.perf_counter()
        details, tail, head = sync(fs.loop, together)
        received = sum(len(body) for body in (tail, head) if isinstance(body, bytes))
        self.stats.add(3, received)
        log.debug("%s: size and 2 ranges, 3 requests, %d bytes in %.3f s", self.public,
                  received, time.perf_counter() - started)
        if isinstance(details, BaseException):
            raise details
        return details, (head, tail)

    def _checked_ends(self, head: Any, tail: Any) -> list[tuple[int, bytes]]:
        """The head and tail that arrived whole, as pieces. One that failed or came short is
        left out (the open fetches it again, with retries); one longer than asked is an error."""
        pieces = []
        for offset, length, body in ((0, HEAD_BYTES, head),
                                     (self.size - min(TAIL_BYTES, self.size), TAIL_BYTES, tail)):
            expected = min(length, self.size - offset)
            if not isinstance(body, bytes) or len(body) < expected or expected == 0:
                continue
            if len(body) > expected:
                raise self._error(
                    f"the server answered a request for {length} bytes with {len(body)} "
                    f"bytes: it does not serve byte ranges")
            pieces.append((offset, body))
        return _merged(pieces)

    @property
    def identity(self) -> tuple[int, int, int, int, int]:
        """What stands for a local file's (device, inode, size, times): the size and a
        checksum of the version, so that a task can tell that it reads the object opened."""
        return (0, 0, self.size, zlib.crc32((self.version or "").encode()), 0)

    @property
    def version_key(self) -> bytes:
        """The version as bytes that tell every version apart, none included."""
        return b"" if self.version is None else b"v" + self.version.encode()

    def _error(self, message: str) -> ZelFileError:
        return ZelFileError(self.public, message)

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[tuple[int, bytes]]:
        """The bytes of each (offset, length), fetched concurrently, each checked to be whole."""
        wanted = [(offset, length) for offset, length in ranges if length > 0]
        if not wanted:
            return []
        started = time.perf_counter()
        results: dict[int, bytes] = {}
        pending = list(range(len(wanted)))
        delay = BACKOFF_SECONDS
        requests = received = 0
        for attempt in range(RETRIES + 1):
            try:
                bodies = self.fs.cat_ranges(
                    [self.path] * len(pending), [wanted[i][0] for i in pending],
                    [wanted[i][0] + wanted[i][1] for i in pending], on_error="return")
            except Exception as error:  # noqa: BLE001 (the whole batch failed)
                bodies = [error] * len(pending)
            requests += len(pending)
            failed: list[int] = []
            last: BaseException | str = ""
            for i, body in zip(pending, bodies):
                offset, length = wanted[i]
                if isinstance(body, BaseException):
                    if _status(body) == 416:  # the range lies past the end: the file shrank
                        self.stats.add(requests, received)
                        raise self._error("the file changed since it was opened: it is "
                                          "shorter now") from None
                    if not _transient(body):
                        self.stats.add(requests, received)
                        raise self._error(f"cannot read bytes {offset}-{offset + length - 1}: "
                                          f"{_describe(body)}") from None
                    failed.append(i)
                    last = body
                    continue
                received += len(body)
                if len(body) == length:
                    results[i] = body
                elif len(body) > length:
                    # The whole object, or more than asked: the server ignored the range.
                    self.stats.add(requests, received)
                    raise self._error(
                        f"the server answered a request for bytes {offset}-{offset + length - 1} "
                        f"with {len(body)} bytes: it does not serve byte ranges")
                elif offset + len(body) < self.size and offset + length <= self.size:
                    failed.append(i)  # cut short: a dropped connection, or a shorter file
                    last = f"{len(body)} of {length} bytes arrived"
                else:
                    self.stats.add(requests, received)
                    raise self._error("the file changed since it was opened: it is shorter now")
            pending = failed
            if not pending:
                break
            if attempt == RETRIES:
                self.stats.add(requests, received)
                what = _describe(last) if isinstance(last, BaseException) else last
                raise self._error(f"cannot read {len(pending)} byte ranges after "
                                  f"{RETRIES + 1} attempts: {what}")
            time.sleep(delay)
            delay *= 2
        self.stats.add(requests, received)
        log.debug("%s: %d ranges, %d requests, %d bytes in %.3f s", self.public, len(wanted),
                  requests, received, time.perf_counter() - started)
        return [(wanted[i][0], results[i]) for i in range(len(wanted))]

    # --- opening --------------------------------------------------------------------------

    def open_pieces(self) -> list[tuple[int, bytes]]:
        """The pieces an open needs: the head, the tail and the central directory. The head
        and tail come from the first round when it brought them, else they are fetched now;
        the directory's place is known only from the tail."""
        size = self.size
        ends, self.ends = self.ends, None
        if ends is not None:
            try:
                _engine.directory_range(size, ends)
            except _engine.MissingBytes:
                pass  # fetched by _with_directory
            except OSError:
                ends = None  # no end records where the suffix range put them: ask by offset
        if ends is not None:
            return self._with_directory(ends)
        if size <= TAIL_BYTES + HEAD_BYTES:
            return self.fetch([(0, size)])
        tail_start = size - TAIL_BYTES
        return self._with_directory(self.fetch([(0, HEAD_BYTES), (tail_start, TAIL_BYTES)]))

    def _with_directory(self, pieces: list[tuple[int, bytes]]) -> list[tuple[int, bytes]]:
        """`pieces` (which hold the object's end) and the central directory's bytes that they
        lack, fetched in a few parts side by side."""
        size = self.size
        head_length, tail_start = min(HEAD_BYTES, size), size - min(TAIL_BYTES, size)
        ends = ([(0, size)] if tail_start <= head_length else
                [(0, head_length), (tail_start, size - tail_start)])
        missing = [gap for wanted in ends for gap in _uncovered(wanted, pieces)]
        if missing:  # the first round did not bring them both
            pieces = _merged(pieces + self.fetch(missing))
        try:
            directory, length = _engine.directory_range(size, pieces)
        except _engine.MissingBytes as missing_bytes:
            # The end records lie before the tail (a Zip64 record far from the end).
            pieces = _merged(pieces + self.fetch([missing_bytes.args]))
            directory, length = _engine.directory_range(size, pieces)
        except OSError as error:
            raise ZelFileError(self.public, str(getattr(error, "strerror", error))) from None
        needed = _uncovered((directory, length), pieces)
        parts = []
        for offset, part_length in needed:
            step = max(-(-part_length // DIRECTORY_PARTS), 1 << 20)
            parts += [(start, min(step, offset + part_length - start))
                      for start in range(offset, offset + part_length, step)]
        return _merged(pieces + self.fetch(parts))


def _describe(error: BaseException) -> str:
    """An error's text, which never holds the URL's credentials (fsspec names the path only)."""
    status = _status(error)
    text = str(error) or type(error).__name__
    if status is not None and str(status) not in text:
        text = f"HTTP {status}: {text}"
    return text.splitlines()[0][:300]


def _uncovered(wanted: tuple[int, int], pieces: list[tuple[int, bytes]]) -> list[tuple[int, int]]:
    """The parts of `wanted` (offset, length) that no piece holds."""
    start, end = wanted[0], wanted[0] + wanted[1]
    gaps = []
    for offset, body in sorted(pieces):
        if offset + len(body) <= start or offset >= end:
            continue
        if offset > start:
            gaps.append((start, offset - start))
        start = max(start, offset + len(body))
    if start < end:
        gaps.append((start, end - start))
    return gaps


def _merged(pieces: list[tuple[int, bytes]]) -> list[tuple[int, bytes]]:
    """Pieces that overlap or touch joined, so that none overlaps another (the engine's rule)."""
    out: list[tuple[int, bytes]] = []
    for offset, body in sorted(pieces, key=lambda piece: piece[0]):
        if out and offset <= out[-1][0] + len(out[-1][1]):
            last_offset, last = out[-1]
            overlap = last_offset + len(last) - offset
            if overlap < len(body):
                out[-1] = (last_offset, last + body[overlap:])
            continue
        out.append((offset, body))
    return out


# --- the parsed index, kept per object version ------------------------------------------

CACHE_ENTRIES = 8
_cache: Lru[tuple[str, int, str], list[tuple[int, bytes]]] = Lru(CACHE_ENTRIES)


def open_archive(remote: RemoteObject) -> _engine.Archive:
    """The engine's archive over the object: the pieces of its open, from the cache when the
    same URL was opened at the same size and version, else fetched."""
    key = (remote.url, remote.size, remote.version) if remote.version is not None else None
    pieces = _cache.get(key) if key is not None else None
    if pieces is None:
        pieces = remote.open_pieces()
    for _ in range(MISSING_ROUNDS):
        try:
            archive = _engine.open_fetched(remote.public, remote.size, pieces)
            break
        except _engine.MissingBytes as missing:
            # The header member lies outside the head: fetch it (and whatever else is needed).
            pieces = _merged(pieces + remote.fetch([missing.args]))
    else:
        raise ZelFileError(remote.public, "the open kept needing more bytes")
    if key is not None:
        _cache.put(key, pieces)
    return archive


def _remembers(url: str) -> bool:
    """Whether a directory of some version of `url` is remembered."""
    return _cache.any_key(lambda key: key[0] == url)


def clear_cache() -> None:
    """Forgets every remembered directory (the next open of each URL fetches it again)."""
    _cache.clear()


def read_rows(remote: RemoteObject, archive: _engine.Archive, channel: str,
              segments: list[int], unit: str, rows: range, threads: int, out: Any) -> None:
    """Fills `out` as archive.read does, from the members' bytes fetched from the object.

    The planned ranges are fetched in groups, a few in flight at a time, and the rows whose
    members have all arrived are decoded while later groups are still coming. A read that
    fails anywhere is done again whole over every fetched byte, so that its error is the one
    the local reader meets first."""
    ranges = archive.plan(channel, segments, rows.start, rows.step, len(rows), MAX_GAP,
                          MAX_BLOCK)
    pieces = _streamed(remote, archive, channel, segments, unit, rows, threads, out, ranges)
    if pieces is None:
        return
    for _ in range(MISSING_ROUNDS):
        try:
            archive.read(channel, segments, unit, rows.start, rows.step, len(rows), threads,
                         out, pieces)
            return
        except _engine.MissingBytes as missing:
            # A member whose local header is longer than its directory record says.
            pieces = _merged(pieces + remote.fetch([missing.args]))
    raise ZelFileError(remote.public, "the read kept needing more bytes")


GROUPS_IN_FLIGHT = 6  # measured: 6 beat 2 and 3 on whole-file reads at 20 ms, one read alike


def _streamed(remote: RemoteObject, archive: _engine.Archive, channel: str,
              segments: list[int], unit: str, rows: range, threads: int, out: Any,
              ranges: list[tuple[int, int]]) -> list[tuple[int, bytes]] | None:
    """Fetches `ranges` and decodes rows as their bytes arrive: None when every row was read,
    else the fetched pieces, for a read of the whole request (which then reports the error
    in the local reader's order)."""
    spans = _row_spans(archive, channel, segments, rows) if len(ranges) > 1 else None
    if spans is None:
        return remote.fetch(ranges)
    groups = _groups(ranges)
    first_range = [0]  # of each group, the index of its first range, then one past the last
    for group in groups:
        first_range.append(first_range[-1] + len(group))
    range_group = [g for g, group in enumerate(groups) for _ in group]
    starts = [offset for offset, _ in ranges]
    # Of each (segment index, row index): the groups that hold its members.
    needs = {key: {range_group[i] for i in _overlapping(ranges, starts, lo, hi)}
             for key, (lo, hi) in spans.items()}
    grid = out.reshape((len(segments), len(rows)) + out.shape[-2:])
    arrived: dict[int, list[tuple[int, bytes]]] = {}
    failures: dict[int, BaseException] = {}
    decoding = True
    pool = ThreadPoolExecutor(GROUPS_IN_FLIGHT, thread_name_prefix="zel-fetch")
    try:
        futures = {pool.submit(remote.fetch, group): g for g, group in enumerate(groups)}
        for done in as_completed(futures):
            g = futures[done]
            try:
                arrived[g] = done.result()
            except Exception as error:  # noqa: BLE001 (raised below, the earliest first)
                failures[g] = error
                decoding = False
                continue
            if not decoding:
                continue
            ready = sorted(key for key, wanted in needs.items() if wanted <= arrived.keys())
            for key in ready:
                del needs[key]
            try:
                for segment_index, first, count in _runs(ready):
                    lo = spans[(segment_index, first)][0]
                    hi = max(spans[(segment_index, i)][1] for i in range(first, first + count))
                    archive.read(channel, [segments[segment_index]], unit,
                                 rows[first], rows.step, count, threads,
                                 grid[segment_index, first:first + count],
                                 _clipped(arrived, lo, hi))
            except (OSError, ValueError, _engine.MissingBytes):
                decoding = False  # read again whole below, for the local reader's error
    finally:
        pool.shutdown(wait=False, cancel_futures=True)
    if failures:
        raise failures[min(failures)]
    if decoding and not needs:
        return None
    return [piece for g in sorted(arrived) for piece in arrived[g]]


def _row_spans(archive: _engine.Archive, channel: str, segments: list[int],
               rows: range) -> dict[tuple[int, int], tuple[int, int]] | None:
    """Of each (segment index, row index) of the request, where its members lie: from the
    first byte of the first to the last of the last. None when a row has members that cannot
    be located (the whole read reports them)."""
    spans = {}
    for segment_index, segment in enumerate(segments):
        for index, row in enumerate(rows):
            ranges = archive.plan(channel, [segment], row, 1, 1, 1 << 62, 1 << 62)
            if not ranges:
                return None
            spans[(segment_index, index)] = (ranges[0][0],
                                             max(offset + length for offset, length in ranges))
    return spans


def _groups(ranges: list[tuple[int, int]]) -> list[list[tuple[int, int]]]:
    """`ranges` in runs of neighbours of up to MAX_BLOCK bytes (a larger range alone)."""
    groups: list[list[tuple[int, int]]] = []
    size = 0
    for wanted in ranges:
        if groups and size + wanted[1] <= MAX_BLOCK:
            groups[-1].append(wanted)
            size += wanted[1]
        else:
            groups.append([wanted])
            size = wanted[1]
    return groups


def _overlapping(ranges: list[tuple[int, int]], starts: list[int], lo: int,
                 hi: int) -> range:
    """The indices of the ascending, disjoint `ranges` that meet [lo, hi)."""
    first = max(bisect.bisect_right(starts, lo) - 1, 0)
    if ranges[first][0] + ranges[first][1] <= lo:
        first += 1
    return range(first, bisect.bisect_left(starts, hi))


def _runs(keys: list[tuple[int, int]]) -> list[tuple[int, int, int]]:
    """Sorted (segment index, row index) keys as (segment index, first row index, count) of
    consecutive rows."""
    runs: list[tuple[int, int, int]] = []
    for segment_index, index in keys:
        if runs and runs[-1][0] == segment_index and runs[-1][1] + runs[-1][2] == index:
            runs[-1] = (segment_index, runs[-1][1], runs[-1][2] + 1)
        else:
            runs.append((segment_index, index, 1))
    return runs


def _clipped(arrived: dict[int, list[tuple[int, bytes]]], lo: int,
             hi: int) -> list[tuple[int, memoryview]]:
    """The arrived bytes within [lo, hi), as views (the engine copies only those)."""
    pieces = []
    for group in arrived.values():
        for offset, body in group:
            start, stop = max(offset, lo), min(offset + len(body), hi)
            if start < stop:
                pieces.append((start, memoryview(body)[start - offset:stop - offset]))
    return pieces
