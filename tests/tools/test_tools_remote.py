"""Data files behind URLs, read from real servers on 127.0.0.1: nginx over HTTP and moto's S3
server through s3fs. The values must be the local reader's, bit for bit, from few requests."""
from __future__ import annotations

import logging
import os
import pickle
import shutil
import sys
import time
import zipfile
from pathlib import Path

import numpy as np
import pytest

import zel_data_tools
from zel_data_tools import ZelFileError

pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import make_archives  # noqa: E402

from local_servers import Nginx, delay_proxy, moto_s3, nginx, nginx_binary, round_trips  # noqa: E402,I001

SIDE = 16


@pytest.fixture(scope="module")
def served(tmp_path_factory) -> Nginx:
    if nginx_binary() is None:
        pytest.fail("nginx is missing: scripts/setup.sh installs nginx-light")
    folder = tmp_path_factory.mktemp("served")
    with nginx(folder) as server:
        for layout in make_archives.LAYOUTS:
            make_archives.write_archive(server.root / f"{layout}.zel", SIDE, layout)
        shutil.copy(Path(__file__).resolve().parents[2] / "examples" / "sample.zel",
                    server.root / "sample.zel")
        yield server


RTT_MS = 200


@pytest.fixture(scope="module")
def delayed(served):
    """URLs of the served files behind a proxy that adds RTT_MS to every round trip: requests
    sent together reach nginx together, one sent after an answer arrives RTT_MS later."""
    with delay_proxy(served.port, RTT_MS) as port:
        yield lambda name: f"http://127.0.0.1:{port}/{name}"


@pytest.fixture(autouse=True)
def fresh_cache():
    from zel_data_tools import _remote
    _remote.clear_cache()


@pytest.fixture
def small_blocks(monkeypatch):
    """Requests of at most 16 KiB: a read of a 16 x 16 archive becomes many ranges fetched in
    groups, decoded while later groups are in flight."""
    from zel_data_tools import _remote
    monkeypatch.setattr(_remote, "MAX_BLOCK", 16 * 1024)


def every_value(data):
    return {(name, tuple(data.info.channel(name).segments)): data.read(name)
            for name in data.info.channel_names}


@pytest.mark.parametrize("blocks", ["default", "small"])
@pytest.mark.parametrize("name", ["position-major.zel", "channel-major.zel", "sample.zel"])
def test_values_over_http_are_the_local_ones(served, name, blocks, request):
    if blocks == "small":
        request.getfixturevalue("small_blocks")
    with zel_data_tools.open(served.root / name) as local, \
            zel_data_tools.open(served.url(name)) as remote:
        assert remote.info.channel_names == local.info.channel_names
        assert remote.header == local.header
        for key, values in every_value(local).items():
            got = remote.read(key[0])
            assert got.tobytes() == values.tobytes(), key
        channel = local.info.channel_names[-1]
        unit = local.info.channel(channel).units[-1]
        rows = slice(1, None, 3)
        assert (remote.read(channel, [0], unit, rows=rows, threads=1).tobytes()
                == local.read(channel, [0], unit, rows=rows).tobytes())


def directory_length(path: Path) -> int:
    with zipfile.ZipFile(path) as archive:
        return sum(46 + len(i.filename.encode()) + len(i.extra) + len(i.comment)
                   for i in archive.infolist())


@pytest.mark.parametrize("layout", make_archives.LAYOUTS)
def test_open_costs_two_round_trips_and_the_directory_and_a_reopen_one_request(
        served, delayed, layout):
    name = f"{layout}.zel"
    mark = served.mark()
    with zel_data_tools.open(delayed(name)) as remote:
        stats = (remote.stats.requests, remote.stats.bytes)
    opened = served.requests(mark)
    assert round_trips(opened, apart=RTT_MS / 2000) <= 2
    assert len(opened) <= 6
    assert stats == (len(opened), sum(r.bytes for r in opened))
    assert all(r.status == 206 for r in opened if r.method == "GET")
    assert sum(r.bytes for r in opened) <= directory_length(served.root / name) + 128 * 1024 + 200

    mark = served.mark()
    with zel_data_tools.open(delayed(name)) as again:
        assert again.info.channel_names
    assert [r.method for r in served.requests(mark)] == ["HEAD"]


