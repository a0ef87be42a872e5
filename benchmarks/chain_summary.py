"""What the tools' summary of a file costs when a channel's units form one long chain.

A 2 x 2 grid whose channel converts through u0 -> u1 -> ... -> volt: the summary lists every
unit that reads, so each one's chain is checked. Timed against the module's open and
get_channel_units on the same file in the same run, as a ratio (the machine is shared and
noisy): the summary should cost what the module costs, linear in the header (target: at most
3x).

    .venv/bin/python benchmarks/chain_summary.py            # a chain of 20,000 units
    .venv/bin/python benchmarks/chain_summary.py --quick    # 2,000
"""

from __future__ import annotations

import argparse
import tempfile
import time
import zipfile
from collections.abc import Callable
from pathlib import Path

import zel_data_reader

import zel_data_tools

TARGET = 3.0


def chain_header(units: int) -> str:
    key = "lcd-info.0"
    lines = [f"{key}.channel.name=gauge", f"{key}.type=float-data",
             f"{key}.conversion-set.conversions.base=volt"]
    for i in range(units):
        slot = f"u{i + 1}" if i + 1 < units else "volt"
        step = f"{key}.conversion-set.conversion.u{i}"
        lines += [f"{step}.base-calibration-slot={slot}", f"{step}.scaling.offset=0.5",
                  f"{step}.scaling.multiplier=2"]
    return "\n".join(lines) + "\n"


def write(path: Path, units: int) -> Path:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("shared-data/header.properties", chain_header(units))
        for i in range(4):
            archive.writestr(f"p{i}/0/channels/gauge.dat", bytes(400))
    return path


def best_of(runs: int, work: Callable[[], object]) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a chain of 2,000 units")
    units = 2_000 if parser.parse_args().quick else 20_000
    with tempfile.TemporaryDirectory() as scratch:
        path = str(write(Path(scratch) / "chain.zel", units))
        # Both list every unit of the chain: the same work asked of each.
        module_units = zel_data_reader.ZelDataFIle(path).get_channel_units("gauge")
        tools_units = zel_data_tools.describe(path).channel("gauge").units
        assert set(tools_units) == set(module_units) | {"volt"}, "the readers disagree"

        def module() -> object:
            return zel_data_reader.ZelDataFIle(path).get_channel_units("gauge")

        def tools() -> object:
            return zel_data_tools.describe(path)

        baseline = best_of(3, module)
        summary = best_of(3, tools)
        ratio = summary / baseline
        print(f"chain of {units} units: module open + get_channel_units {baseline:.3f} s, "
              f"tools' summary {summary:.3f} s, ratio {ratio:.2f}x (target <= {TARGET:g}x)")


if __name__ == "__main__":
    main()
