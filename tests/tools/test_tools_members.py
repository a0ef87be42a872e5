"""zel_data_tools._members counts what each (segment, channel) read selects, as zipfile sees
the names."""

import re
import warnings
import zipfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zel_data_tools import _members


def write_names(path, names):
    with zipfile.ZipFile(path, "w") as archive, warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # duplicate names are a case, not a slip
        for name in names:
            archive.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), b"")
    return path


def expected_counts(path):
    """The oracle, straight from the suffix rule: a read of segment s and channel c selects
    a member whose name ends in "/{s}/channels/{c}.dat". Every s from 0 to 255 is tried for
    every candidate channel that a "/channels/" in the name starts."""
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
    counts = {}
    for name in names:
        raw = name.encode("utf-8")
        candidates = {raw[at + len(b"/channels/"):-4]
                      for at in range(len(raw)) if raw.startswith(b"/channels/", at)
                      and at + len(b"/channels/") <= len(raw) - 4}
        for channel in candidates:
            for segment in range(256):
                if raw.endswith(b"/%d/channels/%s.dat" % (segment, channel)):
                    counts[segment, channel] = counts.get((segment, channel), 0) + 1
    return len(names), counts


@pytest.mark.parametrize("name, readings", [
    ("pos_0_0/0/channels/gauge.dat", {(0, b"gauge")}),
    ("/0/channels/x.dat", {(0, b"x")}),
    ("0/channels/x.dat", set()),  # no "/" before the segment
    ("a/10/channels/x.dat", {(10, b"x")}),
    ("a/255/channels/x.dat", {(255, b"x")}),
    ("a/256/channels/x.dat", set()),
    ("a/007/channels/x.dat", set()),  # leading zeros never match a segment
    ("a/00/channels/x.dat", set()),
    ("a/-1/channels/x.dat", set()),
    ("a/1/channels/b/2/channels/c.dat", {(1, b"b/2/channels/c"), (2, b"c")}),
    ("a/3/channels/channels/y.dat", {(3, b"channels/y")}),
    ("a/4/channels/.dat", {(4, b"")}),
    ("a/4/channels/x.DAT", set()),
    ("a/4/channels/x.dat/", set()),
    ("a/4/channels.dat", set()),
    ("a/4/channels/x.dat.dat", {(4, b"x.dat")}),
    ("shared-data/header.properties", set()),
    ("a/5/channels/", set()),
    ("a/5/channels/é.dat", {(5, "é".encode())}),
])
def test_readings_of_one_name(tmp_path, name, readings):
    path = write_names(tmp_path / "a.zel", ["shared-data/header.properties", "dir/", name])
    total, counts = _members.count(path)
    assert total == 3
    assert counts == dict.fromkeys(readings, 1)
    assert (total, counts) == expected_counts(path)


PIECES = ["/", "channels", "/channels/", "0", "00", "1", "25", "255", "256", "007", ".dat",
          "x", "x.dat", "é", "a/"]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.lists(st.sampled_from(PIECES), min_size=1, max_size=8).map("".join),
                min_size=1, max_size=20))
def test_counts_agree_with_the_suffix_rule(tmp_path_factory, names):
    path = write_names(tmp_path_factory.mktemp("names") / "a.zel", names)
    assert _members.count(str(path)) == expected_counts(path)


def test_counts_a_grid_by_segment_and_channel(tmp_path):
    names = [f"pos/{i}/{segment}/channels/{channel}.dat"
             for segment in (0, 2) for channel in ("gauge", "phase") for i in range(9)]
    total, counts = _members.count(write_names(tmp_path / "a.zel", names))
    assert total == 36
    assert counts == {(s, c): 9 for s in (0, 2) for c in (b"gauge", b"phase")}


@pytest.mark.parametrize("content, message", [
    (None, "No such file or directory (os error 2)"),
    (b"", "invalid Zip archive"),
    (b"not a zip archive at all, only text" * 10, "invalid Zip archive"),
])
def test_unreadable_files_raise_the_modules_oserror(tmp_path, content, message):
    path = tmp_path / "bad.zel"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError, match=re.escape(message)):
        _members.count(path)


def test_a_directory_that_ends_inside_a_record_fails(tmp_path):
    path = write_names(tmp_path / "a.zel", [f"p/{i}/0/channels/x.dat" for i in range(50)])
    data = bytearray(path.read_bytes())
    start = data.index(b"PK\x01\x02")
    del data[start + 100:start + 130]  # a record cut short; the end record still points in
    path.write_bytes(bytes(data))
    with pytest.raises(OSError):
        _members.count(path)


def test_path_argument_types(tmp_path):
    path = write_names(tmp_path / "a.zel", ["p/1/channels/x.dat"])
    assert _members.count(path) == _members.count(str(path)) == _members.count(bytes(path))
    with pytest.raises(TypeError):
        _members.count(3)
