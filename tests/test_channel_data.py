"""Reading one channel of one segment as a (side, side, 100) float64 array."""

import gc
import struct
import subprocess
import sys
import zipfile

import numpy as np
import pytest

import zip_layout as zl
from zel_archive import channel_entry, channel_members, encode, member_name, write_zel
from zel_data_reader import ZelDataFIle

NAN_BITS = 0x7FF8000000000000


def read(path, name="x", segment=0, unit="volt"):
    return ZelDataFIle(path).get_channel_data(name, segment, unit)


def header(data_type="float-data", encoder=("2", "0.5"), name="x", **units):
    return channel_entry("7", name, data_type, base="volt", encoder=encoder, units=units or None)


def scaled(raw, multiplier=0.5, offset=2.0):
    # Two roundings: the product, then the sum.
    return np.asarray(raw, dtype=np.float64) * multiplier + offset


@pytest.mark.parametrize("data_type", ["float-data", "int32-data"])
def test_grid_is_filled_row_major_in_member_order(tmp_path, data_type):
    rng = np.random.default_rng(5)
    raw = rng.integers(-30000, 30000, size=(3, 3, 100))
    # Write the members in a shuffled name order: placement follows the archive, not the names.
    members = channel_members(raw, 0, "x", data_type)
    order = rng.permutation(len(members))
    path = write_zel(tmp_path / "a.zel", header(data_type), [members[k] for k in order])

    array = read(path)

    expected = scaled(raw.reshape(9, 100)[order]).reshape(3, 3, 100)
    assert array.shape == (3, 3, 100) and array.dtype == np.float64
    assert array.flags.c_contiguous and array.flags.writeable
    np.testing.assert_array_equal(array, expected)


def test_scaling_rounds_product_and_sum_separately(tmp_path):
    # Values where a fused multiply-add would round once and differ in the last bit.
    raw = np.array([0.1, 1 / 3, 2.2, 1e-8, -7.7, 3.0e5], dtype=np.float32)
    multiplier, offset = "0.1", "-0.3"
    path = write_zel(
        tmp_path / "a.zel",
        header(encoder=(offset, multiplier)),
        [(member_name(0, "x"), encode(raw))],
    )
    array = read(path)
    expected = raw.astype(np.float64) * np.float64(0.1) + np.float64(-0.3)
    np.testing.assert_array_equal(array[0, 0, : raw.size], expected)


@pytest.mark.parametrize(
    "data_type, raw_bytes, encoder, value",
    [
        ("float-data", b"\x3f\x80\x00\x00", None, 1.0),
        ("int32-data", b"\x3f\x80\x00\x00", None, 1065353216.0),
        ("Float-data", b"\x3f\x80\x00\x00", None, 1065353216.0),
        ("float-data ", b"\x3f\x80\x00\x00", None, 1065353216.0),
        ("int32-data", b"\xff\xff\xff\xfe", None, -2.0),
        ("int32-data", b"\x80\x00\x00\x00", None, -2147483648.0),
        ("int32-data", b"\x00\x00\x00\x01", ("10", "0.5"), 10.5),
        ("float-data", b"\x7f\x80\x00\x00", None, np.inf),
    ],
)
def test_raw_values_decode_by_data_type(tmp_path, data_type, raw_bytes, encoder, value):
    path = write_zel(
        tmp_path / "a.zel", header(data_type, encoder), [(member_name(0, "x"), raw_bytes)]
    )
    assert read(path)[0, 0, 0] == value


@pytest.mark.parametrize("length, decoded", [(0, 0), (3, 0), (4, 1), (7, 1), (399, 99)])
def test_short_members_are_filled_with_nan(tmp_path, length, decoded):
    raw = np.arange(1, 101, dtype=np.float32)
    data = encode(raw)[:length]
    # A scaling that would turn the fill into a number if it were applied to it.
    path = write_zel(tmp_path / "a.zel", header(encoder=("1", "0")), [(member_name(0, "x"), data)])
    block = read(path)[0, 0]
    np.testing.assert_array_equal(block[:decoded], np.ones(decoded))
    assert (block[decoded:].view(np.uint64) == NAN_BITS).all()


