"""What a header costs to open: time against its size, and memory per key segment.

Headers of several shapes are written at a size and at twice and four times that size, and each
file is opened in a fresh interpreter, which reports the constructor's time and its peak resident
memory. Parsing is linear when doubling the size doubles the time (a ratio near 2); the memory of
the deep header is given per key segment, against an interpreter that opened a one-line header.

    .venv/bin/python benchmarks/header_cost.py            # 1, 2 and 4 million lines
    .venv/bin/python benchmarks/header_cost.py --quick    # a tenth of that
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# The peak is the process's own high-water mark: ru_maxrss would also count the parent's memory
# at the fork.
CHILD = """
import sys, time
from zel_data_reader import ZelDataFIle
start = time.perf_counter()
ZelDataFIle(sys.argv[1])
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(seconds, peak * 1024)
"""

# Each shape gives the header text of n lines (the deep one: of n key segments).
SHAPES = {
    "flat": lambda n: "".join(f"key{i}=value {i}\n" for i in range(n)),
    "channels": lambda n: "".join(
        f"lcd-info.{i // 4}.conversion-set.conversion.u{i % 4}.scaling.offset={i}\n"
        for i in range(n)
    ),
    "same key": lambda n: "a.b.c=1\n" * n,
    "deep": lambda n: "." * n + "=1\n",
}


def open_cost(path: Path) -> tuple[float, int]:
    """Seconds the constructor took and peak resident bytes of the interpreter."""
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True, check=True
    )
    seconds, peak = done.stdout.split()
    return float(seconds), int(peak)


def write(path: Path, text: str) -> Path:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("shared-data/header.properties", text)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the default sizes")
    lines = 100_000 if parser.parse_args().quick else 1_000_000
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        _, baseline = open_cost(write(folder / "one.zel", "a=1\n"))
        print(f"{'shape':10} {'lines':>9} {'MB':>7} {'seconds':>8} {'x time':>7} {'B/line':>7}")
        for shape, make in SHAPES.items():
            first = None
            for factor in (1, 2, 4):
                n = lines * factor
                text = make(n)
                seconds, peak = open_cost(write(folder / f"{shape}.zel", text))
                first = first or seconds
                print(
                    f"{shape:10} {n:9} {len(text) / 1e6:7.1f} {seconds:8.3f} "
                    f"{seconds / first:7.2f} {(peak - baseline) / n:7.1f}"
                )


if __name__ == "__main__":
    main()
