"""What opening a file costs, and what the first calls after it cost, against another build of
the module, both measured in the same run.

    python benchmarks/open_cost.py ARCHIVE --baseline DIR [--processes N]

DIR holds another build of zel_data_reader (for example one of the previous commit, built with
cmake into DIR). Each round runs a fresh interpreter of each build, in alternating order (the
page cache warm), that times: the constructor; the first get_channel_data; the same call again;
a call for another segment; and zipfile.ZipFile(path) on the same file. Prints the medians per
build, the open's cost per central-directory record, and the ratios of this build to the other.
A benchmark archive: benchmarks/large_archive.py, or the small one of benchmarks/scale.py.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

FIRST, OTHER = ("force", 1, "newton"), ("force", 2, "newton")

PROBE = """
import json, os, sys, time, zipfile
import zel_data_reader
path, first, other = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3])
saved = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the calls' diagnostic lines
marks = [time.perf_counter()]
data = zel_data_reader.ZelDataFIle(path)
marks.append(time.perf_counter())
for query in (first, first, other):
    data.get_channel_data(*query)
    marks.append(time.perf_counter())
start = time.perf_counter()
zipfile.ZipFile(path).close()
zip_open = time.perf_counter() - start
os.dup2(saved, 1)
records = len(zipfile.ZipFile(path).infolist())
print(json.dumps([b - a for a, b in zip(marks, marks[1:])] + [zip_open, records]))
"""

STEPS = ["open", "first call", "same call again", "another segment", "zipfile open"]


def run(path: str, pythonpath: str | None) -> list[float]:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    out = subprocess.run([sys.executable, "-c", PROBE, path, json.dumps(FIRST), json.dumps(OTHER)],
                         capture_output=True, text=True, check=True, env=env).stdout
    return json.loads(out.splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("archive")
    parser.add_argument("--baseline", required=True, help="a folder with another build")
    parser.add_argument("--processes", type=int, default=15)
    args = parser.parse_args()
    runs: dict[str, list[list[float]]] = {"this": [], "baseline": []}
    for round_ in range(args.processes):
        order = ["this", "baseline"] if round_ % 2 == 0 else ["baseline", "this"]
        for build in order:
            runs[build].append(run(args.archive, args.baseline if build == "baseline" else None))
    records = runs["this"][0][-1]
    medians = {build: [statistics.median(r[i] for r in rs) for i in range(len(STEPS))]
               for build, rs in runs.items()}
    print(f"{records} records; medians of {args.processes} fresh interpreters each, interleaved")
    print(f"{'':18}{'this':>10}{'baseline':>10}{'baseline/this':>15}")
    for i, step in enumerate(STEPS):
        this, base = medians["this"][i], medians["baseline"][i]
        print(f"{step:18}{this * 1e3:8.2f}ms{base * 1e3:8.2f}ms{base / this:14.2f}x")
    for build, m in medians.items():
        print(f"{build}: open {m[0] / records * 1e9:.1f} ns a record, "
              f"{m[4] / m[0]:.0f}x zipfile's open; open and first call {sum(m[:2]) * 1e3:.2f} ms, "
              f"open and three calls {sum(m[:4]) * 1e3:.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
