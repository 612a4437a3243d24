#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that adds latency, for tests and benchmarks of remote reads.

Usage: delay_proxy.py TARGET_PORT [--delay-ms MS]

Listens on a free port of 127.0.0.1, prints that port on its first line, and forwards every
connection to 127.0.0.1:TARGET_PORT. Each connection setup is held MS milliseconds (default
10) on its way in and again on its way back, and every chunk of data MS milliseconds in each
direction, so that a request and its answer cost about 2 * MS: a round trip. Chunks are delayed,
not spaced: a long answer streams at full speed after its first chunk. At most 16 chunks of
64 KiB wait in each direction, so a reader that stops reading stops the sender too. Stops on
SIGTERM or SIGINT.
"""
import argparse
import asyncio
import signal
import time

CHUNK = 65536
QUEUED = 16


async def pump(reader, writer, delay):
    """Copies reader to writer, each chunk leaving `delay` seconds after it arrived."""
    queue = asyncio.Queue(QUEUED)

    async def receive():
        try:
            while True:
                data = await reader.read(CHUNK)
                await queue.put((time.monotonic() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await queue.put((time.monotonic(), b""))

    receiver = asyncio.ensure_future(receive())
    try:
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        receiver.cancel()


async def serve(client_reader, client_writer, target, delay):
    try:
        await asyncio.sleep(delay)  # the connection request on its way to the server
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        await asyncio.sleep(delay)  # and the acceptance on its way back
    except OSError:
        client_writer.close()  # the target refuses: so does the proxy, once set up
        return
    try:
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay))
    finally:
        for w in (server_writer, client_writer):
            w.close()


async def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("target_port", type=int)
    ap.add_argument("--delay-ms", type=float, default=10.0)
    args = ap.parse_args()
    delay = args.delay_ms / 1000.0
    server = await asyncio.start_server(
        lambda r, w: serve(r, w, args.target_port, delay), "127.0.0.1", 0, backlog=512)
    print(server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.get_running_loop().create_future()
    for sig in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(sig, stop.set_result, None)
    await stop
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
