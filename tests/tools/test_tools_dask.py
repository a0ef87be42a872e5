"""read_many on a real local cluster of two worker processes."""

import os

import numpy as np
import pytest
import zel_data_reader

from conftest import grid_values
from zel_archive import channel_entry, channel_members, write_zel

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import zel_data_tools  # noqa: E402

HEADER = channel_entry("0", "gauge", units={"millivolt": ("volt", "0.5", "1000")})


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        yield client


def open_in_worker():
    from zel_data_tools import _cache

    return len(_cache._open)


def write_files(folder, sides):
    paths = []
    for i, side in enumerate(sides):
        members = (channel_members(grid_values(side, i), 0, "gauge")
                   + channel_members(grid_values(side, 100 + i), 2, "gauge"))
        paths.append(write_zel(folder / f"f{i}.zel", HEADER, members))
    return paths


def test_read_many_matches_reading_one_by_one(client, tmp_path):
    paths = write_files(tmp_path, [4] * 6)
    stack = zel_data_tools.read_many(paths, "gauge", 2, "millivolt")
    assert stack.shape == (6, 4, 4, 100) and stack.dtype == np.float64
    assert stack.chunks == ((1,) * 6, (4,), (4,), (100,))
    got = stack.compute()
    with zel_data_tools.quiet():
        want = np.stack([zel_data_reader.ZelDataFIle(str(path)).get_channel_data(
            "gauge", 2, "millivolt") for path in paths])
    np.testing.assert_array_equal(got, want)
    # The files were read in both worker processes, each of which kept its files open.
    opened = client.run(open_in_worker)
    assert len(opened) == 2 and all(opened.values()), opened
    means = stack.mean(axis=(1, 2, 3)).compute()
    np.testing.assert_allclose(means, want.mean(axis=(1, 2, 3)))


def test_relative_paths_read_the_same_files_anywhere(client, tmp_path, monkeypatch):
    paths = write_files(tmp_path, [4] * 3)
    monkeypatch.chdir(tmp_path)
    stack = zel_data_tools.read_many([path.name for path in paths], "gauge", 0)
    monkeypatch.chdir(tmp_path.parent)  # the workers started elsewhere; so does this process
    want = np.stack([grid_values(4, i) for i in range(3)])
    np.testing.assert_array_equal(stack.compute(), want)
    np.testing.assert_array_equal(stack.compute(scheduler="threads"), want)


def test_files_that_differ_are_named_with_what_differs(client, tmp_path):
    paths = write_files(tmp_path, [4, 4, 3])
    stack = zel_data_tools.read_many(paths, "gauge", 0)  # the base unit, from the first file
    with pytest.raises(OSError, match=r"f2\.zel: channel 'gauge' segment 0 has shape "
                                      r"\(3, 3, 100\), but the stack's files have"):
        stack.compute()
    with pytest.raises(OSError, match=r"f0\.zel: no channel 'nope'; the channels are gauge"):
        zel_data_tools.read_many(paths, "nope", 0)
    plain = write_zel(tmp_path / "plain.zel", channel_entry("0", "gauge"),
                      channel_members(grid_values(4, 9), 2, "gauge"))
    mixed = zel_data_tools.read_many([paths[0], plain], "gauge", 2, "millivolt")
    with pytest.raises(zel_data_tools.ZelFileError) as raised:
        mixed.compute()
    assert str(raised.value) == (
        f"{plain}: channel 'gauge' has no unit 'millivolt' (its units are volt), unlike the "
        f"stack's first file, {paths[0]}")


def test_a_file_replaced_after_the_stack_was_made_is_named(client, tmp_path):
    paths = write_files(tmp_path, [4] * 2)
    stack = zel_data_tools.read_many(paths, "gauge", 0)
    replacement = write_zel(tmp_path / "new.zel", HEADER,
                            channel_members(grid_values(4, 7), 0, "gauge"))
    os.replace(replacement, paths[1])
    with pytest.raises(zel_data_tools.ZelFileError,
                       match=rf"^{paths[1]}: the file changed since it was opened"):
        stack.compute()
