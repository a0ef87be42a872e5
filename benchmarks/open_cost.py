"""What opening a file costs, and what the first calls after it cost, against another build of
the module, both measured in the same run.

    python benchmarks/open_cost.py ARCHIVE --baseline DIR [--processes N] [--batch FILES]

DIR holds another build of zel_data_reader, and of zel_data_tools (the package's folder with its
_engine module in it) for --batch: for example those of the previous commit, built with cmake.
Each round runs a fresh interpreter of each build, in alternating order (the page cache warm),
that times: the constructor; the first get_channel_data; the same call again;
a call for another segment; and zipfile.ZipFile(path) on the same file. Prints the medians per
build, the open's cost per central-directory record, and the ratios of this build to the other.
A benchmark archive: benchmarks/large_archive.py, or the small one of benchmarks/scale.py.

--batch FILES copies ARCHIVE into FILES files (in a temporary folder beside it) and times, in
fresh interpreters of each build, the commonest batch job: one channel and segment of every
file, read by the module in a loop (open, one call) and by the tools' read_many on Dask's
threads, each file opened anew.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

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

BATCH_PROBE = """
import json, os, sys, time
import dask.array, zel_data_reader, zel_data_tools
paths, query = sys.argv[2:], json.loads(sys.argv[1])
saved = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
dask.array.ones(4, chunks=2).sum().compute(scheduler="threads")  # Dask's own first-use cost
start = time.perf_counter()
for path in paths:
    zel_data_reader.ZelDataFIle(path).get_channel_data(*query)
loop = time.perf_counter() - start
start = time.perf_counter()
zel_data_tools.read_many(paths, *query).compute(scheduler="threads")
many = time.perf_counter() - start
os.dup2(saved, 1)
print(json.dumps([loop, many]))
"""

STEPS = ["open", "first call", "same call again", "another segment", "zipfile open"]


def run(probe: str, arguments: list[str], pythonpath: str | None) -> list[float]:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    out = subprocess.run([sys.executable, "-c", probe, *arguments],
                         capture_output=True, text=True, check=True, env=env).stdout
    return json.loads(out.splitlines()[-1])


def interleaved(probe: str, arguments: list[str], baseline: str, rounds: int
                ) -> dict[str, list[list[float]]]:
    runs: dict[str, list[list[float]]] = {"this": [], "baseline": []}
    for round_ in range(rounds):
        order = ["this", "baseline"] if round_ % 2 == 0 else ["baseline", "this"]
        for build in order:
            runs[build].append(run(probe, arguments, baseline if build == "baseline" else None))
    return runs


def batch(archive: str, files: int, baseline: str, rounds: int) -> None:
    folder = tempfile.mkdtemp(prefix="open-cost-", dir=os.path.dirname(os.path.abspath(archive)))
    try:
        paths = []
        for number in range(files):
            paths.append(os.path.join(folder, f"{number}.zel"))
            shutil.copyfile(archive, paths[-1])
        runs = interleaved(BATCH_PROBE, [json.dumps(FIRST), *paths], baseline, rounds)
    finally:
        shutil.rmtree(folder)
    print(f"\none channel and segment of each of {files} files, medians of {rounds} fresh "
          "interpreters each, interleaved")
    for i, step in enumerate(["module loop", "read_many"]):
        this = statistics.median(r[i] for r in runs["this"])
        base = statistics.median(r[i] for r in runs["baseline"])
        print(f"{step:18}{this * 1e3:8.1f}ms{base * 1e3:8.1f}ms{base / this:14.2f}x")
    for build, rs in runs.items():
        loop, many = (statistics.median(r[i] for r in rs) for i in range(2))
        print(f"{build}: read_many {loop / many:.2f}x as fast as the module's loop")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("archive")
    parser.add_argument("--baseline", required=True, help="a folder with another build")
    parser.add_argument("--processes", type=int, default=15)
    parser.add_argument("--batch", type=int, default=0, metavar="FILES")
    args = parser.parse_args()
    runs = interleaved(PROBE, [args.archive, json.dumps(FIRST), json.dumps(OTHER)], args.baseline,
                       args.processes)
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
    if args.batch:
        batch(args.archive, args.batch, args.baseline, args.processes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
