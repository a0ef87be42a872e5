"""Channel members come from an index filed when they are first asked for: the first query of a
file walks the directory for its channel alone, a query for another channel files every other
member.
Whatever the names and whichever query comes first, a query returns exactly the members that a
walk over the directory selects by name suffix, in directory order."""

import json
import math
import os
import subprocess
import sys
import textwrap
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


def check_query(data, names, channel, segment):
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


def check_queries(path, names):
    """Every query on one open file (the first files its channel alone, the first for another
    channel files every other member), then each query as the first of a file opened anew."""
    data = ZelDataFIle(path)
    for channel in CHANNELS:
        for segment in SEGMENTS:
            check_query(data, names, channel, segment)
    for channel in CHANNELS:
        for segment in SEGMENTS:
            check_query(ZelDataFIle(path), names, channel, segment)


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


@pytest.mark.parametrize("asked_before", [False, True])
@pytest.mark.parametrize("rewrite",
                         ["truncate", "same size", "shorter archive", "longer archive", "garbage"])
def test_a_file_rewritten_in_place_gives_an_error_or_members_of_either(tmp_path, rewrite,
                                                                        asked_before):
    # Members are filed from the directory as it is when they are first asked for, before the
    # rewrite or after it. Once the file has changed under the reader, a call may fail or
    # return members of either file, but never reads outside what it checks.
    path = tmp_path / "a.zel"
    grid_archive(path, 1)
    data = ZelDataFIle(path)
    if asked_before:
        assert data.get_channel_data("x", 0, "volt").shape == (2, 2, 100)
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
    except OSError as error:
        assert rewrite != "same size" or asked_before, error
        return
    assert values.shape == (2, 2, 100)
    assert set(values[:, :, 0].ravel().tolist()) <= {1.0, 2.0}
    if rewrite == "same size" and not asked_before:
        # The walk met the new directory: the members are the new file's.
        assert set(values[:, :, 0].ravel().tolist()) == {2.0}


def central_directory(path):
    """(offset, bytes) of the central directory of a plain archive."""
    raw = path.read_bytes()
    end = raw.rindex(b"PK\x05\x06")
    size, offset = int.from_bytes(raw[end + 12:end + 16], "little"), int.from_bytes(
        raw[end + 16:end + 20], "little")
    return offset, raw[offset:offset + size]


def test_a_directory_that_changed_before_the_first_query_is_an_error(tmp_path):
    # The directory's bytes replaced, in place and at the same length, by records of another
    # archive that are more and shorter: the walk that files the members meets more records
    # than the open did, and says so rather than reading them.
    path = tmp_path / "a.zel"
    grid_archive(path, 1)
    data = ZelDataFIle(path)
    offset, directory = central_directory(path)
    names_length = len(directory) - 5 * 46  # the header and four members, no extra fields
    other = tmp_path / "b.zip"
    with zipfile.ZipFile(other, "w") as archive:
        for index in range(6):
            length = (names_length - 46) // 6 + (index < (names_length - 46) % 6)
            archive.writestr(str(index) * length, b"")
    replacement = central_directory(other)[1]
    assert len(replacement) == len(directory)
    raw = bytearray(path.read_bytes())
    raw[offset:offset + len(directory)] = replacement
    path.write_bytes(bytes(raw))
    with pytest.raises(OSError, match="central directory changed since the file was opened"):
        data.get_channel_data("x", 0, "volt")


