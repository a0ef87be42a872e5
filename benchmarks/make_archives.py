"""Writes realistic Zel data files for the benchmark, with Python's zipfile.

    python benchmarks/make_archives.py OUTDIR [--grids 32 64 128]

writes OUTDIR/position-major-G.zel and OUTDIR/channel-major-G.zel for every grid side G.

Each archive holds CHANNELS (eight channels, half "float-data", half "int32-data", with encoder
scalings and chains of up to two conversion steps) for SEGMENTS (four segments) on a G x G
grid, 100 values per member. The signals are smooth over the grid and along the samples,
with noise of a few to some tens of converter steps, quantised to the steps of a 16-bit
converter, so that they compress as measured data does (to about three quarters), rather
than as constants or as random bytes.

Two member orders:
  position-major  for each grid position, every segment, every channel: what a recorder
                  writes as it moves over the grid; the members of one channel and segment
                  are spread over the whole archive, one in every 32.
  channel-major   for each channel, every segment, every position: the members of one
                  channel and segment stand together.

Imported, it offers `write_archive` and, for checking readers, `expected_data`, which
recomputes the values that a reader must return for one channel without reading the file.
"""

from __future__ import annotations

import argparse
import pathlib
import zipfile
from dataclasses import dataclass

import numpy as np

SAMPLES = 100
SEGMENTS = (0, 1, 2, 3)
LAYOUTS = ("position-major", "channel-major")
SEED = 4
DATE_TIME = (2024, 6, 11, 9, 30, 0)
HEADER_MEMBER = "shared-data/header.properties"


@dataclass(frozen=True)
class Channel:
    name: str
    data_type: str  # "float-data" or "int32-data"
    encoder: tuple[str, str] | None  # (offset, multiplier): raw value -> base unit
    base: str
    steps: tuple[tuple[str, str, str, str], ...]  # (unit, slot, offset, multiplier)
    level: float  # typical size of the signal, in raw units
    noise: float  # standard deviation of the noise, in raw units
    step: float  # raw converter step of the float channels (int channels count steps of 1)

    @property
    def dtype(self) -> str:
        return ">f4" if self.data_type == "float-data" else ">i4"

    def scaling(self, unit: str) -> tuple[float, float]:
        """(offset, multiplier) that takes a raw value into `unit`: the encoder scaling, then
        each step of the chain from the base unit up to `unit`, in double arithmetic."""
        offset, multiplier = (0.0, 1.0) if self.encoder is None else map(float, self.encoder)
        steps = {unit: (slot, float(o), float(m)) for unit, slot, o, m in self.steps}
        chain = []
        while unit != self.base:
            slot, o, m = steps[unit]
            chain.append((o, m))
            unit = slot
        for o, m in reversed(chain):
            offset, multiplier = o + m * offset, m * multiplier
        return offset, multiplier


CHANNELS = (
    Channel("force", "float-data", ("-0.00125", "1.0004"), "volt",
            (("millivolt", "volt", "0", "1000"), ("newton", "millivolt", "-3.5", "0.25")),
            0.8, 0.002, 10.0 / 2**16),
    Channel("temperature", "int32-data", ("-40", "0.0025"), "celsius",
            (("kelvin", "celsius", "273.15", "1"), ("fahrenheit", "celsius", "32", "1.8")),
            25200.0, 4.0, 1.0),
    Channel("height", "int32-data", ("0", "0.5"), "nanometre",
            (("micrometre", "nanometre", "0", "0.001"),),
            1200.0, 3.0, 1.0),
    Channel("phase", "float-data", None, "degree",
            (("radian", "degree", "0", "0.017453292519943295"),),
            12.0, 0.05, 360.0 / 2**16),
    Channel("amplitude", "float-data", ("0", "1"), "volt",
            (("millivolt", "volt", "0", "1000"),),
            2.5, 0.004, 10.0 / 2**16),
    Channel("current", "int32-data", ("0", "0.000030517578125"), "ampere",
            (("milliampere", "ampere", "0", "1000"), ("microampere", "milliampere", "0", "1000")),
            9000.0, 5.0, 1.0),
    Channel("pressure", "float-data", ("101325", "1"), "pascal",
            (("kilopascal", "pascal", "0", "0.001"), ("bar", "kilopascal", "0", "0.01")),
            1500.0, 2.0, 4000.0 / 2**16),
    Channel("counts", "int32-data", None, "count", (), 20000.0, 20.0, 1.0),
)

# What the benchmark reads: one channel of each data type, each through a two-step chain.
TIMED = (("force", "newton"), ("current", "microampere"))


def channel(name: str) -> Channel:
    return next(c for c in CHANNELS if c.name == name)


