"""The zel command, run as a user runs it: a subprocess on real files."""

import csv
import json
import json.scanner
import os
import re
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pytest
from conftest import grid_values, zel_command
from zel_archive import channel_entry, channel_members, write_zel

import zel_data_reader

SAMPLE_CHANNELS = {
    "gauge": ("float-data", "volt", ["force", "millivolt", "volt"]),
    "height": ("int32-data", "nanometre", ["micrometre", "nanometre"]),
    "phase": ("float-data", "degree", ["degree", "radian"]),
    "temperature": ("int32-data", "celsius", ["celsius", "fahrenheit", "kelvin"]),
}


def read(path, channel, segment, unit):
    return zel_data_reader.ZelDataFIle(str(path)).get_channel_data(channel, segment, unit)


def one_error_line(run, status=1):
    assert run.returncode == status, run.stderr
    assert run.stdout == ""
    assert "Traceback" not in run.stderr
    lines = run.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("zel: error: "), run.stderr
    return lines[0]


# --- info ---------------------------------------------------------------------------------


def test_info_json_matches_the_file(run_zel, sample):
    run = run_zel("info", sample, "--json")
    assert run.returncode == 0 and run.stderr == ""
    info = json.loads(run.stdout)
    with zipfile.ZipFile(sample) as archive:
        names = archive.namelist()
    assert info == {
        "file": str(sample),
        "members": len(names),
        "grid": 8,
        "samples_each": 100,
        "header_crlf": False,
        "segments": [0, 1],
        "channels": [
            {"name": name, "data_type": data_type, "base_unit": base, "units": units,
             "segments": [0, 1],
             "samples": {s: {"fewest": 100, "most": 100, "short": 0} for s in ("0", "1")}}
            for name, (data_type, base, units) in SAMPLE_CHANNELS.items()
        ],
    }


def test_info_table(run_zel, sample):
    run = run_zel("info", sample)
    assert run.returncode == 0 and run.stderr == ""
    lines = run.stdout.splitlines()
    assert lines[:4] == [f"file      {sample}", "members   513",
                         "grid      8 x 8 positions, 100 samples each", "segments  0, 1"]
    assert lines[5].split() == ["channel", "data", "type", "base", "unit", "units", "segments"]
    assert [line.split()[:3] for line in lines[6:]] == [
        [name, data_type, base] for name, (data_type, base, _) in SAMPLE_CHANNELS.items()]
    assert lines[6].endswith("force, millivolt, volt       0, 1")


def test_info_of_an_irregular_file(run_zel, tmp_path):
    header = channel_entry("1", "b", units={"mv": ("volt", "0", "1000")}) + channel_entry(
        "0", "a", "int32-data", base="count")
    members = (channel_members(grid_values(2, 1), 3, "a")
               + channel_members(grid_values(3, 2), 0, "b")
               + channel_members(grid_values(3, 3), 7, "b")
               + [("other/1/channels/unknown.dat", b"")])
    path = write_zel(tmp_path / "irregular.zel", header, members)
    info = json.loads(run_zel("info", "--json", path).stdout)
    assert info["grid"] is None
    assert info["segments"] == [0, 3, 7]
    assert info["members"] == 1 + 4 + 9 + 9 + 1
    full = {"fewest": 100, "most": 100, "short": 0}
    assert info["channels"] == [
        {"name": "a", "data_type": "int32-data", "base_unit": "count", "units": ["count"],
         "segments": [3], "samples": {"3": full}},
        {"name": "b", "data_type": "float-data", "base_unit": "volt", "units": ["mv", "volt"],
         "segments": [0, 7], "samples": {"0": full, "7": full}},
    ]
    table = run_zel("info", path).stdout
    assert "irregular" in table and "3:4" in table and "0:9, 7:9" in table


# --- header -------------------------------------------------------------------------------


def flatten(tree, prefix=""):
    for key, value in tree.items():
        if isinstance(value, dict):
            yield from flatten(value, f"{prefix}{key}.")
        else:
            yield f"{prefix}{key}", value


