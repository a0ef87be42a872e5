"""Checks of the archive builders that every other test relies on."""

import zipfile

import numpy as np
import pytest
from zel_archive import (
    HEADER_MEMBER,
    channel_entry,
    channel_members,
    encode,
    header_text,
    write_zel,
)


def parse_properties(text):
    """Reference reading of header text: dotted keys into nested dicts, first line wins."""
    tree = {}
    for line in reversed(text.split("\n")[:-1]):
        key, value = line.split("=", 1)
        *parents, last = key.split(".")
        node = tree
        for part in parents:
            node = node.setdefault(part, {})
        node[last] = value
    return tree


def test_nested_header_round_trips_with_verbatim_values():
    tree = {
        "device": {"name": "Probe A", "range": "x=y", "note": ""},
        "lcd-info": {"7": {"channel": {"name": "p\r"}, "encoder": {"scaling": {"offset": "1,5"}}}},
        "gain": 0.1,
        "count": 3,
    }
    text = header_text(tree)
    assert text.endswith("\n")
    expected = dict(tree, gain="0.1", count="3")
    assert parse_properties(text) == expected


def test_channel_entry_builds_the_worked_conversion_chain():
    pairs = channel_entry(
        "3",
        "gauge",
        base="volt",
        encoder=("2", "0.5"),
        units={"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")},
    )
    entry = parse_properties(header_text(pairs))["lcd-info"]["3"]
    assert entry == {
        "channel": {"name": "gauge"},
        "type": "float-data",
        "encoder": {"scaling": {"offset": "2", "multiplier": "0.5"}},
        "conversion-set": {
            "conversions": {"base": "volt"},
            "conversion": {
                "millivolt": {
                    "base-calibration-slot": "volt",
                    "scaling": {"offset": "0", "multiplier": "1000"},
                },
                "force": {
                    "base-calibration-slot": "millivolt",
                    "scaling": {"offset": "-3", "multiplier": "0.25"},
                },
            },
        },
    }
    bare = [key for key, _ in channel_entry("3", "gauge", base=None)]
    assert bare == ["lcd-info.3.channel.name", "lcd-info.3.type"]


@pytest.mark.parametrize(
    "values, data_type, raw",
    [
        ([1.0, -2.5], "float-data", b"\x3f\x80\x00\x00\xc0\x20\x00\x00"),
        ([1065353216, -2], "int32-data", b"\x3f\x80\x00\x00\xff\xff\xff\xfe"),
        ([1], "Float-Data", b"\x00\x00\x00\x01"),
    ],
)
def test_encode_is_big_endian_by_data_type(values, data_type, raw):
    assert encode(values, data_type) == raw


def test_encode_rejects_values_that_no_int32_holds():
    with pytest.raises(ValueError):
        encode([2**31], "int32-data")
    with pytest.raises(TypeError):
        encode([1.5], "int32-data")


def test_write_zel_lays_out_members_in_order(tmp_path):
    values = np.arange(2 * 2 * 3, dtype=np.int32).reshape(2, 2, 3)
    members = channel_members(values, 4, "x", "int32-data")
    path = write_zel(tmp_path / "a.zel", b"\xef\xbb\xbfk=v\r\n", members)

    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
        assert [info.filename for info in infos] == [HEADER_MEMBER] + [n for n, _ in members]
        assert {info.compress_type for info in infos} == {zipfile.ZIP_DEFLATED}
        assert archive.read(HEADER_MEMBER) == b"\xef\xbb\xbfk=v\r\n"
        data = [archive.read(info) for info in infos[1:]]
    assert all(info.filename.endswith("/4/channels/x.dat") for info in infos[1:])
    decoded = np.stack([np.frombuffer(raw, ">i4") for raw in data]).reshape(2, 2, 3)
    np.testing.assert_array_equal(decoded, values)


def test_write_zel_without_header_and_stored(tmp_path):
    path = write_zel(tmp_path / "a.zel", None, [("a", b"xyz")], compression=zipfile.ZIP_STORED)
    with zipfile.ZipFile(path) as archive:
        assert [(i.filename, i.compress_type) for i in archive.infolist()] == [
            ("a", zipfile.ZIP_STORED)
        ]
