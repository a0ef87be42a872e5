"""Reading and patching the records of a ZIP archive's bytes, for tests.

Archives are made by real writers (``zipfile``, ``bsdtar``, Info-ZIP ``zip``); this module
finds their records so that a test can check what a writer produced, or damage one field of
one record in a way no writer would. Nothing here decides what a reader must do with them.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

EOCD_SIG = b"PK\x05\x06"
ZIP64_LOCATOR_SIG = b"PK\x06\x07"
ZIP64_EOCD_SIG = b"PK\x06\x06"
CENTRAL_SIG = b"PK\x01\x02"
LOCAL_SIG = b"PK\x03\x04"
DESCRIPTOR_SIG = b"PK\x07\x08"

# Field offsets inside the fixed parts of the records.
EOCD_ENTRIES_DISK, EOCD_ENTRIES, EOCD_DIR_SIZE, EOCD_DIR_OFFSET = 8, 10, 12, 16
ZIP64_EOCD_ENTRIES, ZIP64_EOCD_DIR_SIZE, ZIP64_EOCD_DIR_OFFSET = 32, 40, 48
CEN_FLAGS, CEN_METHOD, CEN_CRC, CEN_COMPRESSED, CEN_UNCOMPRESSED = 8, 10, 16, 20, 24
CEN_NAME_LEN, CEN_EXTRA_LEN, CEN_COMMENT_LEN, CEN_DISK, CEN_LOCAL_OFFSET = 28, 30, 32, 34, 42
CEN_FIXED = 46
LOC_NAME_LEN, LOC_EXTRA_LEN, LOC_FIXED = 26, 28, 30


@dataclass
class Central:
    """One central-directory record as stored (32-bit fields, Zip64 markers not resolved)."""

    at: int  # position of the record in the file
    flags: int
    method: int
    crc: int
    compressed_size: int
    uncompressed_size: int
    disk: int
    local_offset: int
    name: bytes
    extra: bytes
    comment: bytes

    @property
    def size(self) -> int:
        return CEN_FIXED + len(self.name) + len(self.extra) + len(self.comment)


def u16(data: bytes, at: int) -> int:
    return struct.unpack_from("<H", data, at)[0]


def u32(data: bytes, at: int) -> int:
    return struct.unpack_from("<I", data, at)[0]


def u64(data: bytes, at: int) -> int:
    return struct.unpack_from("<Q", data, at)[0]


def put(data: bytes, at: int, fmt: str, value: int) -> bytes:
    """A copy of ``data`` with ``value`` packed little-endian (``fmt``: "H", "I", "Q") at ``at``."""
    out = bytearray(data)
    struct.pack_into("<" + fmt, out, at, value)
    return bytes(out)


def end_record(data: bytes) -> int:
    """Position of the last end-of-central-directory signature."""
    at = data.rfind(EOCD_SIG)
    assert at >= 0, "no end record"
    return at


def zip64_end_record(data: bytes) -> int | None:
    """Position of the Zip64 end record that a locator right before the end record names."""
    locator = end_record(data) - 20
    if locator < 0 or data[locator : locator + 4] != ZIP64_LOCATOR_SIG:
        return None
    at = u64(data, locator + 8)
    return at if data[at : at + 4] == ZIP64_EOCD_SIG else None


def directory_offset(data: bytes) -> int:
    zip64 = zip64_end_record(data)
    if zip64 is not None:
        return u64(data, zip64 + ZIP64_EOCD_DIR_OFFSET)
    return u32(data, end_record(data) + EOCD_DIR_OFFSET)


def central_records(data: bytes, start: int | None = None) -> list[Central]:
    """Every central-directory record, walked from ``start`` (default: the recorded offset)."""
    at = directory_offset(data) if start is None else start
    records = []
    while data[at : at + 4] == CENTRAL_SIG:
        name_len = u16(data, at + CEN_NAME_LEN)
        extra_len = u16(data, at + CEN_EXTRA_LEN)
        comment_len = u16(data, at + CEN_COMMENT_LEN)
        name_at = at + CEN_FIXED
        record = Central(
            at=at,
            flags=u16(data, at + CEN_FLAGS),
            method=u16(data, at + CEN_METHOD),
            crc=u32(data, at + CEN_CRC),
            compressed_size=u32(data, at + CEN_COMPRESSED),
            uncompressed_size=u32(data, at + CEN_UNCOMPRESSED),
            disk=u16(data, at + CEN_DISK),
            local_offset=u32(data, at + CEN_LOCAL_OFFSET),
            name=data[name_at : name_at + name_len],
            extra=data[name_at + name_len : name_at + name_len + extra_len],
            comment=data[
                name_at + name_len + extra_len : name_at + name_len + extra_len + comment_len
            ],
        )
        records.append(record)
        at += record.size
    return records


def central_named(data: bytes, name: bytes, index: int = 0) -> Central:
    """The index-th central record named exactly ``name``."""
    return [r for r in central_records(data) if r.name == name][index]


def data_start(data: bytes, record: Central, base: int = 0) -> int:
    """Where a member's compressed data begins, from its local header."""
    local = record.local_offset + base
    assert data[local : local + 4] == LOCAL_SIG
    return local + LOC_FIXED + u16(data, local + LOC_NAME_LEN) + u16(data, local + LOC_EXTRA_LEN)


def extra_fields(extra: bytes) -> dict[int, bytes]:
    """The extra field's subfields by header ID."""
    fields, at = {}, 0
    while at + 4 <= len(extra):
        ident, length = struct.unpack_from("<HH", extra, at)
        fields[ident] = extra[at + 4 : at + 4 + length]
        at += 4 + length
    return fields


def replace_central_extra(
    data: bytes, record: Central, fields: dict[int, int], extra: bytes
) -> bytes:
    """Rewrites one central record with new 32-bit ``fields`` (offset -> value) and a new extra
    field, moving the records behind it and fixing the plain end record's directory size.

    For archives without Zip64 records and without data behind the end record.
    """
    assert zip64_end_record(data) is None
    fixed = bytearray(data[record.at : record.at + CEN_FIXED])
    for offset, value in fields.items():
        struct.pack_into("<I", fixed, offset, value)
    struct.pack_into("<H", fixed, CEN_EXTRA_LEN, len(extra))
    rebuilt = bytes(fixed) + record.name + extra + record.comment
    out = data[: record.at] + rebuilt + data[record.at + record.size :]
    eocd = end_record(out)
    return put(
        out, eocd + EOCD_DIR_SIZE, "I", u32(out, eocd + EOCD_DIR_SIZE) + len(rebuilt) - record.size
    )
