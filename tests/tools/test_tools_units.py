"""The units the tools list for a channel are exactly those the module reads it in."""

import numpy as np
import pytest
import zel_data_reader

import zel_data_tools
from zel_archive import channel_entry, channel_members, write_zel


def chain(length, last="volt", prefix="u"):
    """u0 -> u1 -> ... -> last: each step converts from the next."""
    return {f"{prefix}{i}": (f"{prefix}{i + 1}" if i + 1 < length else last, "0.5", "2")
            for i in range(length)}


CHAINS = {
    "long chain": chain(300),
    "chain broken in the middle": {**chain(5), "u2": ("u3", "not a number", "2")},
    "chain to a missing unit": {**chain(4, last="nowhere"), "ok": ("volt", "0", "1")},
    "loop and a chain into it": {"a": ("b", "0", "1"), "b": ("a", "0", "1"),
                                 "c": ("a", "0", "1"), "d": ("c", "0", "1"),
                                 "e": ("volt", "0", "1")},
    "step that names itself": {"self": ("self", "0", "1"), "f": ("volt", "1", "2")},
    "two chains sharing a tail": {**chain(6), **chain(3, last="u4", prefix="w")},
    "unit named as the base": {"volt": ("milli", "0", "1"), "milli": ("volt", "0", "1")},
}


def readable_units(path, channel, candidates):
    """The candidates the module reads the channel in: its own verdict, unit by unit."""
    data = zel_data_reader.ZelDataFIle(str(path))
    found = set()
    with zel_data_tools.quiet():
        for unit in candidates:
            try:
                data.get_channel_data(channel, 0, unit)
            except OSError:
                continue
            found.add(unit)
    return found


@pytest.mark.parametrize("units", CHAINS.values(), ids=CHAINS.keys())
def test_listed_units_are_those_the_module_reads(tmp_path, units):
    values = np.ones((2, 2, 100), dtype=np.float32)
    path = write_zel(tmp_path / "a.zel", channel_entry("0", "gauge", units=units),
                     channel_members(values, 0, "gauge"))
    listed = zel_data_tools.describe(path).channel("gauge").units
    assert set(listed) == readable_units(path, "gauge", {*units, "volt"})
    assert list(listed) == sorted(set(listed))
    with zel_data_tools.open(path) as data:
        for unit in listed:
            assert data.read("gauge", 0, unit).shape == (2, 2, 100)


def test_an_entry_without_a_type_reads_in_no_unit(tmp_path):
    pairs = [p for p in channel_entry("0", "gauge", units=chain(3)) if not p[0].endswith(".type")]
    path = write_zel(tmp_path / "a.zel", pairs,
                     channel_members(np.ones((1, 1, 100), dtype=np.float32), 0, "gauge"))
    assert zel_data_tools.describe(path).channel("gauge").units == ()
