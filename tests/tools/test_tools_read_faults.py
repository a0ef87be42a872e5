"""The tools' reader under hostile requests and files: no write past a buffer, the first
error first across segments, arguments of the wrong type, memory running out with the lock
released, and fork while other threads read."""

import errno
import os
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest
import zel_data_reader

import zel_data_tools
from zel_archive import channel_entry, channel_members, write_zel
from zel_data_tools import _cache, _engine

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc")


def run_apart(script, *args, timeout=120):
    """Runs `script` in a fresh interpreter: a crash there fails the test, not the run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


# --- sizes from the caller --------------------------------------------------------------

# Run apart: before the core checked sizes, a row count whose value count wraps let an empty
# buffer pass and the read wrote past it.
RAW_READ = """
    import sys
    import numpy as np
    from zel_data_tools import _engine
    start, step, count, values = map(int, sys.argv[2:])
    archive = _engine.Archive(sys.argv[1])
    try:
        archive.read("gauge", [0], "volt", start, step, count, 1, np.empty(values))
    except (IndexError, ValueError) as error:
        print(type(error).__name__)
    else:
        print("read")
    """


@pytest.mark.parametrize("start, step, count, values, outcome", [
    (0, 0, 2**56, 0, "ValueError"),  # 2**56 rows x 8 x 100 values x 8 bytes wraps to 0
    (0, 0, 2**61, 8 * 100, "ValueError"),
    (0, 2**62, 3, 3 * 8 * 100, "IndexError"),  # the last row overflows
    (-1, 1, 1, 8 * 100, "IndexError"),
    (0, 1, 9, 9 * 8 * 100, "IndexError"),
    (7, -1, 8, 8 * 8 * 100 - 1, "ValueError"),  # one value short
    (7, -1, 8, 8 * 8 * 100, "read"),
    (3, 0, 2, 2 * 8 * 100, "read"),
])
def test_rows_and_buffers_are_checked_before_anything_is_written(sample, start, step, count,
                                                                  values, outcome):
    run = run_apart(RAW_READ, sample, start, step, count, values)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [outcome]


# --- the first error first --------------------------------------------------------------

def overfull(members):
    """The first member holds 101 values, one more than a grid position."""
    (name, data), *rest = members
    return [(name, data + data[:4]), *rest]


def damaged(path, member):
    """Flips bytes of `member`'s compressed data: the directory is fine, reading fails."""
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(member)
    raw = bytearray(path.read_bytes())
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    raw[start:start + 8] = bytes(b ^ 0xFF for b in raw[start:start + 8])
    path.write_bytes(bytes(raw))
    return path


def first_module_error(path, segments):
    """The module called on each segment in turn: the first error it meets, as the tools word
    it (NumPy's reshape error of an overfull position in words of samples)."""
    data = zel_data_reader.ZelDataFIle(str(path))
    with zel_data_tools.quiet():
        for segment in segments:
            try:
                data.get_channel_data("gauge", segment, "volt")
            except Exception as error:  # noqa: BLE001 (whatever the module raises)
                if str(error).startswith("ValueError: cannot reshape"):
                    return (f"channel 'gauge' segment {segment} has a position of 101 samples, "
                            "more than the 100 a position holds")
                return str(error)
    return None


def segment(number, side=2):
    values = np.arange(side * side * 100, dtype=np.float32).reshape(side, side, 100)
    return channel_members(values, number, "gauge")


# (segment 0's members, segment 1's members, the member to damage): each a file where segment
# 0 fails one way and segment 1 another, or segment 1 alone.
ORDER_CASES = {
    "overfull, then damaged": (overfull(segment(0)), segment(1), "pos_0_1/1/channels/gauge.dat"),
    "damaged, then no square": (segment(0), segment(1, 3)[:5], "pos_1_1/0/channels/gauge.dat"),
    "overfull, then no square": (overfull(segment(0)), segment(1, 3)[:5], None),
    "overfull, then another grid": (overfull(segment(0)), segment(1, 3), None),
    "damaged late, then damaged early": (segment(0), segment(1), "pos_1_1/0/channels/gauge.dat"),
}


@pytest.mark.parametrize("first, second, broken", ORDER_CASES.values(), ids=ORDER_CASES.keys())
@pytest.mark.parametrize("threads", [1, 3])
def test_a_read_of_several_segments_fails_as_the_first_failing_segment(tmp_path, first, second,
                                                                       broken, threads):
    path = write_zel(tmp_path / "a.zel", channel_entry("0", "gauge"), [*first, *second])
    if broken is not None:
        damaged(path, broken)
        if broken.endswith("/0/channels/gauge.dat"):
            damaged(path, "pos_0_0/1/channels/gauge.dat")
    expected = first_module_error(path, [0, 1])
    assert expected is not None
    with zel_data_tools.open(path) as data, pytest.raises(zel_data_tools.ZelFileError) as raised:
        data.read("gauge", [0, 1], threads=threads)
    assert raised.value.message == expected


