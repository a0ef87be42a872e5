"""How the module's errors reach Python: every kind an OSError whose only argument is its
message, the messages of the kinds that opening a file can raise, and the UTF-8 check of the
header member."""

from __future__ import annotations

import errno
import os
import socket
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from zel_archive import channel_entry, write_zel

from zel_data_reader import ZelDataFIle


def raised(call) -> OSError:
    """The OSError that ``call`` raises, checked for the shape every module error has."""
    try:
        call()
    except IOError as caught:  # noqa: UP024  IOError is OSError: both names catch it
        error = caught
    else:
        pytest.fail("no OSError raised")
    assert type(error) is OSError
    assert len(error.args) == 1 and isinstance(error.args[0], str)
    assert str(error) == error.args[0]
    assert error.errno is None and error.strerror is None and error.filename is None
    return error


def open_message(path) -> str:
    return raised(lambda: ZelDataFIle(path)).args[0]


def header_file(tmp_path, header, name="h.zel"):
    return write_zel(tmp_path / name, header)


def crc_damaged(tmp_path):
    data = bytearray(header_file(tmp_path, "a=1\n", "crc.zel").read_bytes())
    central = data.rfind(b"PK\x01\x02")
    crc = int.from_bytes(data[central + 16 : central + 20], "little")
    data[central + 16 : central + 20] = (crc ^ 0xFF).to_bytes(4, "little")
    (tmp_path / "crc.zel").write_bytes(bytes(data))
    return (
        tmp_path / "crc.zel",
        f"invalid data: checksum mismatch: expected {crc ^ 0xFF:08x}, got {crc:08x}",
    )


GAUGE = channel_entry("3", "gauge", units={"millivolt": ("volt", "0", "1000")})


@pytest.mark.parametrize(
    "kind",
    [
        "Io-os-error",
        "Io-directory",
        "Io-text",
        "Zip",
        "InvalidHeaderLine",
        "InvalidNodeVariant",
        "InvalidUtf8Header",
        "NoFile",
        "HeaderMissingKey",
        "InvalidChannel",
    ],
)
def test_every_kind_is_an_os_error_carrying_only_its_message(tmp_path, kind):
    if kind == "Io-os-error":
        call, message = (
            lambda: ZelDataFIle(tmp_path / "missing.zel"),
            f"{os.strerror(errno.ENOENT)} (os error 2)",
        )
    elif kind == "Io-directory":
        call, message = lambda: ZelDataFIle(tmp_path), f"{os.strerror(errno.EISDIR)} (os error 21)"
    elif kind == "Io-text":
        path, message = crc_damaged(tmp_path)
        call = lambda: ZelDataFIle(path)  # noqa: E731
    elif kind == "Zip":
        (tmp_path / "t.zel").write_text("no archive at all, just a line of text\n")
        call = lambda: ZelDataFIle(tmp_path / "t.zel")  # noqa: E731
        message = "invalid Zip archive: could not find central directory end"
    elif kind == "InvalidHeaderLine":
        path = header_file(tmp_path, "speed 5\n")
        call, message = lambda: ZelDataFIle(path), "invalid header line speed 5 (missing '=')"
    elif kind == "InvalidNodeVariant":
        path = header_file(tmp_path, "a.b=1\na=2\n")
        call, message = lambda: ZelDataFIle(path), "Expected vrariant map got (Value)"
    elif kind == "InvalidUtf8Header":
        path = header_file(tmp_path, b"abcde\xff\n")
        call = lambda: ZelDataFIle(path)  # noqa: E731
        message = "Header is invalid utf8, invalid utf-8 sequence of 1 bytes from index 5."
    elif kind == "NoFile":
        path = write_zel(tmp_path / "n.zel", None, [("header.properties", b"a=1\n")])
        call = lambda: ZelDataFIle(path)  # noqa: E731
        message = "Expected File shared-data header, but this file was not present in the archive."
    elif kind == "HeaderMissingKey":
        data_file = ZelDataFIle(header_file(tmp_path, "a=1\n"))
        call, message = (
            data_file.get_channels,
            "Expected header to have key lcd-info but it did not.",
        )
    else:
        data_file = ZelDataFIle(header_file(tmp_path, GAUGE))
        call, message = (
            lambda: data_file.get_channel_units("gauge "),
            "No such such Channel:  gauge ",
        )
    assert raised(call).args == (message,)


@pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
def test_unreadable_file_is_an_os_error(tmp_path):
    path = header_file(tmp_path, "a=1\n")
    path.chmod(0)
    assert open_message(path) == f"{os.strerror(errno.EACCES)} (os error 13)"


# Run apart, with a time limit: opening a named pipe used to wait for a writer for ever.
OPEN_APART = textwrap.dedent("""
    import sys
    from zel_data_reader import ZelDataFIle
    try:
        ZelDataFIle(sys.argv[1])
    except OSError as error:
        print(type(error).__name__, error)
    else:
        print("opened")
    """)


@pytest.mark.parametrize(
    "kind, outcome",
    [
        ("fifo", "OSError the location is not a regular file: it is a named pipe"),
        ("link to fifo", "OSError the location is not a regular file: it is a named pipe"),
        (
            "character device",
            "OSError the location is not a regular file: it is a character device",
        ),
        ("socket", "OSError the location is not a regular file: it is a socket"),
        ("link to file", "opened"),
    ],
)
def test_only_regular_files_open_and_nothing_waits(tmp_path, kind, outcome):
    fifo, regular, path = tmp_path / "fifo", header_file(tmp_path, "a=1\n"), tmp_path / "path"
    os.mkfifo(fifo)
    with socket.socket(socket.AF_UNIX) as listener:
        if kind == "fifo":
            path = fifo
        elif kind == "link to fifo":
            path.symlink_to(fifo)
        elif kind == "character device":
            path = os.devnull
        elif kind == "socket":
            listener.bind(str(path))
        else:
            path.symlink_to(regular)
        done = subprocess.run(
            [sys.executable, "-c", OPEN_APART, str(path)],
            capture_output=True,
            text=True,
            timeout=30,
        )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == outcome