def test_more_groups_than_the_index_remembers_by_name_are_all_found(tmp_path):
    # Beyond a few thousand distinct suffixes, or for very long ones, filing falls back to the
    # hashed keys alone; each group must still get exactly its members, in directory order.
    channels = [f"c{k}" for k in range(32)] + ["L" * 200]
    groups = [(s, c) for s in range(128) for c in channels]  # 4224 distinct suffixes
    names = [f"r{r}/{s}/channels/{c}.dat" for r in range(4) for s, c in groups]
    pairs = []
    for entry, channel in enumerate(channels):
        pairs += channel_entry(str(entry), channel, "int32-data", base="volt")
    path = tmp_path / "a.zel"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(HEADER_MEMBER, header_text(pairs))
        for index, name in enumerate(names):
            archive.writestr(name, np.array([index], ">i4").tobytes())
    data = ZelDataFIle(path)
    for segment, channel in [(0, "c0"), (0, "L" * 200), (124, "c31"), (127, "c0"),
                             (127, "c31"), (127, "L" * 200)]:
        got = data.get_channel_data(channel, segment, "volt")[:, :, 0].ravel().tolist()
        assert got == walk(names, segment, channel), (segment, channel)


def test_a_large_group_keeps_directory_order_as_it_grows(tmp_path):
    # A group of 1600 members, interleaved with two others, grows many times while it is
    # filed; its members must come back whole and in directory order.
    names = [f"p{k}/{s}/channels/{c}.dat" for k in range(1600) for s, c in
             [(0, "x"), (1, "x"), (0, "b")]]
    path = tmp_path / "a.zel"
    write_archive(path, names)
    data = ZelDataFIle(path)
    for segment, channel in [(0, "x"), (0, "b")]:
        got = data.get_channel_data(channel, segment, "volt")[:, :, 0].ravel().tolist()
        assert got == walk(names, segment, channel)


@pytest.fixture(scope="module")
def many_filings(tmp_path_factory):
    # Each name is filed three times (three channel parts): 72,075 filings in three groups that
    # grow side by side.
    channels = ["x", "b/2/channels/x", "a/1/channels/b/2/channels/x"]
    names = [f"p{k}/0/channels/a/1/channels/b/2/channels/x.dat" for k in range(155 * 155)]
    pairs = []
    for entry, channel in enumerate(channels):
        pairs += channel_entry(str(entry), channel, "int32-data", base="volt")
    path = tmp_path_factory.mktemp("filings") / "a.zel"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(HEADER_MEMBER, header_text(pairs))
        for index, name in enumerate(names):
            archive.writestr(name, np.array([index], ">i4").tobytes())
    return path, names


# Run apart: caps the address space at a range of sizes, so that the index runs out of memory
# at different points of its building.
OUT_OF_MEMORY = textwrap.dedent("""
    import json, resource, sys
    from zel_data_reader import ZelDataFIle

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    outcomes = []
    for room in range(0, 48):
        resource.setrlimit(resource.RLIMIT_AS, (used + room * 1024 * 1024, hard))
        try:
            # The first query files its channel alone, the second every other member.
            data = ZelDataFIle(sys.argv[1])
            values = data.get_channel_data("x", 2, "volt")[:, :, 0].ravel()
            again = data.get_channel_data("b/2/channels/x", 1, "volt")[:, :, 0].ravel()
            assert again.tolist() == values.tolist()
            outcome = [int(values[0]), int(values[-1]), len(values)]
            del data, values, again
        except (OSError, MemoryError) as error:
            outcome = f"{type(error).__name__}: {error}"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        outcomes.append(outcome)
    print(json.dumps(outcomes))
    """)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.skipif(
    bool(os.environ.get("ZEL_SANITIZED")), reason="the address sanitizer needs more address space"
)
def test_an_index_out_of_memory_is_an_error_and_nothing_else(many_filings):
    path, names = many_filings
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, str(path)],
                            capture_output=True, text=True, check=True)
    outcomes = json.loads(result.stdout.splitlines()[-1])  # after the reader's diagnostic lines
    index_failure = "OSError: cannot allocate the index of the archive's members"
    assert index_failure in outcomes
    # Every open either fails with a memory error or finds all of its members.
    whole = [0, len(names) - 1, len(names)]
    for outcome in outcomes:
        assert outcome == whole or "memory" in outcome.lower() or "allocate" in outcome, outcome
    assert outcomes[-1] == whole