# --- arguments --------------------------------------------------------------------------

@pytest.mark.parametrize("segments, threads, argument", [
    ("10", None, "segments"),
    (b"\x00\x01", None, "segments"),
    ([0.9], None, "segments"),
    (1.0, None, "segments"),
    ([0, "1"], None, "segments"),
    (0, 2.5, "threads"),
    (0, "2", "threads"),
])
def test_only_integers_choose_segments_and_threads(sample, segments, threads, argument):
    with zel_data_tools.open(sample) as data, pytest.raises(TypeError, match=argument):
        data.read("gauge", segments, threads=threads)


def test_integer_like_segments_and_threads_are_taken(sample):
    with zel_data_tools.open(sample) as data:
        whole = data.read("gauge", [0, 1])
        assert data.read("gauge", np.int64(1), threads=np.int8(2)).tobytes() == whole[1].tobytes()
        assert data.read("gauge", np.array([1, 0])).tobytes() == whole[::-1].tobytes()
        assert data.read("gauge", (True,)).tobytes() == whole[1:].tobytes()


@pytest.mark.parametrize("value, capped", [
    ("1", True), (" 1 ", True), ("0", False), ("-1", False), ("abc", False),
    ("²", False), ("١", False), ("1.5", False), ("", False),
])
def test_only_a_plain_decimal_count_caps_the_threads(monkeypatch, value, capped):
    monkeypatch.delenv(zel_data_tools._file.THREADS_VARIABLE, raising=False)
    uncapped = zel_data_tools._file.available_threads()
    monkeypatch.setenv(zel_data_tools._file.THREADS_VARIABLE, value)
    assert zel_data_tools._file.available_threads() == (1 if capped else uncapped)


# --- memory running out while the lock is released ---------------------------------------

# Run apart: caps the address space and fills the heap in small pieces, then gives back a
# little: room for small allocations, none for a reader's buffer of 64 KiB. Opening a file and
# reading one on two threads then run out of memory with the interpreter lock released; each
# must fail with MemoryError or OSError (or succeed), and the interpreter must live on.
READ_WITH_LITTLE_MEMORY = """
    import resource, sys
    import numpy as np
    from zel_data_tools import _engine

    path = sys.argv[1]
    out = np.empty((1, 8, 8, 100))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()

    def starved(work):
        resource.setrlimit(resource.RLIMIT_AS, (used + 16 * 1024 * 1024, hard))
        hog = []
        try:
            try:
                while True:
                    hog.append(bytearray(16 * 1024))
            except MemoryError:
                pass
            del hog[-2:]
            work()
            return "done"
        except MemoryError:
            return "MemoryError"
        except OSError:
            return "OSError"
        finally:
            del hog
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    outcomes = [starved(lambda: _engine.Archive(path)) for _ in range(3)]
    archive = _engine.Archive(path)
    outcomes += [starved(lambda: archive.read("gauge", [0], "volt", 0, 1, 8, 2, out))
                 for _ in range(3)]
    archive.read("gauge", [0], "volt", 0, 1, 8, 2, out)
    print(" ".join(outcomes))
    """


@linux_only
@pytest.mark.skipif(bool(os.environ.get("ZEL_SANITIZED")),
                    reason="the address sanitizer needs more address space")
def test_memory_running_out_with_the_lock_released_is_an_exception(sample):
    run = run_apart(READ_WITH_LITTLE_MEMORY, sample)
    assert run.returncode == 0, run.stderr
    outcomes = run.stdout.split()
    assert len(outcomes) == 6
    assert set(outcomes) <= {"done", "MemoryError", "OSError"}
    assert "MemoryError" in outcomes[:3]  # the open really did run out of memory


# --- fork -------------------------------------------------------------------------------