def test_header_tree_is_sorted_indented_and_complete(run_zel, sample):
    run = run_zel("header", sample)
    assert run.returncode == 0 and run.stderr == ""
    lines = run.stdout.splitlines()
    assert lines[:3] == ["file", "  created = 2024-06-11T09:30:00", "  format-version = 1.2"]
    # Rebuild the dotted keys from the indentation and compare with the module's header.
    path, rebuilt = [], {}
    for line in lines:
        depth = (len(line) - len(line.lstrip(" "))) // 2
        del path[depth:]
        key, _, value = line.strip().partition(" = ")
        if _:
            rebuilt[".".join([*path, key])] = value
        else:
            path.append(key)
    assert rebuilt == dict(flatten(zel_data_reader.ZelDataFIle(str(sample)).header))
    keys = [k for k in rebuilt if k.startswith("segments.")]
    assert keys == sorted(keys)


def test_header_prefix_and_json(run_zel, sample):
    header = zel_data_reader.ZelDataFIle(str(sample)).header
    assert run_zel("header", sample, "--prefix", "lcd-info.1.type").stdout == (
        "lcd-info\n  1\n    type = int32-data\n")
    # A prefix of the dotted text, not only whole keys.
    assert run_zel("header", sample, "--prefix", "grid.st").stdout == (
        "grid\n  step\n    unit = millimetre\n    x = 0.5\n    y = 0.5\n")
    whole = json.loads(run_zel("header", sample, "--json").stdout)
    assert whole == header
    part = json.loads(run_zel("header", sample, "--json", "--prefix", "grid").stdout)
    assert part == {"grid": header["grid"]}


@pytest.mark.parametrize("depth", [1000, 5000])
def test_header_of_any_depth_is_shown_whole(run_zel, tmp_path, depth):
    prefix = ".".join(f"k{i}" for i in range(depth - 1))
    deep = f"{prefix}.k{depth - 1}"
    path = write_zel(tmp_path / "deep.zel", f"a.b=1\n{prefix}.other=other\n{deep}=bottom\n")
    run = run_zel("header", path)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    lines = run.stdout.splitlines()
    assert lines[:2] == ["a", "  b = 1"]
    # Every key is there: the indented levels, then the rest of each key on one line.
    assert max(len(line) - len(line.lstrip()) for line in lines) < 100
    *nodes, bottom, other = (line.strip() for line in lines[2:])
    assert ".".join([*nodes, bottom]) == f"{deep} = bottom"
    assert ".".join([*nodes, other]) == f"{prefix}.other = other"
    text = run_zel("header", path, "--json").stdout
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 3 * depth))
    decoder = json.JSONDecoder()
    if sys.version_info[:2] == (3, 12):
        # 3.12's C scanner stops at a fixed C recursion limit whatever the limit above; the
        # Python one follows it, and since 3.11 takes no C stack per level.
        decoder.scan_once = json.scanner.py_make_scanner(decoder)
    node = decoder.decode(text)
    for i in range(depth - 1):
        node = node[f"k{i}"]
    assert node == {f"k{depth - 1}": "bottom", "other": "other"}


def test_header_quotes_what_blanks_would_hide(run_zel, tmp_path):
    path = write_zel(tmp_path / "odd.zel", "a= padded \nb=\nc.d=x\r\n")
    assert run_zel("header", path).stdout.splitlines() == [
        'a = " padded "', 'b = ""', "c", '  d = "x\\r"']


# --- export -------------------------------------------------------------------------------


def test_export_npy_round_trips_without_diagnostic_lines(run_zel, sample, tmp_path):
    run = run_zel("export", sample, "gauge", "--segment", "1", "--unit", "force",
                  "-o", tmp_path / "g.npy")
    assert run.returncode == 0 and run.stderr == ""
    # The module writes two diagnostic lines for this read; none may reach our output.
    assert run.stdout == f"wrote {tmp_path / 'g.npy'}: gauge segment 1 in force\n"
    np.testing.assert_array_equal(np.load(tmp_path / "g.npy"), read(sample, "gauge", 1, "force"))


def test_export_several_npy_files_and_npz(run_zel, sample, tmp_path):
    out = tmp_path / "out-{channel}-{segment}.npy"
    run = run_zel("export", sample, "gauge", "phase", "-o", out)
    assert run.returncode == 0 and run.stderr == ""  # no progress bar when not at a terminal
    assert len(run.stdout.splitlines()) == 4
    for channel, base in (("gauge", "volt"), ("phase", "degree")):
        for segment in (0, 1):
            np.testing.assert_array_equal(np.load(tmp_path / f"out-{channel}-{segment}.npy"),
                                          read(sample, channel, segment, base))
    assert run_zel("export", sample, "--unit", "radian", "phase", "-o",
                   tmp_path / "all.npz").returncode == 0
    with np.load(tmp_path / "all.npz") as arrays:
        assert sorted(arrays.files) == ["phase/0", "phase/1"]
        np.testing.assert_array_equal(arrays["phase/1"], read(sample, "phase", 1, "radian"))


