"""Real files are imperfect: a channel short of a member, a header saved with CRLF line ends,
a name that is no UTF-8, positions short of samples, members stored without compression. The
tools keep what reads, say what does not and why, and never blame the wrong thing."""

import json
import os
import warnings
import zipfile

import numpy as np
import pytest
from conftest import grid_values
from test_tools_cli import one_error_line
from zel_archive import (HEADER_MEMBER, channel_entry, channel_members, encode, header_text,
                         write_zel)

import zel_data_reader
import zel_data_tools

xr = pytest.importorskip("xarray")


def user_warnings(caught):
    return [str(w.message) for w in caught if w.category is UserWarning]


# --- one channel lacks a member -----------------------------------------------------------


@pytest.fixture
def one_short(tmp_path):
    """"gauge" on a full 8 x 8 grid; "force" with one of its 64 members missing."""
    header = channel_entry("0", "gauge") + channel_entry("1", "force")
    members = (channel_members(grid_values(8, 1), 0, "gauge")
               + channel_members(grid_values(8, 2), 0, "force")[:-1])
    return write_zel(tmp_path / "short.zel", header, members)


def test_a_channel_short_of_a_member_is_left_out_of_the_dataset(one_short):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with xr.open_dataset(one_short, engine="zel") as dataset:
            assert list(dataset.data_vars) == ["gauge"]
            np.testing.assert_array_equal(dataset["gauge"].values[0], grid_values(8, 1))
    assert user_warnings(caught) == [
        f"{one_short}: channel 'force' cannot be read: segment 0 has 63 members, which is no "
        "square grid, so it is left out of the dataset (reading it by name gives the error)"]
    with zel_data_tools.open(one_short) as data, \
            pytest.raises(zel_data_tools.ZelFileError, match="has 63 members, which is no square"):
        data.read("force", 0)


@pytest.mark.parametrize("out", ["whole.nc", "whole.npz"])
def test_exporting_the_whole_file_leaves_the_channel_out_and_says_so(run_zel, one_short,
                                                                     tmp_path, out):
    if out.endswith(".nc"):
        pytest.importorskip("netCDF4")
    run = run_zel("export", one_short, "-o", out)
    assert run.returncode == 0, run.stderr
    assert run.stderr.splitlines() == [
        f"zel: warning: {one_short}: channel 'force' cannot be read and is left out: segment 0 "
        "has 63 members, which is no square grid"]
    if out.endswith(".nc"):
        with xr.open_dataset(tmp_path / out, engine="netcdf4") as written:
            assert list(written.data_vars) == ["gauge"]
            np.testing.assert_array_equal(written["gauge"].values[0], grid_values(8, 1))
    else:
        with np.load(tmp_path / out) as written:
            assert list(written) == ["gauge/0"]


def test_exporting_the_short_channel_by_name_gives_the_error(run_zel, one_short):
    line = one_error_line(run_zel("export", one_short, "force", "-o", "force.npy"))
    assert line.endswith("channel 'force' segment 0 has 63 members, which is no square grid")


# --- CRLF line ends -----------------------------------------------------------------------


@pytest.fixture
def crlf(tmp_path):
    text = header_text(channel_entry("0", "gauge", encoder=("0", "1")))
    members = channel_members(grid_values(2, 1), 0, "gauge")
    return write_zel(tmp_path / "crlf.zel", text.replace("\n", "\r\n").encode(), members)


