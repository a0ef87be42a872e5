"""Channel members come from an index built when the file is opened; whatever the names, a
query returns exactly the members that a walk over the directory selects by name suffix, in
directory order."""

import math
import warnings
import zipfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zel_archive import HEADER_MEMBER, channel_entry, header_text
from zel_data_reader import ZelDataFIle

# Channel names that contain what the suffix rule looks for.
CHANNELS = ["x", "", "x.dat", "a/0/channels/x", "channels", "/channels/", "0/channels/x", "y/7",
            "b", "a/2/channels/b"]
SEGMENTS = [0, 1, 2, 7, 10, 255]
# Pieces of member names: separators, segment digits with and without leading zeros, the
# "/channels/" part, the extension and channel names.
PIECES = ["/", "a", "0", "00", "007", "7", "1", "10", "255", "256", "channels", "/channels/",
          ".dat", "x", "y", "/0/channels/", "/7/channels/", "/255/channels/", "0/channels/x"]

name_strategy = st.one_of(
    # Mostly names that look like channel data, ending in ".dat".
    st.builds(lambda parts: "".join(parts) + ".dat", st.lists(st.sampled_from(PIECES), max_size=6)),
    st.builds("".join, st.lists(st.sampled_from(PIECES), min_size=1, max_size=6)),
)


def write_archive(path, names):
    """One int32 value per member: its position among the members, header excluded."""
    pairs = []
    for entry, channel in enumerate(CHANNELS):
        pairs += channel_entry(str(entry), channel, "int32-data", base="volt")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are part of the point
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr(HEADER_MEMBER, header_text(pairs))
            for index, name in enumerate(names):
                archive.writestr(name, np.array([index], ">i4").tobytes())


def walk(names, segment, channel):
    suffix = f"/{segment}/channels/{channel}.dat"
    return [index for index, name in enumerate(names) if name.endswith(suffix)]


def check_queries(path, names):
    data = ZelDataFIle(path)
    for channel in CHANNELS:
        for segment in SEGMENTS:
            expected = walk(names, segment, channel)
            side = math.isqrt(len(expected))
            if not expected:
                with pytest.raises(OSError, match="was not present in the archive"):
                    data.get_channel_data(channel, segment, "volt")
            elif side * side != len(expected):
                with pytest.raises(OSError, match="ValueError: cannot reshape"):
                    data.get_channel_data(channel, segment, "volt")
            else:
                values = data.get_channel_data(channel, segment, "volt")
                assert values[:, :, 0].ravel().tolist() == expected, (channel, segment)


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(names=st.lists(name_strategy, max_size=12))
def test_queries_return_what_a_suffix_walk_returns(tmp_path, names):
    path = tmp_path / "a.zel"
    write_archive(path, names)
    check_queries(path, names)


def test_names_with_several_channel_parts_answer_each_reading(tmp_path):
    # One member is channel "b" of segment 2 and channel "a/2/channels/b" of segment 1; the
    # leading-zero and out-of-range segments are never readings.
    names = ["p/1/channels/a/2/channels/b.dat", "q/01/channels/b.dat", "r/256/channels/b.dat",
             "/2/channels/b.dat", "s/2/channels/b.dat", "t/2/channels/b.dat"]
    path = tmp_path / "a.zel"
    write_archive(path, names)
    check_queries(path, names)
    data = ZelDataFIle(path)
    assert data.get_channel_data("b", 2, "volt")[:, :, 0].ravel().tolist() == [0, 3, 4, 5]


def test_every_segment_of_a_large_archive_is_found(tmp_path):
    # More groups than the index's first table holds, and members of one group spread over
    # the whole directory: the index must grow without losing or reordering any.
    names = [f"pos{p}/{s}/channels/x.dat" for p in range(4) for s in range(256)]
    path = tmp_path / "a.zel"
    write_archive(path, names)
    data = ZelDataFIle(path)
    for segment in (0, 1, 99, 255):
        got = data.get_channel_data("x", segment, "volt")[:, :, 0].ravel().tolist()
        assert got == walk(names, segment, "x")


def grid_archive(path, value, side=2):
    """Channel "x", segment 0: side x side members, each one int32 `value`."""
    names = [f"p{k}/0/channels/x.dat" for k in range(side * side)]
    pairs = channel_entry("0", "x", "int32-data", base="volt")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(HEADER_MEMBER, header_text(pairs))
        for name in names:
            archive.writestr(name, np.array([value], ">i4").tobytes())


@pytest.mark.parametrize("rewrite", ["truncate", "shorter archive", "longer archive", "garbage"])
def test_a_file_rewritten_in_place_gives_an_error_or_stale_members(tmp_path, rewrite):
    # The index remembers where members were; after the file changes under it, a call may fail
    # or return what the index finds, but never reads outside what it checks.
    path = tmp_path / "a.zel"
    grid_archive(path, 1)
    data = ZelDataFIle(path)
    other = tmp_path / "b.zel"
    grid_archive(other, 2, side={"shorter archive": 1, "longer archive": 8}.get(rewrite, 2))
    with open(path, "r+b") as f:
        if rewrite == "truncate":
            f.truncate(100)
        elif rewrite == "garbage":
            f.write(b"\xff" * path.stat().st_size)
        else:
            f.write(other.read_bytes())
            f.truncate()
    try:
        values = data.get_channel_data("x", 0, "volt")
    except OSError:
        return
    assert values.shape == (2, 2, 100)
    assert set(values[:, :, 0].ravel().tolist()) <= {1.0, 2.0}
