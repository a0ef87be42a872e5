"""ZelFile reads what the module reads, bit for bit, on any number of threads and rows."""

import os
import pickle
import signal
import subprocess
import sys
import threading
import time
import zipfile

import numpy as np
import pytest
import zel_data_reader
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zel_data_tools
from zel_archive import channel_entry, channel_members, write_zel


def module_read(path, channel, segment, unit):
    """The module's values, or its error message."""
    try:
        data = zel_data_reader.ZelDataFIle(str(path))
        with zel_data_tools.quiet():
            return data.get_channel_data(channel, segment, unit)
    except OSError as error:
        return str(error)


def engine_read(path, channel, segment, unit, **options):
    try:
        with zel_data_tools.open(path) as data:
            return data.read(channel, segment, unit, **options)
    except OSError as error:
        return str(error)


UNITS = {"millivolt": ("volt", "0", "1000"), "force": ("millivolt", "-3", "0.25")}


@st.composite
def archives(draw):
    """(members, header pairs, channels) of a small random data file."""
    side = draw(st.integers(1, 4))
    channels = draw(st.lists(st.sampled_from(["gauge", "phase", "a b"]), min_size=1,
                             max_size=2, unique=True))
    header, members = [], []
    for number, channel in enumerate(channels):
        data_type = draw(st.sampled_from(["float-data", "int32-data"]))
        header += channel_entry(str(number), channel, data_type, encoder=("0.5", "3"),
                                units=UNITS)
        for segment in draw(st.lists(st.integers(0, 3), min_size=1, max_size=2, unique=True)):
            lengths = draw(st.lists(st.integers(0, 100), min_size=side * side,
                                    max_size=side * side))
            rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
            values = rng.normal(0, 1e3, (side, side, 100))
            if data_type == "int32-data":
                values = np.round(values).astype(np.int64)
            for member, (name, data) in enumerate(
                    channel_members(values, segment, channel, data_type)):
                members.append((name, data[:4 * lengths[member]]))
    return header, members, channels


def damage(path, data, where):
    """Flips one byte of the file at a fraction `where` of its length."""
    raw = bytearray(path.read_bytes())
    at = int(where * (len(raw) - 1))
    raw[at] ^= data
    path.write_bytes(bytes(raw))


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(archive=archives(), threads=st.sampled_from([1, 3]),
       damaged=st.one_of(st.none(), st.tuples(st.integers(1, 255), st.floats(0, 1))))
def test_reads_match_the_module_bit_for_bit(tmp_path, archive, threads, damaged):
    header, members, channels = archive
    path = write_zel(tmp_path / "a.zel", header, members)
    if damaged is not None:
        damage(path, *damaged)
    try:
        data = zel_data_tools.open(path)
        info = data.info
    except OSError:
        # A file the tools cannot open, the module cannot open either (or lists no channel).
        with pytest.raises(OSError):
            zel_data_reader.ZelDataFIle(str(path)).get_channels()
        return
    for channel in info.channels:
        for unit in [*channel.units, "kelvin"]:
            for segment in channel.segments:
                expected = module_read(path, channel.name, segment, unit)
                if unit not in channel.units:
                    assert isinstance(expected, str)  # a unit not listed does not read
                    continue
                got = engine_read(path, channel.name, segment, unit, threads=threads)
                if isinstance(expected, str):
                    # The same failure; a grid that is no square is said in the tools' words.
                    assert isinstance(got, str)
                    assert expected in got or "which is no square grid" in got
                    continue
                assert got.tobytes() == expected.tobytes()
                side = expected.shape[0]
                for rows in (slice(0, 1), slice(side - 1, None), slice(None, None, -2)):
                    part = data.read(channel.name, [segment], unit, rows=rows, threads=threads)
                    assert part[0].tobytes() == expected[rows].tobytes()


@pytest.fixture
def grid_file(tmp_path):
    """16 x 16 positions, two segments of one float channel with units."""
    rng = np.random.default_rng(7)
    header = channel_entry("0", "gauge", "float-data", encoder=("0.5", "3"), units=UNITS)
    members = []
    for segment in (0, 1):
        values = rng.normal(0, 10, (16, 16, 100))
        members += channel_members(values, segment, "gauge", "float-data")
    return write_zel(tmp_path / "grid.zel", header, members)


