"""The archive layer as the constructor sees it: which archives open, which member is the
header, and how a damaged archive fails.

Archives come from real writers: ``zipfile``, and ``bsdtar`` and Info-ZIP ``zip`` for what
``zipfile`` does not write (Zip64 records, self-extractors). Single fields are damaged in the
bytes only where no writer would produce the case.
"""

from __future__ import annotations

import io
import os
import pathlib
import shutil
import subprocess
import sys
import warnings
import zipfile
import zlib

import pytest
import zip_layout as zl
from zel_archive import DATE_TIME, HEADER_MEMBER, write_zel

from zel_data_reader import ZelDataFIle

HEADER_NAME = HEADER_MEMBER.encode()
# Long and repetitive enough that every writer deflates it rather than storing it.
HEADER = "".join(f"lcd-info.{i}.channel.name=channel {i}\n" for i in range(40))
NO_HEADER = "Expected File shared-data header, but this file was not present in the archive."
CRC_MISMATCH = "invalid data: checksum mismatch: expected {:08x}, got {:08x}"
SIZE_MISMATCH = "invalid data: size mismatch: expected {} bytes, got {}"
IMPLAUSIBLE = (
    "invalid data: size mismatch: recorded size {} bytes cannot come from {} compressed bytes"
)
CORRUPT = "invalid data: corrupt deflate stream"
PAST_END = "failed to fill whole buffer: member data runs past the end of the file"
NO_END_RECORD = "invalid Zip archive: could not find central directory end"
BAD_CENTRAL = "invalid Zip archive: invalid central directory record signature"
BAD_LOCAL = "invalid Zip archive: invalid local file header signature"
DIRECTORY_OUT_OF_RANGE = "invalid Zip archive: central directory offset out of range"
BROKEN_ZIP64 = "invalid Zip archive: broken Zip64 end of central directory"


def open_error(path) -> str:
    """The message of the OSError that constructing from ``path`` raises."""
    with pytest.raises(OSError) as caught:
        ZelDataFIle(path)
    assert type(caught.value) is OSError
    assert len(caught.value.args) == 1
    return caught.value.args[0]


def opens(path) -> None:
    assert ZelDataFIle(path).location == pathlib.Path(path)


def tool(name: str) -> str:
    found = shutil.which(name)
    if found is None:
        pytest.skip(f"{name} is not installed")
    return found


def header_tree(tmp_path, text: str = HEADER) -> pathlib.Path:
    """A directory holding shared-data/header.properties, for the command-line writers."""
    tree = tmp_path / "tree"
    (tree / "shared-data").mkdir(parents=True)
    (tree / "shared-data" / "header.properties").write_text(text)
    return tree


def bsdtar(tmp_path, *options: str) -> bytes:
    tree = header_tree(tmp_path)
    out = tmp_path / "bsdtar.zip"
    subprocess.run(
        [
            tool("bsdtar"),
            "--format",
            "zip",
            *options,
            "-cf",
            str(out),
            "-C",
            str(tree),
            "shared-data",
        ],
        check=True,
    )
    return out.read_bytes()


def info_zip(tmp_path, *options: str) -> pathlib.Path:
    tree = header_tree(tmp_path)
    out = tmp_path / "infozip.zip"
    subprocess.run([tool("zip"), "-q", *options, str(out), HEADER_MEMBER], cwd=tree, check=True)
    return out


def zipfile_bytes(members, compression=zipfile.ZIP_DEFLATED, comment: bytes = b"") -> bytes:
    """An archive written by zipfile from (name, data) or (ZipInfo, data) pairs."""
    buffer = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are wanted here
        with zipfile.ZipFile(buffer, "w") as archive:
            for name, data in members:
                info = (
                    name if isinstance(name, zipfile.ZipInfo) else zipfile.ZipInfo(name, DATE_TIME)
                )
                info.compress_type = compression
                archive.writestr(info, data)
            archive.comment = comment
    return buffer.getvalue()


def write(tmp_path, data: bytes, name: str = "a.zel") -> pathlib.Path:
    path = tmp_path / name
    path.write_bytes(data)
    return path


