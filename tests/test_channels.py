"""The channel catalogue: get_channels() and get_channel_units(channel_name)."""

import pytest

from zel_archive import channel_entry, encode, member_name, write_zel
from zel_data_reader import ZelDataFIle

GAUGE = channel_entry(
    "3",
    "gauge",
    encoder=("2", "0.5"),
    units={"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")},
)
# The entry key 7 is not the name; this channel also lists its base unit among its steps.
PRESSURE = channel_entry(
    "7", "pressure", base="bar", units={"bar": ("bar", "0", "1"), "psi": ("bar", "0", "14.5")}
)


def open_file(tmp_path, *entries, extra=()):
    pairs = [pair for entry in entries for pair in entry] + list(extra)
    return ZelDataFIle(write_zel(tmp_path / "c.zel", pairs))


def without(pairs, *keys):
    return [(key, value) for key, value in pairs if key not in keys]


def test_channels_are_named_by_channel_name_with_their_units(tmp_path):
    data_file = open_file(tmp_path, GAUGE, PRESSURE, extra=[("file.version", "1")])
    channels = data_file.get_channels()
    assert sorted(channels) == ["gauge", "pressure"]
    assert data_file.get_channels() == channels  # the same order on every call
    # The base unit is listed only where it is also a step.
    assert sorted(data_file.get_channel_units("gauge")) == ["force", "millivolt"]
    assert sorted(data_file.get_channel_units(channel_name="pressure")) == ["bar", "psi"]


def test_channel_with_same_name_twice_is_listed_twice(tmp_path):
    twin = channel_entry("4", "gauge", units={"ampere": ("volt", "0", "1")})
    data_file = open_file(tmp_path, GAUGE, twin)
    assert data_file.get_channels() == ["gauge", "gauge"]
    units = sorted(data_file.get_channel_units("gauge"))
    assert units in (["force", "millivolt"], ["ampere"])
    assert sorted(data_file.get_channel_units("gauge")) == units


ENTRY = "lcd-info.9"


@pytest.mark.parametrize(
    "with_gauge, broken, message",
    [
        (False, [], "Expected header to have key lcd-info but it did not."),
        (False, [("lcd-info", "none")], "Expected vrariant map got (Value)"),
        (True, [(ENTRY, "plain")], "Expected vrariant map got (Value)"),
        (
            True,
            [(f"{ENTRY}.type", "float-data")],
            "Expected header to have key channel but it did not.",
        ),
        (True, [(f"{ENTRY}.channel", "x")], "Expected vrariant map got (Value)"),
        (True, [(f"{ENTRY}.channel.id", "x")], "Expected header to have key name but it did not."),
        (True, [(f"{ENTRY}.channel.name.first", "x")], "Expected vrariant Value got (Map)"),
    ],
)
def test_one_malformed_entry_fails_every_channel(tmp_path, with_gauge, broken, message):
    entries = (GAUGE,) if with_gauge else ()
    data_file = open_file(tmp_path, *entries, extra=broken + [("other", "1")])
    for call in (data_file.get_channels, lambda: data_file.get_channel_units("gauge")):
        with pytest.raises(OSError) as error:
            call()
        assert error.value.args == (message,)


@pytest.mark.parametrize("name", ["Pressure", " pressure", "pressure ", "7", ""])
def test_unknown_channel_name(tmp_path, name):
    data_file = open_file(tmp_path, GAUGE, PRESSURE)
    with pytest.raises(OSError) as error:
        data_file.get_channel_units(name)
    assert str(error.value) == "No such such Channel:  " + name


def pressure_without(part, *extra):
    """PRESSURE less every key that contains `part`, plus `extra` pairs."""
    return [pair for pair in PRESSURE if part not in pair[0]] + list(extra)


SET = "lcd-info.7.conversion-set"


@pytest.mark.parametrize(
    "entry, message",
    [
        (
            pressure_without(".conversion-set."),
            "Expected header to have key conversion-set but it did not.",
        ),
        (pressure_without(".conversion-set.", (SET, "bar")), "Expected vrariant map got (Value)"),
        (
            pressure_without(".conversion."),
            "Expected header to have key conversion but it did not.",
        ),
        (
            pressure_without(".conversion.", (f"{SET}.conversion", "bar")),
            "Expected vrariant map got (Value)",
        ),
    ],
)
def test_units_need_a_conversion_map(tmp_path, entry, message):
    data_file = open_file(tmp_path, GAUGE, entry)
    assert sorted(data_file.get_channels()) == ["gauge", "pressure"]
    with pytest.raises(OSError) as error:
        data_file.get_channel_units("pressure")
    assert str(error.value) == message


def test_carriage_return_line_ends_stay_in_names(tmp_path):
    text = "".join(f"{key}={value}\r\n" for key, value in GAUGE)
    data_file = ZelDataFIle(write_zel(tmp_path / "c.zel", text))
    assert data_file.get_channels() == ["gauge\r"]
    assert sorted(data_file.get_channel_units("gauge\r")) == ["force", "millivolt"]
    with pytest.raises(OSError, match="^No such such Channel:  gauge$"):
        data_file.get_channel_units("gauge")


def test_method_signatures_and_docstrings():
    assert ZelDataFIle.get_channels.__text_signature__ == "($self)"
    assert ZelDataFIle.get_channel_units.__text_signature__ == "($self, channel_name)"
    assert ZelDataFIle.get_channels.__doc__ is None
    assert ZelDataFIle.get_channel_units.__doc__ is None


class Name(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, exception, text",
    [
        ((), {}, TypeError, "get_channel_units()"),
        (("gauge", "x"), {}, TypeError, "get_channel_units()"),
        ((), {"name": "gauge"}, TypeError, "get_channel_units()"),
        (("gauge",), {"channel_name": "gauge"}, TypeError, "get_channel_units()"),
        ((b"gauge",), {}, TypeError, "channel_name"),
        ((None,), {}, TypeError, "channel_name"),
        (("gauge\udc80",), {}, UnicodeEncodeError, "surrogate"),
    ],
)
def test_channel_units_argument_errors(tmp_path, args, kwargs, exception, text):
    data_file = open_file(tmp_path, GAUGE)
    with pytest.raises(exception) as error:
        data_file.get_channel_units(*args, **kwargs)
    assert type(error.value) is exception and text in str(error.value)
    assert sorted(data_file.get_channel_units(Name("gauge"))) == ["force", "millivolt"]


def test_get_channels_takes_no_arguments(tmp_path):
    data_file = open_file(tmp_path, GAUGE)
    with pytest.raises(TypeError):
        data_file.get_channels(1)
    with pytest.raises(TypeError):
        ZelDataFIle.get_channels(object())
    assert ZelDataFIle.get_channels(data_file) == ["gauge"]


def test_catalogue_is_refused_while_channel_data_holds_the_object(tmp_path):
    path = write_zel(tmp_path / "c.zel", GAUGE, [(member_name(0, "gauge"), encode([0.0] * 100))])
    data_file = ZelDataFIle(path)
    seen = []

    class Segment:
        def __index__(self):
            for call in (data_file.get_channels, lambda: data_file.get_channel_units("gauge")):
                with pytest.raises(RuntimeError) as error:
                    call()
                seen.append(str(error.value))
            raise ValueError("stop here")

    with pytest.raises(ValueError, match="stop here"):
        data_file.get_channel_data("gauge", Segment(), "volt")
    assert seen == ["Already mutably borrowed"] * 2
    assert data_file.get_channels() == ["gauge"]
