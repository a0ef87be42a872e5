"""The header text as the `header` property shows it: parsed lines, nested dicts of str."""

import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from zel_archive import write_zel
from zel_data_reader import ZelDataFIle


def header_of(tmp_path, text):
    return ZelDataFIle(write_zel(tmp_path / "h.zel", text)).header


def open_error(tmp_path, text):
    with pytest.raises(OSError) as error:
        ZelDataFIle(write_zel(tmp_path / "h.zel", text))
    return str(error.value)


SIX_LINES = (
    "#measurement header\n"
    "device.name=Probe A\n"
    "device.range=x=y\n"
    "note=\n"
    "device.name=Probe B\n"
    " device.id = 7\n"
)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", {}),
        ("a=1", {}),  # the piece after the last line feed is ignored
        ("a=1\nb=2", {"a": "1"}),
        ("#only\n#comments=1\n", {}),
        ("k=v\r\n", {"k": "v\r"}),
        ("k=a=b\n=v\nempty=\n", {"k": "a=b", "": "v", "empty": ""}),
        ("a.b=1\na.c=x\n", {"a": {"b": "1", "c": "x"}}),
        ("a..b=1\n.c=2\nd.=3\n", {"a": {"": {"b": "1"}}, "": {"c": "2"}, "d": {"": "3"}}),
        # The line nearest the start wins, also over a map built by a later line.
        ("a=1\na=2\n", {"a": "1"}),
        ("a=2\na.b=1\n", {"a": "2"}),
        # Only a first byte '#' makes a comment; nothing else is special.
        (
            "  # x=1\n!k=v\nk:v=1\nb\\.c=2\n",
            {"  # x": "1", "!k": "v", "k:v": "1", "b\\": {"c": "2"}},
        ),
        ("\ufeffk=v\n", {"\ufeffk": "v"}),
        ("µ.ü=°C\t\n", {"µ": {"ü": "°C\t"}}),
        (
            SIX_LINES,
            {
                "device": {"name": "Probe A", "range": "x=y"},
                "note": "",
                " device": {"id ": " 7"},
            },
        ),
        (SIX_LINES[:-1], {"device": {"name": "Probe A", "range": "x=y"}, "note": ""}),
    ],
)
def test_header_text_becomes_nested_dicts(tmp_path, text, expected):
    header = header_of(tmp_path, text)
    assert header == expected
    assert [type(key) for key in header] == [str] * len(header)


@pytest.mark.parametrize(
    "text, message",
    [
        ("a=1\n\nb=2\n", "invalid header line  (missing '=')"),
        ("a=1\nb=2\n\n", "invalid header line  (missing '=')"),
        ("speed 5\n", "invalid header line speed 5 (missing '=')"),
        ("k=v\r\n\r\n", "invalid header line \r (missing '=')"),
        ("\ufeff#comment\n", "invalid header line \ufeff#comment (missing '=')"),
        # Lines are processed from the last: the faulty line nearest the end is reported.
        ("first\nk=v\nsecond\n", "invalid header line second (missing '=')"),
        ("a.b=1\na=2\n", "Expected vrariant map got (Value)"),
        ("a.b.c=1\na.b=2\n", "Expected vrariant map got (Value)"),
    ],
)
def test_malformed_header_fails_to_open(tmp_path, text, message):
    assert open_error(tmp_path, text) == message


def test_every_read_builds_new_dicts(tmp_path):
    data_file = ZelDataFIle(write_zel(tmp_path / "h.zel", "a.b=1\na.c=x\nk=v\n"))
    first = data_file.header
    second = data_file.header
    assert first == second and first is not second and first["a"] is not second["a"]
    first["a"]["b"] = "changed"
    del first["k"]
    assert data_file.header == {"a": {"b": "1", "c": "x"}, "k": "v"}
    with pytest.raises(AttributeError):
        data_file.header = {}


def test_deeply_nested_key_converts_without_recursion(tmp_path):
    depth = 100_000
    text = ".".join(["n"] * depth) + "=leaf\n"
    node = header_of(tmp_path, text)
    for _ in range(depth - 1):
        assert list(node) == ["n"]
        node = node["n"]
    assert node == {"n": "leaf"}


def test_repeated_reads_leak_nothing(tmp_path):
    text = "".join(f"group{i}.key{j}=value {i} {j}\n" for i in range(20) for j in range(20))
    data_file = ZelDataFIle(write_zel(tmp_path / "h.zel", text))
    _ = data_file.header  # warm up caches of the interpreter
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            assert len(data_file.header) == 20
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One read builds about 40 KiB of objects; a leak of any of it would add up to megabytes.
    assert grown < 16 * 1024