@pytest.fixture
def plain(tmp_path) -> bytes:
    """A zipfile archive: a directory entry, the deflated header, one data member."""
    return zipfile_bytes(
        [
            ("shared-data/", b""),
            (HEADER_MEMBER, HEADER.encode()),
            ("p/0/channels/c.dat", b"\0" * 400),
        ]
    )


# --- Archives from real writers ------------------------------------------------------------


@pytest.mark.parametrize(
    "header, compression",
    [
        (HEADER.encode(), zipfile.ZIP_DEFLATED),
        (b"", zipfile.ZIP_DEFLATED),  # a two-byte stream that inflates to nothing
        (b"", zipfile.ZIP_STORED),  # sizes and CRC-32 all 0
    ],
    ids=["deflated", "empty-deflated", "empty-stored"],
)
def test_zipfile_archive_opens(tmp_path, header, compression):
    path = write_zel(
        tmp_path / "a.zel", header, [("x/0/channels/c.dat", b"\1" * 40)], compression=compression
    )
    opens(path)


def test_zipfile_streamed_archive_with_data_descriptors_opens(tmp_path):
    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, chunk):
            self.data += chunk
            return len(chunk)

    out = Unseekable()
    with zipfile.ZipFile(out, "w") as archive:
        archive.writestr(zipfile.ZipInfo(HEADER_MEMBER, DATE_TIME), HEADER, zipfile.ZIP_DEFLATED)
    data = bytes(out.data)
    assert zl.central_named(data, HEADER_NAME).flags & 0x8
    opens(write(tmp_path, data))


@pytest.mark.parametrize("options", [(), ("--options", "zip:zip64")], ids=["plain", "zip64"])
def test_bsdtar_archive_opens(tmp_path, options):
    data = bsdtar(tmp_path, *options)
    record = zl.central_named(data, HEADER_NAME)
    assert record.method == 8 and record.flags & 0x8  # deflated, with a data descriptor
    assert (zl.zip64_end_record(data) is not None) == bool(options)
    opens(write(tmp_path, data))


def test_bsdtar_zip64_archive_is_read_from_the_zip64_end_record(tmp_path):
    # bsdtar leaves the plain end record unmarked; its fields must not matter once the Zip64
    # records are valid, and the walk must stop at the Zip64 end record.
    data = bsdtar(tmp_path, "--options", "zip:zip64")
    eocd = zl.end_record(data)
    assert zl.u16(data, eocd + zl.EOCD_ENTRIES) != 0xFFFF
    assert zl.u32(data, eocd + zl.EOCD_DIR_OFFSET) != 0xFFFFFFFF
    data = zl.put(data, eocd + zl.EOCD_ENTRIES, "H", 7)
    data = zl.put(data, eocd + zl.EOCD_DIR_SIZE, "I", 3)
    data = zl.put(data, eocd + zl.EOCD_DIR_OFFSET, "I", 5)
    opens(write(tmp_path, data))


def test_bsdtar_zip64_archive_with_a_broken_zip64_record_is_read_from_the_plain_record(tmp_path):
    # Unmarked plain record: a locator that leads nowhere is ignored, and the plain record's
    # directory then runs into the Zip64 records, which are no central records.
    data = bsdtar(tmp_path, "--options", "zip:zip64")
    data = zl.put(data, zl.zip64_end_record(data), "I", 0x12345678)
    assert open_error(write(tmp_path, data)) == BAD_CENTRAL


def test_info_zip_zip64_archive_opens(tmp_path):
    data = info_zip(tmp_path, "-fz").read_bytes()
    eocd = zl.end_record(data)
    assert zl.u32(data, eocd + zl.EOCD_DIR_OFFSET) == 0xFFFFFFFF  # a marked plain record
    record = zl.central_named(data, HEADER_NAME)
    assert record.method == 8
    assert record.uncompressed_size == 0xFFFFFFFF  # the size stands in the Zip64 extra field
    assert 0x0001 in zl.extra_fields(record.extra)
    opens(write(tmp_path, data))