def test_crlf_line_ends_are_named_everywhere(run_zel, crlf):
    # The module keeps the carriage return, as it always has.
    assert zel_data_reader.ZelDataFIle(str(crlf)).get_channels() == ["gauge\r"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with xr.open_dataset(crlf, engine="zel") as dataset:
            assert list(dataset.data_vars) == []
    (message,) = user_warnings(caught)
    assert "lines end in a carriage return" in message and "no data member matches" in message

    table = run_zel("info", crlf)
    assert table.returncode == 0 and table.stderr == ""
    assert "grid      none: no channel has data members" in table.stdout
    assert "header    the header's lines end in a carriage return" in table.stdout
    assert json.loads(run_zel("info", "--json", crlf).stdout)["header_crlf"] is True

    export = run_zel("export", crlf, "-o", "x.npz")
    assert export.returncode == 1
    warning, error = export.stderr.splitlines()
    assert warning.startswith("zel: warning: ") and "carriage return" in warning
    assert error.endswith("nothing to export: no channel of the file has data members (see the "
                          "warning about line ends above)")
    # Asking for the channel by the name a user knows says why it is not found.
    line = one_error_line(run_zel("export", crlf, "gauge", "-o", "gauge.npy"))
    assert line.startswith(f"zel: error: {crlf}: no channel 'gauge'; the channels are gauge\\r "
                           "(the header's lines end in a carriage return")


# --- a file name that is no UTF-8 ---------------------------------------------------------


def test_a_name_that_is_no_utf8_exports_to_netcdf(run_zel, tmp_path):
    pytest.importorskip("netCDF4")
    path = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"lat\xe9.zel"))  # holds \udce9
    write_zel(path, channel_entry("0", "gauge"), channel_members(grid_values(2, 1), 0, "gauge"))
    with xr.open_dataset(path, engine="zel") as dataset:
        assert dataset.attrs["zel_file"] == f"{tmp_path}/lat\\udce9.zel"
        dataset.to_netcdf(tmp_path / "direct.nc")
    run = run_zel("export", path, "-o", "exported.nc")
    assert run.returncode == 0, run.stderr
    for name in ("direct.nc", "exported.nc"):
        with xr.open_dataset(tmp_path / name, engine="netcdf4") as written:
            assert written.attrs["zel_file"] == f"{tmp_path}/lat\\udce9.zel"
            np.testing.assert_array_equal(written["gauge"].values[0], grid_values(2, 1))


# --- positions short of samples -----------------------------------------------------------


@pytest.fixture
def few_samples(tmp_path):
    """16 x 16 positions of "gauge"; four of them hold 10, 50, 99 and 0 samples. "phase" is
    full."""
    values = grid_values(16, 1)
    members = channel_members(values, 0, "gauge")
    for at, count in ((0, 10), (17, 50), (200, 99), (255, 0)):
        members[at] = (members[at][0], encode(values.reshape(256, 100)[at, :count]))
    members += channel_members(grid_values(16, 2), 0, "phase")
    header = channel_entry("0", "gauge") + channel_entry("1", "phase")
    return write_zel(tmp_path / "few.zel", header, members)


def test_sample_counts_come_from_the_member_sizes(run_zel, few_samples):
    info = json.loads(run_zel("info", "--json", few_samples).stdout)
    assert info["samples_each"] is None
    assert [channel["samples"] for channel in info["channels"]] == [
        {"0": {"fewest": 0, "most": 100, "short": 4}},
        {"0": {"fewest": 100, "most": 100, "short": 0}}]
    table = run_zel("info", few_samples).stdout.splitlines()
    assert table[2] == "grid      16 x 16 positions, samples per position vary (see samples below)"
    assert table[5].split()[-1] == "samples"
    assert table[6].endswith("0 to 100 (4 of 256 positions short)")
    assert table[7].endswith("  100")
    # What the counts say is what a read finds.
    values = zel_data_reader.ZelDataFIle(str(few_samples)).get_channel_data("gauge", 0, "volt")
    present = np.count_nonzero(~np.isnan(values), axis=-1)
    assert sorted(present.ravel())[:5] == [0, 10, 50, 99, 100]


