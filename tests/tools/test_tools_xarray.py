"""The "zel" engine through xarray's own entry points, against get_channel_data."""

import pickle

import numpy as np
import pytest
import zel_data_reader

from conftest import SAMPLE, grid_values
from zel_archive import channel_entry, channel_members, write_zel

xr = pytest.importorskip("xarray")

import zel_data_tools  # noqa: E402
from zel_data_tools import xarray_backend  # noqa: E402

BASE_UNITS = {"gauge": "volt", "height": "nanometre", "phase": "degree",
              "temperature": "celsius"}


def expected(path, channel, segment, unit):
    with zel_data_tools.quiet():
        return zel_data_reader.ZelDataFIle(str(path)).get_channel_data(channel, segment, unit)


@pytest.fixture
def reads(monkeypatch):
    """Records every (channel, segment, unit) the engine reads from a file."""
    seen = []
    original = xarray_backend._read

    def counting(path, channel, segment, unit):
        seen.append((channel, segment, unit))
        return original(path, channel, segment, unit)

    monkeypatch.setattr(xarray_backend, "_read", counting)
    return seen


def test_open_dataset_lays_out_every_channel(reads):
    with xr.open_dataset(SAMPLE, engine="zel") as dataset:
        assert reads == []  # opening reads nothing but the header and the member names
        assert sorted(dataset.data_vars) == sorted(BASE_UNITS)
        assert dict(dataset.sizes) == {"segment": 2, "row": 8, "column": 8, "sample": 100}
        for name in ("segment", "row", "column", "sample"):
            assert dataset[name].dtype.kind == "i"
        assert list(dataset["segment"].values) == [0, 1]
        assert dataset.attrs["file"] == str(SAMPLE)
        for channel, unit in BASE_UNITS.items():
            variable = dataset[channel]
            assert variable.dims == ("segment", "row", "column", "sample")
            assert variable.dtype == np.float64
            assert variable.attrs["units"] == unit
            for segment in (0, 1):
                np.testing.assert_array_equal(variable.sel(segment=segment).values,
                                              expected(SAMPLE, channel, segment, unit))


def test_reads_only_the_segments_asked_for(reads):
    with xr.open_dataset(SAMPLE, engine="zel", units={"gauge": "force"}) as dataset:
        gauge = dataset["gauge"]
        assert gauge.attrs["units"] == "force"
        corner = gauge.isel(segment=1, row=slice(0, 2), column=-1).values
        assert reads == [("gauge", 1, "force")]
        np.testing.assert_array_equal(corner, expected(SAMPLE, "gauge", 1, "force")[0:2, -1])
        both = gauge[:, 3, 4, ::10].values
        assert reads[1:] == [("gauge", 0, "force"), ("gauge", 1, "force")]
        assert both.shape == (2, 10)


def test_engine_is_guessed_from_the_extension_and_drops_variables():
    with xr.open_dataset(SAMPLE, drop_variables=["phase", "height"]) as dataset:
        assert sorted(dataset.data_vars) == ["gauge", "temperature"]
    entry = xarray_backend.ZelBackendEntrypoint()
    assert entry.guess_can_open("a.zel") and entry.guess_can_open(SAMPLE)
    assert not entry.guess_can_open("a.nc") and not entry.guess_can_open(b"\x00")


@pytest.mark.parametrize("units, pattern", [
    ({"gauge": "newton"}, r"sample\.zel: no unit 'newton' for channel 'gauge'; the units are "
                          r"force, millivolt, volt"),
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
    with xr.open_mfdataset(paths, engine="zel", combine="nested", concat_dim="file") as both:
        assert both["x"].dims == ("file", "segment", "row", "column", "sample")
        for i, path in enumerate(paths):
            for segment in (0, 1):
                np.testing.assert_array_equal(both["x"][i, segment].values,
                                              expected(path, "x", segment, "volt"))


@pytest.mark.parametrize("as_object", [False, True], ids=["path", "ZelDataFIle"])
def test_to_xarray(as_object):
    source = zel_data_reader.ZelDataFIle(str(SAMPLE)) if as_object else SAMPLE
    array = zel_data_tools.to_xarray(source, "temperature", 1, "kelvin")
    assert array.dims == ("row", "column", "sample") and array.name == "temperature"
    assert [array[d].values.tolist() for d in array.dims] == [
        list(range(8)), list(range(8)), list(range(100))]
    assert array.attrs == {"units": "kelvin", "channel": "temperature", "segment": 1,
                           "file": str(SAMPLE)}
    np.testing.assert_array_equal(array.values, expected(SAMPLE, "temperature", 1, "kelvin"))
    assert zel_data_tools.to_xarray(source, "gauge", 0).attrs["units"] == "volt"
    with pytest.raises(OSError, match=r"no segment 5 for channel 'gauge'; the segments are 0, 1"):
        zel_data_tools.to_xarray(source, "gauge", 5, "volt")