@pytest.mark.parametrize(
    "damage, message",
    [
        # No locator before a marked record: the plain record is read as it stands.
        (lambda d: zl.put(d, zl.end_record(d) - 20, "I", 0), DIRECTORY_OUT_OF_RANGE),
        (lambda d: zl.put(d, zl.zip64_end_record(d), "I", 0), BROKEN_ZIP64),
        (lambda d: zl.put(d, zl.end_record(d) - 12, "Q", len(d)), BROKEN_ZIP64),
        (lambda d: zl.put(d, zl.end_record(d) - 12, "Q", 2**64 - 1), BROKEN_ZIP64),
    ],
    ids=["locator-signature", "zip64-record-signature", "locator-past-end", "locator-offset-max"],
)
def test_info_zip_zip64_archive_with_broken_zip64_records_fails(tmp_path, damage, message):
    data = info_zip(tmp_path, "-fz").read_bytes()
    assert open_error(write(tmp_path, damage(data))) == message


def test_twenty_bytes_that_look_like_a_zip64_locator_are_ignored(tmp_path):
    # The last central record's comment ends right before the end record, so a comment that
    # looks like a locator stands where a real one would.
    for target in (0, 123456, 2**63):
        info = zipfile.ZipInfo("x.dat", DATE_TIME)
        info.comment = (
            b"PK\x06\x07" + (0).to_bytes(4, "little") + target.to_bytes(8, "little") + b"\1\0\0\0"
        )
        data = zipfile_bytes([(HEADER_MEMBER, HEADER), (info, b"x")])
        assert data[zl.end_record(data) - 20 :].startswith(zl.ZIP64_LOCATOR_SIG)
        opens(write(tmp_path, data))


@pytest.mark.parametrize("adjust", [False, True], ids=["as-prefixed", "zip-A"])
def test_self_extractor_opens(tmp_path, adjust):
    archive = info_zip(tmp_path).read_bytes()
    stub = b"#!/bin/sh\necho stub\nexit 0\n" + bytes(range(256)) * 8
    sfx = write(tmp_path, stub + archive, "sfx.zel")
    if adjust:
        subprocess.run([tool("zip"), "-q", "-A", str(sfx)], check=True)
        assert zl.central_named(sfx.read_bytes(), HEADER_NAME).local_offset == len(stub)
    else:
        assert zl.central_named(archive, HEADER_NAME).local_offset == 0
    opens(sfx)


def test_zipfile_archive_behind_other_data_opens(tmp_path, plain):
    opens(write(tmp_path, b"MZ" + b"\0" * 5000 + plain))


# --- Locating the end record -----------------------------------------------------------


@pytest.mark.parametrize(
    "junk",
    [
        1000,
        65536 + 1 - 22,  # the signature straddles the first two search windows ...
        65536 + 2 - 22,
        65536 + 3 - 22,  # ... at each of its three inner boundaries
        1048576 - 22,  # the end record is the first 22 of the last 1,048,576 bytes
    ],
)
def test_end_record_is_found_in_the_last_mebibyte(tmp_path, plain, junk):
    opens(write(tmp_path, plain + b"\0" * junk))


def test_end_record_beyond_the_last_mebibyte_is_not_found(tmp_path, plain):
    assert open_error(write(tmp_path, plain + b"\0" * (1048576 - 21))) == NO_END_RECORD


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "invalid Zip archive: file is shorter than an end record"),
        (b"PK\x05\x06" + b"\0" * 17, "invalid Zip archive: file is shorter than an end record"),
        (b"just some text, no archive\n" * 10, NO_END_RECORD),
        (b"12345PK\x05\x06" + b"\0" * 17, NO_END_RECORD),  # a signature in the last 21 bytes
    ],
    ids=["empty", "21-bytes", "text", "signature-too-late"],
)
def test_file_that_is_no_archive_fails(tmp_path, content, message):
    assert open_error(write(tmp_path, content)) == message


