"""ZelFile.info counts what each (segment, channel) read selects, as zipfile sees the names,
and lists only units that read; a channel looked up alone, before info, is the same."""

import dataclasses
import errno
import re
import warnings
import zipfile

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zel_data_reader
import zel_data_tools
from zel_archive import HEADER_MEMBER, channel_entry, channel_members, header_text, write_zel


def channels_in(raw):
    """Every channel name (bytes) that a "/channels/" in the member name `raw` could start."""
    marker = b"/channels/"
    return {raw[at + len(marker):-4] for at in range(len(raw))
            if raw.startswith(marker, at) and at + len(marker) <= len(raw) - 4}


def candidate_channels(names):
    """Every channel name that a "/channels/" in some member name could start, and that a
    header (always UTF-8) can name."""
    found = set()
    for name in names:
        found |= channels_in(name.encode("utf-8"))
    return sorted(c for c in found if _decodes(c))


def _decodes(raw):
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def write_names(path, names, channels=None):
    """An archive of empty members with these names and a header whose catalogue lists
    `channels` (by default every channel the names could hold)."""
    if channels is None:  # "x" too, so that the catalogue is never empty
        channels = sorted({"x", *(c.decode("utf-8") for c in candidate_channels(names))})

    header = [pair for i, c in enumerate(channels) for pair in channel_entry(str(i), c)]
    with zipfile.ZipFile(path, "w") as archive, warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # duplicate names are a case, not a slip
        archive.writestr(zipfile.ZipInfo(HEADER_MEMBER, date_time=(2020, 1, 1, 0, 0, 0)),
                         header_text(header), compress_type=zipfile.ZIP_DEFLATED)
        for name in names:
            archive.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), b"")
    return path


def counted(path):
    """(records, {(segment, channel bytes): members}) as ZelFile.info reports them."""
    with zel_data_tools.open(path) as data:
        info = data.info
    return info.members, {(segment, channel.name.encode("utf-8")): count
                          for channel in info.channels
                          for segment, count in channel.members.items()}


def counted_one_by_one(path):
    """The same, each channel asked for alone in a file opened anew: before `info`, the
    reader files only that channel's members. Each channel must come out as `info` has it,
    and `info` as describe() has it (which files every member while it opens the file)."""
    with zel_data_tools.open(path) as data:
        info = data.info
    assert dataclasses.replace(zel_data_tools.describe(path), file=info.file) == info
    counts = {}
    for channel in info.channels:
        with zel_data_tools.open(path) as data:
            alone = data._channel(channel.name)
        assert alone == channel
        counts |= {(segment, channel.name.encode("utf-8")): count
                   for segment, count in alone.members.items()}
    return info.members, counts


def expected_counts(path):
    """The oracle, straight from the suffix rule: a read of segment s and channel c selects
    a member whose name ends in "/{s}/channels/{c}.dat". Every s from 0 to 255 is tried for
    every candidate channel that a "/channels/" in the name starts."""
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
    counts = {}
    for name in names:
        raw = name.encode("utf-8")
        for channel in channels_in(raw):
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
    path = write_names(tmp_path / "a.zel", ["dir/", name], ["gauge", "x", "b/2/channels/c",
                       "c", "channels/y", "", "x.dat", "é"])
    total, counts = counted(path)
    assert total == 3
    assert counts == dict.fromkeys(readings, 1)
    assert (total, counts) == expected_counts(path) == counted_one_by_one(path)


PIECES = ["/", "channels", "/channels/", "0", "00", "1", "25", "255", "256", "007", ".dat",
          "x", "x.dat", "é", "a/"]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.lists(st.sampled_from(PIECES), min_size=1, max_size=8).map("".join),
                min_size=1, max_size=20))
def test_counts_agree_with_the_suffix_rule(tmp_path_factory, names):
    path = write_names(tmp_path_factory.mktemp("names") / "a.zel", names)
    total, counts = expected_counts(path)
    decodable = {key: n for key, n in counts.items() if _decodes(key[1])}
    assert counted(path) == counted_one_by_one(path) == (total, decodable)


def test_counts_a_grid_by_segment_and_channel(tmp_path):
    names = [f"pos/{i}/{segment}/channels/{channel}.dat"
             for segment in (0, 2) for channel in ("gauge", "phase") for i in range(9)]
    total, counts = counted(write_names(tmp_path / "a.zel", names))
    assert total == 37
    assert counts == {(s, c): 9 for s in (0, 2) for c in (b"gauge", b"phase")}


@pytest.mark.parametrize("content, message, number", [
    (None, "No such file or directory", errno.ENOENT),
    (b"", "invalid Zip archive", None),
    (b"not a zip archive at all, only text" * 10, "invalid Zip archive", None),
])
def test_unreadable_files_raise_an_oserror_naming_the_file(tmp_path, content, message, number):
    path = tmp_path / "bad.zel"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(OSError, match=re.escape(message)) as raised:
        zel_data_tools.open(path)
    assert str(path) in str(raised.value)
    # The system's number is a field, never a part of the text.
    assert raised.value.errno == number
    assert "os error" not in str(raised.value)


def test_a_directory_that_ends_inside_a_record_fails(tmp_path):
    path = write_names(tmp_path / "a.zel", [f"p/{i}/0/channels/x.dat" for i in range(50)])
    data = bytearray(path.read_bytes())
    start = data.index(b"PK\x01\x02", data.index(b"PK\x01\x02") + 1)
    del data[start + 100:start + 130]  # a record cut short; the end record still points in
    path.write_bytes(bytes(data))
    with pytest.raises(OSError):
        zel_data_tools.open(path)


def test_entries_sharing_a_name_list_only_units_that_read(tmp_path):
    # Two catalogue entries name "gauge"; the first in the catalogue's order answers for the
    # channel, in reads as in the summary, so every unit listed reads.
    header = [
        *channel_entry("0", "gauge", base="volt", units={"millivolt": ("volt", "0", "1000")}),
        *channel_entry("1", "gauge", base="newton", units={"kilonewton": ("newton", "0", "1")}),
    ]
    values = np.ones((2, 2, 100), dtype=np.float32)
    path = write_zel(tmp_path / "a.zel", header, channel_members(values, 0, "gauge"))
    data = zel_data_tools.open(path)
    (channel,) = data.info.channels
    module = zel_data_reader.ZelDataFIle(str(path))
    assert set(channel.units) >= {channel.base_unit}
    for unit in channel.units:
        with zel_data_tools.quiet():
            expected = module.get_channel_data("gauge", 0, unit)
        assert data.read("gauge", 0, unit).tobytes() == expected.tobytes()
    for entry in ("volt", "millivolt", "newton", "kilonewton"):
        if entry in channel.units:
            continue
        with pytest.raises(OSError):
            module.get_channel_data("gauge", 0, entry)
