"""What bench_smtp.py and bench_starttls.py share: the local sink they time
against, started with a port file and stopped by its own PID, and the 2 KB
message both clients send."""
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support"))
from portfile import wait_port_file  # noqa: E402

FROM = "sensor@km7.test"
TO = "ops@km7.test"


class SinkProcess:
    """One of the sink scripts beside this file, logging a line per closed connection."""

    def __init__(self, work, script, extra_args=()):
        self.log = os.path.join(work, "sink.log")
        port_file = os.path.join(work, "sink.port")
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, script), "--port-file", port_file,
                                      "--log", self.log] + list(extra_args))
        self.port = wait_port_file(port_file, self.proc)
        if self.port is None:
            raise SystemExit("the sink did not start")

    def lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return f.read().splitlines()

    def new_lines(self, seen, who=None):
        """Waits for a log line after the first `seen`; returns every line after them."""
        deadline = time.monotonic() + 30
        while len(self.lines()) <= seen:
            if time.monotonic() > deadline:
                raise SystemExit(("%s: " % who if who else "") + "the sink saw no connection close")
            time.sleep(0.005)
        return self.lines()[seen:]

    def stop(self):
        # Stopped by its own PID, as started.
        self.proc.terminate()
        self.proc.wait(timeout=30)


def fields(line):
    """The key=value fields of one log line."""
    return dict(kv.split("=") for kv in line.split()[1:])


def write_message(work):
    """Writes the 2 KB body (32 lines of 63 characters plus CRLF) for km7-mail
    and, for curl, which sends its upload as the whole message, the same header
    lines km7-mail writes for a plain message followed by the same body.
    Returns (body file, message file)."""
    rng = random.Random(7)
    lines = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz     ") for _ in range(63)) for _ in range(32)]
    body = "\r\n".join(lines) + "\r\n"
    body_file = os.path.join(work, "body.txt")
    with open(body_file, "w", newline="") as f:
        f.write(body)
    mail_file = os.path.join(work, "mail.eml")
    with open(mail_file, "w", newline="") as f:
        f.write("From: %s\r\nTo: %s\r\nSubject: =?iso-8859-1?Q?bench?=\r\n"
                "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"
                "Date: Mon, 7 Dec 2026 21:00:00 +0000\r\n\r\n" % (FROM, TO))
        f.write(body)
    return body_file, mail_file