def test_truncated_archive_fails(tmp_path, plain):
    for length in (len(plain) - 10, len(plain) // 2, 30):
        assert open_error(write(tmp_path, plain[:length])) == NO_END_RECORD


def test_archive_of_no_members_has_no_header(tmp_path):
    assert open_error(write(tmp_path, zipfile_bytes([]))) == NO_HEADER


@pytest.fixture(scope="module")
def many_members(tmp_path_factory) -> bytes:
    """65,535 members, the header last: zipfile marks the plain end record's entry count
    0xFFFF and writes no Zip64 records."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for i in range(65534):
            archive.writestr(zipfile.ZipInfo(f"m{i}", DATE_TIME), b"")
        archive.writestr(zipfile.ZipInfo(HEADER_MEMBER, DATE_TIME), HEADER, zipfile.ZIP_DEFLATED)
    return buffer.getvalue()


def test_archive_of_65535_members_opens(tmp_path, many_members):
    data = many_members
    assert zl.u16(data, zl.end_record(data) + zl.EOCD_ENTRIES) == 0xFFFF
    assert zl.ZIP64_LOCATOR_SIG not in data and zl.ZIP64_EOCD_SIG not in data
    opens(write(tmp_path, data))
    # The walk covers every record: without the header the last one, nothing is found.
    last = zl.central_named(data, HEADER_NAME)
    renamed = data[: last.at + zl.CEN_FIXED] + b"S" + data[last.at + zl.CEN_FIXED + 1 :]
    assert open_error(write(tmp_path, renamed)) == NO_HEADER


# --- Which member is the header ------------------------------------------------------------


@pytest.mark.parametrize(
    "names",
    [
        ["x/0/channels/c.dat"],
        ["header.properties"],
        [
            "Shared-data/header.properties",
            "shared-data/Header.properties",
            "SHARED-DATA/HEADER.PROPERTIES",
        ],
        ["./shared-data/header.properties"],
        ["/shared-data/header.properties"],
        ["x/shared-data/header.properties"],
        ["shared-data\\header.properties"],
        ["shared-data/header.properties ", " shared-data/header.properties"],
        ["shared-data/header.properties/"],
        ["shared-data/header.propertie", "hared-data/header.properties"],
    ],
    ids=[
        "none",
        "top-level",
        "case",
        "dot-slash",
        "slash",
        "deeper",
        "backslash",
        "blank",
        "directory",
        "short",
    ],
)
def test_only_the_exact_name_is_the_header(tmp_path, names):
    data = zipfile_bytes([(name, HEADER) for name in names])
    assert [r.name for r in zl.central_records(data)] == [n.encode() for n in names]
    assert open_error(write(tmp_path, data)) == NO_HEADER


def test_header_need_not_be_the_first_member(tmp_path):
    opens(
        write(
            tmp_path, zipfile_bytes([("a/", b""), ("b.dat", b"\1" * 99), (HEADER_MEMBER, HEADER)])
        )
    )


def test_first_of_two_header_members_is_parsed(tmp_path):
    good, bad = b"a=1\n", b"no equals sign\n"
    opens(write(tmp_path, zipfile_bytes([(HEADER_MEMBER, good), (HEADER_MEMBER, bad)])))
    message = open_error(
        write(tmp_path, zipfile_bytes([(HEADER_MEMBER, bad), (HEADER_MEMBER, good)]))
    )
    assert message == "invalid header line no equals sign (missing '=')"


def test_damaged_second_header_member_fails_construction(tmp_path):
    data = zipfile_bytes([(HEADER_MEMBER, b"a=1\n"), (HEADER_MEMBER, b"b=2\n")])
    second = zl.central_named(data, HEADER_NAME, 1)
    data = zl.put(data, second.at + zl.CEN_CRC, "I", second.crc ^ 1)
    assert open_error(write(tmp_path, data)) == CRC_MISMATCH.format(second.crc ^ 1, second.crc)


# --- Verifying a member --------------------------------------------------------------------


def header_record(data: bytes) -> zl.Central:
    return zl.central_named(data, HEADER_NAME)


def set_field(field: int, value):
    """A damage that stores ``value`` (or value(record)) in the header's central record."""

    def damage(data):
        record = header_record(data)
        return zl.put(data, record.at + field, "I", value(record) if callable(value) else value)

    return damage


def with_expected(message: str, *fields):
    """``message`` filled from the header's record of the undamaged archive."""
    return lambda record: message.format(*(f(record) for f in fields))


SIZE = len(HEADER)


@pytest.mark.parametrize(
    "damage, message",
    [
        (
            set_field(zl.CEN_CRC, lambda r: r.crc ^ 0x80000000),
            with_expected(CRC_MISMATCH, lambda r: r.crc ^ 0x80000000, lambda r: r.crc),
        ),
        (set_field(zl.CEN_CRC, 1), with_expected(CRC_MISMATCH, lambda r: 1, lambda r: r.crc)),
        (set_field(zl.CEN_UNCOMPRESSED, SIZE - 1), SIZE_MISMATCH.format(SIZE - 1, SIZE)),
        (set_field(zl.CEN_UNCOMPRESSED, SIZE + 1), SIZE_MISMATCH.format(SIZE + 1, SIZE)),
        (set_field(zl.CEN_UNCOMPRESSED, 0), SIZE_MISMATCH.format(0, "more")),
        (set_field(zl.CEN_UNCOMPRESSED, 1), SIZE_MISMATCH.format(1, "more")),
        # Exactly what DEFLATE can produce from the compressed size is still plausible ...
        (
            set_field(zl.CEN_UNCOMPRESSED, lambda r: r.compressed_size * 1032 + 1024),
            with_expected(SIZE_MISMATCH, lambda r: r.compressed_size * 1032 + 1024, lambda r: SIZE),
        ),
        # ... one byte more is not, and is reported without inflating anything.
        (
            set_field(zl.CEN_UNCOMPRESSED, lambda r: r.compressed_size * 1032 + 1025),
            with_expected(
                IMPLAUSIBLE,
                lambda r: r.compressed_size * 1032 + 1025,
                lambda r: r.compressed_size,
            ),
        ),
        (
            set_field(zl.CEN_UNCOMPRESSED, 0xFFFFFFFE),
            with_expected(IMPLAUSIBLE, lambda r: 0xFFFFFFFE, lambda r: r.compressed_size),
        ),
        (set_field(zl.CEN_COMPRESSED, 0xFFFFFFFE), PAST_END),
        (set_field(zl.CEN_COMPRESSED, lambda r: r.compressed_size + 10**6), PAST_END),
        (
            lambda d: d[: (s := zl.data_start(d, header_record(d)))] + b"\xff" * 8 + d[s + 8 :],
            CORRUPT,
        ),
        (set_field(zl.CEN_COMPRESSED, 0), IMPLAUSIBLE.format(SIZE, 0)),
        (lambda d: zl.put(d, header_record(d).local_offset, "I", 0x04034B51), BAD_LOCAL),
        (set_field(zl.CEN_LOCAL_OFFSET, lambda r: r.local_offset + 1), BAD_LOCAL),
        (
            set_field(zl.CEN_LOCAL_OFFSET, 0xFFFFFFF0),
            "invalid Zip archive: local file header beyond the end of the file",
        ),
        (lambda d: zl.put(d, header_record(d).at, "I", 0x02014B51), BAD_CENTRAL),
        # A directory offset one byte short is taken for data in front of the archive; then
        # every local header offset misses by that byte.
        (
            lambda d: zl.put(
                d, zl.end_record(d) + zl.EOCD_DIR_OFFSET, "I", zl.directory_offset(d) - 1
            ),
            BAD_LOCAL,
        ),
        (
            lambda d: zl.put(
                d, zl.end_record(d) + zl.EOCD_DIR_OFFSET, "I", zl.directory_offset(d) + 1
            ),
            BAD_CENTRAL,
        ),
        (
            lambda d: zl.put(d, zl.end_record(d) + zl.EOCD_DIR_OFFSET, "I", len(d)),
            DIRECTORY_OUT_OF_RANGE,
        ),
        # The last record's name runs past the end record.
        (
            lambda d: zl.put(
                d, (r := zl.central_records(d)[-1]).at + zl.CEN_NAME_LEN, "H", len(r.name) + 30
            ),
            "invalid Zip archive: central directory ends inside a record",
        ),
    ],
    ids=[
        "crc-wrong",
        "crc-one",
        "size-one-less",
        "size-one-more",
        "size-zero",
        "size-far-less",
        "size-largest-plausible",
        "size-implausible",
        "size-huge",
        "compressed-size-huge",
        "compressed-size-past-end",
        "corrupt-stream",
        "compressed-size-zero",
        "local-signature",
        "local-offset-shifted",
        "local-offset-past-end",
        "central-signature",
        "directory-offset-short",
        "directory-offset-long",
        "directory-offset-past-end",
        "record-past-end",
    ],
)
def test_damaged_archive_fails(tmp_path, plain, damage, message):
    expected = message(header_record(plain)) if callable(message) else message
    assert open_error(write(tmp_path, damage(plain))) == expected


def test_recorded_crc_of_zero_is_not_checked(tmp_path, plain):
    opens(write(tmp_path, set_field(zl.CEN_CRC, 0)(plain)))


def test_non_empty_stored_header_fails(tmp_path):
    data = zipfile_bytes([(HEADER_MEMBER, HEADER)], compression=zipfile.ZIP_STORED)
    assert header_record(data).method == 0
    assert open_error(write(tmp_path, data)).startswith("invalid data: ")


def zip64_extra(*values: int) -> bytes:
    """A Zip64 extended-information field holding ``values``."""
    return (
        b"\1\0"
        + (8 * len(values)).to_bytes(2, "little")
        + b"".join(v.to_bytes(8, "little") for v in values)
    )


def test_claimed_sizes_beyond_the_file_fail_before_anything_is_allocated(tmp_path, plain):
    # Sizes from the Zip64 extra field: 1 TiB compressed, 1 PiB uncompressed (a plausible
    # ratio), far more than the file holds and more than memory can take.
    record = header_record(plain)
    extra = zip64_extra(2**50, 2**40)
    data = zl.replace_central_extra(
        plain, record, {zl.CEN_UNCOMPRESSED: 0xFFFFFFFF, zl.CEN_COMPRESSED: 0xFFFFFFFF}, extra
    )
    assert open_error(write(tmp_path, data)) == PAST_END
    marked = {
        zl.CEN_UNCOMPRESSED: 0xFFFFFFFF,
        zl.CEN_COMPRESSED: 0xFFFFFFFF,
        zl.CEN_LOCAL_OFFSET: 0xFFFFFFFF,
    }
    data = zl.replace_central_extra(plain, record, marked, zip64_extra(2**50, 2**40, 2**40))
    assert (
        open_error(write(tmp_path, data))
        == "invalid Zip archive: local file header beyond the end of the file"
    )


def test_claimed_size_costs_no_memory_beyond_what_is_inflated(tmp_path):
    # 100 KB of incompressible header whose record claims 1,032 times its compressed size
    # (about 100 MB): plausible, so the output is reserved, but only the bytes that the
    # stream really produces may be touched.
    text = os.urandom(100_000)
    data = zipfile_bytes([(HEADER_MEMBER, text)])
    record = header_record(data)
    claimed = record.compressed_size * 1032
    path = write(tmp_path, set_field(zl.CEN_UNCOMPRESSED, claimed)(data))
    # A freshly executed interpreter reads its own high-water mark (VmHWM: the peak resident
    # memory of its own address space, which neither the fork nor the exec carries over from
    # pytest), before and after the open. Then it touches a known amount, which the same
    # measure must see, so that the test cannot pass without measuring.
    budget = claimed // 4
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            "import re, sys\n"
            "from zel_data_reader import ZelDataFIle\n"
            "def peak_kib():\n"
            "    with open('/proc/self/status') as status:\n"
            "        return int(re.search(r'VmHWM:\\s+(\\d+) kB', status.read()).group(1))\n"
            "before = peak_kib()\n"
            "try:\n"
            "    ZelDataFIle(sys.argv[1])\n"
            "except OSError as error:\n"
            "    print(error)\n"
            "opened = peak_kib()\n"
            "touched = b'\\x01' * int(sys.argv[2])\n"
            "print(opened - before, peak_kib() - opened)\n",
            str(path),
            str(budget),
        ],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    message, grown = done.stdout.splitlines()
    grown_kib, control_kib = (int(kib) for kib in grown.split())
    assert message == SIZE_MISMATCH.format(claimed, len(text))
    assert grown_kib * 1024 < budget
    assert control_kib * 1024 >= budget * 9 // 10  # the measure sees memory that is touched


