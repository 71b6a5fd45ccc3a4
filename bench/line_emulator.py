#!/usr/bin/env python3
"""A wide-area line between a client and a server, both on loopback: a small TCP proxy.

The model, for every connection through it:
  - a new connection costs one round trip before its first byte moves (the handshake);
  - every byte takes half the round trip to travel, in each direction;
  - the server-to-client direction is one line of a fixed rate, shared by all connections: a
    chunk read from the server waits until the line has carried what was read before it, from
    any connection, then travels;
  - a connection holds at most --window bytes on the line and in the proxy (the client's receive
    window); past that the proxy stops reading from the server, which then waits, as TCP would.
No slow start, no loss, no queueing delay beyond the line's own: a best case for any client.

Bounded: listens on 127.0.0.1 only, forwards to 127.0.0.1 only, refuses more than
--max-connections at once, and ends after --max-seconds. Prints one line per connection opened
or closed: "connections current=C most=M total=T".

    line_emulator.py --listen 18131 --upstream 18132 --rtt-ms 50 --mbit 100
"""
import argparse
import asyncio
import sys
import time

CHUNK = 16 * 1024


class Line:
    """The shared server-to-client direction: when the next byte may start."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.free_at = 0.0

    def send(self, size):
        """Reserves the line for `size` bytes; the time their last byte has left."""
        start = max(time.monotonic(), self.free_at)
        self.free_at = start + size / self.rate
        return self.free_at


class Emulator:
    def __init__(self, args):
        self.args = args
        self.one_way = args.rtt_ms / 2000.0
        self.line = Line(args.mbit * 1e6 / 8)
        self.current = self.most = self.total = 0

    def report(self):
        print(f'connections current={self.current} most={self.most} total={self.total}', flush=True)

    async def handle(self, client_reader, client_writer):
        if self.current >= self.args.max_connections:
            client_writer.close()
            return
        self.current += 1
        self.total += 1
        self.most = max(self.most, self.current)
        self.report()
        server_writer = None
        try:
            # The handshake: one round trip before the connection is open at both ends.
            opened = time.monotonic() + 2 * self.one_way
            server_reader, server_writer = await asyncio.open_connection('127.0.0.1', self.args.upstream)
            await asyncio.sleep(max(0.0, opened - time.monotonic()))
            await asyncio.gather(self.upstream(client_reader, server_writer),
                                 self.downstream(server_reader, client_writer), return_exceptions=True)
        except OSError:
            pass
        finally:
            client_writer.close()
            if server_writer is not None:
                server_writer.close()
            self.current -= 1
            self.report()

    async def upstream(self, reader, writer):
        """Client to server: each chunk arrives half a round trip after it was sent."""
        await self.carry(reader, writer, None)

    async def downstream(self, reader, writer):
        """Server to client: over the shared line, then half a round trip."""
        await self.carry(reader, writer, self.line)

    async def carry(self, reader, writer, line):
        """Moves chunks in order, each delivered when its time on the line (if any) and half a
        round trip after it was read have passed, holding at most the window at once. Reading goes
        on while earlier chunks travel, so a request written in pieces costs one delay, not one per
        piece."""
        queue = asyncio.Queue()
        window = asyncio.Semaphore(max(1, self.args.window // CHUNK))

        async def deliver():
            while True:
                arrives, data = await queue.get()
                if data is None:
                    return
                await asyncio.sleep(max(0.0, arrives - time.monotonic()))
                writer.write(data)
                await writer.drain()
                window.release()

        delivery = asyncio.ensure_future(deliver())
        try:
            while True:
                await window.acquire()
                data = await reader.read(CHUNK)
                if not data:
                    break
                sent = line.send(len(data)) if line else time.monotonic()
                queue.put_nowait((sent + self.one_way, data))
            queue.put_nowait((0, None))
            await delivery
            if writer.can_write_eof():
                writer.write_eof()
        finally:
            delivery.cancel()


async def main_async(args):
    emulator = Emulator(args)
    server = await asyncio.start_server(emulator.handle, '127.0.0.1', args.listen)
    print(f'listening 127.0.0.1:{args.listen} -> 127.0.0.1:{args.upstream}, round trip {args.rtt_ms} ms, '
          f'{args.mbit} Mbit/s', flush=True)
    async with server:
        try:
            await asyncio.wait_for(server.serve_forever(), args.max_seconds)
        except asyncio.TimeoutError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--listen', type=int, required=True)
    parser.add_argument('--upstream', type=int, required=True)
    parser.add_argument('--rtt-ms', type=float, default=50)
    parser.add_argument('--mbit', type=float, default=100)
    parser.add_argument('--window', type=int, default=4 * 1024 * 1024, help='bytes a connection may hold in flight')
    parser.add_argument('--max-connections', type=int, default=16)
    parser.add_argument('--max-seconds', type=float, default=3600)
    args = parser.parse_args()
    try:
        asyncio.run(main_async(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == '__main__':
    sys.exit(main())