def test_a_channel_segment_of_a_channel_major_file_is_one_request(served):
    name = "channel-major.zel"
    channel = "height"
    with zipfile.ZipFile(served.root / name) as archive:
        compressed = sum(i.compress_size for i in archive.infolist()
                         if i.filename.endswith(f"/0/channels/{channel}.dat"))
    with zel_data_tools.open(served.url(name)) as remote:
        mark = served.mark()
        before = remote.stats.requests
        remote.read(channel, 0)
        read = served.requests(mark)
        assert remote.stats.requests - before == len(read) == 1
    assert read[0].status == 206
    assert compressed <= read[0].bytes <= 1.4 * compressed


def test_position_major_reads_are_merged(served):
    with zel_data_tools.open(served.url("position-major.zel")) as remote:
        mark = served.mark()
        remote.read("height", 0)
        assert 1 <= len(served.requests(mark)) <= 2


def test_a_server_that_ignores_ranges_is_an_error_naming_the_url(served):
    url = served.url("position-major.zel", location="/whole")
    with pytest.raises(ZelFileError, match="does not serve byte ranges") as raised:
        zel_data_tools.open(url)
    assert raised.value.filename == url


@pytest.mark.parametrize("blocks", ["default", "small"])
def test_a_file_rewritten_shorter_since_the_open_is_an_error(served, blocks, request):
    if blocks == "small":
        request.getfixturevalue("small_blocks")
    path = served.root / "shrinking.zel"
    shutil.copy(served.root / "channel-major.zel", path)
    with zel_data_tools.open(served.url("shrinking.zel")) as remote:
        with path.open("r+b") as file:
            file.truncate(path.stat().st_size // 2)
        with pytest.raises(ZelFileError, match="changed since it was opened") as raised:
            every_value(remote)
        assert raised.value.filename == served.url("shrinking.zel")


def test_credentials_stay_out_of_messages_reprs_and_logs(served, caplog):
    secret = "s3cr3t-token"
    scheme, _, address = served.url("").rstrip("/").partition("://")
    base = f"{scheme}://alice:{secret}@{address}"
    with pytest.raises(FileNotFoundError) as raised:
        zel_data_tools.open(f"{base}/missing.zel?signature={secret}")
    assert secret not in str(raised.value)
    caplog.set_level(logging.DEBUG, logger="zel_data_tools.remote")
    with zel_data_tools.open(f"{base}/sample.zel?signature={secret}") as remote:
        remote.read("gauge", 0)
        assert secret not in repr(remote) and secret not in remote.path
    lines = [r.getMessage() for r in caplog.records if r.name == "zel_data_tools.remote"]
    assert lines and all(secret not in line for line in lines)


def test_each_batch_is_logged_with_its_requests_and_bytes(served, caplog):
    caplog.set_level(logging.DEBUG, logger="zel_data_tools.remote")
    with zel_data_tools.open(served.url("channel-major.zel")) as remote:
        caplog.clear()
        remote.read("height", 1)
    [line] = [r.getMessage() for r in caplog.records if r.name == "zel_data_tools.remote"]
    assert "1 requests" in line and "channel-major.zel" in line


def test_a_remote_file_pickles_as_its_url_and_options(served):
    with zel_data_tools.open(served.url("sample.zel"), storage_options={}) as remote:
        again = pickle.loads(pickle.dumps(remote))
        assert again.path == remote.path
        assert again.read("gauge", 1).tobytes() == remote.read("gauge", 1).tobytes()
        again.close()


def test_file_urls_and_home_paths_use_the_local_reader(served, monkeypatch):
    monkeypatch.setenv("HOME", str(served.root))
    with zel_data_tools.open("~/sample.zel") as home, \
            zel_data_tools.open(f"file://{served.root}/sample.zel") as url:
        assert home.stats is None and url.stats is None
        assert home.path == url.path == str(served.root / "sample.zel")


def test_values_over_s3_are_the_local_ones(tmp_path):
    s3fs = pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    sample = Path(__file__).resolve().parents[2] / "examples" / "sample.zel"
    with moto_s3() as endpoint:
        options = {"key": "testing", "secret": "testing",
                   "client_kwargs": {"endpoint_url": endpoint, "region_name": "us-east-1"}}
        boto3 = pytest.importorskip("boto3")
        boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                     aws_access_key_id="testing",
                     aws_secret_access_key="testing").create_bucket(Bucket="zel")
        fs = s3fs.S3FileSystem(**options)
        fs.put(str(sample), "zel/sample.zel")
        with zel_data_tools.open(sample) as local, \
                zel_data_tools.open("s3://zel/sample.zel", storage_options=options) as remote:
            assert remote.stats.requests <= 6
            for key, values in every_value(local).items():
                assert remote.read(key[0]).tobytes() == values.tobytes(), key
            assert remote.stats.requests <= 6 + 4
        with pytest.raises(FileNotFoundError):
            zel_data_tools.open("s3://zel/none.zel", storage_options=options)