def test_zip64_extra_field_supplies_marked_sizes(tmp_path, plain):
    record = header_record(plain)
    extra = zip64_extra(SIZE, record.compressed_size, record.local_offset)
    marked = {
        zl.CEN_UNCOMPRESSED: 0xFFFFFFFF,
        zl.CEN_COMPRESSED: 0xFFFFFFFF,
        zl.CEN_LOCAL_OFFSET: 0xFFFFFFFF,
    }
    data = zl.replace_central_extra(plain, record, marked, extra)
    with zipfile.ZipFile(io.BytesIO(data)) as check:  # an independent reader agrees
        assert check.read(HEADER_MEMBER) == HEADER.encode()
    opens(write(tmp_path, data))
    # Marked fields without their values in the extra field cannot be read.
    short = zl.replace_central_extra(
        plain, record, marked, zip64_extra(SIZE, record.compressed_size)
    )
    message = "invalid Zip archive: missing or short Zip64 extended information field"
    assert open_error(write(tmp_path, short)) == message


@pytest.mark.parametrize("options", [(), ("--options", "zip:zip64")], ids=["plain", "zip64"])
def test_data_descriptor_crc_is_the_one_checked(tmp_path, options):
    data = bsdtar(tmp_path, *options)
    record = header_record(data)
    descriptor = zl.data_start(data, record) + record.compressed_size
    assert data[descriptor : descriptor + 4] == zl.DESCRIPTOR_SIG
    assert zl.u32(data, descriptor + 4) == zlib.crc32(HEADER.encode())
    # The central record's CRC-32 does not count when the member has a descriptor ...
    opens(write(tmp_path, zl.put(data, record.at + zl.CEN_CRC, "I", record.crc ^ 1), "central.zel"))
    # ... the descriptor's does,
    wrong = zl.put(data, descriptor + 4, "I", record.crc ^ 1)
    assert open_error(write(tmp_path, wrong, "wrong.zel")) == CRC_MISMATCH.format(
        record.crc ^ 1, record.crc
    )
    # and a descriptor without a signature holds the CRC-32 in its first four bytes.
    unsigned = zl.put(data, descriptor, "I", record.crc)
    unsigned = zl.put(unsigned, descriptor + 4, "I", record.crc ^ 1)
    opens(write(tmp_path, unsigned, "unsigned.zel"))
    unsigned = zl.put(unsigned, descriptor, "I", record.crc ^ 2)
    assert open_error(write(tmp_path, unsigned, "bad.zel")) == CRC_MISMATCH.format(
        record.crc ^ 2, record.crc
    )


# --- Central directory records -------------------------------------------------------------


@pytest.mark.parametrize(
    "comment_length, fits", [(65536 - 40000, True), (65536 - 40000 + 1, False)]
)
def test_record_must_fit_the_directory_buffer(tmp_path, comment_length, fits):
    # Name, extra field and comment of one record together: at most 65,536 bytes. The big
    # record stands after the header, so only a walk of the whole directory meets it.
    info = zipfile.ZipInfo("n" * 40000, DATE_TIME)
    info.comment = b"c" * comment_length
    data = zipfile_bytes([(HEADER_MEMBER, HEADER), (info, b"x")])
    with zipfile.ZipFile(io.BytesIO(data)) as check:
        assert check.getinfo("n" * 40000).comment == info.comment
    path = write(tmp_path, data)
    if fits:
        opens(path)
    else:
        assert open_error(path) == "invalid Zip archive: central directory record too large"


def test_directory_spanning_many_buffer_windows_opens(tmp_path):
    # Records of about 1,000 bytes, so that records straddle the 65,536-byte window often.
    members = [(f"{i:04d}" + "m" * 950, b"") for i in range(300)] + [(HEADER_MEMBER, HEADER)]
    opens(write(tmp_path, zipfile_bytes(members)))
