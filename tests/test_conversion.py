"""The unit conversion chain behind get_channel_data: encoder scaling, chains of steps, the
decimal numbers they are written in, and the "offset,multiplier" line on descriptor 1."""

import math
import select
import subprocess
import sys
import textwrap
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zel_archive import channel_entry, encode, header_pairs, member_name, write_zel
from zel_data_reader import ZelDataFIle

RAW = np.arange(100, dtype=np.float32) + 10  # the first raw sample is 10

WORKED_EXAMPLE = channel_entry(
    "3",
    "gauge",
    "float-data",
    base="volt",
    encoder=("2", "0.5"),
    units={"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")},
)


def write(tmp_path, pairs, name="gauge"):
    """An archive with the header `pairs` and one 400-byte member for segment 0 of `name`."""
    return write_zel(tmp_path / "c.zel", pairs, [(member_name(0, name), encode(RAW))])


def request(path_or_file, name, unit, capfd):
    """Asks for `name` in `unit`: the lines the conversion wrote, and the array. The data
    reader writes a line of its own after the conversion's."""
    data_file = path_or_file
    if not isinstance(data_file, ZelDataFIle):
        data_file = ZelDataFIle(path_or_file)
    capfd.readouterr()
    data = data_file.get_channel_data(name, 0, unit)
    lines = capfd.readouterr().out.splitlines()
    assert lines, "no line from the data reader"
    return lines[:-1], data


def failure(path, name, unit, capfd):
    """The message of the OSError that asking for `name` in `unit` raises; nothing is written."""
    data_file = ZelDataFIle(path)
    capfd.readouterr()
    with pytest.raises(OSError) as error:
        data_file.get_channel_data(name, 0, unit)
    assert capfd.readouterr().out == ""
    return str(error.value)


