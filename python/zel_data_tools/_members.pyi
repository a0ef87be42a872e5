import os

def count(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /
) -> tuple[int, dict[tuple[int, bytes], int]]: ...