def test_a_position_of_more_than_100_samples_leaves_its_channel_out(run_zel, tmp_path):
    members = channel_members(grid_values(2, 1), 0, "good")
    members += [(name, data + encode([1.0])) for name, data in
                channel_members(grid_values(2, 2), 0, "long")]
    header = channel_entry("0", "good") + channel_entry("1", "long")
    path = write_zel(tmp_path / "long.zel", header, members)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with xr.open_dataset(path, engine="zel") as dataset:
            assert list(dataset.data_vars) == ["good"]
    table = run_zel("info", path).stdout.splitlines()
    assert table[2] == "grid      2 x 2 positions, samples per position vary (see samples below)"
    assert [line.split()[-1] for line in table[6:]] == ["100", "101"]  # good, long
    alone = write_zel(tmp_path / "alone.zel", channel_entry("1", "long"), members[4:])
    assert run_zel("info", alone).stdout.splitlines()[2] == (
        "grid      2 x 2 positions, 101 samples each (more than the 100 a position holds: they "
        "cannot be read)")
    assert user_warnings(caught) == [
        f"{path}: channel 'long' cannot be read: segment 0 has a position of 101 samples, more "
        "than the 100 a position holds, so it is left out of the dataset (reading it by name "
        "gives the error)"]
    with zel_data_tools.open(path) as data, pytest.raises(
            zel_data_tools.ZelFileError, match=r"channel 'long' segment 0 has a position of 101 "
            "samples, more than the 100 a position holds$"):
        data.read("long", 0)


# --- members stored without compression ---------------------------------------------------


def stored_file(path, header_stored, members=None):
    """A file whose data members are stored without compression, and its header too when
    `header_stored`."""
    header = header_text(channel_entry("0", "gauge"))
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(HEADER_MEMBER, header, compress_type=zipfile.ZIP_STORED
                         if header_stored else zipfile.ZIP_DEFLATED)
        if members is None:
            members = channel_members(grid_values(2, 1), 0, "gauge")
        for name, data in members:
            archive.writestr(name, data, compress_type=zipfile.ZIP_STORED)
    return path


@pytest.mark.parametrize("header_stored, member", [
    (True, HEADER_MEMBER),
    (False, "pos_0_0/0/channels/gauge.dat"),
], ids=["repacked", "data-only"])
def test_a_stored_member_is_named(run_zel, tmp_path, header_stored, member):
    path = stored_file(tmp_path / "stored.zel", header_stored)
    # The module's message stays as it is.
    with pytest.raises(OSError, match=r"^invalid data: corrupt deflate stream$"):
        zel_data_reader.ZelDataFIle(str(path)).get_channel_data("gauge", 0, "volt")
    line = one_error_line(run_zel("export", path, "-o", "x.npz"))
    assert line == (f"zel: error: {path}: invalid data: corrupt deflate stream: member "
                    f"'{member}' is stored without compression, which this reader does not "
                    "read (re-pack the file with DEFLATE)")


def test_a_damaged_deflate_member_is_not_called_stored(tmp_path):
    # An empty member stored without compression reads (as no samples): the damaged DEFLATE
    # member beside it is what fails.
    members = channel_members(grid_values(2, 1), 0, "gauge")
    path = stored_file(tmp_path / "bad.zel", header_stored=False, members=[])
    with zipfile.ZipFile(path, "a") as archive:
        archive.writestr(members[0][0], b"", compress_type=zipfile.ZIP_STORED)
        for name, data in members[1:]:
            archive.writestr(name, data, compress_type=zipfile.ZIP_DEFLATED)
    data = bytearray(path.read_bytes())
    name = members[3][0].encode()
    at = data.index(name) + len(name)  # the local header's name; the stream follows
    data[at:at + 8] = b"\xff" * 8
    path.write_bytes(bytes(data))
    with zel_data_tools.open(path) as opened, pytest.raises(OSError) as raised:
        opened.read("gauge", 0)
    assert "stored" not in str(raised.value)


# --- the Python surface -------------------------------------------------------------------


@pytest.mark.parametrize("units", ["millivolt", ["gauge", "force"], {"gauge": 3}])
def test_units_that_are_no_mapping_say_what_units_is(units):
    from conftest import SAMPLE

    with pytest.raises(TypeError, match=r'units maps channel names to units.*units=\{"gauge": '
                       r'"force"\}'):
        xr.open_dataset(SAMPLE, engine="zel", units=units)


def test_dir_lists_the_public_names_only():
    assert dir(zel_data_tools) == sorted(zel_data_tools.__all__)
    assert {"Any", "TYPE_CHECKING", "annotations"}.isdisjoint(dir(zel_data_tools))
