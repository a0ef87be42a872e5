"""Writes Zel data files of millions of members quickly, for the scale benchmark.

    python benchmarks/large_archive.py OUT.zel [--channels 16] [--segments 64] [--side 64]

Python's zipfile needs minutes and gigabytes for millions of members, so this writer lays the
ZIP records out itself (local headers, central directory, Zip64 end records when there are
more than 65,534 members), with the same member names, order (position-major) and data as
make_archives.py: channel k is make_archives' channel k % 8 under the name "{name}-{k // 8}"
from k = 8 on, and segment s holds the data of make_archives' segment s % 4, so every member
is compressed once per distinct content and then reused. The result opens with zipfile.
"""

from __future__ import annotations

import argparse
import dataclasses
import pathlib
import struct
import sys
import time
import zlib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import make_archives  # noqa: E402

VERSION = 20
VERSION_ZIP64 = 45
DOS_TIME, DOS_DATE = 0x4BC0, 0x58CB  # 2024-06-11 09:30:00
LOCAL = struct.Struct("<IHHHHHIIIHH")
CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")


def channels(count: int) -> tuple[make_archives.Channel, ...]:
    base = make_archives.CHANNELS
    return tuple(
        base[k] if k < len(base)
        else dataclasses.replace(base[k % len(base)], name=f"{base[k % len(base)].name}-{k // len(base)}")
        for k in range(count)
    )


def compressed_members(side: int, channel: make_archives.Channel, segment: int):
    """(crc, size, deflated bytes) of every position's member of one channel and segment."""
    raw = make_archives.raw_values(side, channel, segment % len(make_archives.SEGMENTS)).tobytes()
    size = 4 * make_archives.SAMPLES
    out = []
    for p in range(side * side):
        data = raw[size * p : size * (p + 1)]
        packer = zlib.compressobj(6, zlib.DEFLATED, -15)
        out.append((zlib.crc32(data), len(data), packer.compress(data) + packer.flush()))
    return out


def write_large_archive(path, channel_count: int = 16, segments: int = 64, side: int = 64) -> int:
    """Writes the archive; returns its number of members (the header included)."""
    chans = channels(channel_count)
    header = make_archives.header_text(side, chans, segments).encode("utf-8")
    # One list per (base channel, base segment): the content does not depend on the rest.
    blobs = {}
    for c in chans:
        base = make_archives.CHANNELS.index(make_archives.channel(c.name.split("-")[0]))
        for s in range(segments):
            key = (base, s % len(make_archives.SEGMENTS))
            if key not in blobs:
                blobs[key] = compressed_members(side, make_archives.CHANNELS[base], s)
    bases = [make_archives.CHANNELS.index(make_archives.channel(c.name.split("-")[0])) for c in chans]

    directory = bytearray()
    count = 0
    with open(path, "wb") as out:
        def member(name: str, crc: int, size: int, data: bytes) -> None:
            nonlocal count
            encoded = name.encode("utf-8")
            offset = out.tell()
            if offset >= 0xFFFFFFFF:
                raise ValueError("archive too large for this writer (no Zip64 offsets)")
            out.write(LOCAL.pack(0x04034B50, VERSION, 0, 8, DOS_TIME, DOS_DATE, crc, len(data),
                                 size, len(encoded), 0))
            out.write(encoded)
            out.write(data)
            directory.extend(CENTRAL.pack(0x02014B50, (3 << 8) | VERSION, VERSION, 0, 8, DOS_TIME,
                                          DOS_DATE, crc, len(data), size, len(encoded), 0, 0, 0,
                                          0, 0o644 << 16, offset))
            directory.extend(encoded)
            count += 1

        packer = zlib.compressobj(6, zlib.DEFLATED, -15)
        member(make_archives.HEADER_MEMBER, zlib.crc32(header), len(header),
               packer.compress(header) + packer.flush())
        for p in range(side * side):
            for s in range(segments):
                blob_segment = s % len(make_archives.SEGMENTS)
                for c, base in zip(chans, bases):
                    crc, size, data = blobs[base, blob_segment][p]
                    member(make_archives.member_name(p, s, c.name), crc, size, data)

        directory_offset = out.tell()
        out.write(directory)
        end64 = out.tell()
        zip64 = count >= 0xFFFF or len(directory) >= 0xFFFFFFFF or directory_offset >= 0xFFFFFFFF
        if zip64:
            out.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, (3 << 8) | VERSION_ZIP64,
                                  VERSION_ZIP64, 0, 0, count, count, len(directory),
                                  directory_offset))
            out.write(struct.pack("<IIQI", 0x07064B50, 0, end64, 1))
        entries = min(count, 0xFFFF)
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, entries, entries,
                              min(len(directory), 0xFFFFFFFF), min(directory_offset, 0xFFFFFFFF), 0))
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--channels", type=int, default=16)
    parser.add_argument("--segments", type=int, default=64)
    parser.add_argument("--side", type=int, default=64)
    args = parser.parse_args()
    start = time.perf_counter()
    count = write_large_archive(args.out, args.channels, args.segments, args.side)
    print(f"{args.out}: {count} members, {args.out.stat().st_size / 2**20:.0f} MiB, "
          f"written in {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