@pytest.mark.parametrize(
    "name, matches",
    [
        ("a/0/channels/x.dat", True),
        ("/0/channels/x.dat", True),
        ("deep/er/0/channels/x.dat", True),
        ("0/channels/x.dat", False),
        ("a/10/channels/x.dat", False),
        ("a/0/channels/ax.dat", False),
        ("a/0/channels/X.dat", False),
        ("a/0/channels/x.dat.bak", False),
        ("a\\0\\channels\\x.dat", False),
    ],
)
def test_members_are_selected_by_name_suffix(tmp_path, name, matches):
    members = [(name, encode([5.0])), ("b/0/channels/x.dat", encode([1.0]))]
    path = write_zel(tmp_path / "a.zel", header(encoder=None), members)
    if matches:
        # Two matches are no square: the reshape fails and says how many values it had.
        with pytest.raises(OSError, match=r"size 200 into shape \(1,1,100\)"):
            read(path)
    else:
        assert read(path)[0, 0, 0] == 1.0


def test_segment_selects_its_directory(tmp_path):
    members = [(member_name(s, "x"), encode([float(s)])) for s in (0, 1, 2, 255)]
    path = write_zel(tmp_path / "a.zel", header(encoder=None), members)
    data = ZelDataFIle(path)
    assert [data.get_channel_data("x", s, "volt")[0, 0, 0] for s in (0, 1, True, 255)] == [
        0.0,
        1.0,
        1.0,
        255.0,
    ]