def test_values_from_a_file_system_without_an_event_loop_are_the_local_ones():
    fsspec = pytest.importorskip("fsspec")
    sample = Path(__file__).resolve().parents[2] / "examples" / "sample.zel"
    memory = fsspec.filesystem("memory")
    memory.pipe("/zel-tests/sample.zel", sample.read_bytes())
    try:
        with zel_data_tools.open(sample) as local, \
                zel_data_tools.open("memory://zel-tests/sample.zel") as remote:
            for key, values in every_value(local).items():
                assert remote.read(key[0]).tobytes() == values.tobytes(), key
    finally:
        memory.rm("/zel-tests", recursive=True)


# --- URLs wherever a path is taken --------------------------------------------------------

def test_describe_and_to_xarray_take_urls(served):
    xr = pytest.importorskip("xarray")
    url = served.url("sample.zel")
    local = served.root / "sample.zel"
    assert zel_data_tools.describe(url, storage_options={}).channel_names == \
        zel_data_tools.describe(local).channel_names
    remote_array = zel_data_tools.to_xarray(url, "gauge", 1, storage_options={})
    xr.testing.assert_identical(remote_array.drop_attrs(),
                                zel_data_tools.to_xarray(local, "gauge", 1).drop_attrs())


def test_open_dataset_and_open_mfdataset_over_urls(served):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask")
    urls = [served.url("position-major.zel"), served.url("channel-major.zel")]
    locals_ = [served.root / "position-major.zel", served.root / "channel-major.zel"]
    with xr.open_dataset(urls[0], engine="zel", storage_options={}) as remote, \
            xr.open_dataset(locals_[0], engine="zel") as local:
        assert remote["height"].isel(segment=1, row=slice(2, 5)).values.tobytes() == \
            local["height"].isel(segment=1, row=slice(2, 5)).values.tobytes()
    with xr.open_mfdataset(urls, engine="zel", combine="nested", concat_dim="file",
                           storage_options={}) as remote, \
            xr.open_mfdataset(locals_, engine="zel", combine="nested",
                              concat_dim="file") as local:
        assert remote["force"].values.tobytes() == local["force"].values.tobytes()


def test_read_many_over_urls(served):
    pytest.importorskip("dask")
    names = ["position-major.zel", "channel-major.zel"]
    remote = zel_data_tools.read_many([served.url(n) for n in names], "height", 2,
                                      storage_options={})
    local = zel_data_tools.read_many([served.root / n for n in names], "height", 2)
    assert remote.compute(scheduler="threads").tobytes() == local.compute().tobytes()


