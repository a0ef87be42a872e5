"""The "zel" engine through xarray's own entry points, against get_channel_data."""

import os
import pickle
import warnings
import zipfile

import numpy as np
import pytest
import zel_data_reader
import zel_data_tools
from zel_data_tools import ZelFile

from conftest import SAMPLE, grid_values
from zel_archive import channel_entry, channel_members, write_zel

xr = pytest.importorskip("xarray")

BASE_UNITS = {"gauge": "volt", "height": "nanometre", "phase": "degree",
              "temperature": "celsius"}

DECODING = {"mask_and_scale": False, "decode_times": False, "decode_timedelta": False,
            "use_cftime": False, "concat_characters": False, "decode_coords": False}


def expected(path, channel, segment, unit):
    with zel_data_tools.quiet():
        return zel_data_reader.ZelDataFIle(str(path)).get_channel_data(channel, segment, unit)


@pytest.fixture
def reads(monkeypatch):
    """Records every (channel, segments, unit, rows) that is read from a file."""
    seen = []
    original = ZelFile.read

    def counting(self, channel, segments=None, unit=None, **options):
        rows = options.get("rows")
        seen.append((channel, list(segments), unit,
                     None if rows is None else (rows.start, rows.stop, rows.step)))
        return original(self, channel, segments, unit, **options)

    monkeypatch.setattr(ZelFile, "read", counting)
    return seen


def test_open_dataset_lays_out_every_channel(reads):
    with xr.open_dataset(SAMPLE, engine="zel") as dataset:
        assert reads == []  # opening reads nothing but the header and the member names
        assert sorted(dataset.data_vars) == sorted(BASE_UNITS)
        assert dict(dataset.sizes) == {"segment": 2, "row": 8, "column": 8, "sample": 100}
        for name in ("segment", "row", "column", "sample"):
            assert dataset[name].dtype.kind == "i"
        assert list(dataset["segment"].values) == [0, 1]
        assert dataset.encoding["source"] == str(SAMPLE)
        assert dataset.attrs["zel_file"] == str(SAMPLE)
        # The header's values under their dotted keys, as the file holds them.
        assert dataset.attrs["measurement.title"] == "Sample plate"
        assert dataset.attrs["grid.step.unit"] == "millimetre"
        assert dataset.attrs["lcd-info.0.channel.name"] == "gauge"
        for channel, unit in BASE_UNITS.items():
            variable = dataset[channel]
            assert variable.dims == ("segment", "row", "column", "sample")
            assert variable.dtype == np.float64
            assert variable.attrs["units"] == unit
            assert variable.attrs["zel_channel"] == channel
            assert variable.encoding["preferred_chunks"] == {"segment": 1, "column": 8,
                                                             "sample": 100}
            for segment in (0, 1):
                np.testing.assert_array_equal(variable.sel(segment=segment).values,
                                              expected(SAMPLE, channel, segment, unit))


def test_reads_only_the_segments_and_rows_asked_for(reads):
    want = [expected(SAMPLE, "gauge", segment, "force") for segment in (0, 1)]
    with xr.open_dataset(SAMPLE, engine="zel", units={"gauge": "force"}) as dataset:
        gauge = dataset["gauge"]
        assert gauge.attrs["units"] == "force"
        corner = gauge.isel(segment=1, row=slice(0, 2), column=-1).values
        assert reads == [("gauge", [1], "force", (0, 2, 1))]
        np.testing.assert_array_equal(corner, want[1][0:2, -1])
        both = gauge[:, 3, 4, ::10].values
        assert reads[1:] == [("gauge", [0, 1], "force", (3, 4, 1))]
        np.testing.assert_array_equal(both, np.stack(want)[:, 3, 4, ::10])
        backwards = gauge[::-1, 6:1:-2].values
        assert reads[2:] == [("gauge", [0, 1], "force", (2, 7, 2))]
        np.testing.assert_array_equal(backwards, np.stack(want)[::-1, 6:1:-2])


