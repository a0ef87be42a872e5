"""Reads over HTTP: our reader against the best zipfile route and the by-hand floor, in one run.

    python benchmarks/remote_bench.py                 # 64 x 64 grid, 0 and 20 ms, 3 repeats
    python benchmarks/remote_bench.py --quick         # a 16 x 16 grid, once: proves it runs

nginx serves the archives (position-major and channel-major) on loopback, behind a proxy of
ours that adds a round trip's delay; its access log counts requests and bytes. For one
channel-segment and for the whole file, each route opens the URL afresh and reads:
  ours        zel_data_tools.open(url).read(...) (its directory cache cleared first)
  zipfile     zipfile.ZipFile over fsspec.open(url, cache_type="readahead", 8 MiB blocks): the
              best zipfile route measured; members inflated, not decoded (less work than ours)
  exact       by hand: the tail, the directory (parsed in Python), then each member's range
              fetched concurrently with cat_ranges and inflated with zlib
  merged      the same with neighbouring ranges merged (gaps up to 64 KiB, up to 8 MiB each)
Times are medians; ratios are against zipfile in the same run, targets printed beside them.
"""
from __future__ import annotations

import argparse
import statistics
import struct
import sys
import tempfile
import time
import zipfile
import zlib
from collections.abc import Callable
from pathlib import Path

import fsspec

import zel_data_tools
from zel_data_tools import _remote

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "tools"))
import make_archives  # noqa: E402
from local_servers import Nginx, delay_proxy, nginx  # noqa: E402

CHANNEL, SEGMENT = "height", 0
MB = 1e6


# --- the by-hand floor: Python parses the directory ---------------------------------------

