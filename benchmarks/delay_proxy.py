"""A TCP proxy that adds a round trip's latency, for measuring remote reads on loopback.

    python benchmarks/delay_proxy.py --listen 127.0.0.1:8090 --upstream 127.0.0.1:8081 \\
        --rtt-ms 20 [--max-seconds 3600]

Every chunk is held for half the round trip in each direction, without holding back the chunks
behind it (so bandwidth stays that of loopback), and a new connection waits one round trip, as
a TCP handshake does. Stops on SIGTERM, or after --max-seconds.
"""
from __future__ import annotations

import argparse
import asyncio
import contextlib
import signal


async def _pipe(reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                delay: float) -> None:
    loop = asyncio.get_running_loop()
    queue: asyncio.Queue[tuple[float, bytes]] = asyncio.Queue()

    async def deliver() -> None:
        while True:
            due, chunk = await queue.get()
            if not chunk:
                break
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(chunk)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(deliver())
    try:
        while True:
            chunk = await reader.read(1 << 16)
            await queue.put((loop.time() + delay, chunk))
            if not chunk:
                break
        await sender
    except (ConnectionError, asyncio.CancelledError):
        sender.cancel()
        writer.close()


async def _serve(listen: tuple[str, int], upstream: tuple[str, int], rtt: float,
                 max_seconds: float) -> None:
    async def handle(client_reader: asyncio.StreamReader,
                     client_writer: asyncio.StreamWriter) -> None:
        await asyncio.sleep(rtt)  # the handshake's round trip
        try:
            server_reader, server_writer = await asyncio.open_connection(*upstream)
        except OSError:
            client_writer.close()
            return
        with contextlib.suppress(asyncio.CancelledError):  # stopping cancels every pipe
            await asyncio.gather(_pipe(client_reader, server_writer, rtt / 2),
                                 _pipe(server_reader, client_writer, rtt / 2),
                                 return_exceptions=True)

    server = await asyncio.start_server(handle, *listen)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    async with server:
        try:
            await asyncio.wait_for(stop.wait(), max_seconds)
        except asyncio.TimeoutError:
            pass


def _address(text: str) -> tuple[str, int]:
    host, _, port = text.rpartition(":")
    return host, int(port)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", type=_address, required=True)
    parser.add_argument("--upstream", type=_address, required=True)
    parser.add_argument("--rtt-ms", type=float, default=20.0)
    parser.add_argument("--max-seconds", type=float, default=3600.0)
    args = parser.parse_args()
    asyncio.run(_serve(args.listen, args.upstream, args.rtt_ms / 1000, args.max_seconds))


if __name__ == "__main__":
    main()