def test_object_stays_usable_after_a_failed_call(tmp_path):
    data_file = ZelDataFIle(header_file(tmp_path, "a=1\n"))
    for _ in range(3):
        raised(data_file.get_channels)
    assert data_file.header == {"a": "1"}


# --- The UTF-8 check of the header ----------------------------------------------------------


def invalid(n: int, i: int) -> str:
    return f"Header is invalid utf8, invalid utf-8 sequence of {n} bytes from index {i}."


def incomplete(i: int) -> str:
    return f"Header is invalid utf8, incomplete utf-8 byte sequence from index {i}."


@pytest.mark.parametrize(
    "text, message",
    [
        (b"k=\x80\n", invalid(1, 2)),
        (b"k=\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff\n", invalid(1, 11)),  # index counts bytes
        (b"k=\xc2\n", invalid(1, 2)),
        (b"k=\xe2\x82\n", invalid(2, 2)),
        (b"k=\xf0\x9f\x98x\n", invalid(3, 2)),
        (b"k=\xf0\x9f\x98\xf0\x9f\x98\x80\n", invalid(3, 2)),
        # Second bytes that no valid sequence has end the subpart at the lead byte.
        (b"k=\xe0\x80\x80\n", invalid(1, 2)),  # overlong
        (b"k=\xf0\x8f\xbf\xbf\n", invalid(1, 2)),  # overlong
        (b"k=\xed\xa0\x80\n", invalid(1, 2)),  # surrogate
        (b"k=\xf4\x90\x80\x80\n", invalid(1, 2)),  # above U+10FFFF
        (b"k=\xc0\xaf\n", invalid(1, 2)),
        (b"k=\xc1\xbf\n", invalid(1, 2)),
        (b"k=\xf5\x80\x80\x80\n", invalid(1, 2)),
        (b"k=\xff\xfe\n", invalid(1, 2)),
        # The check covers the whole member, the ignored piece after the last line feed too.
        (b"k=v\n\xe2\x82", incomplete(4)),
        (b"k=v\n\xe0", incomplete(4)),
        (b"k=v\n\xf0\x90\x80", incomplete(4)),
        (b"k=v\n\xe0\x80", invalid(1, 4)),  # not valid as far as it goes
        (b"k=v\n\xf4\x90", invalid(1, 4)),
        (b"\xef\xbb\xbfk=v\n\xff", invalid(1, 7)),  # the byte order mark is text like any other
        # UTF-8 is checked before any line is parsed.
        (b"no equals sign\n\xff\n", invalid(1, 15)),
        (b"a.b=1\na=\xff\n", invalid(1, 8)),
    ],
)
def test_invalid_utf8_header_names_its_first_fault(tmp_path, text, message):
    assert open_message(header_file(tmp_path, text)) == message


def test_valid_utf8_of_every_width_passes(tmp_path):
    text = "k=\x7f\u0080\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff\n"
    assert ZelDataFIle(header_file(tmp_path, text.encode())).header == {"k": text[2:-1]}


def python_utf8_fault(data: bytes) -> str | None:
    """The fault as Python's own decoder sees it: its error spans the maximal subpart."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return incomplete(error.start)
        return invalid(error.end - error.start, error.start)
    return None


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("utf8")


pieces = st.one_of(
    st.text(max_size=4).map(lambda text: text.encode("utf-8", "surrogatepass")),
    st.binary(min_size=1, max_size=4),
    st.sampled_from(
        [b"\xe0", b"\xed", b"\xf0", b"\xf4", b"\x80", b"\xbf", b"\xa0", b"\x90", b"\x8f"]
    ),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(pieces, max_size=8).map(b"".join))
def test_utf8_faults_agree_with_pythons_decoder(scratch, data):
    expected = python_utf8_fault(data)
    if expected is None:
        return  # valid text: the parser's business
    assert open_message(header_file(scratch, data)) == expected


# --- Deep keys ----------------------------------------------------------------------------


def test_keys_of_100000_segments_parse_and_free_without_recursion(tmp_path):
    deep = ".".join(["n"] * 100_000)
    paths = [
        header_file(tmp_path, f"{deep}=leaf\n", "deep.zel"),
        # The deep map is built first, then replaced by a value: it must be freed as well.
        header_file(tmp_path, f"n=value\n{deep}=leaf\n{deep}.x=leaf\n", "replaced.zel"),
        # Failing at the far end of a deep path releases what was built so far.
        header_file(tmp_path, f"{deep}.x=1\n{deep}=leaf\n", "failing.zel"),
    ]
    # A thread with a small stack: anything recursive per segment would overflow it.
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            textwrap.dedent(
                """
                import sys, threading
                from zel_data_reader import ZelDataFIle

                outcomes = []

                def work():
                    for path in sys.argv[1:]:
                        try:
                            data_file = ZelDataFIle(path)
                            outcomes.append("opened")
                            del data_file
                        except OSError as error:
                            outcomes.append(str(error))

                threading.stack_size(256 * 1024)
                thread = threading.Thread(target=work)
                thread.start()
                thread.join()
                print(outcomes)
                """
            ),
            *map(str, paths),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == str(["opened", "opened", "Expected vrariant map got (Value)"]) + "\n"