def test_export_csv_has_one_row_per_position(run_zel, sample, tmp_path):
    out = tmp_path / "t.csv"
    run = run_zel("export", sample, "temperature", "gauge", "--segment", "0", "-o", out)
    assert run.returncode == 0, run.stderr
    with open(out, newline="") as stream:
        rows = list(csv.reader(stream))
    assert rows[0][:6] == ["channel", "segment", "unit", "row", "column", "sample_0"]
    assert len(rows[0]) == 105 and len(rows) == 1 + 2 * 64
    for channel, unit, block in (("temperature", "celsius", rows[1:65]),
                                 ("gauge", "volt", rows[65:])):
        assert {(r[0], r[1], r[2]) for r in block} == {(channel, "0", unit)}
        positions = [(int(r[3]), int(r[4])) for r in block]
        assert positions == [(i, j) for i in range(8) for j in range(8)]
        values = np.array([[float(v) for v in r[5:]] for r in block]).reshape(8, 8, 100)
        np.testing.assert_array_equal(values, read(sample, channel, 0, unit))


def test_export_netcdf_round_trips(run_zel, sample, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    out = tmp_path / "s.nc"
    assert run_zel("export", sample, "-o", out).returncode == 0
    with xr.open_dataset(out) as dataset:
        assert sorted(dataset.data_vars) == sorted(SAMPLE_CHANNELS)
        assert dataset["height"].dims == ("segment", "row", "column", "sample")
        assert dataset["height"].attrs["units"] == "nanometre"
        np.testing.assert_array_equal(dataset["height"].sel(segment=1).values,
                                      read(sample, "height", 1, "nanometre"))


# --- plot ---------------------------------------------------------------------------------


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("extra, size", [([], (1100, 450)),
                                         (["--dpi", "50", "--stat", "ptp"], (550, 225))])
def test_plot_writes_a_png_of_the_expected_size(run_zel, sample, tmp_path, extra, size):
    pytest.importorskip("matplotlib")
    out = tmp_path / "gauge.png"
    run = run_zel("plot", sample, "gauge", "--unit", "millivolt", "--segment", "1",
                  "--position", "0,0", "--position", "7,7", *extra, "-o", out)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    assert run.stdout.startswith(f"wrote {out} ({size[0]} x {size[1]} pixels)")
    assert run.stdout.endswith(
        "traces of chosen (0, 0) of 100 samples, chosen (7, 7) of 100 samples\n")
    assert png_size(out) == size


def test_plot_of_a_grid_with_empty_positions(run_zel, tmp_path):
    pytest.importorskip("matplotlib")
    values = grid_values(3, 5)
    members = channel_members(values, 0, "x")
    members[4] = (members[4][0], b"")  # the centre position holds no value: all NaN
    members[0] = (members[0][0], members[0][1][:28])  # position (0, 0) holds 7 samples
    path = write_zel(tmp_path / "holes.zel", channel_entry("0", "x"), members)
    run = run_zel("plot", path, "x", "--stat", "std", "-o", tmp_path / "holes.png")
    assert run.returncode == 0, run.stderr
    assert "centre (1, 1) of 0 samples" in run.stdout
    run = run_zel("plot", path, "x", "--stat", "count", "-o", tmp_path / "holes.png")
    assert run.stdout.endswith("traces of centre, lowest count (1, 1) of 0 samples, "
                               "highest count (0, 1) of 100 samples\n")
    assert png_size(tmp_path / "holes.png") == (1100, 450)


@pytest.mark.parametrize("side, positions", [
    (128, [(60, 60), (60, 61), (61, 60), (61, 61)]),  # neighbours on cells of 1.7 points
    (16, [(3, 3), (3, 4), (4, 3), (4, 4)]),
    (8, [(0, 0), (7, 7), (4, 4)]),
])
def test_trace_numbers_keep_clear_of_each_other(side, positions):
    from zel_data_tools._plot import HEIGHT, label_offsets

    cell = HEIGHT * 72 * 0.7 / side
    anchors = [(column * cell + dx, row * cell + dy) for (row, column), (dx, dy)
               in zip(positions, label_offsets(positions, side, cell))]
    for i, (x, y) in enumerate(anchors):
        for u, v in anchors[i + 1:]:
            assert abs(x - u) >= 11 or abs(y - v) >= 11, anchors


def test_plot_of_a_single_position(run_zel, tmp_path):
    pytest.importorskip("matplotlib")
    path = write_zel(tmp_path / "one.zel", channel_entry("0", "x"),
                     channel_members(grid_values(1, 5), 0, "x"))
    run = run_zel("plot", path, "x", "--stat", "range", "-o", tmp_path / "one.png")
    assert run.returncode == 0 and run.stderr == "", run.stderr
    assert run.stdout.endswith("traces of the only position (0, 0) of 100 samples\n")


# --- errors -------------------------------------------------------------------------------


def damaged(sample, how):
    data = bytearray(sample.read_bytes())
    if how == "truncated":
        del data[len(data) // 2:]
    else:  # a member's compressed bytes flipped: the directory is fine, reading fails
        at = data.index(b"channels/gauge.dat") + 40
        data[at:at + 8] = bytes(b ^ 0xFF for b in data[at:at + 8])
    sample.write_bytes(bytes(data))
    return sample


@pytest.mark.parametrize("args, status, pattern", [
    (["info", "{missing}"], 1, r"missing\.zel: No such file or directory$"),
    (["info", "{truncated}"], 1, r"sample\.zel: .*Zip"),
    (["export", "{corrupt}", "gauge", "--segment", "0", "-o", "x.npy"], 1, r"sample\.zel: "),
    (["export", "{sample}", "nothing", "-o", "x.npy"], 1,
     r"sample\.zel: no channel 'nothing'; the channels are gauge, height, phase, temperature$"),
    (["export", "{sample}", "gauge", "--unit", "newton", "-o", "x.csv"], 1,
     r"no unit 'newton' for channel 'gauge'; the units are force, millivolt, volt$"),
    (["export", "{sample}", "phase", "--segment", "2", "-o", "x.csv"], 1,
     r"no segment 2 for channel 'phase'; the segments are 0, 1$"),
    (["export", "{sample}", "-o", "x.npy"], 2, r"8 arrays selected, but \.npy holds one"),
    (["header", "{sample}", "--prefix", "grid.nope"], 1,
     r"no header key begins with 'grid.nope'; the keys below 'grid' are positions, step$"),
    (["plot", "{sample}", "gauge", "--position", "8,0", "-o", "x.png"], 1,
     r"no position \(8, 0\) in the 8 x 8 grid"),
])
def test_errors_are_one_line(run_zel, sample, tmp_path, args, status, pattern):
    if args[0] == "plot":
        pytest.importorskip("matplotlib")
    files = {"missing": tmp_path / "missing.zel", "sample": sample,
             "truncated": damaged(sample, "truncated") if "{truncated}" in args else sample,
             "corrupt": damaged(sample, "corrupt") if "{corrupt}" in args else sample}
    line = one_error_line(run_zel(*(a.format(**files) for a in args)), status)
    assert re.search(pattern, line), line
    assert not (tmp_path / "x.npy").exists() and not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["info"], "the following arguments are required: FILE"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    (["export", "f.zel", "-o", "out.txt"], "OUT must end in .npy, .npz, .csv, .nc"),
    (["export", "f.zel", "--segment", "x", "-o", "o.npz"], "expected a segment number"),
    (["export", "f.zel", "--unit", "a=b", "--unit", "a=c", "-o", "o.npz"], "two units"),
    (["export", "f.zel", "-o", "o.npz", "--frobnicate"], "unrecognized arguments"),
    (["plot", "f.zel", "c", "--dpi", "0", "-o", "o.png"], "must lie between 10 and 1000"),
    (["plot", "f.zel", "c", "-o", "out.txt"], "PICTURE must end in one of"),
    (["plot", "f.zel", "c", "--stat", "peak", "-o", "o.png"], "invalid choice: 'peak'"),
    (["export", "f.zel", "-o", "out/{file}_{channel}.npy"],
     "OUT holds {file}, which names nothing: the placeholders are {channel} and {segment}"),
    (["export", "f.zel", "--format", "npz", "-o", "y.npy"],
     "--format npz would write npz into a file named .npy: y.npy"),
    (["plot", "f.zel", "c", "--segment", "retract", "-o", "o.png"],
     "argument --segment: expected a segment number, such as 0 or 1, not 'retract' ('zel info "
     "FILE' lists the segments) (see 'zel plot --help')"),
    (["plot", "a", "b", "force", "-o", "o.png"],
     "unrecognized arguments: force (see 'zel plot --help')"),
])
def test_usage_errors_are_one_line_with_status_2(run_zel, args, message):
    if args[0:1] == ["plot"]:
        pytest.importorskip("matplotlib")
    line = one_error_line(run_zel(*args), status=2)
    assert message in line, line


