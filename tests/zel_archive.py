"""Builders for Zel data files in tests.

A Zel data file is a ZIP archive with one text header member, HEADER_MEMBER, made of
``key=value`` lines with dotted keys, and one binary member per grid position, channel and
segment whose name ends in ``/{segment}/channels/{name}.dat``. Every archive here is written
by Python's ``zipfile``, so the reader is checked against an independent writer.

Typical use::

    from zel_archive import channel_entry, channel_members, write_zel

    header = channel_entry(
        "3", "gauge", "float-data", base="volt", encoder=("2", "0.5"),
        units={"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")},
    )
    values = np.arange(2 * 2 * 100, dtype=np.float32).reshape(2, 2, 100)
    path = write_zel(tmp_path / "a.zel", header, channel_members(values, 0, "gauge"))

Header values are written verbatim: "1,5", "inf", "" and "v\\r" reach the file exactly as
given. Ints and floats are accepted too and written as ``str()`` gives them, which for a
float is the shortest text that reads back as the same double.
"""

from __future__ import annotations

import os
import zipfile
from collections.abc import Iterable, Mapping
from typing import Union

import numpy as np

HEADER_MEMBER = "shared-data/header.properties"

# Every member gets this timestamp, so the same arguments always give the same bytes.
DATE_TIME = (2020, 1, 1, 0, 0, 0)

Value = Union[str, int, float]
Pairs = Iterable[tuple[str, Value]]
# A header as a nested dict, as ordered (dotted key, value) pairs, as text, or as raw bytes.
Header = Union[Mapping, Pairs, str, bytes]


def _value_text(value: Value) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value)
    raise TypeError(f"header value must be str, int or float, not {type(value).__name__}")


def header_pairs(tree: Mapping, prefix: str = "") -> list[tuple[str, Value]]:
    """Flattens a nested dict into (dotted key, value) pairs, in the dict's order."""
    pairs = []
    for key, value in tree.items():
        path = f"{prefix}{key}"
        if isinstance(value, Mapping):
            pairs.extend(header_pairs(value, path + "."))
        else:
            pairs.append((path, value))
    return pairs


def header_text(header: Mapping | Pairs) -> str:
    """Header text: one ``key=value`` line per pair, each ended by a line feed.

    Keys and values are written as given; a value holding a line feed would split its line,
    so write such headers as raw bytes instead.
    """
    pairs = header_pairs(header) if isinstance(header, Mapping) else header
    return "".join(f"{key}={_value_text(value)}\n" for key, value in pairs)


def channel_entry(
    entry: str,
    name: str,
    data_type: str = "float-data",
    *,
    base: str | None = "volt",
    encoder: tuple[Value, Value] | None = None,
    units: Mapping[str, tuple[Value, Value, Value]] | None = None,
) -> list[tuple[str, Value]]:
    """The header pairs of one channel entry ``lcd-info.<entry>``.

    ``encoder`` is (offset, multiplier) of the raw -> base unit scaling, left out when None.
    ``base`` is the base unit's name, left out when None. ``units`` maps a unit name to its
    conversion step (base-calibration-slot, offset, multiplier); the slot names the unit the
    step converts from. Leave keys out (filter the pairs) to build broken entries.
    """
    key = f"lcd-info.{entry}"
    pairs: list[tuple[str, Value]] = [
        (f"{key}.channel.name", name),
        (f"{key}.type", data_type),
    ]
    if encoder is not None:
        pairs += [
            (f"{key}.encoder.scaling.offset", encoder[0]),
            (f"{key}.encoder.scaling.multiplier", encoder[1]),
        ]
    if base is not None:
        pairs.append((f"{key}.conversion-set.conversions.base", base))
    for unit, (slot, offset, multiplier) in (units or {}).items():
        step = f"{key}.conversion-set.conversion.{unit}"
        pairs += [
            (f"{step}.base-calibration-slot", slot),
            (f"{step}.scaling.offset", offset),
            (f"{step}.scaling.multiplier", multiplier),
        ]
    return pairs


def encode(values, data_type: str = "float-data") -> bytes:
    """Raw member bytes: big-endian float32 for "float-data", big-endian int32 otherwise.

    That is the reader's own rule, so a header's data type and the bytes written for it
    agree. Floats are rounded to float32; integers must fit in 32 bits.
    """
    if data_type == "float-data":
        return np.asarray(values, dtype=np.float64).astype(">f4").tobytes()
    ints = np.asarray(values)
    if ints.dtype.kind not in "iu":
        raise TypeError(f"integer data needs integer values, not {ints.dtype}")
    if ints.size and (ints.min() < -(2**31) or ints.max() >= 2**31):
        raise ValueError("integer data does not fit in 32 bits")
    return ints.astype(">i4").tobytes()


def member_name(segment: int, name: str, i: int = 0, j: int = 0) -> str:
    """Name of the data member at grid position (i, j), ending in /{segment}/channels/{name}.dat."""
    return f"pos_{i}_{j}/{segment}/channels/{name}.dat"


def channel_members(values, segment: int, name: str, data_type: str = "float-data"):
    """The members of one channel of one segment, in row-major grid order.

    ``values`` has shape (side, side, n): values[i][j] becomes the member at position (i, j),
    n raw values long. The reader returns them as array[i][j][:n].
    """
    grid = np.asarray(values)
    if grid.ndim != 3 or grid.shape[0] != grid.shape[1]:
        raise ValueError(f"values must have shape (side, side, n), not {grid.shape}")
    side = grid.shape[0]
    return [
        (member_name(segment, name, i, j), encode(grid[i, j], data_type))
        for i in range(side)
        for j in range(side)
    ]


def _header_bytes(header: Header) -> bytes:
    if isinstance(header, bytes):
        return header
    if isinstance(header, str):
        return header.encode("utf-8")
    return header_text(header).encode("utf-8")


def write_zel(
    path: str | os.PathLike,
    header: Header | None,
    members: Iterable[tuple[str, bytes]] = (),
    *,
    compression: int = zipfile.ZIP_DEFLATED,
) -> str | os.PathLike:
    """Writes a Zel data file and returns ``path``.

    The header member comes first, unless ``header`` is None: then there is none, and a test
    that wants it elsewhere (or twice) puts (HEADER_MEMBER, bytes) into ``members`` itself.
    ``header`` may be a nested dict or pairs (turned into text), a str (encoded as UTF-8) or
    bytes (written as they are: invalid UTF-8, a byte order mark, CRLF line ends). Members are
    written in the order given, every one with ``compression``.
    """
    entries = [] if header is None else [(HEADER_MEMBER, _header_bytes(header))]
    entries.extend(members)
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=DATE_TIME)
            info.compress_type = compression
            archive.writestr(info, data)
    return path
