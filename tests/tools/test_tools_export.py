"""zel export as users meet it: whole files or none, never onto its input, names from the file
kept inside the output folder, standard output, and the options that choose what to write."""

import csv
import io
import os
import signal
import subprocess
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest
from conftest import ROOT, SAMPLE, grid_values, zel_command
from test_tools_cli import damaged, one_error_line, read
from zel_archive import channel_entry, channel_members, write_zel

PRECIOUS = b"precious\n"


def leftovers(folder: Path) -> list[str]:
    """Temporary files of an output (or backups of replaced ones) left in `folder`."""
    return sorted(p.name for p in folder.iterdir() if p.name.endswith((".part", ".old")))


def hostile_archive(path: Path, names: list[str]) -> Path:
    header, members = [], []
    for entry, name in enumerate(names):
        header += channel_entry(str(entry), name)
        members += channel_members(grid_values(2, entry), 0, name)
    return Path(write_zel(path, header, members))


# --- all or nothing -----------------------------------------------------------------------


@pytest.mark.parametrize("out", ["x.npz", "x.csv", "x.nc", "x.npy"])
def test_a_damaged_file_leaves_the_output_as_it_was(run_zel, sample, tmp_path, out):
    if out.endswith(".nc"):
        pytest.importorskip("netCDF4")
    (tmp_path / out).write_bytes(PRECIOUS)
    damaged(sample, "corrupt")
    line = one_error_line(run_zel("export", sample, "gauge", "--segment", "0", "-o", out))
    assert "sample.zel: " in line
    assert (tmp_path / out).read_bytes() == PRECIOUS
    assert leftovers(tmp_path) == []


def test_several_npy_files_are_written_all_or_none(run_zel, sample, tmp_path):
    # gauge's members are fine, phase's segment 1 is damaged: no gauge file may appear.
    data = bytearray(sample.read_bytes())
    at = data.index(b"/1/channels/phase.dat") + 40
    data[at:at + 8] = bytes(b ^ 0xFF for b in data[at:at + 8])
    sample.write_bytes(bytes(data))
    (tmp_path / "gauge-0.npy").write_bytes(PRECIOUS)
    run = run_zel("export", sample, "gauge", "phase", "-o", "{channel}-{segment}.npy")
    one_error_line(run)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["gauge-0.npy", "sample.zel"]
    assert (tmp_path / "gauge-0.npy").read_bytes() == PRECIOUS


@pytest.fixture
def large(tmp_path_factory) -> Path:
    """A file whose export to .csv takes a few seconds: 48 x 48 grid, 2 channels, 4 segments."""
    path = tmp_path_factory.mktemp("large") / "large.zel"
    header = channel_entry("0", "a") + channel_entry("1", "b")
    members = [m for s in range(4) for c in ("a", "b")
               for m in channel_members(grid_values(48, s), s, c)]
    return Path(write_zel(path, header, members))


