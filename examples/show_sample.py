"""Opens a Zel data file and shows what zel_data_reader reads from it.

    python examples/show_sample.py [path]

Without a path it opens sample.zel next to this script. It prints the file's location, its
channels with their units, the header, and a summary of one channel's data of segment 0.
Every section is tried on its own: one that the installed module cannot answer yet prints
"not available yet", one that fails prints its error, and the others still run.

The module itself writes a diagnostic line to the process's standard output when it converts
through a chain of units and when it reads channel data; those lines appear among ours.
"""

import pathlib
import sys

import numpy as np

try:
    import zel_data_reader
except ImportError as error:
    sys.exit(f"zel_data_reader is not installed ({error}); see the README's quick start")

# What a module without the feature raises: the method or property is not there yet.
NOT_YET = (AttributeError, NotImplementedError)


def say(text=""):
    # Flushed at once, so our lines and the module's own lines on fd 1 keep their order.
    print(text, flush=True)


def section(title, show, *args):
    say(f"\n{title}:")
    try:
        return show(*args)
    except NOT_YET:
        say("  not available yet")
    except Exception as error:  # one line per failed section, no traceback
        say(f"  failed: {type(error).__name__}: {error}")
    return None


def show_channels(data_file):
    channels = data_file.get_channels()
    for name in channels:
        try:
            units = ", ".join(data_file.get_channel_units(name)) or "(none)"
        except NOT_YET:
            units = "units not available yet"
        except OSError as error:
            units = f"units failed: {error}"
        say(f"  {name}: {units}")
    return channels


def flatten(node, prefix=""):
    for key, value in node.items():
        if isinstance(value, dict):
            yield from flatten(value, f"{prefix}{key}.")
        else:
            yield f"{prefix}{key}", value


def show_header(data_file, width=100):
    header = data_file.header
    if not header:
        say("  (empty)")
    # One line per top-level key; the order of the dictionaries is not fixed, so sort. A map
    # shows its values, or only its own keys when the values do not fit on the line.
    for key in sorted(header):
        value = header[key]
        if isinstance(value, dict):
            pairs = sorted(flatten(value))
            line = f"  {key} ({len(pairs)} values): " + ", ".join(f"{k}={v!r}" for k, v in pairs)
            if len(line) > width:
                line = f"  {key} ({len(pairs)} values below): " + ", ".join(sorted(value))
        else:
            line = f"  {key} = {value!r}"
        say(line if len(line) <= width else line[: width - 3] + "...")


def show_data(data_file, channels):
    # The first channel and unit in sorted order: the module's own orders are not fixed.
    name = sorted(channels)[0]
    units = sorted(data_file.get_channel_units(name))
    if not units:
        say(f"  {name} has no units to convert into")
        return
    unit = units[0]
    say(f"  get_channel_data({name!r}, 0, {unit!r}):")
    data = data_file.get_channel_data(name, 0, unit)
    filled = np.isnan(data)
    say(f"  shape {data.shape}, dtype {data.dtype}, {int(filled.sum())} NaN")
    if not filled.all():
        say(f"  min {np.nanmin(data):.6g}  max {np.nanmax(data):.6g}  mean {np.nanmean(data):.6g}")


def main(argv):
    path = argv[1] if len(argv) > 1 else str(pathlib.Path(__file__).with_name("sample.zel"))
    try:
        data_file = zel_data_reader.ZelDataFIle(path)
    except OSError as error:
        say(f"cannot open {path}: {error}")
        return 1

    section("location", lambda: say(f"  {data_file.location}"))
    channels = section("channels and units", show_channels, data_file)
    section("header", show_header, data_file)
    if channels:
        section("channel data, segment 0", show_data, data_file, channels)
    else:
        reason = "no channel to read" if channels == [] else "not available yet"
        say(f"\nchannel data, segment 0:\n  {reason}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