@pytest.mark.parametrize("where", ["before", "after"])
def test_debug_shows_the_traceback(run_zel, tmp_path, where):
    missing = tmp_path / "missing.zel"
    args = ["--debug", "info", missing] if where == "before" else ["info", "--debug", missing]
    run = run_zel(*args)
    assert run.returncode == 1 and "Traceback" in run.stderr
    assert run.stderr.splitlines()[-1].startswith("zel: error: ")
    assert "--debug" in run_zel("--help").stdout


def test_help_texts_are_formatted(run_zel):
    text = " ".join(run_zel("export", "--help").stdout.split())
    assert "%XX per UTF-8 byte" in text and "%%" not in text


def test_python_m_and_version(run_zel, sample):
    import sys
    from importlib.metadata import version

    command = [sys.executable, "-m", "zel_data_tools"]
    run = run_zel("--version", command=command)
    assert run.returncode == 0 and run.stdout == f"zel {version('zel-data-reader')}\n"
    assert run_zel("info", "--json", sample, command=command).stdout == run_zel(
        "info", "--json", sample).stdout
    assert zel_command()  # the console script or its stand-in exists


def test_info_of_several_files(run_zel, sample, tmp_path):
    other = write_zel(tmp_path / "other.zel", channel_entry("0", "x"),
                      channel_members(grid_values(2, 0), 3, "x"))
    run = run_zel("info", sample, other, "--json")
    assert run.returncode == 0, run.stderr
    assert [(i["file"], i["grid"], i["segments"]) for i in json.loads(run.stdout)] == [
        (str(sample), 8, [0, 1]), (str(other), 2, [3])]
    tables = run_zel("info", sample, other).stdout.splitlines()
    assert [line for line in tables if line.startswith("file ")] == [
        f"file      {sample}", f"file      {other}"]
    # A file that cannot be read is one error line; the others are still shown.
    run = run_zel("info", sample, tmp_path / "missing.zel", "--json")
    assert run.returncode == 1 and len(json.loads(run.stdout)) == 1
    assert run.stderr.count("\n") == 1 and "missing.zel: " in run.stderr


