#!/usr/bin/env python3
"""A scripted mail server for faults a real one will not show.

  --mode blackhole   accepts connections and never says a word
  --mode reply:CODE  greets every connection with "CODE ..." (421, 554, ...)
                     and closes it after the client's next line
  --mode escape      greets with 421 and a reply full of terminal escapes
  --mode data451     takes the whole message, then answers its end with 451

Listens on 127.0.0.1 (port 0: any free one) and writes the port to the port
file once it listens. Ends on SIGTERM, or by itself after --lifetime seconds.
"""
import argparse
import os
import socket
import threading
import time


def take_then_defer(conn):
    """A full dialogue whose end of data gets a temporary refusal."""
    f = conn.makefile("rb")
    conn.sendall(b"220 scripted ESMTP\r\n")
    while True:
        line = f.readline()
        if not line:
            return
        verb = line[:4].upper()
        if verb in (b"EHLO", b"HELO"):
            conn.sendall(b"250 scripted\r\n")
        elif verb == b"DATA":
            conn.sendall(b"354 go ahead\r\n")
            while True:
                body = f.readline()
                if not body or body == b".\r\n":
                    break
            conn.sendall(b"451 4.3.0 try again later\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            return
        else:
            conn.sendall(b"250 ok\r\n")


def serve(conn, mode):
    if mode == "data451":
        with conn:
            conn.settimeout(30)
            try:
                take_then_defer(conn)
            except OSError:
                pass
        return
    with conn:
        if mode == "blackhole":
            while conn.recv(4096):
                pass
            return
        if mode == "escape":
            conn.sendall(b"421 \x1b]52;c;ZXZpbA==\x07\x1b[31mred\rforged\nline\r\n")
        else:
            code = mode.split(":", 1)[1]
            conn.sendall(f"{code} scripted server says no\r\n".encode())
        conn.settimeout(30)
        try:
            conn.recv(4096)
        except OSError:
            pass


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file", required=True)
    p.add_argument("--lifetime", type=float, default=600)
    a = p.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", a.port))
    s.listen(16)
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(s.getsockname()[1]))
    os.rename(tmp, a.port_file)
    s.settimeout(1)
    end = time.monotonic() + a.lifetime
    while time.monotonic() < end:
        try:
            conn, _ = s.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, a.mode), daemon=True).start()


if __name__ == "__main__":
    main()
