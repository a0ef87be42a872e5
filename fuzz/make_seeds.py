"""Writes the seed corpora of the fuzz targets into a directory, one folder per target.

Every archive is written by Python's zipfile through the test builders, so the seeds are what
real writers make. Some are rewritten in one way no writer would choose but every reader must
take: DEFLATE stored blocks and a CRC-32 of 0 (which is not checked), so that the fuzzer can
change the header text and the raw values in place and still reach the code behind the checks.

    python fuzz/make_seeds.py OUT

It also writes the inputs kept in fuzz/regressions (each once a finding), which fuzz.sh replays
before it fuzzes:

    python fuzz/make_seeds.py --regressions fuzz/regressions
"""

from __future__ import annotations

import io
import struct
import sys
import zipfile
import zlib
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import zip_layout as zl  # noqa: E402
from zel_archive import (  # noqa: E402
    DATE_TIME,
    HEADER_MEMBER,
    channel_entry,
    channel_members,
    header_text,
    write_zel,
)

GAUGE = channel_entry(
    "3",
    "gauge",
    "float-data",
    base="volt",
    encoder=("2", "0.5"),
    units={"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")},
)
COUNTS = channel_entry("7", "counts", "int-data", base="count", units={"k": ("count", "0", "1e-3")})
LOOP = channel_entry("9", "loop", units={"a": ("b", "0", "1"), "b": ("a", "0", "1")})

HEADERS = {
    "gauge": header_text(GAUGE),
    "two": header_text(GAUGE + COUNTS),
    "loop": header_text(LOOP),
    "six": "#measurement header\ndevice.name=Probe A\ndevice.range=x=y\nnote=\n"
    "device.name=Probe B\n device.id = 7\n",
    "crlf": "k=v\r\na.b=1\r\n",
    "replace": "a=1\na.b=2\na.c.d=3\n",
    "through-value": "a.b=1\na=2\n",
    "empty-segments": "..=1\n.a=2\na.=3\n=4\n",
    "deep": "." * 200 + "=1\n",
    "bom": "\ufeffk=v\n#c\n",
    "no-equals": "a=1\nb\n",
}

NUMBERS = [
    "0", "-0", "1", "-1.5", "+2", ".5", "5.", "1e3", "1E-3", "-2.5e+10", "inf", "-Infinity",
    "nan", "NaN", "1e400", "-1e400", "2.4e-324", "4.9e-324", "2.2250738585072011e-308",
    "179769313486231580793728971405301e276", "0.1000000000000000055511151231257827",
    "123456789012345678901234567890", "9007199254740993", "1e", "e5", ".", "", "0x10", "nan(1)",
]


def deflated(data: bytes, level: int) -> bytes:
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def zip_bytes(members, *, level: int = 6, force_zip64: bool = False, comment: bytes = b"") -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED, compresslevel=level) as archive:
        archive.comment = comment
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=DATE_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            with archive.open(info, "w", force_zip64=force_zip64) as member:
                member.write(data)
    return out.getvalue()


class Unseekable(io.RawIOBase):
    """A sink without seek, so that zipfile writes data descriptors after the members."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, chunk):
        self.data += chunk
        return len(chunk)


def with_descriptors(members) -> bytes:
    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=DATE_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return bytes(sink.data)


def editable(data: bytes) -> bytes:
    """Stored DEFLATE blocks (zlib level 0) and every CRC-32 set to 0, which is not checked."""
    for record in zl.central_records(data):
        data = zl.put(data, record.at + zl.CEN_CRC, "I", 0)
        data = zl.put(data, record.local_offset + 14, "I", 0)
    return data


def members_of(header: str, grid: int, segments=(0,)):
    values = np.arange(grid * grid * 3, dtype=np.float64).reshape(grid, grid, 3) / 4
    members = [(HEADER_MEMBER, header.encode())]
    for segment in segments:
        members += channel_members(values, segment, "gauge")
        members += channel_members(values.astype(np.int64), segment, "counts", "int-data")
    return members


def archives(scratch: Path) -> dict[str, bytes]:
    two = members_of(HEADERS["two"], 2)
    found = {
        "plain": zip_bytes(two),
        "editable": editable(zip_bytes(two, level=0)),
        "editable-one": editable(zip_bytes(members_of(HEADERS["gauge"], 1), level=0)),
        "zip64": zip_bytes(members_of(HEADERS["gauge"], 1), force_zip64=True),
        "descriptors": with_descriptors(members_of(HEADERS["gauge"], 1)),
        "comment": zip_bytes(members_of(HEADERS["gauge"], 1), comment=b"a comment"),
        "prefixed": b"#!/bin/sh\nexit 0\n" + zip_bytes(members_of(HEADERS["gauge"], 1)),
        "segments": zip_bytes(members_of(HEADERS["two"], 1, segments=(0, 1, 255))),
        "loop": editable(zip_bytes([(HEADER_MEMBER, HEADERS["loop"].encode())], level=0)),
        "header-only": zip_bytes([(HEADER_MEMBER, HEADERS["six"].encode())]),
        "empty-member": zip_bytes([(HEADER_MEMBER, b""), ("x/0/channels/gauge.dat", b"")]),
    }
    # One archive through the test builder itself, as the tests write them.
    path = write_zel(scratch / "builder.zel", GAUGE, members_of(HEADERS["gauge"], 2)[1:])
    found["builder"] = path.read_bytes()
    return found


def regressions() -> dict[str, dict[str, bytes]]:
    # One member of 150 values: more than a grid position has room for, so the channel's values
    # are not laid out on the grid (the channel target once read 150 values from one block).
    wide = np.arange(150, dtype=np.float64).reshape(1, 1, 150) / 4
    return {
        "channel": {
            "one-member-150-values.zip": zip_bytes(
                [(HEADER_MEMBER, HEADERS["gauge"].encode())] + channel_members(wide, 0, "gauge")
            ),
        },
    }


def write_regressions(out: Path) -> None:
    for target, inputs in regressions().items():
        (out / target).mkdir(parents=True, exist_ok=True)
        for name, data in inputs.items():
            (out / target / name).write_bytes(data)


def slices(name: str, data: bytes) -> dict[str, bytes]:
    """The index slices of each channel of an archive, made by the engine from an open of it
    (none when the engine is not installed, or the archive does not open)."""
    try:
        from zel_data_tools import _engine
        archive = _engine.open_fetched(name, len(data), [(0, data)])
        channels = archive.info()[1]
    except (ImportError, OSError):
        return {}
    return {f"{name}-{channel[0]}": archive.index_slice(channel[0], sorted(channel[4]), b"v1")
            for channel in channels}


def main(out: Path) -> None:
    for target in ("archive", "channel", "header", "number", "slice"):
        (out / target).mkdir(parents=True, exist_ok=True)
    for name, data in archives(out).items():
        for target in ("archive", "channel"):
            (out / target / f"{name}.zip").write_bytes(data)
        for slice_name, blob in slices(name, data).items():
            (out / "slice" / slice_name).write_bytes(blob)
    (out / "builder.zel").unlink()
    for name, text in HEADERS.items():
        (out / "header" / f"{name}.txt").write_bytes(text.encode())
    for i, text in enumerate(NUMBERS):
        (out / "number" / f"text{i}").write_bytes(text.encode())
    for i, value in enumerate([0.1, -2.5e-300, 1e21, 5e-324, 1.7976931348623157e308]):
        (out / "number" / f"double{i}").write_bytes(struct.pack("<d", value))


if __name__ == "__main__":
    if sys.argv[1] == "--regressions":
        write_regressions(Path(sys.argv[2]))
    else:
        main(Path(sys.argv[1]))