def directory_start(path: Path) -> int:
    """Where the central directory of the archive at `path` begins: it and everything after it
    (the end records) is what an open fetches and a read needs not."""
    with zipfile.ZipFile(path) as archive:
        return archive.start_dir


def requested_span(request, size: int) -> tuple[int, int]:
    """The first and last byte a GET asked for ("bytes=-N": the last N)."""
    start, end = request.range.removeprefix("bytes=").split("-")
    if not start:
        return size - int(end), size - 1
    return int(start), int(end) if end else size - 1


def test_tasks_on_worker_processes_read_urls_from_their_index_slices(served):
    """read_many and a chunked dataset over URLs on 2 worker processes give the local values,
    and the workers ask for the members' bytes alone: no tail, no directory, no range twice."""
    distributed = pytest.importorskip("distributed")
    xr = pytest.importorskip("xarray")
    names = ["position-major.zel", "channel-major.zel"]
    options = {"simple_links": False}
    stack = zel_data_tools.read_many([served.url(n) for n in names], "force", 0,
                                     storage_options=options)
    local_stack = zel_data_tools.read_many([served.root / n for n in names], "force", 0)
    with xr.open_dataset(served.url(names[0]), engine="zel", storage_options=options,
                         chunks={"segment": 1, "row": 5}) as remote, \
            xr.open_dataset(served.root / names[0], engine="zel") as local, \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        mark = served.mark()  # the opens above are the client's; what follows, the workers'
        assert stack.compute().tobytes() == local_stack.compute(scheduler="sync").tobytes()
        assert remote["height"].values.tobytes() == local["height"].values.tobytes()
        on_workers = served.requests(mark)
    gets = [r for r in on_workers if r.method == "GET"]
    assert gets and all(r.status == 206 for r in gets)
    assert {r.method for r in on_workers} <= {"GET", "HEAD"}
    for name in names:
        start = directory_start(served.root / name)
        size = (served.root / name).stat().st_size
        spans = [requested_span(r, size) for r in gets if r.uri.endswith(name)]
        assert spans and all(end < start for _, end in spans), name
        assert len(spans) == len(set(spans)), name


def test_the_command_reads_urls_with_storage_options(served, run_zel, tmp_path):
    url = served.url("sample.zel")
    option = ["--storage-option", "simple_links=false"]
    info = run_zel("info", url, *option, "--json")
    assert info.returncode == 0, info.stderr
    assert '"gauge"' in info.stdout
    header = run_zel("header", url, *option)
    local = run_zel("header", str(served.root / "sample.zel"))
    assert header.returncode == 0 and header.stdout == local.stdout
    exported = run_zel("export", url, "-o", str(tmp_path / "out.npz"), *option)
    assert exported.returncode == 0, exported.stderr
    with np.load(tmp_path / "out.npz") as npz, zel_data_tools.open(served.root / "sample.zel") \
            as data:
        assert npz[next(k for k in npz.files if "gauge" in k)].shape[-1] == 100
        assert data.info.channel_names
    bad = run_zel("info", url, "--storage-option", "novalue")
    assert bad.returncode == 2 and "KEY=VALUE" in bad.stderr


# --- the engine's side: pieces in, ranges and values out, no network -----------------------

def test_pieces_that_overlap_or_lie_outside_the_object_are_refused():
    from zel_data_tools import _engine
    with pytest.raises(ValueError, match="overlap"):
        _engine.directory_range(100, [(0, b"x" * 10), (5, b"y" * 10)])
    with pytest.raises(ValueError, match="outside"):
        _engine.directory_range(100, [(95, b"z" * 10)])
    with pytest.raises(ValueError, match="outside"):
        _engine.directory_range(100, [(2**64 - 1, b"z")])