@pytest.mark.parametrize(
    "sizes, message",
    [
        ([400] * 5, "ValueError: cannot reshape array of size 500 into shape (2,2,100)"),
        ([400, 400, 400, 404], "ValueError: cannot reshape array of size 401 into shape (2,2,100)"),
    ],
)
def test_counts_that_do_not_fill_the_grid_fail_with_numpys_words(tmp_path, capfd, sizes, message):
    members = [
        (member_name(0, "x", k), encode(np.arange(size // 4, dtype=np.float32)))
        for k, size in enumerate(sizes)
    ]
    path = write_zel(tmp_path / "a.zel", header(encoder=None), members)
    data = ZelDataFIle(path)
    with pytest.raises(OSError) as raised:
        data.get_channel_data("x", 0, "volt")
    assert raised.value.args == (message,)
    # The diagnostic line is written before the array is shaped; the object stays usable.
    assert capfd.readouterr().out == "1\n"
    assert data.get_channels() == ["x"]


def test_channel_without_members_is_no_file(tmp_path, capfd):
    path = write_zel(tmp_path / "a.zel", header(), [(member_name(0, "x"), encode([1.0]))])
    with pytest.raises(OSError) as raised:
        read(path, segment=3)
    assert raised.value.args == (
        "Expected File /3/channels/x.dat, but this file was not present in the archive.",
    )
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "raw, line",
    [
        ([1.5, 2.0, 7.0], "2\n"),
        ([3.0], "NaN\n"),
        ([0.0, 0.25], "0.25\n"),
        ([0.0, -np.inf], "-inf\n"),
    ],
)
def test_diagnostic_line_shows_the_second_value(tmp_path, capfd, raw, line):
    path = write_zel(
        tmp_path / "a.zel", header(encoder=None), [(member_name(0, "x"), encode(raw))]
    )
    read(path)
    assert capfd.readouterr().out == line


def test_chain_of_units_scales_every_value(tmp_path, capfd):
    raw = np.full((1, 1, 100), 10, dtype=np.int64)
    entry = channel_entry(
        "3",
        "gauge",
        "int32-data",
        base="volt",
        encoder=("2", "0.5"),
        units={"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")},
    )
    path = write_zel(tmp_path / "a.zel", entry, channel_members(raw, 0, "gauge", "int32-data"))
    array = read(path, "gauge", 0, "force")
    assert (array == 1747.0).all()
    assert capfd.readouterr().out == "497,125\n1747\n"


def test_damaged_member_fails_and_leaves_the_object_usable(tmp_path):
    path = tmp_path / "a.zel"
    good = encode(np.arange(100, dtype=np.float32))
    write_zel(path, header(encoder=None), [(member_name(0, "x"), good)])
    # Flip the stored CRC-32 of the data member in its central directory record.
    data = bytearray(path.read_bytes())
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(member_name(0, "x"))
    record = data.rfind(b"PK\x01\x02")
    assert data[record + 16 : record + 20] == info.CRC.to_bytes(4, "little")
    data[record + 16] ^= 0xFF
    path.write_bytes(bytes(data))

    reader = ZelDataFIle(path)
    with pytest.raises(OSError, match="checksum"):
        reader.get_channel_data("x", 0, "volt")
    with pytest.raises(OSError, match="checksum"):
        reader.get_channel_data("x", 0, "volt")
    assert reader.get_channels() == ["x"]


def test_array_owns_its_memory_and_outlives_the_file_object(tmp_path):
    raw = np.arange(400, dtype=np.float32).reshape(2, 2, 100)
    path = write_zel(tmp_path / "a.zel", header(encoder=None), channel_members(raw, 0, "x"))
    data = ZelDataFIle(path)
    first = data.get_channel_data("x", 0, "volt")
    second = data.get_channel_data("x", 0, "volt")
    assert not np.shares_memory(first, second)
    del data
    gc.collect()
    first[0, 0, 0] = -1.0  # writeable, and its memory is still there
    np.testing.assert_array_equal(first.ravel()[1:], raw.ravel()[1:].astype(np.float64))
    # The array does not keep the data-file object (or anything else Python) alive.
    assert first.base is not None and not hasattr(first.base, "get_channels")


def test_damaged_members_are_reported_in_member_order(tmp_path):
    # The first member's local header is broken, the second claims a size its data cannot
    # give: the first member's fault is the one reported, as when reading one by one.
    raw = np.arange(100, dtype=np.float32)
    members = [(member_name(0, "x", 0), encode(raw)), (member_name(0, "x", 1), encode(raw))]
    path = write_zel(tmp_path / "a.zel", header(encoder=None), members)
    data = path.read_bytes()
    first = zl.central_named(data, member_name(0, "x", 0).encode())
    second = zl.central_named(data, member_name(0, "x", 1).encode())
    data = zl.put(data, first.local_offset, "I", 0x12345678)
    data = zl.put(data, second.at + zl.CEN_UNCOMPRESSED, "I", 0x7FFFFFFF)
    path.write_bytes(data)
    with pytest.raises(OSError, match="local file header signature"):
        read(path)


# Run apart, so that the high-water mark is this call's alone.
PEAK_OF_A_CALL = """
import sys
from zel_data_reader import ZelDataFIle
def peak():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM:"))
data = ZelDataFIle(sys.argv[1])
before = peak()
try:
    data.get_channel_data("x", 0, "volt")
except OSError as error:
    print(error)
print(peak() - before)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_members_too_long_for_the_grid_cost_no_memory_for_their_values(tmp_path):
    # 200 directory records share one member that inflates to 4 MB of zeros: the values can never
    # be laid out on a grid, so the call fails as the reshape does, without 1.6 GB of doubles.
    path = write_zel(tmp_path / "a.zel", header("int32-data", encoder=None),
                     [("p/0/channels/x.dat", bytes(4_000_000))])
    raw = bytearray(path.read_bytes())
    entries, size, offset = struct.unpack_from("<HII", raw, len(raw) - 22 + 10)
    first = struct.unpack_from("<H", raw, offset + 28)[0] + 46  # the header member's record
    record = raw[offset + first : offset + size]
    shared = raw[:offset + size] + record * 199
    shared += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 201, 201, size + 199 * len(record),
                          offset, 0)
    path.write_bytes(shared)
    assert path.stat().st_size < 30_000

    run = subprocess.run([sys.executable, "-c", PEAK_OF_A_CALL, str(path)], capture_output=True,
                         text=True, timeout=120, check=True)
    diagnostic, message, grown = run.stdout.splitlines()
    assert diagnostic == "0"
    assert message == "ValueError: cannot reshape array of size 200000000 into shape (14,14,100)"
    assert int(grown) < 64 * 2**20
