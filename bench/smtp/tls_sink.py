#!/usr/bin/env python3
"""An SMTP sink that requires STARTTLS, for the benchmark: offers STARTTLS,
refuses MAIL before it, reads DATA to the terminating dot without keeping it
and appends one line per closed connection to a log:
"connection tls=1 messages=N bytes=B". Standard library only (Python 3.11
or later, for StreamWriter.start_tls).
"""
import argparse
import asyncio
import os
import signal
import ssl
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from portfile import write_port_file  # noqa: E402

TERMINATOR = b"\r\n.\r\n"


async def session(reader, writer, context, log_path):
    tls = False
    messages = 0
    nbytes = 0
    try:
        writer.write(b"220 sink.km7.test ESMTP ready\r\n")
        while True:
            line = await reader.readline()
            if not line:
                break
            verb = line[:4].upper()
            if verb == b"EHLO":
                offer = b"250-AUTH PLAIN\r\n" if tls else b"250-STARTTLS\r\n"
                writer.write(b"250-sink.km7.test\r\n250-8BITMIME\r\n" + offer + b"250 SIZE 0\r\n")
            elif verb == b"STAR" and not tls:
                writer.write(b"220 2.0.0 Ready to start TLS\r\n")
                await writer.drain()
                await writer.start_tls(context)
                tls = True
            elif verb in (b"MAIL", b"RCPT", b"DATA") and not tls:
                writer.write(b"530 5.7.0 Must issue a STARTTLS command first\r\n")
            elif verb == b"DATA":
                writer.write(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                await writer.drain()
                data = await reader.readuntil(TERMINATOR)
                nbytes += len(data)
                messages += 1
                writer.write(b"250 2.0.0 Ok: queued\r\n")
            elif verb == b"QUIT":
                writer.write(b"221 2.0.0 Bye\r\n")
                await writer.drain()
                break
            else:
                writer.write(b"250 2.0.0 Ok\r\n")
            await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError):
        pass
    finally:
        with open(log_path, "a") as f:
            f.write("connection tls=%d messages=%d bytes=%d\n" % (tls, messages, nbytes))
        writer.close()


async def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--port-file", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    a = p.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(a.cert, a.key)
    server = await asyncio.start_server(lambda r, w: session(r, w, context, a.log), "127.0.0.1", 0,
                                        limit=1 << 24)
    write_port_file(a.port_file, server.sockets[0].getsockname()[1])
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
