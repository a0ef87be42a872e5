"""Peak memory of `zel export`: every channel and segment of a large archive to .npz and .nc.

    python benchmarks/export_memory.py [--side 128 --channels 8 --segments 4] [--dir D]

Writes (once, with large_archive.py) an archive of channels x segments x side^2 members: by
default 8 x 4 x 128^2, about 524 K members. Then runs, each in a fresh process, a baseline
that opens the file and reads one segment of one channel, and `zel export FILE -o OUT` to
.npz and to .nc, and prints each one's peak resident memory. An export streams one segment at
a time, so the targets are ratios against the same run's numbers: each export's peak at most
half of what all the arrays take as float64, and at most 3 times the baseline's peak.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import large_archive  # noqa: E402

BUILD = pathlib.Path(__file__).resolve().parent.parent / "build"

# Runs its arguments as a child and prints the child's peak resident memory in bytes.
PEAK = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""

BASELINE = """
import sys, zel_data_tools
with zel_data_tools.open(sys.argv[1]) as data:
    channel = data.info.channels[0]
    data.read(channel.name, channel.segments[0])
"""


def peak(command: list[str]) -> int:
    run = subprocess.run([sys.executable, "-c", PEAK, *command], capture_output=True,
                         text=True, check=True)
    return int(run.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--side", type=int, default=128)
    parser.add_argument("--channels", type=int, default=8)
    parser.add_argument("--segments", type=int, default=4)
    parser.add_argument("--dir", type=pathlib.Path, default=BUILD / "export-bench")
    args = parser.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    path = args.dir / f"export-{args.channels}x{args.segments}x{args.side}.zel"
    if not path.exists():
        large_archive.write_large_archive(path, args.channels, args.segments, args.side)
    data_bytes = args.channels * args.segments * args.side**2 * 100 * 8
    zel = [sys.executable, "-m", "zel_data_tools"]
    baseline = peak([sys.executable, "-c", BASELINE, str(path)])
    print(f"{path.name}: all arrays take {data_bytes / 2**20:.0f} MiB as float64; "
          f"opening and reading one segment peaks at {baseline / 2**20:.0f} MiB")
    failed = False
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        for suffix in ("npz", "nc"):
            used = peak([*zel, "export", str(path), "-o", f"{folder}/all.{suffix}"])
            of_data, of_baseline = used / data_bytes, used / baseline
            ok = of_data <= 0.5 and of_baseline <= 3.0
            failed |= not ok
            print(f"export to .{suffix}: peak {used / 2**20:.0f} MiB = {of_data:.2f} x the "
                  f"arrays (target <= 0.5), {of_baseline:.1f} x the baseline (target <= 3)"
                  f"{'' if ok else '  MISSED'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
