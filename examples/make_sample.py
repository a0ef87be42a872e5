"""Writes examples/sample.zel, the small Zel data file that the examples read.

    python examples/make_sample.py [output path]

The file is an 8 x 8 measurement grid with two segments (0 and 1) and four channels:

    channel      data type   raw values             base unit  further units
    gauge        float-data  volt, offset -1.25 mV  volt       millivolt, force (via millivolt)
    temperature  int32-data  16-bit counts          celsius    kelvin, fahrenheit
    height       int32-data  16-bit counts          nanometre  micrometre
    phase        float-data  degree                 degree     radian

Every position holds 100 values per channel and segment: a smooth signal that varies over
the grid and along the 100 samples, plus a little noise, quantised to a 16-bit converter's
steps. The header carries each channel's encoder scaling (raw value -> base unit) and its
chain of conversion steps; "force" is two steps away from its base unit:
volt -> millivolt -> force.

The output is deterministic: a fixed random seed, fixed member timestamps and attributes, and
members in a fixed order (segment, then grid position row by row, then channel), so that
running the script again gives the same bytes (with the same NumPy and zlib).
"""

import pathlib
import sys
import zipfile

import numpy as np

SIDE = 8
SAMPLES = 100
SEGMENTS = (0, 1)
SEED = 20240611
DATE_TIME = (2024, 6, 11, 9, 30, 0)

HEADER_LINES = """\
# Zel data file: sample plate, 8 x 8 positions, 2 segments
file.format-version=1.2
file.created=2024-06-11T09:30:00
measurement.title=Sample plate
measurement.operator=lab-3
grid.positions.x=8
grid.positions.y=8
grid.step.x=0.5
grid.step.y=0.5
grid.step.unit=millimetre
segments.count=2
segments.0.name=approach
segments.1.name=retract
segments.samples=100
lcd-info.0.channel.name=gauge
lcd-info.0.type=float-data
lcd-info.0.encoder.scaling.offset=-0.00125
lcd-info.0.encoder.scaling.multiplier=1.0004
lcd-info.0.conversion-set.conversions.base=volt
lcd-info.0.conversion-set.conversion.millivolt.base-calibration-slot=volt
lcd-info.0.conversion-set.conversion.millivolt.scaling.offset=0
lcd-info.0.conversion-set.conversion.millivolt.scaling.multiplier=1000
lcd-info.0.conversion-set.conversion.force.base-calibration-slot=millivolt
lcd-info.0.conversion-set.conversion.force.scaling.offset=-3.5
lcd-info.0.conversion-set.conversion.force.scaling.multiplier=0.25
lcd-info.1.channel.name=temperature
lcd-info.1.type=int32-data
lcd-info.1.encoder.scaling.offset=-40
lcd-info.1.encoder.scaling.multiplier=0.0025
lcd-info.1.conversion-set.conversions.base=celsius
lcd-info.1.conversion-set.conversion.kelvin.base-calibration-slot=celsius
lcd-info.1.conversion-set.conversion.kelvin.scaling.offset=273.15
lcd-info.1.conversion-set.conversion.kelvin.scaling.multiplier=1
lcd-info.1.conversion-set.conversion.fahrenheit.base-calibration-slot=celsius
lcd-info.1.conversion-set.conversion.fahrenheit.scaling.offset=32
lcd-info.1.conversion-set.conversion.fahrenheit.scaling.multiplier=1.8
lcd-info.2.channel.name=height
lcd-info.2.type=int32-data
lcd-info.2.encoder.scaling.offset=0
lcd-info.2.encoder.scaling.multiplier=0.5
lcd-info.2.conversion-set.conversions.base=nanometre
lcd-info.2.conversion-set.conversion.micrometre.base-calibration-slot=nanometre
lcd-info.2.conversion-set.conversion.micrometre.scaling.offset=0
lcd-info.2.conversion-set.conversion.micrometre.scaling.multiplier=0.001
lcd-info.3.channel.name=phase
lcd-info.3.type=float-data
lcd-info.3.conversion-set.conversions.base=degree
lcd-info.3.conversion-set.conversion.radian.base-calibration-slot=degree
lcd-info.3.conversion-set.conversion.radian.scaling.offset=0
lcd-info.3.conversion-set.conversion.radian.scaling.multiplier=0.017453292519943295
"""

