"""Prints a SHA-256 digest of every array that zel_data_reader reads from the given files.

    python scripts/array_digests.py FILE...

One line per channel, segment and unit: every channel of the header, in every segment that has
members of it, in every unit it lists and its base unit, and one line for the header itself. A
call that fails prints its error instead of a digest. The tools' reader reads each array too,
on two threads, and a line says "differs" where its values are not the module's bit for bit. Two builds read the files alike exactly
when their outputs are the same, which makes the output fit for diff across machines.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
import re
import sys
import zipfile

import zel_data_tools

import zel_data_reader

SEGMENT_OF = re.compile(r"/(\d+)/channels/([^/]+)\.dat$")


def segments_by_channel(path: str) -> dict[str, set[int]]:
    found: dict[str, set[int]] = {}
    with zipfile.ZipFile(path) as archive:
        for name in archive.namelist():
            match = SEGMENT_OF.search(name)
            if match:
                found.setdefault(match.group(2), set()).add(int(match.group(1)))
    return found


def base_units(header: dict) -> dict[str, str]:
    """The base unit of each channel entry that names one, by channel name."""
    found = {}
    for entry in header.get("lcd-info", {}).values():
        if not isinstance(entry, dict):
            continue
        name = entry.get("channel", {}).get("name")
        base = entry.get("conversion-set", {}).get("conversions", {}).get("base")
        if isinstance(name, str) and isinstance(base, str):
            found[name] = base
    return found


def digests(path: str) -> list[str]:
    label = pathlib.Path(path).name
    data = zel_data_reader.ZelDataFIle(path)
    tools = zel_data_tools.open(path)
    header = json.dumps(data.header, sort_keys=True).encode()
    lines = [f"{label} header {hashlib.sha256(header).hexdigest()}"]
    segments = segments_by_channel(path)
    bases = base_units(data.header)
    for channel in sorted(data.get_channels()):
        units = set(data.get_channel_units(channel))
        if channel in bases:
            units.add(bases[channel])
        for segment in sorted(segments.get(channel, ())):
            for unit in sorted(units):
                try:
                    array = data.get_channel_data(channel, segment, unit)
                except OSError as error:
                    result = f"error {error}"
                else:
                    digest = hashlib.sha256(array.tobytes()).hexdigest()
                    result = f"{array.dtype} {'x'.join(map(str, array.shape))} {digest}"
                    if tools.read(channel, segment, unit, threads=2).tobytes() != array.tobytes():
                        result += " differs in the tools' reader"
                lines.append(f"{label} {channel} {segment} {unit} {result}")
    return lines


def main(paths: list[str]) -> None:
    # The module writes a diagnostic line per call to descriptor 1, where the digests go too.
    with zel_data_tools.quiet():
        lines = [line for path in paths for line in digests(path)]
    print("\n".join(lines))
    if any(line.endswith("differs in the tools' reader") for line in lines):
        sys.exit("array_digests: the tools' reader differs from the module")


if __name__ == "__main__":
    main(sys.argv[1:])