def test_ctrl_c_leaves_the_output_as_it_was(large, tmp_path):
    out = tmp_path / "out.csv"
    out.write_bytes(PRECIOUS)
    process = subprocess.Popen([*zel_command(), "export", str(large), "-o", str(out)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not leftovers(tmp_path) and time.monotonic() < deadline and process.poll() is None:
        time.sleep(0.01)
    assert leftovers(tmp_path), "the export ended before it wrote anything"
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert stderr == "zel: interrupted\n" and stdout == ""
    assert out.read_bytes() == PRECIOUS
    assert leftovers(tmp_path) == []


@pytest.fixture
def full_disk(tmp_path):
    """A folder on a 128 KB file system, which the sample's 8 arrays overflow in every format
    (400 KB, 200 KB compressed)."""
    folder = tmp_path / "small"
    folder.mkdir()
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", str(folder)],
                             capture_output=True, check=False)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("out, kept", [
    ("x.npz", "x.npz"), ("x.csv", "x.csv"), ("x.nc", "x.nc"),
    ("{channel}-{segment}.npy", "gauge-0.npy"),
])
def test_a_full_disk_leaves_the_output_as_it_was(run_zel, sample, full_disk, out, kept):
    if out.endswith(".nc"):
        pytest.importorskip("netCDF4")
    (full_disk / kept).write_bytes(PRECIOUS)
    line = one_error_line(run_zel("export", sample, "-o", full_disk / out))
    assert "No space left on device" in line or "NetCDF" in line, line
    assert line.startswith(f"zel: error: {full_disk}/"), line
    assert sorted(p.name for p in full_disk.iterdir()) == [kept]
    assert (full_disk / kept).read_bytes() == PRECIOUS


def test_an_export_never_writes_onto_its_input(run_zel, sample, tmp_path):
    before = sample.read_bytes()
    os.link(sample, tmp_path / "linked.npz")
    os.symlink(sample, tmp_path / "symlinked.csv")
    for out, extra in (("linked.npz", []), ("symlinked.csv", []),
                       ("sample.zel", ["--format", "npz"])):
        line = one_error_line(run_zel("export", sample, *extra, "-o", out))
        assert line.endswith(f"{out}: is the file being read; write the output to another file")
    assert sample.read_bytes() == before and leftovers(tmp_path) == []
    # A file that is no data file, named as input and output, stays as it was too.
    (tmp_path / "in.csv").write_bytes(PRECIOUS)
    one_error_line(run_zel("export", "in.csv", "-o", "in.csv"))
    assert (tmp_path / "in.csv").read_bytes() == PRECIOUS


def test_a_replaced_output_keeps_its_permissions_and_a_link_its_target(run_zel, sample, tmp_path):
    (tmp_path / "kept.npy").write_bytes(PRECIOUS)
    os.chmod(tmp_path / "kept.npy", 0o640)
    os.symlink("kept.npy", tmp_path / "link.npy")
    assert run_zel("export", sample, "gauge", "--segment", "0", "-o", "link.npy").returncode == 0
    assert os.readlink(tmp_path / "link.npy") == "kept.npy"
    assert os.stat(tmp_path / "kept.npy").st_mode & 0o777 == 0o640
    np.testing.assert_array_equal(np.load(tmp_path / "kept.npy"), read(sample, "gauge", 0, "volt"))


@pytest.mark.parametrize("out, message", [
    ("missing/x.npz", "missing/x.npz: cannot write: there is no folder missing"),
    ("folder", "folder: is a folder; give the name of a file to write"),
    ("sample.zel/x.npz", "sample.zel/x.npz: cannot write: sample.zel is not a folder"),
])
def test_an_output_that_cannot_be_written_says_why(run_zel, sample, tmp_path, out, message):
    (tmp_path / "folder").mkdir()
    line = one_error_line(run_zel("export", sample, "--format", "npz", "-o", out))
    assert line == f"zel: error: {message}"


@pytest.mark.parametrize("replace", [False, True])
def test_a_long_name_of_wide_characters_is_written(run_zel, sample, tmp_path, replace):
    out = tmp_path / ("\N{MUSICAL SYMBOL G CLEF}" * 62 + ".npy")  # 252 bytes, the limit is 255
    if replace:
        out.write_bytes(b"old")  # replaced through a backup name made from the same name
    run = run_zel("export", sample, "gauge", "--segment", "0", "-o", out)
    assert run.returncode == 0, run.stderr
    assert np.load(out).shape == (8, 8, 100)
    assert sorted(tmp_path.iterdir()) == sorted([out, sample])


def test_an_unwritable_folder_is_named(run_zel, sample, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root writes into any folder")
    (tmp_path / "locked").mkdir(mode=0o500)
    line = one_error_line(run_zel("export", sample, "-o", "locked/x.npz"))
    assert line == "zel: error: locked/x.npz: cannot write: Permission denied"


# --- names from the file ------------------------------------------------------------------


def test_channel_names_cannot_leave_the_output_folder(run_zel, tmp_path):
    absolute = str(tmp_path / "absolute")
    names = ["../../escaped", absolute, "..", ".hidden", "a\tb", "100%"]
    path = hostile_archive(tmp_path / "hostile.zel", names)
    (tmp_path / "out").mkdir()
    run = run_zel("export", path, "-o", "out/{channel}_{segment}.npy")
    assert run.returncode == 0, run.stderr
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == sorted([
        "%2E.%2F..%2Fescaped_0.npy", absolute.replace("/", "%2F") + "_0.npy", "%2E._0.npy",
        "%2Ehidden_0.npy", "a%09b_0.npy", "100%25_0.npy"])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hostile.zel", "out"]
    assert len(run.stdout.splitlines()) == len(names)
    assert "wrote out/a%09b_0.npy: a\\tb segment 0 in volt\n" in run.stdout
    np.testing.assert_array_equal(np.load(tmp_path / "out" / "%2E.%2F..%2Fescaped_0.npy"),
                                  grid_values(2, 0))
    # .npz: the keys are safe member names; .csv holds the names as they are.
    assert run_zel("export", path, "-o", "all.npz").returncode == 0
    with zipfile.ZipFile(tmp_path / "all.npz") as archive:
        assert not any(n.startswith(("/", "..")) or "/../" in n for n in archive.namelist())
    with np.load(tmp_path / "all.npz") as arrays:
        np.testing.assert_array_equal(arrays[f"{absolute.replace('/', '%2F')}/0"],
                                      grid_values(2, 1))
    assert run_zel("export", path, "-o", "all.csv").returncode == 0
    with open(tmp_path / "all.csv", newline="") as stream:
        assert sorted({row[0] for row in list(csv.reader(stream))[1:]}) == sorted(names)


def test_names_netcdf_refuses_still_export(run_zel, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    path = hostile_archive(tmp_path / "slash.zel", ["a/b", "c$d"])
    run = run_zel("export", path, "-o", "out.nc")
    assert run.returncode == 0, run.stderr
    with xr.open_dataset(tmp_path / "out.nc") as dataset:
        by_channel = {v.attrs["long_name"]: v for v in dataset.data_vars.values()}
        assert sorted(by_channel) == ["a/b", "c$d"]
        np.testing.assert_array_equal(by_channel["a/b"].sel(segment=0).values,
                                      grid_values(2, 0))


def test_nothing_to_export_is_an_error(run_zel, tmp_path):
    path = write_zel(tmp_path / "empty.zel", channel_entry("0", "gauge"))
    for out in ("x.npz", "x.csv", "x.npy"):
        line = one_error_line(run_zel("export", path, "-o", out))
        assert line.endswith("empty.zel: nothing to export: no channel of the file has data "
                             "members"), line
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.zel"]


# --- what to write ------------------------------------------------------------------------


@pytest.mark.parametrize("args, expected", [
    (["gauge", "--segment", "1", "--segment", "0"], ["gauge/1", "gauge/0"]),
    (["--segment", "0,1", "gauge"], ["gauge/0", "gauge/1"]),
    (["--segment", "0", "gauge", "phase"], ["gauge/0", "phase/0"]),
    (["gauge", "--segment", "1,1", "--segment", "1"], ["gauge/1"]),
    (["gauge", "gauge", "--segment", "0"], ["gauge/0"]),
])
def test_segments_never_swallow_channels_and_are_read_once(run_zel, sample, args, expected):
    run = run_zel("export", sample, *args, "-o", "x.npz")
    assert run.returncode == 0, run.stderr
    with zipfile.ZipFile(sample.parent / "x.npz") as archive:
        assert archive.namelist() == [f"{key}.npy" for key in expected]


def test_units_per_channel_beside_one_for_the_rest(run_zel, sample, tmp_path):
    run = run_zel("export", sample, "gauge", "phase", "temperature", "--segment", "0",
                  "--unit", "gauge=force", "--unit", "temperature=kelvin", "-o", "u.npz")
    assert run.returncode == 0, run.stderr
    with np.load(tmp_path / "u.npz") as arrays:
        for channel, unit in (("gauge", "force"), ("phase", "degree"),
                              ("temperature", "kelvin")):
            np.testing.assert_array_equal(arrays[f"{channel}/0"],
                                          read(sample, channel, 0, unit))
    run = run_zel("export", sample, "phase", "--unit", "radian", "--unit", "gauge=force",
                  "--segment", "1", "-o", "p.npy")
    assert run.returncode == 0, run.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "p.npy"), read(sample, "phase", 1, "radian"))


@pytest.mark.parametrize("out, written", [("OUT.NPY", "OUT.NPY"), ("data", None),
                                          ("{channel}_{segment}.npy", "gauge_1.npy"),
                                          ("g.{segment}.npy", "g.1.npy")])
def test_one_array_goes_to_exactly_the_name_given(run_zel, sample, tmp_path, out, written):
    extra = ["--format", "npy"] if written is None else []
    written = written or out
    run = run_zel("export", sample, "gauge", "--segment", "1", *extra, "-o", out)
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"wrote {written}: gauge segment 1 in volt\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([written, "sample.zel"])
    np.testing.assert_array_equal(np.load(tmp_path / written), read(sample, "gauge", 1, "volt"))


def test_standard_output_takes_npy_and_csv(run_zel, sample):
    command = [*zel_command(), "export", str(sample), "gauge", "--segment", "0", "-o", "-"]
    run = subprocess.run([*command, "--format", "npy"], capture_output=True, timeout=60,
                         check=False)
    assert run.returncode == 0 and run.stderr == b"", run.stderr
    np.testing.assert_array_equal(np.load(io.BytesIO(run.stdout)), read(sample, "gauge", 0, "volt"))
    run = subprocess.run([*command, "--format", "csv"], capture_output=True, timeout=60,
                         check=False)
    rows = list(csv.reader(io.StringIO(run.stdout.decode())))
    assert rows[0][:3] == ["channel", "segment", "unit"] and len(rows) == 65
    for args, message in ((["--format", "npz"], "standard output, which takes npy or csv"),
                          ([], "choose its format with --format npy or --format csv")):
        line = one_error_line(run_zel("export", sample, "gauge", "-o", "-", *args), status=2)
        assert message in line


def test_from_the_repository_root_with_relative_paths(tmp_path):
    out = tmp_path / "g.npy"
    run = subprocess.run([*zel_command(), "export", os.path.relpath(SAMPLE, ROOT), "gauge",
                          "--segment", "0", "-o", str(out)],
                         cwd=ROOT, capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode == 0, run.stderr
    np.testing.assert_array_equal(np.load(out), read(SAMPLE, "gauge", 0, "volt"))


# --- netCDF -------------------------------------------------------------------------------


def test_netcdf_is_compressed_and_carries_the_datasets_attributes(run_zel, sample, tmp_path):
    xr = pytest.importorskip("xarray")
    netCDF4 = pytest.importorskip("netCDF4")
    out = tmp_path / "s.nc"
    run = run_zel("export", sample, "gauge", "height", "--unit", "gauge=millivolt", "-o", out)
    assert run.returncode == 0, run.stderr
    with netCDF4.Dataset(out) as written:
        assert sorted(written.variables) == ["column", "gauge", "height", "row", "sample",
                                             "segment"]
        for name in ("gauge", "height"):
            assert written[name].filters()["zlib"] is True
            assert written[name].chunking() == [1, 8, 8, 100]
    with xr.open_dataset(sample, engine="zel", units={"gauge": "millivolt"}) as opened, \
            xr.open_dataset(out) as exported:
        assert exported.attrs == opened.attrs
        for name in ("gauge", "height"):
            assert exported[name].attrs == opened[name].attrs
            np.testing.assert_array_equal(exported[name].values, opened[name].values)
        assert exported["gauge"].attrs["units"] == "millivolt"


# --- progress -----------------------------------------------------------------------------


@pytest.mark.parametrize("out, steps", [("one.npy", [2] * 4), ("all.nc", [2] * 16),
                                        ("one.csv", [1] * 8)])
def test_progress_counts_rows_within_an_array(sample, tmp_path, monkeypatch, out, steps):
    if out.endswith(".nc"):
        pytest.importorskip("netCDF4")
    from zel_data_tools import _export

    counted: list[int] = []
    monkeypatch.setattr(_export, "BLOCK_POSITIONS", 16)  # 2 rows of the 8 x 8 grid
    monkeypatch.setattr(_export.Reads, "advance", lambda self, rows: counted.append(rows))
    channels = [] if out.endswith(".nc") else ["gauge"]
    request = _export.ExportRequest(file=str(sample), output=str(tmp_path / out),
                                    channels=channels, segments=[0])
    assert _export.export(request, report=lambda line: None, warn=pytest.fail) == 0
    assert counted == steps
    if out.endswith(".csv"):
        with open(tmp_path / out, newline="") as text:
            rows = list(csv.reader(text))[1:]
        np.testing.assert_array_equal(np.array([row[5:] for row in rows], dtype=float),
                                      read(sample, "gauge", 0, "volt").reshape(64, 100))
    elif out.endswith(".npy"):
        np.testing.assert_array_equal(np.load(tmp_path / out), read(sample, "gauge", 0, "volt"))
    else:
        xr = pytest.importorskip("xarray")
        with xr.open_dataset(tmp_path / out, engine="netcdf4") as written:
            for name in written.data_vars:
                np.testing.assert_array_equal(written[name].values[0],
                                              read(sample, str(name), 0, written[name].units))