def _directory(fs: fsspec.AbstractFileSystem, path: str) -> list[tuple[str, int, int, int]]:
    """(name, local header offset, compressed size, name+extra length) of every member."""
    size = fs.info(path)["size"]
    tail_length = min(size, 65536 + 98)
    tail = fs.cat_file(path, size - tail_length, size)
    end = tail.rfind(b"PK\x05\x06")
    entries, cd_size, cd_offset = struct.unpack_from("<HII", tail, end + 10)
    locator = tail.rfind(b"PK\x06\x07", 0, end)
    if locator >= 0:
        (zip64_end,) = struct.unpack_from("<Q", tail, locator + 8)
        record = tail[zip64_end - (size - tail_length):]
        cd_size, cd_offset = struct.unpack_from("<QQ", record, 40)
    parts = 4
    step = -(-cd_size // parts)
    starts = list(range(cd_offset, cd_offset + cd_size, step))
    directory = b"".join(fs.cat_ranges([path] * len(starts), starts,
                                       [min(s + step, cd_offset + cd_size) for s in starts]))
    members = []
    at = 0
    while at + 46 <= len(directory):
        (compressed, _, name_length, extra_length, comment_length) = struct.unpack_from(
            "<IIHHH", directory, at + 20)
        (offset,) = struct.unpack_from("<I", directory, at + 42)
        name = directory[at + 46:at + 46 + name_length].decode()
        extra = directory[at + 46 + name_length:at + 46 + name_length + extra_length]
        if offset == 0xFFFFFFFF or compressed == 0xFFFFFFFF:
            values = iter(struct.unpack_from(f"<{len(extra[4:]) // 8}Q", extra, 4))
            if struct.unpack_from("<I", directory, at + 24)[0] == 0xFFFFFFFF:
                next(values)
            if compressed == 0xFFFFFFFF:
                compressed = next(values)
            if offset == 0xFFFFFFFF:
                offset = next(values)
        members.append((name, offset, compressed, name_length + extra_length))
        at += 46 + name_length + extra_length + comment_length
    return members


def by_hand(fs: fsspec.AbstractFileSystem, path: str, suffixes: tuple[str, ...],
            max_gap: int | None) -> int:
    members = [m for m in _directory(fs, path) if m[0].endswith(suffixes)]
    spans = sorted((offset, offset + 30 + local + compressed + 64, compressed)
                   for _, offset, compressed, local in members)
    blocks: list[list[int]] = []
    owner = []  # the block of each span
    for start, stop, _ in spans:
        if (max_gap is not None and blocks and start <= blocks[-1][1] + max_gap
                and stop - blocks[-1][0] <= 8 << 20):
            blocks[-1][1] = max(blocks[-1][1], stop)
        else:
            blocks.append([start, stop])
        owner.append(len(blocks) - 1)
    bodies = fs.cat_ranges([path] * len(blocks), [b[0] for b in blocks], [b[1] for b in blocks])
    inflated = 0
    for (start, _, compressed), block in zip(spans, owner):
        body = bodies[block]
        at = start - blocks[block][0]
        name_length, extra_length = struct.unpack_from("<HH", body, at + 26)
        data = body[at + 30 + name_length + extra_length:][:compressed]
        inflated += len(zlib.decompress(data, -15))
    return inflated


def by_zipfile(url: str, suffixes: tuple[str, ...]) -> int:
    with fsspec.open(url, "rb", cache_type="readahead", block_size=8 << 20) as handle, \
            zipfile.ZipFile(handle) as archive:
        return sum(len(archive.read(info)) for info in archive.infolist()
                   if info.filename.endswith(suffixes))


def ours(url: str, whole: bool) -> int:
    _remote.clear_cache()
    with zel_data_tools.open(url) as data:
        if not whole:
            return int(data.read(CHANNEL, SEGMENT).size)
        return sum(int(data.read(name).size) for name in data.info.channel_names)


def measure(server: Nginx, run: Callable[[], object], reps: int) -> tuple[float, int, float]:
    times, counted = [], []
    for _ in range(reps):
        mark = server.mark()
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
        requests = server.requests(mark)
        counted.append((len(requests), sum(r.bytes for r in requests)))
    return statistics.median(times), counted[-1][0], counted[-1][1] / MB


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grid", type=int, default=64)
    parser.add_argument("--rtt", type=float, nargs="+", default=[0.0, 20.0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.grid, args.reps, args.rtt = 16, 1, [0.0]
    print(f"grid {args.grid} x {args.grid}, {len(make_archives.CHANNELS)} channels, "
          f"{len(make_archives.SEGMENTS)} segments; medians of {args.reps}")
    print(f"{'archive':15} {'rtt':>4} {'read':8} {'route':8} {'requests':>8} {'MB':>8} "
          f"{'seconds':>8} {'vs zipfile':>10}")
    with tempfile.TemporaryDirectory() as folder, nginx(Path(folder)) as server:
        for layout in make_archives.LAYOUTS:
            make_archives.write_archive(server.root / f"{layout}.zel", args.grid, layout)
        one = (f"/{SEGMENT}/channels/{CHANNEL}.dat",)
        every = (".dat",)
        for rtt in args.rtt:
            with delay_proxy(server.port, rtt) as port:
                for layout in make_archives.LAYOUTS:
                    url = f"http://127.0.0.1:{port}/{layout}.zel"
                    fs, path = fsspec.core.url_to_fs(url)
                    for read, suffixes, whole in (("one", one, False), ("whole", every, True)):
                        routes: dict[str, Callable[[], object]] = {
                            "zipfile": lambda s=suffixes: by_zipfile(url, s),
                            "ours": lambda w=whole: ours(url, w),
                            "merged": lambda s=suffixes: by_hand(fs, path, s, 64 << 10),
                        }
                        if not whole:
                            routes["exact"] = lambda s=suffixes: by_hand(fs, path, s, None)
                        results = {name: measure(server, run, args.reps)
                                   for name, run in routes.items()}
                        base = results["zipfile"][0]
                        for name, (seconds, requests, moved) in results.items():
                            print(f"{layout:15} {rtt:4.0f} {read:8} {name:8} {requests:8d} "
                                  f"{moved:8.2f} {seconds:8.3f} {base / seconds:9.2f}x")
    print("targets at 20 ms, one channel-segment: ours >= 5x zipfile; ours <= 0.7 x merged's "
          "time; channel-major: 1 request per 8 MiB read, bytes <= 1.4 x compressed")


if __name__ == "__main__":
    main()
