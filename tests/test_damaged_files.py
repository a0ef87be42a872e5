"""Damaged archives never crash the reader: every failure is an OSError (or a reshape of what was
read), whatever bytes were flipped, cut off or appended. Run against the sanitized build in CI,
a memory error here aborts the run."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zel_archive import channel_entry, channel_members, write_zel
from zel_data_reader import ZelDataFIle


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    raw = np.arange(4 * 100, dtype=np.float32).reshape(2, 2, 100)
    header = channel_entry("1", "x", encoder=("1", "2"), units={"mv": ("volt", "0", "1000")})
    path = tmp_path_factory.mktemp("damaged") / "good.zel"
    write_zel(path, header, channel_members(raw, 0, "x"))
    return path.read_bytes()


def read_everything(path):
    """Everything a caller can ask of a file; returns normally or raises OSError."""
    data = ZelDataFIle(path)
    _ = data.header
    for name in data.get_channels():
        for unit in data.get_channel_units(name) + ["volt"]:
            data.get_channel_data(name, 0, unit)


damage = st.one_of(
    st.tuples(st.just("flip"), st.integers(0, 10**6), st.integers(1, 255)),
    st.tuples(st.just("cut"), st.integers(0, 10**6), st.just(0)),
    st.tuples(st.just("set"), st.integers(0, 10**6), st.sampled_from([0x00, 0xFF, 0x7F, 0x80])),
)


@settings(
    max_examples=500, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(damages=st.lists(damage, min_size=1, max_size=4))
def test_damaged_archives_fail_cleanly(archive, tmp_path, capfd, damages):
    data = bytearray(archive)
    for kind, where, value in damages:
        where %= len(data) + 1
        if kind == "cut":
            del data[where:]
        elif where < len(data):
            data[where] = data[where] ^ value if kind == "flip" else value
        if not data:
            break
    path = tmp_path / "damaged.zel"
    path.write_bytes(bytes(data))
    try:
        read_everything(path)
    except OSError:
        pass
    capfd.readouterr()