# Run apart: it caps the address space so that building the dicts runs out of memory midway.
OUT_OF_MEMORY = textwrap.dedent("""
    import resource, sys, tracemalloc
    from zel_data_reader import ZelDataFIle

    data_file = ZelDataFIle(sys.argv[1])
    tracemalloc.start()
    baseline = tracemalloc.get_traced_memory()[0]
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    failures = 0
    for room in range(2, 64, 4):
        resource.setrlimit(resource.RLIMIT_AS, (used + room * 1024 * 1024, hard))
        try:
            header = data_file.header
        except MemoryError:
            failures += 1
        else:
            del header
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        left = tracemalloc.get_traced_memory()[0] - baseline
        assert left < 256 * 1024, (room, left)
    assert len(data_file.header) == 50_000
    print(failures)
    """)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.skipif(
    bool(os.environ.get("ZEL_SANITIZED")), reason="the address sanitizer needs more address space"
)
def test_out_of_memory_midway_releases_what_was_built(tmp_path):
    text = "".join(f"k{i}.a=value number {i}\n" for i in range(50_000))
    path = write_zel(tmp_path / "h.zel", text)
    run = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY, str(path)], capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) > 0  # some reads really did fail midway


# --- Memory of deep headers -----------------------------------------------------------------

linux_only = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="needs /proc and rlimits"
)
unsanitized = pytest.mark.skipif(
    bool(os.environ.get("ZEL_SANITIZED")), reason="the sanitizers change memory use"
)

# Run apart: the peak resident memory of a fresh interpreter that opens one file. It is the
# process's own high-water mark: ru_maxrss would also count the test runner's memory at the fork.
PEAK_AFTER_OPEN = textwrap.dedent("""
    import sys
    from zel_data_reader import ZelDataFIle
    ZelDataFIle(sys.argv[1])
    with open("/proc/self/status") as status:
        print(next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:")))
    """)


def peak_after_open(path) -> int:
    run = subprocess.run(
        [sys.executable, "-c", PEAK_AFTER_OPEN, str(path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    return int(run.stdout)


@linux_only
@unsanitized
def test_deep_key_costs_at_most_64_bytes_per_segment(tmp_path):
    # Four million nested empty segments in about 4 KB of file: what a segment costs is what
    # the header costs, against an interpreter that opened a one-line header.
    segments = 4_000_000
    deep = write_zel(tmp_path / "deep.zel", "." * segments + "=1\n")
    assert os.path.getsize(deep) < 10_000
    baseline = peak_after_open(write_zel(tmp_path / "one.zel", "a=1\n"))
    per_segment = (peak_after_open(deep) - baseline) / segments
    assert per_segment <= 64, per_segment


# Run apart: caps the address space at a few sizes, each short of what the header needs.
OPEN_WITH_LITTLE_MEMORY = textwrap.dedent("""
    import resource, sys
    from zel_data_reader import ZelDataFIle

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    for room in map(int, sys.argv[2:]):
        resource.setrlimit(resource.RLIMIT_AS, (used + room * 1024 * 1024, hard))
        try:
            ZelDataFIle(sys.argv[1])
        except OSError as error:
            print(error)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(sorted(ZelDataFIle(sys.argv[1]).header))
    """)


@linux_only
@unsanitized
def test_memory_running_out_while_the_header_is_read_or_parsed_is_an_os_error(tmp_path):
    # A million nested segments need some 50 MB: every room below fails somewhere in reading
    # or parsing the header, never with MemoryError and never with a crash.
    path = write_zel(tmp_path / "deep.zel", "." * 1_000_000 + "=1\n")
    rooms = ["1", "2", "3", "4", "6", "8", "11", "16", "22", "28"]
    run = subprocess.run(
        [sys.executable, "-c", OPEN_WITH_LITTLE_MEMORY, str(path), *rooms],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    *failures, opened = run.stdout.splitlines()
    assert opened == "['']"  # and once the memory is back, the file opens
    assert len(failures) == len(rooms)
    member, tree = "cannot allocate 1000003 bytes for a member", (
        "cannot allocate the tree of a header of 1000003 bytes"
    )
    assert set(failures) == {member, tree}  # both the read and the parse ran out