# Run apart: forks while another thread reads on two threads; the child reports how many
# threads it inherited as reading, and how many threads it ran beside its own at most while it
# read on two threads itself (the reading thread and a helper), through a file it opened before
# the fork and one from the tools' cache.
FORK_DURING_READS = """
    import os, sys, threading, time
    import zel_data_tools
    from zel_data_tools import _cache, _engine

    path = sys.argv[1]
    data = zel_data_tools.open(path)
    _cache.open_file(path)
    stop = threading.Event()

    def read_until_stopped():
        while not stop.is_set():
            data.read("gauge", 0, threads=2)

    reader = threading.Thread(target=read_until_stopped)
    reader.start()
    deadline = time.monotonic() + 30
    while _engine.reading_threads() < 2 and time.monotonic() < deadline:
        pass
    pid = os.fork()
    if pid == 0:
        inherited = _engine.reading_threads()
        alone = len(os.listdir("/proc/self/task"))
        done, helped = threading.Event(), threading.Event()
        most = alone

        def read_in_child():
            # Until a helper has been seen (at once, unless the child inherited a full count).
            for _ in range(100):
                if helped.is_set():
                    break
                data.read("gauge", 0, threads=2)
                _cache.open_file(path).read("gauge", 0, threads=2)
            done.set()

        threading.Thread(target=read_in_child).start()
        while not done.is_set():
            most = max(most, len(os.listdir("/proc/self/task")))
            if most - alone >= 2:
                helped.set()
        os.write(1, f"{inherited} {most - alone}\\n".encode())
        os._exit(0)
    stop.set()
    reader.join()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    """


@linux_only
@pytest.mark.skipif(bool(os.environ.get("ZEL_SANITIZED")),
                    reason="this address sanitizer's allocator keeps no lock safe across fork: a "
                    "child forked while another thread allocates waits forever on its lock")
def test_a_child_forked_during_reads_reads_on_its_own_threads(tmp_path):
    rng = np.random.default_rng(3)
    path = write_zel(tmp_path / "wide.zel", channel_entry("0", "gauge"),
                     channel_members(rng.normal(0, 1, (48, 48, 100)), 0, "gauge"))
    for _ in range(3):  # the fork lands at another moment of the reads each time
        run = run_apart(FORK_DURING_READS, path, timeout=120)
        assert run.returncode == 0, run.stderr
        inherited, beside = map(int, run.stdout.split())
        assert inherited == 0
        assert beside >= 2  # a helper read beside the child's reading thread


# Run apart: a thread holds the lock of each of the tools' caches (open files, and remote
# directories) while the process forks; the child must use both at once and find them empty.
FORK_WHILE_CACHES_LOCKED = """
    import os, sys, threading
    from zel_data_tools import _cache, _remote

    path = sys.argv[1]
    _cache.open_file(path)
    _remote._cache.put(("memory://x", 1, "v"), [])
    held, release = threading.Event(), threading.Event()

    def hold_locks():
        with _cache._open._lock, _remote._cache._lock:
            held.set()
            release.wait()

    holder = threading.Thread(target=hold_locks)
    holder.start()
    held.wait()
    pid = os.fork()
    if pid == 0:
        before = (len(_cache._open), len(_remote._cache))
        _cache.open_file(path).read("gauge", 0)
        os.write(1, f"{before[0]} {before[1]} {len(_cache._open)}\\n".encode())
        os._exit(0)
    release.set()
    holder.join()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    """


@linux_only
def test_a_child_forked_while_the_caches_are_locked_starts_them_afresh(tmp_path):
    path = write_zel(tmp_path / "small.zel", channel_entry("0", "gauge"),
                     channel_members(np.ones((2, 2, 3)), 0, "gauge"))
    run = run_apart(FORK_WHILE_CACHES_LOCKED, path, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "0", "1"]


# --- errors as values -------------------------------------------------------------------

def no_header(path):
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("data/0/channels/gauge.dat", bytes(400))
    return path


@pytest.mark.parametrize("make, kind, subject, message", [
    (None, "os", None, "No such file or directory"),
    (no_header, "no_member", "shared-data header",
     "not a Zel data file: the archive has no member shared-data/header.properties"),
    (lambda path: write_zel(path, "grid.side=2\n"), "missing_key", "lcd-info",
     "the header has no key 'lcd-info'"),
])
def test_engine_errors_carry_their_kind_and_the_tools_word_them(tmp_path, monkeypatch, make,
                                                                kind, subject, message):
    monkeypatch.chdir(tmp_path)
    if make is not None:
        make(tmp_path / "f.zel")
    with pytest.raises(_engine.EngineError) as raw:
        _engine.Archive("f.zel").info()
    assert (raw.value.kind, raw.value.subject) == (kind, subject)
    assert "os error" not in str(raw.value)
    # Every way in names the file as it was given, with the system's number as a field (the
    # cache of open files too, for what fails at the open; its files are shared, and name
    # their absolute path later).
    ways = [zel_data_tools.open, zel_data_tools.describe]
    if kind != "missing_key":
        ways.append(_cache.open_file)
    for way in ways:
        with pytest.raises(zel_data_tools.ZelFileError) as raised:
            way("f.zel").info  # noqa: B018 (the summary is what fails)
        assert str(raised.value) == f"f.zel: {message}"
        assert raised.value.errno == (errno.ENOENT if kind == "os" else None)
        assert isinstance(raised.value, FileNotFoundError) == (kind == "os")