def test_row_chunks_read_their_rows(reads):
    pytest.importorskip("dask")
    with xr.open_dataset(SAMPLE, engine="zel", chunks={"segment": 1, "row": 3}) as dataset:
        values = dataset["height"].values
    np.testing.assert_array_equal(
        values, np.stack([expected(SAMPLE, "height", s, "nanometre") for s in (0, 1)]))
    assert sorted(read[1:] for read in reads) == [
        ([segment], "nanometre", rows) for segment in (0, 1)
        for rows in ((0, 3, 1), (3, 6, 1), (6, 8, 1))]


def test_engine_is_guessed_from_the_extension_and_drops_variables():
    with xr.open_dataset(SAMPLE, drop_variables=["phase", "height"]) as dataset:
        assert sorted(dataset.data_vars) == ["gauge", "temperature"]
    entry = zel_data_tools.xarray_backend.ZelBackendEntrypoint()
    assert entry.guess_can_open("a.zel") and entry.guess_can_open(SAMPLE)
    assert not entry.guess_can_open("a.nc") and not entry.guess_can_open(b"\x00")
    assert not entry.url


@pytest.mark.parametrize("keywords", [DECODING, {"decode_cf": False}],
                         ids=["each keyword", "decode_cf"])
def test_decoding_keywords_change_nothing(keywords):
    with xr.open_dataset(SAMPLE, engine="zel", **keywords) as dataset, \
            xr.open_dataset(SAMPLE, engine="zel") as plain:
        xr.testing.assert_identical(dataset.load(), plain.load())


@pytest.mark.parametrize("units, pattern", [
    ({"gauge": "newton"}, (r"sample\.zel: no unit 'newton' for channel 'gauge'; the units are "
                           r"force, millivolt, volt")),
    ({"nothing": "volt"}, r"sample\.zel: no channel 'nothing'; the channels are gauge, height"),
])
def test_wrong_units_name_the_choices(units, pattern):
    with pytest.raises(OSError, match=pattern):
        xr.open_dataset(SAMPLE, engine="zel", units=units)


def test_missing_segments_read_as_nan(tmp_path):
    header = channel_entry("0", "a") + channel_entry("1", "b")
    a0, a3, b3 = grid_values(2, 1), grid_values(2, 2), grid_values(2, 3)
    path = write_zel(tmp_path / "gaps.zel", header,
                     channel_members(a0, 0, "a") + channel_members(a3, 3, "a")
                     + channel_members(b3, 3, "b"))
    with xr.open_dataset(path, engine="zel") as dataset:
        assert list(dataset["segment"].values) == [0, 3]
        np.testing.assert_array_equal(dataset["a"].values, np.stack([a0, a3]))
        assert np.isnan(dataset["b"].sel(segment=0).values).all()
        np.testing.assert_array_equal(dataset["b"].sel(segment=3).values, b3)
        np.testing.assert_array_equal(dataset["b"][::-1, 1].values[0], b3[1])


def test_chunks_pickle_and_open_mfdataset(tmp_path):
    pytest.importorskip("dask")
    paths = []
    for seed in (1, 2):
        values = [grid_values(3, 10 * seed + s) for s in (0, 1)]
        members = channel_members(values[0], 0, "x") + channel_members(values[1], 1, "x")
        paths.append(write_zel(tmp_path / f"f{seed}.zel", channel_entry("0", "x"), members))
    with xr.open_dataset(paths[0], engine="zel", chunks={}) as dataset:
        assert dataset["x"].chunks == ((1, 1), (3,), (3,), (100,))
        again = pickle.loads(pickle.dumps(dataset))
        np.testing.assert_array_equal(again["x"].values, dataset["x"].values)
    with xr.open_mfdataset(paths, engine="zel", combine="nested", concat_dim="file",
                           **DECODING) as both:
        assert both["x"].dims == ("file", "segment", "row", "column", "sample")
        for i, path in enumerate(paths):
            for segment in (0, 1):
                np.testing.assert_array_equal(both["x"][i, segment].values,
                                              expected(path, "x", segment, "volt"))