CHANNELS = ("gauge", "temperature", "height", "phase")


def quantise(x, step):
    """Rounds to the steps of a 16-bit converter and clips to its range."""
    return np.clip(np.round(x / step), -(2**15), 2**15 - 1) * step


def raw_channels(segment, rng):
    """Raw values of every channel for one segment, shape (SIDE, SIDE, SAMPLES), big-endian
    in the channel's data type: '>f4' for float-data, '>i4' for int32-data."""
    i, j, k = np.meshgrid(np.arange(SIDE), np.arange(SIDE), np.arange(SAMPLES), indexing="ij")
    t = k / (SAMPLES - 1)  # 0..1 along the samples of a position
    u, v = i / (SIDE - 1), j / (SIDE - 1)  # 0..1 across the grid
    direction = 1.0 if segment == 0 else -1.0  # the retract segment runs the ramp backwards
    ramp = t if segment == 0 else 1.0 - t

    # gauge: a ramp that bends as a load builds up, tilted across the plate; volts.
    gauge = 0.8 * ramp**1.5 + 0.05 * (u - v) + 0.02 * np.sin(6 * np.pi * t * direction)
    gauge = quantise(gauge + rng.normal(0.0, 0.002, gauge.shape), 10.0 / 2**16)

    # temperature: about 23 C, warmer towards one corner, drifting slowly; 16-bit counts.
    celsius = 23.0 + 1.5 * np.exp(-((u - 0.8) ** 2 + (v - 0.3) ** 2) / 0.1) + 0.3 * t
    temperature = np.round((celsius + 40.0) / 0.0025 + rng.normal(0.0, 4.0, celsius.shape))

    # height: a gently curved surface with a bump, approached and left again; counts of 0.5 nm.
    surface = 200.0 * (u - 0.5) ** 2 + 150.0 * (v - 0.5) ** 2
    surface += 80.0 * np.sin(3 * u) * np.cos(2 * v)
    nanometre = surface + 400.0 * (1.0 - ramp) + rng.normal(0.0, 1.5, surface.shape)
    height = np.round(nanometre / 0.5)

    # phase: a slow swing around -10 degrees, stronger where the surface is high.
    phase = -10.0 + (2.0 + 0.02 * surface) * np.sin(2 * np.pi * t + u) * direction
    phase = quantise(phase + rng.normal(0.0, 0.05, phase.shape), 360.0 / 2**16)

    return {
        "gauge": gauge.astype(">f4"),
        "temperature": temperature.astype(">i4"),
        "height": height.astype(">i4"),
        "phase": phase.astype(">f4"),
    }


def member_name(segment, i, j, channel):
    return f"positions/{i * SIDE + j}/segments/{segment}/channels/{channel}.dat"


def write_member(archive, name, data):
    info = zipfile.ZipInfo(name, date_time=DATE_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # as written on a POSIX system, wherever the script runs
    info.external_attr = 0o644 << 16
    archive.writestr(info, data)


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).with_name("sample.zel")
    rng = np.random.default_rng(SEED)
    with zipfile.ZipFile(out, "w") as archive:
        write_member(archive, "shared-data/header.properties", HEADER_LINES.encode("utf-8"))
        for segment in SEGMENTS:
            raw = raw_channels(segment, rng)
            for i in range(SIDE):
                for j in range(SIDE):
                    for channel in CHANNELS:
                        data = raw[channel][i, j].tobytes()
                        write_member(archive, member_name(segment, i, j, channel), data)
    print(f"wrote {out} ({out.stat().st_size} bytes)")


if __name__ == "__main__":
    main(sys.argv)
