"""The plain reader the module is measured against: zipfile and NumPy, as a user would write.

    reader = PlainReader(path)      # opens the ZipFile once and parses the header
    data = reader.get_channel_data("force", 0, "newton")

returns what ZelDataFIle.get_channel_data returns: every member whose name ends in
/{segment}/channels/{name}.dat, in archive order, decoded big-endian ('>f4' for "float-data",
'>i4' otherwise), scaled to raw x multiplier + offset in float64 (two roundings: NumPy does not
fuse the multiply and the add), filled up to 100 values with NaN, shaped (side, side, 100).

The multiplier and offset come from the header: the channel's encoder scaling (0, 1 when it
is missing or does not parse) takes raw values into the base unit, and the chain of conversion
steps from the requested unit down to the base unit is applied on top of it, innermost first.
The header is parsed once, when the reader is made; the chain is reduced on every call, as
the module does.
"""

from __future__ import annotations

import math
import zipfile

import numpy as np

HEADER_MEMBER = "shared-data/header.properties"
SAMPLES = 100


def parse_header(text: str) -> dict[str, str]:
    """Header lines as a flat dict from dotted key to value; the first line of a key wins.

    Lines are cut at line feeds, the text after the last one is no line, '#' lines are
    comments, and key and value are split at the first '='. That is all the grammar there is.
    """
    flat: dict[str, str] = {}
    for line in text.split("\n")[:-1]:
        if line.startswith("#"):
            continue
        key, sep, value = line.partition("=")
        if not sep:
            raise ValueError(f"invalid header line {line!r}")
        flat.setdefault(key, value)
    return flat


def _scaling(flat: dict[str, str], key: str) -> tuple[float, float]:
    # The values this reader meets are plain decimals, which float() reads the same way.
    return float(flat[f"{key}.offset"]), float(flat[f"{key}.multiplier"])


def conversion(flat: dict[str, str], name: str, unit: str) -> tuple[float, float, str]:
    """(offset, multiplier, data type) of channel `name` in `unit`."""
    entries = [k[len("lcd-info.") : -len(".channel.name")] for k in flat
               if k.startswith("lcd-info.") and k.endswith(".channel.name")]
    entry = next((e for e in entries if flat[f"lcd-info.{e}.channel.name"] == name), None)
    if entry is None:
        raise KeyError(f"no channel {name!r}")
    key = f"lcd-info.{entry}"
    data_type = flat[f"{key}.type"]
    try:
        offset, multiplier = _scaling(flat, f"{key}.encoder.scaling")
    except (KeyError, ValueError):
        offset, multiplier = 0.0, 1.0
    base = flat[f"{key}.conversion-set.conversions.base"]
    steps = []
    while unit != base:
        if len(steps) > len(flat):
            raise ValueError(f"the conversion chain of {name!r} never reaches {base!r}")
        step = f"{key}.conversion-set.conversion.{unit}"
        steps.append(_scaling(flat, f"{step}.scaling"))
        unit = flat[f"{step}.base-calibration-slot"]
    for o, m in reversed(steps):
        offset, multiplier = o + m * offset, m * multiplier
    return offset, multiplier, data_type


class PlainReader:
    def __init__(self, path):
        self.archive = zipfile.ZipFile(path)
        self.header = parse_header(self.archive.read(HEADER_MEMBER).decode("utf-8"))

    def close(self) -> None:
        self.archive.close()

    def _members(self, name: str, segment: int, unit: str):
        offset, multiplier, data_type = conversion(self.header, name, unit)
        dtype = ">f4" if data_type == "float-data" else ">i4"
        suffix = f"/{segment}/channels/{name}.dat"
        infos = [info for info in self.archive.infolist() if info.filename.endswith(suffix)]
        return offset, multiplier, dtype, infos

    def get_channel_data(self, name: str, segment: int, unit: str) -> np.ndarray:
        """The reader as a user writes it: each member read, decoded, scaled and filled."""
        offset, multiplier, dtype, infos = self._members(name, segment, unit)
        blocks = []
        for info in infos:
            raw = np.frombuffer(self.archive.read(info), dtype, count=info.file_size // 4)
            block = np.full(max(len(raw), SAMPLES), np.nan)
            block[: len(raw)] = raw.astype(np.float64) * multiplier + offset
            blocks.append(block)
        values = np.concatenate(blocks) if blocks else np.empty(0)
        return values.reshape(math.isqrt(len(infos)), math.isqrt(len(infos)), SAMPLES)

    def get_channel_data_joined(self, name: str, segment: int, unit: str) -> np.ndarray:
        """A stronger reader: when every member holds exactly 100 values (the usual case), their
        bytes are joined and decoded with one frombuffer; otherwise as get_channel_data."""
        offset, multiplier, dtype, infos = self._members(name, segment, unit)
        chunks = [self.archive.read(info) for info in infos]
        if not all(len(chunk) == 4 * SAMPLES for chunk in chunks):
            return self.get_channel_data(name, segment, unit)
        raw = np.frombuffer(b"".join(chunks), dtype)
        values = raw.astype(np.float64) * multiplier + offset
        side = math.isqrt(len(infos))
        return values.reshape(side, side, SAMPLES)
