"""The tools' reader against the module, on one realistic archive, as ratios measured in one run.

    python benchmarks/engine_bench.py              # 64 x 64 grid, 8 channels, 4 segments
    python benchmarks/engine_bench.py --quick      # a small grid: proves it runs, checks values

Every channel and segment is read, interleaved in a shuffled order and repeated after one
untimed round, by:
  module      zel_data_reader's get_channel_data, one call after another (the baseline)
  zelfile     ZelFile.read with the default threads, and with threads=1
  xarray      xr.open_dataset(path, engine="zel").load()
  dask        the same dataset with chunks={"segment": 1} on Dask's threaded scheduler, and
              the same work done by hand without Dask (its ceiling: no target)
and a quarter of the rows of one segment against the whole segment. Speed-ups are the
baseline's median time over each reader's; the targets are printed beside them.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import make_archives  # noqa: E402

import zel_data_reader  # noqa: E402
import zel_data_tools  # noqa: E402


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--side", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=11)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    side, repeat = (16, 2) if args.quick else (args.side, args.repeat)
    threads = len(os.sched_getaffinity(0))

    with tempfile.TemporaryDirectory(prefix="zel-bench-engine-") as tmp:
        path = pathlib.Path(tmp) / f"grid-{side}.zel"
        members = make_archives.write_archive(path, side, "position-major")
        module = zel_data_reader.ZelDataFIle(str(path))
        data = zel_data_tools.open(path)
        selections = [(c.name, s, c.base_unit) for c in data.info.channels for s in c.segments]

        def by_module():
            with zel_data_tools.quiet():
                return [module.get_channel_data(*s) for s in selections]

        def by_zelfile(count=None):
            return [data.read(c, s, u, threads=count) for c, s, u in selections]

        # The readers agree before anything is timed.
        for expected, got in zip(by_module(), by_zelfile()):
            assert expected.tobytes() == got.tobytes()

        readers = {"module (baseline)": by_module,
                   f"ZelFile.read, {threads} threads": by_zelfile,
                   "ZelFile.read, threads=1": lambda: by_zelfile(1)}
        targets = {f"ZelFile.read, {threads} threads": 0.9 * threads,
                   "ZelFile.read, threads=1": 0.95}
        try:
            import dask
            import xarray as xr

            def by_xarray(chunks=None):
                with xr.open_dataset(path, engine="zel", chunks=chunks) as dataset:
                    if chunks is None:
                        return dataset.load()
                    with dask.config.set(scheduler="threads", num_workers=2):
                        return dataset.load()

            def without_dask():
                # What Dask's threaded scheduler does with those chunks, done by hand: open,
                # read every segment on a pool of 2 threads, join each channel's segments into
                # one new array. No scheduler can do less, so this is the ceiling of its row.
                with zel_data_tools.open(path) as opened, ThreadPoolExecutor(2) as pool:
                    parts = pool.map(lambda s: opened.read(s[0], [s[1]], s[2]), selections)
                    by_channel: dict[str, list] = {}
                    for (name, _, _), part in zip(selections, parts):
                        by_channel.setdefault(name, []).append(part)
                    return [np.concatenate(p) for p in by_channel.values()]

            readers["xarray load()"] = by_xarray
            readers["xarray, dask threads=2"] = lambda: by_xarray({"segment": 1})
            readers["  the same work without Dask"] = without_dask
            targets["xarray load()"] = targets["xarray, dask threads=2"] = 1.7
        except ImportError:
            print("xarray or dask missing: their readers are left out")

        # One segment's read is short: ten of them make one sample, less subject to noise.
        channel, segment, unit = selections[0]
        quarter = {"whole segment": lambda: [data.read(channel, segment, unit)
                                             for _ in range(10)],
                   "a quarter of its rows": lambda: [data.read(
                       channel, segment, unit, rows=slice(side // 4, side // 2))
                       for _ in range(10)]}

        # One untimed round first: the first Dask compute imports and sets up what later ones
        # reuse, which is no part of a read.
        for read in [*readers.values(), *quarter.values()]:
            read()
        # Each round runs the readers in another order: a reader inherits the state that the one
        # before it leaves (the allocator's heap, above all, which Dask's concatenation of
        # chunks meets), and no reader should always come after the same one.
        order = random.Random(0)
        times = {label: [] for label in [*readers, *quarter]}
        for _ in range(repeat):
            rounds = [*readers.items(), *quarter.items()]
            order.shuffle(rounds)
            for label, read in rounds:
                times[label].append(timed(read))
        median = {label: statistics.median(values) for label, values in times.items()}

    print(f"{path.name}: {members} members, {len(selections)} channel segments, "
          f"{threads} CPUs; median of {repeat} runs")
    baseline = median["module (baseline)"]
    failed = []
    for label in readers:
        speedup = baseline / median[label]
        target = targets.get(label)
        verdict = "" if target is None else f"  target >= {target:.2f}x " + (
            "met" if speedup >= target else "MISSED")
        if target is not None and speedup < target:
            failed.append(label)
        print(f"{label:32} {median[label] * 1e3:8.1f} ms  {speedup:5.2f}x{verdict}")
    share = median["a quarter of its rows"] / median["whole segment"]
    print(f"{'a quarter of the rows':32} {share:8.2f} of the whole segment's time"
          f"  target <= 0.35 {'met' if share <= 0.35 else 'MISSED'}")
    if share > 0.35:
        failed.append("rows")
    if args.quick:
        return 0  # a smoke run on a small grid proves only that it runs and agrees
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
