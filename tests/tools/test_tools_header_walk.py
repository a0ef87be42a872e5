"""The engine's walk of a header: every key in natural order, filtered by prefix, streamed."""

import os
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zel_data_tools
from zel_archive import write_zel


def natural(text):
    """The plain reference order: ASCII digit runs by value, then as text."""
    return [(0, int(part), part) if i % 2 else (1, 0, part)
            for i, part in enumerate(re.split(r"([0-9]+)", text))]


def walked_keys(steps):
    """(dotted key, value) of every value the walk meets, and whether every map it meets has
    a value below it."""
    path, keys, maps_with_values = [], [], True
    previous = None
    for depth, name, value in steps:
        if previous is not None and previous[2] is None and depth != previous[0] + 1:
            maps_with_values = False
        del path[depth:]
        if value is None:
            path.append(name)
        else:
            keys.append((".".join([*path, name]), value))
        previous = (depth, name, value)
    if previous is not None and previous[2] is None:
        maps_with_values = False
    return keys, maps_with_values


PARTS = st.sampled_from(["a", "b", "B", "1", "2", "10", "01", "x2", "x10", "\N{SUPERSCRIPT TWO}",
                         "é", "lcd-info", "a1b"])
KEYS = st.lists(st.lists(PARTS, min_size=1, max_size=4).map(".".join), min_size=1, max_size=30,
                unique=True)


def no_key_inside_another(keys):
    """A node is a map or a value, never both: drop keys that another key passes through."""
    return [k for k in keys if not any(other.startswith(k + ".") for other in keys)]


@settings(max_examples=60, deadline=None)
@given(keys=KEYS.map(no_key_inside_another),
       prefix=st.sampled_from(["", "a", "a.", "a.1", "1", "x", "lcd-info.1", "b.x", "zz"]))
def test_walk_is_the_sorted_filtered_header(tmp_path_factory, keys, prefix):
    path = write_zel(tmp_path_factory.mktemp("walk") / "h.zel",
                     "".join(f"{key}=v{i}\n" for i, key in enumerate(keys)))
    with zel_data_tools.open(path) as data:
        header = data.header
        got, maps_with_values = walked_keys(data.header_walk(prefix))
    expected = sorted(((k, v) for k, v in header.items() if k.startswith(prefix)),
                      key=lambda item: [natural(part) for part in item[0].split(".")])
    assert got == expected
    assert maps_with_values


# Run apart: the peak memory of showing a header of many keys, against a header of one key.
PEAK = """
import sys
from zel_data_tools import cli
sys.stdout = open("/dev/null", "w")
cli.main(["header", sys.argv[1], *sys.argv[2:]])
""" + """
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
sys.__stdout__.write(str(peak))
"""


def header_peak(path, *args):
    run = subprocess.run([sys.executable, "-c", PEAK, str(path), *args], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return int(run.stdout)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc")
@pytest.mark.skipif(bool(os.environ.get("ZEL_SANITIZED")), reason="the sanitizers add memory")
@pytest.mark.parametrize("args", [(), ("--prefix", "k1"), ("--json",)])
def test_showing_a_header_costs_a_few_hundred_bytes_a_key(tmp_path, args):
    keys = 200_000
    text = "".join(f"k{i}.channel.name=value number {i}\n" for i in range(keys))
    many = write_zel(tmp_path / "many.zel", text)
    one = write_zel(tmp_path / "one.zel", "k1.a=1\n")
    per_key = (header_peak(many, *args) - header_peak(one, *args)) / keys
    assert per_key < 400, per_key


def test_keys_with_empty_names_keep_their_dots(tmp_path):
    # A key that starts with a dot lies below a root map of empty name: it is not the key
    # without the dot, which the header holds beside it.
    path = write_zel(tmp_path / "h.zel", ".x=1\nx=2\na..b=3\n")
    with zel_data_tools.open(path) as data:
        assert data.header == {".x": "1", "x": "2", "a..b": "3"}
        assert walked_keys(data.header_walk())[0] == [(".x", "1"), ("a..b", "3"), ("x", "2")]
