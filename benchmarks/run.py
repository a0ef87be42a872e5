"""Times ZelDataFIle.get_channel_data against the plain zipfile + NumPy reader.

    python benchmarks/run.py [--grids 32 64 128] [--repeat N]
    python benchmarks/run.py --quick          # a small grid only: proves that it all works

For every grid side and member order it writes an archive into a temporary directory (see
make_archives.py), opens it with both readers outside the timed region, and then reads one
channel of each data type, each through a two-step unit chain, with both, alternating the
calls. The table shows the median time of one call on each side and their ratio (baseline
time / module time: how many times as fast the module is). The baseline reads, decodes, scales
and fills member by member, as a user writes it; the last column compares with a stronger
variant of it that decodes the joined bytes of all members with one frombuffer.

Before timing, each case is checked once: the plain reader must return what the generator
wrote, and the module exactly what the plain reader returns (NaN equal to NaN). A mismatch,
or an error raised by the module, is listed as FAIL under the table and the run exits with
status 1; a module that failed a case is not timed on it. Without an installed module that
has get_channel_data, only the plain reader is timed and the module's columns show n/a.

The module writes a diagnostic line to file descriptor 1 on every call; fd 1 points to
/dev/null while the module is called, so that the table stays readable.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import make_archives  # noqa: E402
from baseline import PlainReader  # noqa: E402

SEGMENT = 1
QUICK_GRIDS = [16]
QUICK_REPEAT = 3


def load_module():
    """The module's class, or None and the reason why it cannot be measured."""
    try:
        import zel_data_reader
    except ImportError as error:
        return None, f"zel_data_reader is not installed ({error})"
    cls = zel_data_reader.ZelDataFIle
    if not hasattr(cls, "get_channel_data"):
        return None, "zel_data_reader has no ZelDataFIle.get_channel_data yet"
    return cls, ""


@contextlib.contextmanager
def fd1_to_devnull():
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def mismatch(got: np.ndarray, want: np.ndarray) -> str:
    """Empty when `got` equals `want` exactly (NaN equal to NaN), else what differs."""
    if got.dtype == want.dtype and got.shape == want.shape and np.array_equal(
        got, want, equal_nan=True
    ):
        return ""
    detail = f"dtype {got.dtype} / {want.dtype}, shape {got.shape} / {want.shape}"
    if got.shape == want.shape:
        bad = np.argwhere(~((got == want) | (np.isnan(got) & np.isnan(want))))
        if len(bad):
            at = tuple(bad[0])
            detail += f", {len(bad)} values differ, first at {at}: {got[at]!r} / {want[at]!r}"
    return detail


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def measure(path, side, name, unit, module, repeat, failures):
    """Checks one case and returns (module median or None, baseline median, joined-baseline
    median) in seconds.

    A failed check is appended to `failures`; a module that fails is not timed.
    """
    case = f"{path.name}, {name} in {unit}"
    plain = PlainReader(path)
    module_file = None if module is None else module(str(path))
    try:
        want = plain.get_channel_data(name, SEGMENT, unit)
        expected = make_archives.expected_data(side, name, SEGMENT, unit)
        if detail := mismatch(want, expected):
            failures.append(f"plain reader vs generator, {case}: {detail}")
        if detail := mismatch(plain.get_channel_data_joined(name, SEGMENT, unit), want):
            failures.append(f"joined plain reader vs plain reader, {case}: {detail}")
        if module_file is not None:
            try:
                with fd1_to_devnull():
                    got = module_file.get_channel_data(name, SEGMENT, unit)
                detail = mismatch(got, want)
            except Exception as error:
                detail = f"{type(error).__name__}: {error}"
            if detail:
                failures.append(f"module, {case}: {detail}")
                module_file = None

        module_times, plain_times, joined_times = [], [], []
        with fd1_to_devnull():
            for _ in range(repeat):
                if module_file is not None:
                    module_times.append(
                        timed(lambda: module_file.get_channel_data(name, SEGMENT, unit)))
                plain_times.append(timed(lambda: plain.get_channel_data(name, SEGMENT, unit)))
                joined_times.append(
                    timed(lambda: plain.get_channel_data_joined(name, SEGMENT, unit)))
    finally:
        plain.close()
        del module_file
    module_median = statistics.median(module_times) if module_times else None
    return module_median, statistics.median(plain_times), statistics.median(joined_times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--grids", type=int, nargs="+", default=[32, 64, 128])
    parser.add_argument("--repeat", type=int, default=7, help="timed calls per reader and case")
    parser.add_argument("--quick", action="store_true",
                        help=f"grid {QUICK_GRIDS[0]} only, {QUICK_REPEAT} calls: a smoke run")
    args = parser.parse_args()
    grids, repeat = (QUICK_GRIDS, QUICK_REPEAT) if args.quick else (args.grids, args.repeat)

    module, why = load_module()
    if module is None:
        print(f"module unavailable: {why}", flush=True)

    rows, failures = [], []
    with tempfile.TemporaryDirectory(prefix="zel-bench-") as tmp:
        for side in grids:
            for layout in make_archives.LAYOUTS:
                path = pathlib.Path(tmp) / f"{layout}-{side}.zel"
                start = time.perf_counter()
                members = make_archives.write_archive(path, side, layout)
                print(f"{layout} {side}x{side}: {members} members, "
                      f"{path.stat().st_size / 2**20:.1f} MiB, "
                      f"written in {time.perf_counter() - start:.1f} s", flush=True)
                for name, unit in make_archives.TIMED:
                    module_s, plain_s, joined_s = measure(path, side, name, unit, module,
                                                          repeat, failures)
                    data_type = make_archives.channel(name).data_type
                    rows.append((layout, side, data_type, module_s, plain_s, joined_s))
                path.unlink()

    print(f"\nmedian of {repeat} calls, segment {SEGMENT}, {len(make_archives.CHANNELS)} "
          f"channels x {len(make_archives.SEGMENTS)} segments per archive")
    print(f"{'layout':<15} {'grid':>7} {'data type':<11} {'module ms':>10} {'baseline ms':>12} "
          f"{'ratio':>7} {'joined ms':>10} {'ratio':>7}")
    for layout, side, data_type, module_s, plain_s, joined_s in rows:
        grid = f"{side}x{side}"
        if module_s is None:
            module_ms, ratio, joined_ratio = "n/a", "n/a", "n/a"
        else:
            module_ms = f"{module_s * 1e3:.2f}"
            ratio, joined_ratio = f"{plain_s / module_s:.2f}", f"{joined_s / module_s:.2f}"
        print(f"{layout:<15} {grid:>7} {data_type:<11} {module_ms:>10} {plain_s * 1e3:>12.2f} "
              f"{ratio:>7} {joined_s * 1e3:>10.2f} {joined_ratio:>7}")
    for failure in failures:
        print(f"FAIL: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
