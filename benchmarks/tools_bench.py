"""Benchmarks of zel_data_tools: `zel info` on a huge archive, and read_many on Dask.

    python benchmarks/tools_bench.py info [--channels 16 --segments 64 --side 64] [--keep P]
    python benchmarks/tools_bench.py dask [--files 16 --side 64 --repeat 5]
    python benchmarks/tools_bench.py dask --quick          # 4 small files: a smoke run

info   writes an archive of channels x segments x side^2 members (16 x 64 x 64^2, 4.2 million
       members and a 350 MB Zip64 central directory, by default; about 700 MB on disk) with a
       fast writer of its own, then times, interleaved in one process, `zipfile.ZipFile(path)`
       against zel_data_tools.describe(path) (what `zel info` computes), and the `zel info`
       command as a whole, and prints their ratios. The target: describe at most 5 % of
       zipfile's open. Writing takes a minute or two; --keep PATH keeps (and reuses) the file.
dask   writes one realistic archive of a side x side grid (8 channels, 4 segments; see
       make_archives.py), copies it into --files files, and reads one channel of one segment
       of every file with read_many on a local cluster of one worker process and of two,
       clearing the workers' caches of open files before every run, and prints the ratio of
       the median times (one worker / two workers).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import make_archives  # noqa: E402

HEADER_MEMBER = "shared-data/header.properties"


# --- the huge archive ---------------------------------------------------------------------


def _local_header(name: bytes, crc: int, compressed: int, size: int) -> bytes:
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0x800, 8, 0, 0x21, crc, compressed,
                       size, len(name), 0) + name


def _central_record(name: bytes, crc: int, compressed: int, size: int, offset: int) -> bytes:
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0x800, 8, 0, 0x21, crc,
                       compressed, size, len(name), 0, 0, 0, 0, 0o644 << 16, offset) + name


def write_huge(path: pathlib.Path, channels: int, segments: int, side: int) -> int:
    """Writes a valid Zip64 Zel data file of channels * segments * side^2 data members whose
    data are all the same 100 float32 values (so that they take little room); returns the
    member count. Local header offsets must stay below 4 GiB, which these sizes do."""
    header = "".join(
        f"lcd-info.{c}.channel.name=ch{c:02d}\nlcd-info.{c}.type=float-data\n"
        f"lcd-info.{c}.conversion-set.conversions.base=volt\n" for c in range(channels))
    payload = np.full(100, 1.5, dtype=">f4").tobytes()
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = packer.compress(payload) + packer.flush()
    crc = zlib.crc32(payload)
    text = header.encode()
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed_text = packer.compress(text) + packer.flush()

    directory = []
    offset = 0
    with open(path, "wb", buffering=1 << 22) as out:
        def member(name: str, data: bytes, crc: int, size: int) -> None:
            nonlocal offset
            raw = name.encode()
            local = _local_header(raw, crc, len(data), size)
            out.write(local)
            out.write(data)
            directory.append(_central_record(raw, crc, len(data), size, offset))
            offset += len(local) + len(data)

        member(HEADER_MEMBER, packed_text, zlib.crc32(text), len(text))
        for position in range(side * side):
            for segment in range(segments):
                for c in range(channels):
                    member(f"positions/{position}/segments/{segment}/channels/ch{c:02d}.dat",
                           packed, crc, len(payload))
        if offset >= 0xFFFFFFFF:
            raise ValueError("archive too large for 32-bit local header offsets")
        blob = b"".join(directory)
        out.write(blob)
        count = len(directory)
        zip64_end = offset + len(blob)
        out.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                              len(blob), offset))
        out.write(struct.pack("<IIQI", 0x07064B50, 0, zip64_end, 1))
        out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF,
                              min(len(blob), 0xFFFFFFFF), min(offset, 0xFFFFFFFF), 0))
    return count


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def bench_info(args) -> int:
    from zel_data_tools import describe

    with tempfile.TemporaryDirectory(prefix="zel-bench-info-") as tmp:
        path = pathlib.Path(args.keep) if args.keep else pathlib.Path(tmp) / "huge.zel"
        expected = 1 + args.channels * args.segments * args.side**2
        if not (path.exists() and args.keep):
            start = time.perf_counter()
            write_huge(path, args.channels, args.segments, args.side)
            print(f"wrote {path}: {expected} members, {path.stat().st_size / 1e6:.0f} MB, "
                  f"in {time.perf_counter() - start:.0f} s", flush=True)
        info = describe(path)  # warms the page cache, and checks what it finds
        assert info.members == expected and info.grid == args.side, info.as_json()
        assert len(info.channels) == args.channels and len(info.segments) == args.segments
        zel = [sys.executable, "-m", "zel_data_tools", "info", str(path)]
        opens, describes, commands = [], [], []
        for _ in range(args.repeat):
            opens.append(timed(lambda: zipfile.ZipFile(path).close()))
            describes.append(timed(lambda: describe(path)))
            commands.append(timed(lambda: subprocess.run(zel, check=True,
                                                         stdout=subprocess.DEVNULL)))
        zipfile_open = statistics.median(opens)
        print(f"zipfile.ZipFile(path)      {zipfile_open:8.3f} s")
        for label, times in (("describe(path)", describes), ("zel info PATH (a process)",
                                                              commands)):
            median = statistics.median(times)
            print(f"{label:26} {median:8.3f} s   {100 * median / zipfile_open:5.1f} % "
                  "of zipfile's open")
    return 0


# --- read_many on one and two worker processes ----------------------------------------------


def bench_dask(args) -> int:
    from distributed import Client, LocalCluster

    import zel_data_tools
    from zel_data_tools import _cache

    files, side, repeat = (4, 16, 2) if args.quick else (args.files, args.side, args.repeat)
    channel, segment, unit = "temperature", 1, "kelvin"
    with tempfile.TemporaryDirectory(prefix="zel-bench-dask-") as tmp:
        first = pathlib.Path(tmp) / "f00.zel"
        make_archives.write_archive(first, side, "position-major")
        paths = [first] + [pathlib.Path(shutil.copy(first, pathlib.Path(tmp) / f"f{i:02d}.zel"))
                           for i in range(1, files)]
        want = make_archives.expected_data(side, channel, segment, unit)
        # Two uses: every array gathered into this process (3.3 MB per file of 64 x 64 cross
        # a socket), and a reduction on the workers (the mean of each position's samples).
        uses = {"read and gather": lambda stack: stack,
                "read, mean on the workers": lambda stack: np.nanmean(stack, axis=-1)}
        # Both clusters stay up and the runs alternate between them, so that a change of
        # the machine's load meets both alike.
        with contextlib.ExitStack() as stack_of_clusters:
            clients = {}
            for workers in (1, 2):
                cluster = stack_of_clusters.enter_context(LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True,
                    dashboard_address=None))
                clients[workers] = stack_of_clusters.enter_context(Client(cluster,
                                                                          set_as_default=False))
            stack = zel_data_tools.read_many(paths, channel, segment, unit)
            for client in clients.values():  # warms the workers: imports, page cache
                got = client.compute(stack, sync=True)
                assert np.array_equal(got, np.broadcast_to(want, got.shape), equal_nan=True)
            times = {(use, workers): [] for use in uses for workers in clients}
            for _ in range(repeat):
                for use, make in uses.items():
                    work = make(stack)
                    for workers, client in clients.items():
                        client.run(_cache.clear)
                        times[use, workers].append(
                            timed(lambda: client.compute(work, sync=True)))
            medians = {key: statistics.median(values) for key, values in times.items()}
        print(f"{files} files of {side} x {side}, one channel and segment each; median of "
              f"{repeat} runs")
        print(f"{'':28} {'1 worker':>10} {'2 workers':>10} {'1 / 2':>7}")
        for use in uses:
            one, two = medians[use, 1], medians[use, 2]
            print(f"{use:28} {one:9.3f}s {two:9.3f}s {one / two:7.2f}")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    cases = parser.add_subparsers(dest="case", required=True)
    info = cases.add_parser("info", help="zel info on a huge archive against zipfile's open")
    info.add_argument("--channels", type=int, default=16)
    info.add_argument("--segments", type=int, default=64)
    info.add_argument("--side", type=int, default=64)
    info.add_argument("--repeat", type=int, default=3)
    info.add_argument("--keep", metavar="PATH", help="write the archive here and keep it")
    dask = cases.add_parser("dask", help="read_many with one and two worker processes")
    dask.add_argument("--files", type=int, default=16)
    dask.add_argument("--side", type=int, default=64)
    dask.add_argument("--repeat", type=int, default=5)
    dask.add_argument("--quick", action="store_true", help="4 files of 16 x 16: a smoke run")
    args = parser.parse_args()
    return bench_info(args) if args.case == "info" else bench_dask(args)


if __name__ == "__main__":
    sys.exit(main())
