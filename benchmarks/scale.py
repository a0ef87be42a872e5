"""The scale case: a channel call on an archive of millions of members against one of a
hundred thousand, the constructor against zipfile's open, and the memory the object holds.

    python benchmarks/scale.py [--dir DIR] [--repeat N] [--processes N]

Writes (once, into DIR, default build/scale-bench; reused when present) a large archive of 16
channels x 64 segments on a 64 x 64 grid (4.2 million members, about 2 GB) and a small one of
8 channels x 4 segments on the same grid (131 thousand members), both with large_archive.py.
Then it prints, every figure from this one run:

- the call ratio: get_channel_data on the large archive over the same call on the small one,
  calls interleaved, medians;
- the construction time of ZelDataFIle against zipfile.ZipFile(path) on both archives: medians
  over fresh interpreters (the page cache warm), each timing one of each;
- the first call's time after construction (it files that one channel), and then that of a call
  on another channel (it files every other member);
- the object's resident memory per member: after construction, after the first call and after
  the call on another channel, against before (measured in a fresh interpreter, so that
  nothing else is counted).

Not run in CI: the large archive takes a few minutes to write.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import large_archive  # noqa: E402

QUERY = ("force", 1, "newton")
OTHER_CHANNEL = ("temperature", 1, "kelvin")  # after QUERY, it files every other member

# Runs in a fresh interpreter: resident memory before, after construction, after the first call.
MEMORY_PROBE = """
import json, os, sys, time
import numpy, zel_data_reader
def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
before = resident()
start = time.perf_counter()
data = zel_data_reader.ZelDataFIle(sys.argv[1])
opened = time.perf_counter() - start
after_open = resident()
start = time.perf_counter()
values = data.get_channel_data(*json.loads(sys.argv[2]))
first_call = time.perf_counter() - start
del values
after_call = resident()
start = time.perf_counter()
values = data.get_channel_data(*json.loads(sys.argv[3]))
other_call = time.perf_counter() - start
del values
after_other = resident()
print(json.dumps([before, after_open, after_call, after_other, opened, first_call, other_call]))
"""


# Runs in a fresh interpreter: one construction and one zipfile open of the same file.
OPEN_PROBE = """
import json, sys, time, zipfile
import zel_data_reader
start = time.perf_counter()
zel_data_reader.ZelDataFIle(sys.argv[1])
opened = time.perf_counter() - start
start = time.perf_counter()
zipfile.ZipFile(sys.argv[1]).close()
print(json.dumps([opened, time.perf_counter() - start]))
"""


def construction(path: pathlib.Path, processes: int) -> tuple[float, float]:
    """Median seconds of ZelDataFIle(path) and of zipfile.ZipFile(path), fresh interpreters."""
    runs = [json.loads(subprocess.run([sys.executable, "-c", OPEN_PROBE, str(path)],
                                      capture_output=True, text=True, check=True).stdout)
            for _ in range(processes)]
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def archive(directory: pathlib.Path, name: str, channels: int, segments: int) -> tuple[pathlib.Path, int]:
    path = directory / name
    count_file = path.with_suffix(".count")
    if not (path.exists() and count_file.exists()):
        start = time.perf_counter()
        count = large_archive.write_large_archive(path, channels, segments, 64)
        count_file.write_text(str(count))
        print(f"wrote {path}: {count} members in {time.perf_counter() - start:.0f} s", flush=True)
    return path, int(count_file.read_text())


def quiet_call(data) -> float:
    """Seconds for one call, with the diagnostic line sent to /dev/null."""
    sys.stdout.flush()
    saved, devnull = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        start = time.perf_counter()
        data.get_channel_data(*QUERY)
        return time.perf_counter() - start
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dir", type=pathlib.Path, default=HERE.parent / "build" / "scale-bench")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--processes", type=int, default=5,
                        help="fresh interpreters for the construction times")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    large, large_count = archive(args.dir, "large.zel", 16, 64)
    small, small_count = archive(args.dir, "small.zel", 8, 4)
    from zel_data_reader import ZelDataFIle

    # Read both files once so that the page cache holds them for every measurement below.
    for path in (large, small):
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass

    large_file, small_file = ZelDataFIle(str(large)), ZelDataFIle(str(small))
    large_times, small_times = [], []
    for _ in range(args.repeat):
        large_times.append(quiet_call(large_file))
        small_times.append(quiet_call(small_file))
    del large_file, small_file
    large_ms, small_ms = statistics.median(large_times) * 1e3, statistics.median(small_times) * 1e3

    opens = {name: construction(path, args.processes)
             for name, path in (("small", small), ("large", large))}

    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(large), json.dumps(QUERY),
                            json.dumps(OTHER_CHANNEL)], capture_output=True, text=True, check=True)
    before, after_open, after_call, after_other, opened, first_call, other_call = json.loads(
        probe.stdout.splitlines()[-1])

    print(f"large: {large_count} members; small: {small_count} members; query {QUERY}")
    print(f"call, median of {args.repeat} interleaved: large {large_ms:.1f} ms, "
          f"small {small_ms:.1f} ms, ratio {large_ms / small_ms:.3f} (target <= 1.15)")
    for (name, count), target in zip((("small", small_count), ("large", large_count)), (150, 100)):
        built, zip_open = opens[name]
        print(f"construction, {name}: ZelDataFIle {built * 1e3:.1f} ms "
              f"({built / count * 1e9:.0f} ns a member), zipfile.ZipFile {zip_open * 1e3:.0f} ms, "
              f"{zip_open / built:.0f}x as fast (target >= {target}; medians of {args.processes} "
              "fresh interpreters)")
    print(f"fresh interpreter: construction {opened:.3f} s, first call {first_call * 1e3:.1f} ms, "
          f"then a call on another channel {other_call * 1e3:.1f} ms")
    per_member = [(after - before) / large_count for after in (after_open, after_call, after_other)]
    print(f"resident bytes per member: after construction {per_member[0]:.1f}, after the first "
          f"call {per_member[1]:.1f}, after the call on another channel {per_member[2]:.1f} "
          "(target <= 48)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