@pytest.mark.parametrize("as_object", [False, True], ids=["path", "ZelDataFIle"])
def test_to_xarray(as_object):
    source = zel_data_reader.ZelDataFIle(str(SAMPLE)) if as_object else SAMPLE
    array = zel_data_tools.to_xarray(source, "temperature", 1, "kelvin")
    assert isinstance(array, xr.DataArray)
    assert array.dims == ("row", "column", "sample") and array.name == "temperature"
    assert [array[d].values.tolist() for d in array.dims] == [
        list(range(8)), list(range(8)), list(range(100))]
    # The attributes open_dataset gives the variable, under the same names.
    assert array.attrs == {"units": "kelvin", "long_name": "temperature",
                           "zel_channel": "temperature", "zel_segment": 1,
                           "zel_file": str(SAMPLE)}
    np.testing.assert_array_equal(array.values, expected(SAMPLE, "temperature", 1, "kelvin"))
    assert zel_data_tools.to_xarray(source, "gauge", 0).attrs["units"] == "volt"
    with pytest.raises(OSError, match=r"no segment 5 for channel 'gauge'; the segments are 0, 1"):
        zel_data_tools.to_xarray(source, "gauge", 5, "volt")


# --- names the file chooses ----------------------------------------------------------------

ODD_CHANNELS = ["row", "row_", "a/b", "sample", "plain"]


@pytest.fixture
def odd_names(tmp_path):
    """Channels named like dims, one whose renaming collides, a "/", and a header key with a
    "/"."""
    header, members = [], []
    for entry, name in enumerate(ODD_CHANNELS):
        header += channel_entry(str(entry), name)
        members += channel_members(grid_values(2, entry), 0, name)
    header.append(("notes/extra", "a/b is a ratio"))
    return write_zel(tmp_path / "odd.zel", header, members)


def test_names_like_dims_and_slashes_are_renamed(odd_names, tmp_path):
    with xr.open_dataset(odd_names, engine="zel") as dataset:
        assert list(dataset.dims) == ["segment", "row", "column", "sample"]
        renamed = {name: dataset[name].attrs["zel_channel"] for name in dataset.data_vars}
        assert renamed == {"row__": "row", "row_": "row_", "a_b": "a/b", "sample_": "sample",
                           "plain": "plain"}
        for name, channel in renamed.items():
            np.testing.assert_array_equal(dataset[name].values[0],
                                          expected(odd_names, channel, 0, "volt"))
        assert dataset.attrs["notes_extra"] == "a/b is a ratio"
        # netCDF takes every name and attribute as it is.
        written = tmp_path / "odd.nc"
        dataset.to_netcdf(written, engine="netcdf4")
    with xr.open_dataset(written, engine="netcdf4") as back:
        assert back.attrs == dataset.attrs
        assert {name: back[name].attrs["zel_channel"] for name in back.data_vars} == renamed
    array = zel_data_tools.to_xarray(odd_names, "row", 0)
    assert array.name == "row_" and array.attrs["zel_channel"] == "row"


# --- the right file, always ----------------------------------------------------------------


def one_channel_file(path, seed, comment=b""):
    write_zel(path, channel_entry("0", "x"), channel_members(grid_values(3, seed), 0, "x"))
    if comment:
        with zipfile.ZipFile(path, "a") as archive:
            archive.comment = comment
    return path


def twin_files(folder):
    """Two files of the same size with different values: (bytes of the first, of the second)."""
    first = one_channel_file(folder / "first.zel", 1).read_bytes()
    second = one_channel_file(folder / "second.zel", 2).read_bytes()
    pad = b"#" * abs(len(first) - len(second))
    if len(first) < len(second):
        first = one_channel_file(folder / "first.zel", 1, pad).read_bytes()
    elif pad:
        second = one_channel_file(folder / "second.zel", 2, pad).read_bytes()
    assert len(first) == len(second) and first != second
    return first, second


def test_a_relative_path_reads_the_file_opened_after_chdir(tmp_path, monkeypatch):
    pytest.importorskip("dask")
    for seed in (1, 2):
        (tmp_path / f"in{seed}").mkdir()
        one_channel_file(tmp_path / f"in{seed}" / "data.zel", seed)
    monkeypatch.chdir(tmp_path / "in1")
    lazy = xr.open_dataset("data.zel", engine="zel")
    chunked = xr.open_dataset("data.zel", engine="zel", chunks={})
    array = zel_data_tools.to_xarray("data.zel", "x", 0)
    monkeypatch.chdir(tmp_path / "in2")
    want = grid_values(3, 1)
    for dataset in (lazy, chunked, pickle.loads(pickle.dumps(chunked))):
        np.testing.assert_array_equal(dataset["x"].values[0], want)
        assert dataset.encoding["source"] == str(tmp_path / "in1" / "data.zel")
    np.testing.assert_array_equal(array.values, want)
    assert array.attrs["zel_file"] == str(tmp_path / "in1" / "data.zel")


