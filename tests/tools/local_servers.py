"""Real servers on 127.0.0.1 for the remote-read tests and the benchmark: nginx serving a
folder with byte ranges and an access log, and moto's S3 server. Each starts on a free port
and stops when its context ends."""
from __future__ import annotations

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

SBIN = os.pathsep.join((os.environ.get("PATH", ""), "/usr/sbin", "/sbin"))


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _wait_listening(port: int, process: subprocess.Popen[bytes], what: str) -> None:
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{what} stopped at once (exit {process.returncode})")
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
            return
        time.sleep(0.05)
    raise RuntimeError(f"{what} did not listen on port {port}")


def _stop(process: subprocess.Popen[bytes]) -> None:
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@dataclass
class Request:
    method: str
    uri: str
    range: str
    status: int
    bytes: int
    started: float  # seconds since the epoch, when nginx read the request
    ended: float  # and when it logged it, the response sent


def round_trips(requests: list[Request], apart: float) -> int:
    """The longest chain of requests each of which reached the server more than `apart`
    seconds after the one before it ended: the round trips a client waited for in turn."""
    ordered = sorted(requests, key=lambda r: r.started)
    chain: list[int] = []  # of each request, the longest chain that ends with it
    for request in ordered:
        chain.append(1 + max((length for before, length in zip(ordered, chain)
                              if request.started - before.ended > apart), default=0))
    return max(chain, default=0)


@dataclass
class Nginx:
    root: Path  # the served folder
    port: int
    log: Path

    def url(self, name: str, *, location: str = "") -> str:
        return f"http://127.0.0.1:{self.port}{location}/{name}"

    def _settled_size(self) -> int:
        """The access log's size once it has stopped growing: nginx writes a request's line
        after the response has gone out, so on a busy machine a line can come late."""
        size = -1
        for _ in range(100):
            now = self.log.stat().st_size if self.log.exists() else 0
            if now == size:
                return size
            size = now
            time.sleep(0.1)
        return size

    def mark(self) -> int:
        """Where the access log ends now, with the requests made so far in it: requests()
        from here on."""
        return self._settled_size()

    def requests(self, since: int = 0) -> list[Request]:
        self._settled_size()
        with self.log.open("rb") as log:
            log.seek(since)
            lines = log.read().decode().splitlines()
        out = []
        for line in lines:
            method, uri, quoted, status, sent, ended, took = line.rsplit(" ", 6)[-7:]
            out.append(Request(method, uri, quoted.strip('"'), int(status), int(sent),
                               float(ended) - float(took), float(ended)))
        return out


def nginx_binary() -> str | None:
    return shutil.which("nginx", path=SBIN)


@contextlib.contextmanager
def nginx(folder: Path) -> Iterator[Nginx]:
    """nginx serving `folder` at / (ranges honoured) and at /whole/ (ranges ignored)."""
    binary = nginx_binary()
    if binary is None:
        raise RuntimeError("nginx is not installed (scripts/setup.sh installs nginx-light)")
    state = folder / ".nginx"
    root = folder / "data"
    for path in (state, root):
        path.mkdir(parents=True, exist_ok=True)
    port = free_port()
    log = state / "access.log"
    user = "user root;" if os.geteuid() == 0 else ""  # workers must read the test's folder
    (state / "nginx.conf").write_text(f"""
{user}
worker_processes 1;
pid {state}/nginx.pid;
error_log {state}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    log_format counted '$request_method $uri "$http_range" $status $body_bytes_sent '
                       '$msec $request_time';
    access_log {log} counted;
    client_body_temp_path {state}/body; proxy_temp_path {state}/proxy;
    fastcgi_temp_path {state}/fastcgi; uwsgi_temp_path {state}/uwsgi; scgi_temp_path {state}/scgi;
    keepalive_requests 100000;
    types {{ application/zip zel zip; }}
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location /whole/ {{ alias {root}/; max_ranges 0; }}
    }}
}}
""")
    process = subprocess.Popen([binary, "-p", str(state), "-c", str(state / "nginx.conf"),
                                "-g", "daemon off;"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        _wait_listening(port, process, "nginx")
        yield Nginx(root, port, log)
    finally:
        _stop(process)


@contextlib.contextmanager
def delay_proxy(upstream: int, rtt_ms: float) -> Iterator[int]:
    """A proxy on 127.0.0.1 in front of `upstream` that adds `rtt_ms` to every round trip (and
    to every new connection, as a handshake does); yields its port."""
    port = free_port()
    script = Path(__file__).resolve().parents[2] / "benchmarks" / "delay_proxy.py"
    process = subprocess.Popen([sys.executable, str(script), "--listen", f"127.0.0.1:{port}",
                                "--upstream", f"127.0.0.1:{upstream}", "--rtt-ms", str(rtt_ms),
                                "--max-seconds", "3600"], stderr=subprocess.DEVNULL)
    try:
        _wait_listening(port, process, "the delay proxy")
        yield port
    finally:
        _stop(process)


@contextlib.contextmanager
def moto_s3() -> Iterator[str]:
    """moto's S3 server; yields its endpoint URL."""
    port = free_port()
    binary = shutil.which("moto_server", path=os.path.dirname(sys.executable))
    command = ([binary] if binary else [sys.executable, "-m", "moto.server"]) + [
        "-H", "127.0.0.1", "-p", str(port)]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        _wait_listening(port, process, "moto_server")
        yield f"http://127.0.0.1:{port}"
    finally:
        _stop(process)
