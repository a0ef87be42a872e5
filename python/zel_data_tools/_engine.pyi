# The tools' native reader (compiled from src/python/engine).
import os
from collections.abc import Iterator, Sequence
from typing import Any

class EngineError(OSError):
    kind: str
    subject: str | None

def reading_threads() -> int: ...

class Archive:
    def __init__(
        self, path: str | bytes | os.PathLike[str], *, file_members: bool = False
    ) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def identity(self) -> tuple[int, int, int, int, int] | None: ...
    def info(
        self,
    ) -> tuple[int, list[tuple[str, str | None, str | None, tuple[str, ...], dict[int, int]]]]: ...
    def sample_counts(self) -> dict[str, dict[int, tuple[int, int, int]]]: ...
    def channel_info(
        self, name: str
    ) -> (
        tuple[
            str,
            str | None,
            str | None,
            tuple[str, ...],
            dict[int, int],
            dict[int, tuple[int, int, int]],
        ]
        | None
    ): ...
    def non_deflate_members(
        self, channel: str, segments: list[int], limit: int
    ) -> list[tuple[str, int]]: ...
    def header_items(self) -> list[tuple[str, str]]: ...
    def header_walk(self, prefix: str) -> Iterator[tuple[int, str, str | None]]: ...
    def side(self, channel: str, segment: int) -> int: ...
    def read(
        self,
        channel: str,
        segments: list[int],
        unit: str,
        row_start: int,
        row_step: int,
        row_count: int,
        threads: int,
        out: Any,
        pieces: Sequence[tuple[int, bytes | memoryview]] | None = None,
    ) -> None: ...
    def plan(
        self,
        channel: str,
        segments: list[int],
        row_start: int,
        row_step: int,
        row_count: int,
        max_gap: int,
        max_block: int,
    ) -> list[tuple[int, int]]: ...
    def index_slice(self, channel: str, segments: list[int], version: bytes) -> bytes: ...
    def size(self) -> int: ...
    def close(self) -> None: ...

class MissingBytes(Exception):
    args: tuple[int, int]

def directory_range(size: int, pieces: Sequence[tuple[int, bytes]]) -> tuple[int, int]: ...
def open_fetched(location: str, size: int, pieces: Sequence[tuple[int, bytes]]) -> Archive: ...
def open_slice(location: str, size: int, version: bytes, blob: bytes) -> Archive: ...

def non_deflate_header(path: str | bytes | os.PathLike[str]) -> list[tuple[str, int]]: ...
