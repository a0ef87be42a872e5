"""Writes a Zel data file of random values, with Python's zipfile, for comparing builds.

    python scripts/write_random_archive.py OUT.zel [--seed N]

Channels of both data types, encoders and chains of unit conversions with full-precision
factors (a fused multiply-add anywhere in the conversion changes the last bits), float32 values
over a wide range of magnitudes with subnormals, zeros, infinities and NaNs among them, and grid
positions with fewer samples than the others (padded with NaN by the reader). The seed is
printed, so that an archive that shows a difference can be written again.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from zel_archive import channel_entry, encode, member_name, write_zel

SIDE = 6
SEGMENTS = (0, 1, 7, 255)


def factor(rng: np.random.Generator) -> str:
    """A random double between 0.001 and 1000 of either sign, as its shortest exact text."""
    return repr(float(rng.choice([-1.0, 1.0]) * 10.0 ** rng.uniform(-3, 3)))


def float_values(rng: np.random.Generator, count: int) -> np.ndarray:
    values = (rng.standard_normal(count) * 10.0 ** rng.uniform(-40, 38, count)).astype(np.float32)
    special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, 1e-45, -3e-39], dtype=np.float32)
    picks = rng.random(count) < 0.05
    values[picks] = rng.choice(special, int(picks.sum()))
    return values


def int_values(rng: np.random.Generator, count: int) -> np.ndarray:
    return rng.integers(-(2**31), 2**31, count, dtype=np.int64)


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args(argv)
    seed = args.seed if args.seed is not None else int(np.random.SeedSequence().entropy % 2**32)
    rng = np.random.default_rng(seed)

    channels = {"strain": "float-data", "counts": "integer-data", "height": "float-data"}
    header = []
    for entry, (name, data_type) in enumerate(channels.items()):
        header += channel_entry(
            str(entry), name, data_type, base="raw-volt",
            encoder=(factor(rng), factor(rng)),
            units={
                "volt": ("raw-volt", factor(rng), factor(rng)),
                "metre": ("volt", factor(rng), factor(rng)),
                "nanometre": ("metre", factor(rng), factor(rng)),
            },
        )
    members = []
    for segment in SEGMENTS:
        for name, data_type in channels.items():
            for i in range(SIDE):
                for j in range(SIDE):
                    count = 100 if rng.random() < 0.8 else int(rng.integers(0, 100))
                    make = float_values if data_type == "float-data" else int_values
                    members.append(
                        (member_name(segment, name, i, j), encode(make(rng, count), data_type))
                    )
    write_zel(args.out, header, members)
    print(f"write_random_archive: {args.out} with seed {seed}")


if __name__ == "__main__":
    main(sys.argv[1:])