def test_paths_that_are_no_text_stay_on_one_valid_line(run_zel, sample, tmp_path):
    odd = os.fsencode(tmp_path) + b"/caf\xe9.zel"  # Latin-1, not UTF-8
    os.link(sample, odd)
    run = subprocess.run([*zel_command(), "info", "--json", odd], capture_output=True,
                         timeout=60, check=False)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout.decode("utf-8"))["file"] == os.fsdecode(odd)
    table = subprocess.run([*zel_command(), "info", odd], capture_output=True, timeout=60,
                           check=False)
    assert table.returncode == 0 and b"caf\\udce9.zel" in table.stdout.splitlines()[0]
    line = one_error_line(run_zel("info", tmp_path / "new\nline.zel"))
    assert "new\\nline.zel: " in line


def test_plot_of_names_and_formats_beyond_png(run_zel, tmp_path):
    pytest.importorskip("matplotlib")
    path = write_zel(tmp_path / "d.zel", channel_entry("0", "cost $ in $"),
                     channel_members(grid_values(4, 0), 0, "cost $ in $"))
    for picture, magic in (("p.jpg", b"\xff\xd8\xff"), ("p.svg", b"<?xml"), ("p.PDF", b"%PDF")):
        run = run_zel("plot", path, "cost $ in $", "-o", picture)
        assert run.returncode == 0 and run.stderr == "", run.stderr
        assert (tmp_path / picture).read_bytes().startswith(magic)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.zel", "p.PDF", "p.jpg", "p.svg"]