@pytest.fixture
def long_file(tmp_path):
    """48 x 48 positions, two segments of one channel: read many times over, a long read."""
    rng = np.random.default_rng(1)
    members = []
    for segment in (0, 1):
        members += channel_members(rng.normal(0, 1, (48, 48, 100)), segment, "gauge")
    return write_zel(tmp_path / "long.zel", channel_entry("0", "gauge"), members)


def test_shapes_segments_rows_and_out(grid_file):
    with zel_data_tools.open(grid_file) as data:
        whole = module_read(grid_file, "gauge", 1, "force")
        assert data.read("gauge", 1, "force").shape == (16, 16, 100)
        both = data.read("gauge", None, "force")
        assert both.shape == (2, 16, 16, 100)
        assert both[1].tobytes() == whole.tobytes()
        assert data.read("gauge", [1, 0]).shape == (2, 16, 16, 100)
        assert data.read("gauge", 0).tobytes() == module_read(grid_file, "gauge", 0,
                                                              "volt").tobytes()
        out = np.zeros((1, 4, 16, 100))
        assert data.read("gauge", [1], "force", rows=range(3, 7), out=out) is out
        assert out[0].tobytes() == whole[3:7].tobytes()
        with pytest.raises(ValueError, match="out must be"):
            data.read("gauge", 1, out=np.zeros((16, 16, 100), dtype=np.float32))
        with pytest.raises(IndexError):
            data.read("gauge", 1, rows=range(10, 20))


@pytest.mark.parametrize("call, error, text", [
    (lambda d: d.read("nope", 0), OSError, "no channel 'nope'; the channels are gauge"),
    (lambda d: d.read("gauge", 5), OSError, "no segment 5 for channel 'gauge'"),
    (lambda d: d.read("gauge", 0, "kelvin"), OSError, "no unit 'kelvin'"),
    (lambda d: d.read("gauge", 0, threads=0), ValueError, "threads"),
])
def test_wrong_requests_name_the_choices(grid_file, call, error, text):
    with zel_data_tools.open(grid_file) as data, pytest.raises(error, match=text):
        call(data)


def test_nothing_reaches_descriptor_1(grid_file, capfd):
    with zel_data_tools.open(grid_file) as data:
        data.read("gauge", [0, 1], "force", threads=2)
    assert capfd.readouterr().out == ""


def test_close_repr_and_pickle(grid_file, monkeypatch, tmp_path):
    data = zel_data_tools.open(grid_file)
    assert repr(data) == f"<ZelFile {str(grid_file)!r} 16x16, channels: gauge>"
    monkeypatch.chdir(tmp_path.parent)
    relative = zel_data_tools.open(os.path.relpath(grid_file))
    assert relative.path == str(grid_file)  # made absolute once, when opened
    again = pickle.loads(pickle.dumps(relative))
    assert again.path == str(grid_file)
    assert again.read("gauge", 0).tobytes() == data.read("gauge", 0).tobytes()
    data.close()
    assert data.closed and "closed" in repr(data)
    with pytest.raises(ValueError, match="closed"):
        data.read("gauge", 0)
    data.close()  # twice is fine, as for Python's files


def test_reads_come_from_the_file_that_was_opened(grid_file, tmp_path):
    data = zel_data_tools.open(grid_file)
    before = data.read("gauge", 0)
    other = write_zel(tmp_path / "other.zel",
                      channel_entry("0", "gauge", "float-data", units=UNITS),
                      channel_members(np.zeros((16, 16, 100)), 0, "gauge"))
    os.replace(other, grid_file)  # the path now names another file
    assert data.read("gauge", 0).tobytes() == before.tobytes()
    assert data.identity != zel_data_tools.open(grid_file).identity