def positional(value):
    """Python's shortest round-trip digits (repr) written out without an exponent."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def chain_line(encoder, steps):
    """The line for a chain, computed in Python: `steps` from the requested unit downwards."""
    offset, multiplier = encoder
    for step_offset, step_multiplier in reversed(steps):
        offset = step_offset + step_multiplier * offset
        multiplier = step_multiplier * multiplier
    return f"{positional(offset)},{positional(multiplier)}"


# The worked example: gauge with encoder (2, 0.5), millivolt over volt, force over millivolt.


@pytest.mark.parametrize(
    "unit, lines, first_value",
    [
        ("volt", [], 10 * 0.5 + 2),
        ("millivolt", ["2000,500"], 10 * 500 + 2000),
        ("force", ["497,125"], 1747.0),  # 0.25 * (1000 * (0.5 * 10 + 2)) - 3
    ],
)
def test_gauge_reduces_to_one_offset_and_multiplier_per_unit(
    tmp_path, capfd, unit, lines, first_value
):
    written, data = request(write(tmp_path, WORKED_EXAMPLE), "gauge", unit, capfd)
    assert written == lines
    assert data[0, 0, 0] == first_value


@pytest.mark.parametrize(
    "name, unit, message",
    [
        ("3", "force", "No such such Channel:  3"),
        ("Gauge", "volt", "No such such Channel:  Gauge"),
        ("gauge", "newton", "Expected header to have key newton but it did not."),
        ("gauge", "Volt", "Expected header to have key Volt but it did not."),
        # A unit name is one key, never a path.
        ("gauge", "force.scaling", "Expected header to have key force.scaling but it did not."),
    ],
)
def test_unknown_channel_or_unit(tmp_path, capfd, name, unit, message):
    assert failure(write(tmp_path, WORKED_EXAMPLE), name, unit, capfd) == message


def test_base_unit_skips_the_steps_and_wins_over_a_step_of_its_name(tmp_path, capfd):
    entry = channel_entry("1", "gauge", encoder=("1", "3"), units={"volt": ("volt", "5", "7")})
    written, data = request(write(tmp_path, entry), "gauge", "volt", capfd)
    assert written == []
    assert data[0, 0, 0] == 10 * 3 + 1
    # No conversion map at all is fine for the base unit too.
    written, data = request(write(tmp_path, channel_entry("1", "gauge")), "gauge", "volt", capfd)
    assert written == []
    assert data[0, 0, 0] == 10


@pytest.mark.parametrize(
    "encoder_pairs",
    [
        [],
        [("encoder", "none")],
        [("encoder.scaling", "none")],
        [("encoder.scaling.offset", "4")],  # no multiplier
        [("encoder.scaling.offset", "4"), ("encoder.scaling.multiplier", "1,5")],
        [("encoder.scaling.offset", ""), ("encoder.scaling.multiplier", "2")],
        [("encoder.scaling.offset.deep", "4"), ("encoder.scaling.multiplier", "2")],
    ],
)
def test_any_fault_in_the_encoder_scaling_makes_it_the_identity(tmp_path, capfd, encoder_pairs):
    entry = channel_entry("1", "gauge", units={"mv": ("volt", "0.5", "1000")})
    entry += [(f"lcd-info.1.{key}", value) for key, value in encoder_pairs]
    written, data = request(write(tmp_path, entry), "gauge", "mv", capfd)
    assert written == ["0.5,1000"]
    assert data[0, 0, 0] == 10 * 1000 + 0.5


def test_sums_and_products_are_rounded_one_by_one(tmp_path, capfd):
    # 0.1 * 0.3 rounds to the double 0.03, so the sum is exactly 0; a fused multiply-add
    # would keep the product's rounding error and leave about 1.7e-18.
    entry = channel_entry("1", "gauge", encoder=("0.3", "1"), units={"u": ("volt", "-0.03", "0.1")})
    assert request(write(tmp_path, entry), "gauge", "u", capfd)[0] == ["0,0.1"]


def test_long_chain_without_recursion(tmp_path, capfd):
    count = 100_000
    units = {f"u{i}": (f"u{i + 1}", "1", "1") for i in range(count - 1)}
    units[f"u{count - 1}"] = ("volt", "1", "1")
    entry = channel_entry("1", "gauge", encoder=("0.5", "2"), units=units)
    written, data = request(write(tmp_path, entry), "gauge", "u0", capfd)
    assert written == [f"{count}.5,2"]
    assert data[0, 0, 0] == 10 * 2 + count + 0.5


CYCLE = {
    "self": {"u": ("u", "0", "1")},
    "two steps": {"u": ("v", "0", "1"), "v": ("u", "0", "1")},
    "tail into a loop": {
        "u": ("a", "0", "1"),
        "a": ("b", "0", "1"),
        "b": ("c", "0", "1"),
        "c": ("a", "0", "1"),
    },
}


@pytest.mark.parametrize("units", CYCLE.values(), ids=CYCLE.keys())
def test_slots_that_loop_are_reported(tmp_path, capfd, units):
    units = dict(units, ok=("volt", "0", "1"))
    path = write(tmp_path, channel_entry("1", "gauge", units=units))
    assert failure(path, "gauge", "u", capfd) == (
        "Conversion chain of unit u loops and never reaches the base unit volt."
    )
    assert request(path, "gauge", "ok", capfd)[0] == ["0,1"]


def missing(key):
    return f"Expected header to have key {key} but it did not."


VALUE_NOT_MAP = "Expected vrariant map got (Value)"
MAP_NOT_VALUE = "Expected vrariant Value got (Map)"
EMPTY = "cannot parse float from empty string"
INVALID = "invalid float literal"

BARE = channel_entry("1", "gauge")  # base unit volt, no steps
STEP_KEYS = {
    "slot": "base-calibration-slot",
    "scaling": "scaling",
    "offset": "scaling.offset",
    "multiplier": "scaling.multiplier",
}


def step_pairs(unit, **fields):
    """The pairs of a step of entry 1 with the given fields; a dict makes a field a map."""
    step = {STEP_KEYS[field]: value for field, value in fields.items()}
    prefix = f"lcd-info.1.conversion-set.conversion.{unit}."
    return [(prefix + key, value) for key, value in header_pairs(step)]


def with_step(**fields):
    return BARE + step_pairs("u", **fields)


# Each case breaks two or more things: the one reported is the first the chain meets.
@pytest.mark.parametrize(
    "header, message",
    [
        # The entry: "type" is read before the base unit, the encoder's faults never count.
        (BARE[:1] + [("lcd-info.1.encoder", "x")], missing("type")),
        (BARE[:1] + [("lcd-info.1.type.kind", "float")], MAP_NOT_VALUE),
        (channel_entry("1", "gauge", base=None), missing("conversion-set")),
        (
            channel_entry("1", "gauge", base=None) + [("lcd-info.1.conversion-set.x", "1")],
            missing("conversions"),
        ),
        (
            channel_entry("1", "gauge", base=None)
            + [("lcd-info.1.conversion-set.conversions.base.name", "volt")],
            MAP_NOT_VALUE,
        ),
        (BARE, missing("conversion")),
        (BARE + [("lcd-info.1.conversion-set.conversion.u", "1")], VALUE_NOT_MAP),
        # A step: slot lookup, offset, multiplier, slot kind, then the unit the slot names.
        (with_step(multiplier="1"), missing("base-calibration-slot")),
        (with_step(slot="volt"), missing("scaling")),
        (with_step(slot="volt", scaling="1"), VALUE_NOT_MAP),
        (with_step(slot={"x": "v"}, offset="", multiplier="1"), EMPTY),
        (with_step(slot="volt", offset="x", multiplier=""), INVALID),
        (with_step(slot="nowhere", offset="1"), missing("multiplier")),
        (with_step(slot="volt", offset={"x": "1"}, multiplier="1"), MAP_NOT_VALUE),
        (with_step(slot={"x": "v"}, offset="0", multiplier="1"), MAP_NOT_VALUE),
        (
            channel_entry("1", "gauge", units={"u": ("a.b", "0", "1"), "a": ("volt", "0", "1")}),
            missing("a.b"),
        ),
        # A fault further down the chain is met before the loop closes.
        (
            channel_entry(
                "1",
                "gauge",
                units={"u": ("v", "0", "1"), "v": ("w", "0", "2,5"), "w": ("u", "0", "1")},
            ),
            INVALID,
        ),
        (
            channel_entry("1", "gauge", units={"u": ("v", "0", "1"), "w": ("u", "0", "1")})
            + step_pairs("v", slot="u", offset="1"),
            missing("multiplier"),
        ),
        # A malformed channel elsewhere fails the catalogue before the name is looked up.
        (WORKED_EXAMPLE + [("lcd-info.4.type", "float-data")], missing("channel")),
    ],
)
def test_first_fault_on_the_way_is_reported(tmp_path, capfd, header, message):
    assert failure(write(tmp_path, header), "gauge", "u", capfd) == message


def test_carriage_return_line_ends(tmp_path, capfd):
    entry = channel_entry("1", "gauge", encoder=("2", "3"), units={"mv": ("volt", "0", "1000")})
    path = write_zel(
        tmp_path / "c.zel",
        "".join(f"{key}={value}\r\n" for key, value in entry),
        [(member_name(0, "gauge\r"), encode(RAW))],
    )
    # Every number ends in a carriage return: the encoder silently becomes (0, 1). So does the
    # type: "float-data\r" is not "float-data", so the bytes of the float 10 read as an integer.
    written, data = request(path, "gauge\r", "volt\r", capfd)
    assert written == []
    assert data[0, 0, 0] == np.float32(10).view(np.int32)
    assert failure(path, "gauge\r", "mv", capfd) == INVALID
    assert failure(path, "gauge\r", "volt", capfd) == missing("volt")


# The decimal-number grammar, seen through a step (offset 0, multiplier m) over the base unit:
# its line is "0 + m * 0, m * 1".

ACCEPTED = [
    ("5", 5.0),
    ("5.", 5.0),
    (".5", 0.5),
    ("+1.5", 1.5),
    ("-2.5e-3", -0.0025),
    ("1E6", 1e6),
    ("1e+2", 100.0),
    ("00012.50", 12.5),
    ("-0", -0.0),
    ("0e999999999999999999999", 0.0),
    ("inf", math.inf),
    ("+INF", math.inf),
    ("-Infinity", -math.inf),
    ("iNfInItY", math.inf),
    ("nan", math.nan),
    ("NaN", math.nan),
    ("-nan", math.nan),
    # Beyond the range: infinity or zero with the text's sign, no error.
    ("1e400", math.inf),
    ("-1e400", -math.inf),
    ("1.7976931348623159e308", math.inf),
    ("1e99999999999999999999999", math.inf),
    ("2.4e-324", 0.0),
    ("-1e-400", -0.0),
    ("1e-99999999999999999999999", 0.0),
    ("0." + "0" * 400 + "1e400", 0.1),
    ("1" + "0" * 400 + "e-400", 1.0),
    # Correct rounding, ties to even.
    ("2.5e-324", 5e-324),
    ("1.7976931348623158e308", 1.7976931348623157e308),
    ("9007199254740993", 9007199254740992.0),
    ("9007199254740995", 9007199254740996.0),
    ("0.1000000000000000055511151231257827021181583404541015625", 0.1),
    ("2.2250738585072011e-308", 2.225073858507201e-308),
]

# fmt: off
REJECTED = [
    ("", EMPTY),
    *[
        (text, INVALID)
        for text in [
            "+", "-", ".", "+.", "e5", ".e1", "5e", "5e+", "1e+-5", "1e5.5", "1..5", "..5",
            "1_000", "0x10", "0b1", "1f", "1d", "1,5", "+-1", "--1", "+ 1",
            "1.5 ", " 1.5", "1.5\t", "1.5\r",
            "in", "infinit", "infinityy", "inff", "nana", "nan(1)", "-nan()", "in f", "∞",
            "١", "５", "1e٣",
        ]
    ],
]
# fmt: on


def values_header(texts):
    """A step "u{i}" with multiplier texts[i] for each text, all over the base unit."""
    return channel_entry(
        "1", "gauge", units={f"u{i}": ("volt", "0", t) for i, t in enumerate(texts)}
    )


def test_accepted_numbers(tmp_path, capfd):
    data_file = ZelDataFIle(write(tmp_path, values_header([text for text, _ in ACCEPTED])))
    for i, (text, value) in enumerate(ACCEPTED):
        written, _ = request(data_file, "gauge", f"u{i}", capfd)
        assert written == [chain_line((0.0, 1.0), [(0.0, value)])], text


@pytest.mark.parametrize("text, message", REJECTED)
def test_rejected_numbers(tmp_path, capfd, text, message):
    header = channel_entry("1", "gauge", units={"u": ("volt", text, "1"), "v": ("volt", "0", text)})
    path = write(tmp_path, header)
    assert failure(path, "gauge", "u", capfd) == message
    assert failure(path, "gauge", "v", capfd) == message


FORMATTED = [
    ("2000", "2000"),
    ("2000.000", "2000"),
    ("0.1", "0.1"),
    ("-1.5", "-1.5"),
    ("123.456", "123.456"),
    ("1e-7", "0.0000001"),
    ("-0", "-0"),
    ("0", "0"),
    ("nan", "NaN"),
    ("-nan", "NaN"),
    ("inf", "inf"),
    ("-inf", "-inf"),
    ("1e16", "10000000000000000"),
    ("1e21", "1" + "0" * 21),
    ("1e23", "1" + "0" * 23),
    ("0.30000000000000004", "0.30000000000000004"),
    ("5e-324", "0." + "0" * 323 + "5"),
    ("-2.2250738585072014e-308", "-0." + "0" * 307 + "22250738585072014"),
    ("1.7976931348623157e308", "17976931348623157" + "0" * 292),
    ("123456789012345678901234567890", "12345678901234568" + "0" * 13),
]


def test_number_format(tmp_path, capfd):
    data_file = ZelDataFIle(write(tmp_path, values_header([text for text, _ in FORMATTED])))
    for i, (text, expected) in enumerate(FORMATTED):
        written, _ = request(data_file, "gauge", f"u{i}", capfd)
        assert len(written) == 1 and written[0].split(",")[1] == expected, text


def test_infinite_and_zero_factors_flow_through(tmp_path, capfd):
    entry = channel_entry(
        "1",
        "gauge",
        encoder=("0", "inf"),
        units={
            "zero": ("volt", "0", "0"),
            "neg": ("volt", "-inf", "-1"),
            "nan": ("neg", "1", "nan"),
        },
    )
    data_file = ZelDataFIle(write(tmp_path, entry))
    assert request(data_file, "gauge", "zero", capfd)[0] == ["0,NaN"]
    assert request(data_file, "gauge", "neg", capfd)[0] == ["-inf,-inf"]
    assert request(data_file, "gauge", "nan", capfd)[0] == ["NaN,NaN"]


SLOW = settings(
    max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


@st.composite
def decimal_texts(draw):
    digits = st.text("0123456789", max_size=25)
    integer, fraction = draw(digits), draw(digits)
    if not integer and not fraction:
        integer = "0"
    text = draw(st.sampled_from(["", "+", "-"])) + integer
    if fraction or draw(st.booleans()):
        text += "." + fraction
    if draw(st.booleans()):
        exponent = draw(st.integers(-400, 400) | st.integers(-(10**30), 10**30))
        text += draw(st.sampled_from("eE")) + (
            draw(st.sampled_from(["", "+"])) + str(exponent) if exponent >= 0 else str(exponent)
        )
    return text


@SLOW
@given(texts=st.lists(decimal_texts(), min_size=1, max_size=20))
def test_parsing_agrees_with_python_float(tmp_path, capfd, texts):
    data_file = ZelDataFIle(write(tmp_path, values_header(texts)))
    for i, text in enumerate(texts):
        written, _ = request(data_file, "gauge", f"u{i}", capfd)
        assert written == [chain_line((0.0, 1.0), [(0.0, float(text))])], text


@SLOW
@given(
    encoder=st.tuples(st.floats(), st.floats()),
    steps=st.lists(st.tuples(st.floats(), st.floats()), min_size=1, max_size=6),
)
def test_chain_arithmetic_and_format_agree_with_python(tmp_path, capfd, encoder, steps):
    # Written as repr, read back exactly; step i converts from step i + 1, the last from volt.
    units = {
        f"u{i}": (f"u{i + 1}" if i + 1 < len(steps) else "volt", repr(o), repr(m))
        for i, (o, m) in enumerate(steps)
    }
    entry = channel_entry("1", "gauge", encoder=tuple(map(repr, encoder)), units=units)
    data_file = ZelDataFIle(write(tmp_path, entry))
    for start in range(len(steps)):
        written, _ = request(data_file, "gauge", f"u{start}", capfd)
        assert written == [chain_line(encoder, steps[start:])]


# The line goes to descriptor 1 itself, at once, and a descriptor that takes nothing changes
# nothing. These run apart so that descriptor 1 can be a pipe or closed.
CHILD = textwrap.dedent("""
    import os, sys
    from zel_data_reader import ZelDataFIle

    data_file = ZelDataFIle(sys.argv[1])
    if sys.argv[2] == "closed":
        os.close(1)
    try:
        data = data_file.get_channel_data("gauge", 0, "force")
        print("value", data[0, 0, 0], file=sys.stderr, flush=True)
    except OSError as error:
        print("error", error, file=sys.stderr, flush=True)
    if sys.argv[2] == "wait":
        sys.stdin.read()
    """)


def child(path, mode, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", CHILD, str(path), mode], text=True, stderr=subprocess.PIPE, **kwargs
    )


def test_line_reaches_a_pipe_before_the_call_returns(tmp_path):
    path = write(tmp_path, WORKED_EXAMPLE)
    process = child(path, "wait", stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        # The child is still running, waiting for its input: nothing flushes at exit yet.
        ready, _, _ = select.select([process.stdout], [], [], 60)
        assert ready, "no line on the pipe while the process runs"
        assert process.stdout.readline() == "497,125\n"
    finally:
        process.stdin.close()
        process.wait(60)
    assert process.stderr.read() == "value 1747.0\n"


@pytest.mark.parametrize("mode", ["closed", "broken pipe"])
def test_failed_write_of_the_line_changes_nothing(tmp_path, mode):
    path = write(tmp_path, WORKED_EXAMPLE)
    process = child(path, mode, stdout=subprocess.PIPE)
    process.stdout.close()  # the reading end goes away: writing to the pipe fails
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 0, stderr
    assert stderr == "value 1747.0\n"
