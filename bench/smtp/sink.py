#!/usr/bin/env python3
"""A minimal SMTP sink for the benchmark: answers every command, reads DATA
to the terminating dot without keeping it, and appends one line per closed
connection to a log: "connection messages=N bytes=B". Standard library only,
and cheap per byte, so the clients under test are what the clock measures.
"""
import argparse
import asyncio
import os
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from portfile import write_port_file  # noqa: E402

TERMINATOR = b"\r\n.\r\n"


class Sink(asyncio.Protocol):
    def __init__(self, log_path):
        self.log_path = log_path
        self.buf = bytearray()
        self.in_data = False
        self.tail = b""
        self.messages = 0
        self.bytes = 0

    def connection_made(self, transport):
        self.transport = transport
        transport.write(b"220 sink.km7.test ESMTP ready\r\n")

    def connection_lost(self, exc):
        with open(self.log_path, "a") as f:
            f.write("connection messages=%d bytes=%d\n" % (self.messages, self.bytes))

    def data_received(self, data):
        if self.in_data:
            self._data(data)
        else:
            self.buf += data
            self._commands()

    def _data(self, data):
        # Only the last four bytes of the previous piece are kept, to find a
        # terminator split across two pieces.
        window = self.tail + data
        end = window.find(TERMINATOR)
        if end < 0:
            self.bytes += len(data)
            self.tail = window[-4:]
            return
        self.bytes += end + len(TERMINATOR) - len(self.tail)
        rest = window[end + len(TERMINATOR):]
        self.in_data = False
        self.messages += 1
        self.transport.write(b"250 2.0.0 Ok: queued\r\n")
        if rest:
            self.buf += rest
            self._commands()

    def _commands(self):
        while not self.in_data:
            nl = self.buf.find(b"\r\n")
            if nl < 0:
                return
            line = bytes(self.buf[:nl])
            del self.buf[:nl + 2]
            verb = line[:4].upper()
            if verb == b"EHLO":
                self.transport.write(b"250-sink.km7.test\r\n250-8BITMIME\r\n250-SIZE 0\r\n250 DSN\r\n")
            elif verb == b"DATA":
                self.transport.write(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                self.in_data = True
                # DATA may start with the terminator (an empty message).
                self.tail = b"\r\n"
                if self.buf:
                    rest = bytes(self.buf)
                    self.buf.clear()
                    self._data(rest)
            elif verb == b"QUIT":
                self.transport.write(b"221 2.0.0 Bye\r\n")
                self.transport.close()
                return
            else:
                self.transport.write(b"250 2.0.0 Ok\r\n")


async def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port-file", required=True)
    p.add_argument("--log", required=True)
    a = p.parse_args()
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: Sink(a.log), "127.0.0.1", 0)
    write_port_file(a.port_file, server.sockets[0].getsockname()[1])
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
