# The tools' native reader (compiled from src/python/tools).
import os
from typing import Any

class Archive:
    def __init__(self, path: str | bytes | os.PathLike[str]) -> None: ...
    @property
    def closed(self) -> bool: ...
    @property
    def identity(self) -> tuple[int, int, int, int, int]: ...
    def info(
        self,
    ) -> tuple[int, list[tuple[str, str | None, str | None, tuple[str, ...], dict[int, int]]]]: ...
    def header_items(self) -> list[tuple[str, str]]: ...
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
    ) -> None: ...
    def close(self) -> None: ...