@pytest.mark.parametrize("how", ["in place", "by rename"])
def test_a_rewritten_file_is_seen(tmp_path, how):
    first, second = twin_files(tmp_path)
    path = tmp_path / "data.zel"
    path.write_bytes(first)
    np.testing.assert_array_equal(zel_data_tools.to_xarray(path, "x", 0).values,
                                  grid_values(3, 1))
    dataset = xr.open_dataset(path, engine="zel")
    before = os.stat(path)
    if how == "in place":  # same inode, size and times: only the change time moves
        with open(path, "r+b") as out:
            out.write(second)
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        while os.stat(path).st_ctime_ns == before.st_ctime_ns:  # within one clock tick
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        after = os.stat(path)
        assert (after.st_ino, after.st_size, after.st_mtime_ns) == (
            before.st_ino, before.st_size, before.st_mtime_ns)
    else:
        (tmp_path / "new.zel").write_bytes(second)
        os.replace(tmp_path / "new.zel", path)
    # Read now, the new content; through the dataset opened before, an error naming the file.
    np.testing.assert_array_equal(zel_data_tools.to_xarray(path, "x", 0).values,
                                  grid_values(3, 2))
    with pytest.raises(zel_data_tools.ZelFileError,
                       match=rf"^{path}: the file changed since it was opened"):
        dataset.load()
    with xr.open_dataset(path, engine="zel") as fresh:
        np.testing.assert_array_equal(fresh["x"].values[0], grid_values(3, 2))


# --- errors --------------------------------------------------------------------------------


def test_missing_forbidden_and_foreign_files(tmp_path):
    missing = tmp_path / "missing.zel"
    with pytest.raises(FileNotFoundError, match=r"missing\.zel: No such file") as raised:
        xr.open_dataset(missing, engine="zel")
    assert isinstance(raised.value, zel_data_tools.ZelFileError)
    again = pickle.loads(pickle.dumps(raised.value))
    assert type(again) is type(raised.value) and str(again) == str(raised.value)
    plain = tmp_path / "plain.zel"
    with zipfile.ZipFile(plain, "w") as archive:
        archive.writestr("readme.txt", "no header here")
    with pytest.raises(zel_data_tools.ZelFileError,
                       match=r"plain\.zel: not a Zel data file: the archive has no member "
                             r"shared-data/header\.properties$"):
        xr.open_dataset(plain, engine="zel")


def test_a_forbidden_file_is_a_permission_error(tmp_path):
    forbidden = one_channel_file(tmp_path / "forbidden.zel", 1)
    forbidden.chmod(0)
    privileged = os.geteuid() == 0
    if privileged:  # root reads anything: look as an ordinary user would
        os.seteuid(65534)
    try:
        with pytest.raises(PermissionError, match=r"forbidden\.zel: Permission denied") as raised:
            zel_data_tools.open(forbidden)
    finally:
        if privileged:
            os.seteuid(0)
    assert isinstance(raised.value, zel_data_tools.ZelFileError)


def test_a_channel_without_base_unit_leaves_the_others_readable(tmp_path):
    header = channel_entry("0", "good") + channel_entry("1", "bare", base=None)
    members = (channel_members(grid_values(2, 1), 0, "good")
               + channel_members(grid_values(2, 2), 0, "bare"))
    path = write_zel(tmp_path / "bare.zel", header, members)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with xr.open_dataset(path, engine="zel") as dataset:
            assert list(dataset.data_vars) == ["good"]
            np.testing.assert_array_equal(dataset["good"].values[0], grid_values(2, 1))
    assert [str(w.message) for w in caught if w.category is UserWarning] == [
        f"{path}: channel 'bare' names no base unit, so it is left out of the dataset"]