def header_text(side: int, channels: tuple[Channel, ...] = CHANNELS,
                segments: int = len(SEGMENTS)) -> str:
    lines = [
        "# Zel data file written by the benchmark",
        "file.format-version=1.2",
        f"grid.positions.x={side}",
        f"grid.positions.y={side}",
        "grid.step.unit=micrometre",
        f"segments.count={segments}",
        f"segments.samples={SAMPLES}",
    ]
    for index, c in enumerate(channels):
        key = f"lcd-info.{index}"
        lines += [f"{key}.channel.name={c.name}", f"{key}.type={c.data_type}"]
        if c.encoder is not None:
            lines += [f"{key}.encoder.scaling.offset={c.encoder[0]}",
                      f"{key}.encoder.scaling.multiplier={c.encoder[1]}"]
        lines.append(f"{key}.conversion-set.conversions.base={c.base}")
        for unit, slot, offset, multiplier in c.steps:
            step = f"{key}.conversion-set.conversion.{unit}"
            lines += [f"{step}.base-calibration-slot={slot}",
                      f"{step}.scaling.offset={offset}",
                      f"{step}.scaling.multiplier={multiplier}"]
    return "".join(line + "\n" for line in lines)


def raw_values(side: int, c: Channel, segment: int) -> np.ndarray:
    """Raw values of one channel and segment, shape (side, side, SAMPLES), in c.dtype.

    Each (channel, segment) has its own random stream, so it can be recomputed alone.
    """
    index = CHANNELS.index(c)
    rng = np.random.default_rng([SEED, side, index, segment])
    u = np.linspace(0.0, 1.0, side)[:, None, None]
    v = np.linspace(0.0, 1.0, side)[None, :, None]
    t = np.linspace(0.0, 1.0, SAMPLES)[None, None, :]
    ramp = t if segment % 2 == 0 else 1.0 - t  # approach and retract alternate
    surface = np.sin(2.5 * u + index) * np.cos(1.7 * v - segment) + 0.5 * (u - v)
    shape = 0.6 * ramp**1.5 + 0.3 * surface + 0.1 * np.sin(2 * np.pi * (3 * t + u * v))
    signal = c.level * (0.5 + shape) + rng.normal(0.0, c.noise, (side, side, SAMPLES))
    counts = np.clip(np.round(signal / c.step), -(2**15), 2**15 - 1)
    return (counts * c.step).astype(c.dtype)


def expected_data(side: int, name: str, segment: int, unit: str) -> np.ndarray:
    """What a reader returns for `name` in `unit`: raw x multiplier + offset, each rounded."""
    c = channel(name)
    offset, multiplier = c.scaling(unit)
    return raw_values(side, c, segment).astype(np.float64) * multiplier + offset


def member_name(position: int, segment: int, name: str) -> str:
    return f"positions/{position}/segments/{segment}/channels/{name}.dat"


def _write(archive: zipfile.ZipFile, name: str, data: bytes) -> None:
    info = zipfile.ZipInfo(name, date_time=DATE_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3
    info.external_attr = 0o644 << 16
    archive.writestr(info, data)


def write_archive(path: str | pathlib.Path, side: int, layout: str) -> int:
    """Writes one archive; returns its number of members (the header included)."""
    if layout not in LAYOUTS:
        raise ValueError(f"layout must be one of {LAYOUTS}, not {layout!r}")
    positions = side * side
    # One bytes object per (channel, segment); member p is its slice [400 p, 400 (p + 1)).
    raw = {(c.name, s): raw_values(side, c, s).tobytes() for c in CHANNELS for s in SEGMENTS}
    size = 4 * SAMPLES
    if layout == "position-major":
        order = ((p, s, c.name) for p in range(positions) for s in SEGMENTS for c in CHANNELS)
    else:
        order = ((p, s, c.name) for c in CHANNELS for s in SEGMENTS for p in range(positions))
    count = 1
    with zipfile.ZipFile(path, "w") as archive:
        _write(archive, HEADER_MEMBER, header_text(side).encode("utf-8"))
        for p, s, name in order:
            _write(archive, member_name(p, s, name), raw[name, s][size * p : size * (p + 1)])
            count += 1
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", type=pathlib.Path)
    parser.add_argument("--grids", type=int, nargs="+", default=[32, 64, 128])
    args = parser.parse_args()
    args.outdir.mkdir(parents=True, exist_ok=True)
    for side in args.grids:
        for layout in LAYOUTS:
            path = args.outdir / f"{layout}-{side}.zel"
            members = write_archive(path, side, layout)
            print(f"{path}: {members} members, {path.stat().st_size / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
