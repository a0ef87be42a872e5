"""Benchmarks of zel_data_tools: `zel info` on a huge archive, and read_many on Dask.

    python benchmarks/tools_bench.py info [--channels 16 --segments 64 --side 64] [--dir D]
    python benchmarks/tools_bench.py dask [--files 16 --side 64 --repeat 5]
    python benchmarks/tools_bench.py dask --quick          # 4 small files: a smoke run

info   writes (once, with large_archive.py, into build/scale-bench, where scale.py keeps the
       same file) an archive of channels x segments x side^2 members: by default 16 x 64 x
       64^2, 4.2 million members and a 350 MB Zip64 central directory, about 2 GB. It then
       times, interleaved in one process, `zipfile.ZipFile(path)` against
       zel_data_tools.describe(path) (what `zel info` computes) and against the `zel info`
       command as a whole, and prints their ratios. The target: at most 3 % of zipfile's open.
dask   writes one realistic archive of a side x side grid (8 channels, 4 segments; see
       make_archives.py), copies it into --files files, and reads one channel of one segment
       of every file with read_many on a local cluster of one worker process and of two,
       clearing the workers' caches of open files before every run, and prints the ratio of
       the median times (one worker / two workers).
"""

from __future__ import annotations

import argparse
import contextlib
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import large_archive  # noqa: E402
import make_archives  # noqa: E402

BUILD = pathlib.Path(__file__).resolve().parent.parent / "build"


# --- zel info on a huge archive -------------------------------------------------------------


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def huge_archive(args) -> pathlib.Path:
    """The archive of large_archive.py, written once into --dir; the default one is the large
    archive of scale.py, which either benchmark then reuses."""
    default = (args.channels, args.segments, args.side) == (16, 64, 64)
    name = "large.zel" if default else f"info-{args.channels}x{args.segments}x{args.side}.zel"
    path = args.dir / name
    count_file = path.with_suffix(".count")
    if not (path.exists() and count_file.exists()):
        args.dir.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        count = large_archive.write_large_archive(path, args.channels, args.segments, args.side)
        count_file.write_text(str(count))
        print(f"wrote {path}: {count} members, {path.stat().st_size / 1e6:.0f} MB, in "
              f"{time.perf_counter() - start:.0f} s", flush=True)
    return path


def bench_info(args) -> int:
    from zel_data_tools import describe

    path = huge_archive(args)
    with open(path, "rb") as whole:  # into the page cache, for every measurement alike
        while whole.read(1 << 24):
            pass
    expected = 1 + args.channels * args.segments * args.side**2
    info = describe(path)  # checks what it finds
    assert info.members == expected and info.grid == args.side, info.as_json()
    assert len(info.channels) == args.channels and len(info.segments) == args.segments
    zel = [sys.executable, "-m", "zel_data_tools", "info", str(path)]
    opens, describes, commands = [], [], []
    for _ in range(args.repeat):
        opens.append(timed(lambda: zipfile.ZipFile(path).close()))
        describes.append(timed(lambda: describe(path)))
        commands.append(timed(lambda: subprocess.run(zel, check=True, cwd=tempfile.gettempdir(),
                                                     stdout=subprocess.DEVNULL)))
    zipfile_open = statistics.median(opens)
    print(f"{path.name}: {expected} members; median of {args.repeat} runs")
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
                    dashboard_address=":0"))
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
    info.add_argument("--dir", type=pathlib.Path, default=BUILD / "scale-bench",
                      help="where the archive is written once and kept (default: %(default)s)")
    dask = cases.add_parser("dask", help="read_many with one and two worker processes")
    dask.add_argument("--files", type=int, default=16)
    dask.add_argument("--side", type=int, default=64)
    dask.add_argument("--repeat", type=int, default=5)
    dask.add_argument("--quick", action="store_true", help="4 files of 16 x 16: a smoke run")
    args = parser.parse_args()
    return bench_info(args) if args.case == "info" else bench_dask(args)


if __name__ == "__main__":
    sys.exit(main())
