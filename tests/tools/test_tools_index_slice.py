"""Index slices: what a process needs of a file's index to read one channel, made by one open
and opened elsewhere without the central directory. The blob is untrusted input."""
from __future__ import annotations

import random
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

from zel_data_tools import _engine

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import make_archives  # noqa: E402

SIDE = 8
VERSION = b"v1"
MEMBER = struct.Struct("<QQQII")


@pytest.fixture(scope="module")
def archive_bytes(tmp_path_factory) -> bytes:
    path = tmp_path_factory.mktemp("slice") / "position-major.zel"
    make_archives.write_archive(path, SIDE, "position-major")
    return path.read_bytes()


@pytest.fixture(scope="module")
def whole(archive_bytes):
    return _engine.open_fetched("whole", len(archive_bytes), [(0, archive_bytes)])


def read(archive, data: bytes, channel: str, segments: list[int], unit: str,
         rows: range = range(SIDE)) -> np.ndarray:
    """archive.read over exactly the planned ranges of `data`."""
    out = np.empty((len(segments), len(rows), SIDE, 100))
    ranges = archive.plan(channel, segments, rows.start, rows.step, len(rows), 0, 1 << 30)
    pieces = [(offset, data[offset:offset + length]) for offset, length in ranges]
    archive.read(channel, segments, unit, rows.start, rows.step, len(rows), 1, out, pieces)
    return out


def test_a_slice_reads_what_the_whole_directory_reads(whole, archive_bytes):
    blob = whole.index_slice("height", [2, 0], VERSION)
    sliced = _engine.open_slice("sliced", len(archive_bytes), VERSION, blob)
    assert sliced.header_items() == whole.header_items()
    units = next(units for name, _, _, units, _ in whole.info()[1] if name == "height")
    for segments, rows in [([0, 2], range(SIDE)), ([2], range(1, SIDE, 3))]:
        for unit in units:
            assert read(sliced, archive_bytes, "height", segments, unit, rows).tobytes() == \
                read(whole, archive_bytes, "height", segments, unit, rows).tobytes()
    # Its plan is the whole file's: the same members, nothing else.
    assert sliced.plan("height", [0, 2], 0, 1, SIDE, 0, 1 << 20) == \
        whole.plan("height", [0, 2], 0, 1, SIDE, 0, 1 << 20)
    # What the slice does not hold is not there, as in a file without it.
    with pytest.raises(OSError, match="1/channels/height.dat"):
        sliced.side("height", 1)


def header_end(blob: bytes) -> int:
    """Where the channel's length field starts in `blob`."""
    at = 16
    for _ in range(2):  # version, header
        (length,) = struct.unpack_from("<I", blob, at)
        at += 4 + length
    return at


def malformed(blob: bytes, case: str) -> bytes:
    """`blob` broken in the way `case` names."""
    members_at = header_end(blob) + 4 + len("height") + 4 + 1 + 4
    first_flags = members_at + MEMBER.size - 4
    return {
        "magic": b"X" + blob[1:],
        "empty": b"",
        "cut in the header": blob[:40],
        "cut in the members": blob[:-5],
        "bytes after the end": blob + b"\0",
        "huge header length": blob[:16] + struct.pack("<I", len(VERSION)) + VERSION
        + struct.pack("<I", 0xFFFFFFFF) + blob[16 + 4 + len(VERSION) + 4:],
        "member count past the end": blob[:members_at - 4] + struct.pack("<I", 0xFFFFFFFF)
        + blob[members_at:],
        "segment count": blob[:members_at - 9] + struct.pack("<I", 257) + blob[members_at - 5:],
        "unknown flags": blob[:first_flags] + struct.pack("<I", 1 << 30)
        + blob[first_flags + 4:],
    }[case]


@pytest.mark.parametrize("case, message", [
    ("magic", "not an index slice"),
    ("empty", "not an index slice"),
    ("cut in the header", "cut short"),
    ("cut in the members", "cut short"),
    ("bytes after the end", "after its end"),
    ("huge header length", "cut short"),
    ("member count past the end", "cut short"),
    ("segment count", "256"),
    ("unknown flags", "flags"),
])
def test_a_malformed_slice_is_a_clear_error(whole, archive_bytes, case, message):
    bad = malformed(whole.index_slice("height", [1], VERSION), case)
    with pytest.raises(OSError, match=message):
        _engine.open_slice("x", len(archive_bytes), VERSION, bad)


def test_a_segment_given_twice_is_refused(whole, archive_bytes):
    one = whole.index_slice("height", [1], VERSION)
    count_at = header_end(one) + 4 + len("height")
    segment = one[count_at + 4:]  # the one segment's number, count and members
    twice = one[:count_at] + struct.pack("<I", 2) + segment + segment
    with pytest.raises(OSError, match="twice"):
        _engine.open_slice("x", len(archive_bytes), VERSION, twice)


@pytest.mark.parametrize("size_delta, version", [(1, VERSION), (0, b"v2"), (0, b"")])
def test_a_slice_of_another_version_is_refused(whole, archive_bytes, size_delta, version):
    blob = whole.index_slice("height", [0], VERSION)
    with pytest.raises(OSError, match="another version of the object"):
        _engine.open_slice("x", len(archive_bytes) + size_delta, version, blob)


def test_any_damage_to_a_slice_is_an_error_or_a_checked_read(whole, archive_bytes):
    """Truncations and flipped bytes never crash: the open refuses the blob, or the reads
    that follow check every member against the object, as those of a directory are."""
    blob = whole.index_slice("height", [0, 1], VERSION)
    units = next(units for name, _, _, units, _ in whole.info()[1] if name == "height")
    shuffled = random.Random(7)
    variants = [blob[:cut] for cut in range(0, len(blob), 7)]
    for _ in range(300):
        flipped = bytearray(blob)
        flipped[shuffled.randrange(len(blob))] ^= 1 << shuffled.randrange(8)
        variants.append(bytes(flipped))
    opened = 0
    for variant in variants:
        try:
            sliced = _engine.open_slice("x", len(archive_bytes), VERSION, variant)
        except OSError:
            continue
        opened += 1
        try:
            read(sliced, archive_bytes, "height", [0], units[0])
        except (OSError, IndexError, ValueError, _engine.MissingBytes):
            pass
    assert 0 < opened < len(variants)


def test_a_damaged_member_read_from_a_slice_gives_the_whole_files_error(whole, archive_bytes):
    import io
    import zipfile
    with zipfile.ZipFile(io.BytesIO(archive_bytes)) as archive:
        info = next(i for i in archive.infolist() if i.filename.endswith("/1/channels/height.dat"))
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    broken = bytearray(archive_bytes)
    broken[start + info.compress_size // 2] ^= 0xFF
    broken_bytes = bytes(broken)
    sliced = _engine.open_slice("x", len(archive_bytes), VERSION,
                                whole.index_slice("height", [1], VERSION))
    unit = next(units for name, _, _, units, _ in whole.info()[1] if name == "height")[0]
    errors = []
    for archive in (whole, sliced):
        with pytest.raises(OSError) as raised:
            read(archive, broken_bytes, "height", [1], unit)
        errors.append(str(raised.value))
    assert errors[0] == errors[1]