def test_many_python_threads_read_one_file(grid_file):
    expected = {(s, u): module_read(grid_file, "gauge", s, u).tobytes()
                for s in (0, 1) for u in ("volt", "force")}
    data = zel_data_tools.open(grid_file)
    failures = []

    def reader(number):
        for round_ in range(30):
            segment, unit = (number + round_) % 2, ("volt", "force")[round_ % 2]
            rows = slice(number % 16, None)
            got = data.read("gauge", segment, unit, rows=rows, threads=1 + number % 3)
            if got.tobytes() != np.frombuffer(expected[segment, unit]).reshape(
                    16, 16, 100)[rows].tobytes():
                failures.append((number, round_))

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_threads_that_first_ask_a_fresh_file_for_different_channels_each_get_theirs(tmp_path):
    # A file's members are filed at the first ask: one channel alone, then every other one.
    # Threads that ask a fresh file together for segments of two channels race to file them,
    # whichever filing wins, and each must get exactly what it asked for.
    rng = np.random.default_rng(11)
    header, members = [], []
    for number, channel in enumerate(("gauge", "phase")):
        header += channel_entry(str(number), channel, "float-data", units=UNITS)
        for segment in (0, 1):
            members += channel_members(rng.normal(0, 10, (8, 8, 100)), segment, channel,
                                       "float-data")
    path = write_zel(tmp_path / "two.zel", header, members)
    asks = [(channel, segment) for channel in ("gauge", "phase") for segment in (0, 1)]
    expected = {ask: module_read(path, *ask, "volt").tobytes() for ask in asks}
    for round_ in range(10):
        data = zel_data_tools.open(path)
        barrier = threading.Barrier(len(asks))
        got = {}

        def reader(ask, data=data, barrier=barrier, got=got):
            barrier.wait()
            got[ask] = data.read(*ask, "volt", threads=1).tobytes()

        order = asks[round_ % len(asks):] + asks[:round_ % len(asks)]
        threads = [threading.Thread(target=reader, args=(ask,)) for ask in order]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert got == expected
        data.close()


def test_a_damaged_member_is_the_error_of_the_first_in_order(grid_file, tmp_path):
    # Two damaged members: the read reports the one that comes first, as the module does,
    # whichever thread meets which first.
    with zipfile.ZipFile(grid_file) as archive:
        infos = [i for i in archive.infolist() if i.filename.endswith("/0/channels/gauge.dat")]
    raw = bytearray(grid_file.read_bytes())
    for info in (infos[200], infos[40]):
        raw[info.header_offset + 30 + len(info.filename) + 2] ^= 0xFF
    grid_file.write_bytes(bytes(raw))
    expected = module_read(grid_file, "gauge", 0, "volt")
    assert isinstance(expected, str)
    for threads in (1, 2, 8):
        assert expected in engine_read(grid_file, "gauge", 0, "volt", threads=threads)
    # Rows without a damaged member read.
    assert engine_read(grid_file, "gauge", 0, "volt", rows=slice(3, 12)).shape == (9, 16, 100)


def test_a_read_off_the_main_thread_never_waits_for_the_lock(long_file):
    # Once a worker thread's read has begun, the main thread keeps the interpreter lock (a
    # Python loop, with a switch interval far longer than the test): the read must still fill
    # all of `out`. A read that took the lock back midway (to look for signals, say) would stop
    # there. One thread reads, so that no helper can finish the read in its place.
    data = zel_data_tools.open(long_file)
    out = np.full((40, 48, 48, 100), -1.0)
    worker = threading.Thread(target=data.read, args=("gauge", [0, 1] * 20),
                              kwargs={"threads": 1, "out": out})
    interval = sys.getswitchinterval()
    try:
        worker.start()
        while out[0, 0, 0, 0] == -1.0 and worker.is_alive():
            time.sleep(0.0001)  # the lock is free until the read has written its first value
        sys.setswitchinterval(1000.0)
        started_unfinished = out[-1, -1, -1, -1] == -1.0
        deadline = time.monotonic() + 10
        while out[-1, -1, -1, -1] == -1.0 and time.monotonic() < deadline:
            pass
        finished = out[-1, -1, -1, -1] != -1.0
    finally:
        sys.setswitchinterval(interval)
    worker.join()
    assert started_unfinished  # else the read was too short to show anything
    assert finished
    assert out[-1].tobytes() == data.read("gauge", 1).tobytes()


def test_ctrl_c_stops_a_long_read(tmp_path, long_file):
    script = tmp_path / "long_read.py"
    script.write_text(
        "import sys, zel_data_tools\n"
        "data = zel_data_tools.open(sys.argv[1])\n"
        "print('reading', flush=True)\n"
        "try:\n"
        "    while True:\n"
        "        data.read('gauge', [0, 1] * 100, threads=2)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n")
    child = subprocess.Popen([sys.executable, str(script), str(long_file)],
                             stdout=subprocess.PIPE,
                             text=True)
    assert child.stdout.readline() == "reading\n"
    threading.Event().wait(0.5)
    child.send_signal(signal.SIGINT)
    try:
        out, _ = child.communicate(timeout=5)
    finally:
        child.kill()
    assert out == "interrupted\n"