def test_an_open_names_the_bytes_it_lacks(served):
    from zel_data_tools import _engine
    data = (served.root / "channel-major.zel").read_bytes()
    tail = len(data) - (65536 + 98)
    where, length = _engine.directory_range(len(data), [(tail, data[tail:])])
    assert data[where:where + 4] == b"PK\x01\x02" and where + length <= len(data)
    with pytest.raises(_engine.MissingBytes) as missing:
        _engine.open_fetched("x", len(data), [(tail, data[tail:])])
    offset, size = missing.value.args
    assert offset < tail and size > 0
    archive = _engine.open_fetched("x", len(data), [(0, data)])
    ranges = archive.plan("height", [0, 1], 0, 1, SIDE, 0, 1 << 30)
    assert ranges == sorted(ranges)
    assert all(a + n <= b for (a, n), (b, _) in zip(ranges, ranges[1:]))


def damaged(data: bytes, member_suffix: str) -> bytes:
    """`data` with one byte of a member's compressed stream flipped."""
    import io
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        info = next(i for i in archive.infolist() if i.filename.endswith(member_suffix))
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    flipped = bytearray(data)
    flipped[start + info.compress_size // 2] ^= 0xFF
    return bytes(flipped)


@pytest.mark.parametrize("layout", make_archives.LAYOUTS)
def test_rows_are_decoded_while_later_ranges_are_in_flight(served, small_blocks, monkeypatch,
                                                           layout):
    from zel_data_tools import _remote
    name = f"{layout}.zel"
    unset = -12345.0
    out = np.full((4, SIDE, SIDE, 100), unset)
    fetch = _remote.RemoteObject.fetch
    waited = []

    def last_range_after_a_decoded_row(remote, ranges):
        # The object's last planned range arrives only once some rows are decoded (or after
        # a while, when nothing is decoded before everything has arrived).
        if ranges and ranges[-1][0] == last[0]:
            deadline = time.monotonic() + 5
            while (out != unset).sum() == 0 and time.monotonic() < deadline:
                time.sleep(0.01)
            waited.append((out != unset).any())
        return fetch(remote, ranges)

    with zel_data_tools.open(served.root / name) as local, \
            zel_data_tools.open(served.url(name)) as remote:
        last = remote._archive.plan("height", [0, 1, 2, 3], 0, 1, SIDE, _remote.MAX_GAP,
                                    _remote.MAX_BLOCK)[-1]
        monkeypatch.setattr(_remote.RemoteObject, "fetch", last_range_after_a_decoded_row)
        remote.read("height", out=out, threads=2)
        assert out.tobytes() == local.read("height").tobytes()
    assert waited == [True]


@pytest.mark.parametrize("blocks", ["default", "small"])
@pytest.mark.parametrize("threads", [1, 3])
def test_a_damaged_member_gives_the_local_error(served, threads, blocks, request):
    if blocks == "small":
        request.getfixturevalue("small_blocks")
    data = damaged((served.root / "position-major.zel").read_bytes(), "/1/channels/height.dat")
    (served.root / "damaged.zel").write_bytes(data)
    with zel_data_tools.open(served.root / "damaged.zel") as local, \
            zel_data_tools.open(served.url("damaged.zel")) as remote:
        with pytest.raises(ZelFileError) as local_error:
            local.read("height", threads=threads)
        with pytest.raises(ZelFileError) as remote_error:
            remote.read("height", threads=threads)
    assert remote_error.value.message == local_error.value.message
    assert type(remote_error.value) is type(local_error.value)


# --- transient failures: a server of our own that fails each range once -------------------

@pytest.fixture
def flaky_server(tmp_path):
    """An HTTP server on 127.0.0.1 serving one file with byte ranges, which answers the first
    request for each range with `failure` (a 503, or a body cut short) and then serves it."""
    import http.server
    import threading

    data = (Path(__file__).resolve().parents[2] / "examples" / "sample.zel").read_bytes()
    state = {"failure": "503", "seen": set(), "requests": 0}

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def _headers(self, status, length, extra=()):
            self.send_response(status)
            self.send_header("Content-Length", str(length))
            self.send_header("ETag", '"v1"')
            self.send_header("Accept-Ranges", "bytes")
            for key, value in extra:
                self.send_header(key, value)
            self.end_headers()

        def do_HEAD(self):
            self._headers(200, len(data))

        def do_GET(self):
            state["requests"] += 1
            first, _, last = self.headers["Range"].removeprefix("bytes=").partition("-")
            if first:
                start, stop = int(first), min(int(last) + 1, len(data))
            else:  # the last bytes
                start, stop = max(len(data) - int(last), 0), len(data)
            body = data[start:stop]
            if (start, stop) not in state["seen"]:
                state["seen"].add((start, stop))
                if state["failure"] == "503":
                    self._headers(503, 0)
                    return
                # Promise the whole range, send half of it, and drop the connection.
                self._headers(206, len(body), [("Content-Range",
                                                f"bytes {start}-{stop - 1}/{len(data)}")])
                self.wfile.write(body[:len(body) // 2])
                self.close_connection = True
                return
            self._headers(206, len(body), [("Content-Range",
                                            f"bytes {start}-{stop - 1}/{len(data)}")])
            self.wfile.write(body)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/sample.zel", state
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@pytest.mark.parametrize("failure", ["503", "cut"])
def test_transient_failures_are_retried(flaky_server, failure):
    url, state = flaky_server
    state["failure"] = failure
    sample = Path(__file__).resolve().parents[2] / "examples" / "sample.zel"
    with zel_data_tools.open(url) as remote, zel_data_tools.open(sample) as local:
        assert remote.read("gauge", 1).tobytes() == local.read("gauge", 1).tobytes()
        # Each range failed once and was asked for again; the stats count every attempt.
        assert state["requests"] == 2 * len(state["seen"])
        assert remote.stats.requests == state["requests"] + 1  # and the HEAD


# --- files opened from index slices, as tasks on workers open them ------------------------

def sliced_file(url: str, channel: str, segments: list[int]):
    """The file behind `url` as a task opens it: from an index slice made by an open here."""
    from zel_data_tools import _cache
    from zel_data_tools._file import ZelFile
    with zel_data_tools.open(url) as whole:
        identity, blob = whole.identity, whole._index_slice(channel, segments)
    assert blob is not None
    _cache.clear()
    return ZelFile._from_slice(url, None, identity, blob), identity, blob


def test_a_file_opened_from_a_slice_reads_the_local_values_and_errors(served):
    name = "position-major.zel"
    data = damaged((served.root / name).read_bytes(), "/1/channels/height.dat")
    (served.root / "damaged-slice.zel").write_bytes(data)
    sliced, _, _ = sliced_file(served.url("damaged-slice.zel"), "height", [0, 1])
    mark = served.mark()
    with sliced, zel_data_tools.open(served.root / "damaged-slice.zel") as local:
        assert sliced.read("height", 0).tobytes() == local.read("height", 0).tobytes()
        assert [r.method for r in served.requests(mark)] == ["GET"]  # the members alone
        with pytest.raises(ZelFileError) as local_error:
            local.read("height", [0, 1])
        with pytest.raises(ZelFileError) as sliced_error:
            sliced.read("height", [0, 1])
    assert sliced_error.value.message == local_error.value.message
    assert sliced_error.value.filename == served.url("damaged-slice.zel")


def test_a_slice_of_a_file_rewritten_since_is_refused(served):
    from zel_data_tools._file import ZelFile
    path = served.root / "rewritten-slice.zel"
    shutil.copy(served.root / "channel-major.zel", path)
    url = served.url("rewritten-slice.zel")
    sliced, identity, blob = sliced_file(url, "height", [0])
    sliced.close()
    shutil.copy(served.root / "position-major.zel", path)
    stat = path.stat()
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**10))  # a version of its own
    with pytest.raises(ZelFileError, match="changed since it was opened") as raised:
        ZelFile._from_slice(url, None, identity, blob)
    assert raised.value.filename == url
    # Same size and identity, yet a slice made for another version of the object.
    with zel_data_tools.open(url) as now:
        with pytest.raises(ZelFileError, match="another version"):
            ZelFile._from_slice(url, None, now.identity, blob)
