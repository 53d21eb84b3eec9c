#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A slow link on 127.0.0.1 (this kernel has no netem): relays TCP from LISTEN to TARGET,
holding every chunk DELAY ms in each direction, and the first bytes of a new connection one
round trip (2 x DELAY) more, as a TCP handshake over such a link would. Counts connections:
the number opened so far is rewritten to COUNT_FILE whenever one opens.

    link_relay.py LISTEN_PORT TARGET_PORT DELAY_MS COUNT_FILE
"""
import asyncio
import sys
import time


async def pipe(reader, writer, delay, first_extra):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    extra = first_extra
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((time.monotonic() + delay + extra, data or None))
            extra = 0
            if not data:
                break
    except (ConnectionError, OSError):
        queue.put_nowait((time.monotonic(), None))
    try:
        await sender
    except (ConnectionError, OSError):
        pass


async def main():
    listen, target, delay_ms, count_file = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
    delay = delay_ms / 1000.0
    opened = 0

    async def serve(client_reader, client_writer):
        nonlocal opened
        opened += 1
        with open(count_file, "w") as f:
            f.write(f"{opened}\n")
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay, 2 * delay),
                             pipe(server_reader, client_writer, delay, 0))
        for w in (server_writer, client_writer):
            w.close()

    with open(count_file, "w") as f:
        f.write("0\n")
    server = await asyncio.start_server(serve, "127.0.0.1", listen)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
